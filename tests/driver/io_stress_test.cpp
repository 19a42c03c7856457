// Several threads read and write through the instrument's loopback at once and cancel at random:
// every byte written by a write that succeeded comes back exactly once, and nothing else does.
#include "tests/driver/driver_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;

// Every 8 bytes written name their writer, the write and their place in it, so the reader side
// can tell lost, repeated and corrupted data apart from data that arrived in another order.
struct Record {
    uint16_t writer;
    uint16_t write;
    uint32_t index;
    auto key() const { return std::tuple(writer, write, index); }
    bool operator<(const Record& other) const { return key() < other.key(); }
    bool operator==(const Record& other) const { return key() == other.key(); }
};
static_assert(sizeof(Record) == 8);

class Stress : public DriverTest {
  protected:
    static constexpr int kWriters = 2;
    static constexpr int kReaders = 2;
    static constexpr auto kWritingTime = 1000ms;

    void writer(uint16_t id) {
        sim::Handle handle = open(node, u"\\PIPE_0");
        std::mt19937 random(id * 7919u + 1);
        for (uint16_t write = 0; std::chrono::steady_clock::now() < writingEnds; ++write) {
            // Writes of one chunk may be cancelled: either all of it reached the device or none.
            bool big = random() % 8 == 0;
            uint32_t records = big ? 2048 + random() % 3000 : 1 + random() % 2048;
            bool cancel = !big && random() % 4 == 0;
            std::vector<Record> data(records);
            for (uint32_t i = 0; i < records; ++i)
                data[i] = {id, write, i};
            auto request = handle.writeAsync(data.data(), records * sizeof(Record));
            if (cancel) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
                request->cancel();
            }
            sim::IoResult result = request->wait();
            if (result.status == STATUS_SUCCESS) {
                EXPECT_EQ(result.information, records * sizeof(Record));
                std::lock_guard lock(mutex);
                expected.insert(expected.end(), data.begin(), data.end());
                bytesWritten += records * sizeof(Record);
            } else {
                EXPECT_TRUE(cancel && result.status == STATUS_CANCELLED)
                    << sim::statusName(result.status);
                EXPECT_EQ(result.information, 0u);
            }
        }
    }

    void reader(unsigned id) {
        sim::Handle handle = open(node, u"\\PIPE_1");
        std::mt19937 random(id * 104729u + 3);
        // Whole packets only: a read shorter than the packet the device sends would overrun.
        std::vector<Record> buffer(16384 / sizeof(Record));
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (writersDone && bytesRead >= bytesWritten)
                    return;
            }
            ULONG length = 512 * (1 + random() % 32);
            auto request = handle.readAsync(buffer.data(), length);
            if (random() % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
                request->cancel();
            } else if (!request->waitFor(20ms)) {
                request->cancel();  // nothing is waiting in the loopback
            }
            sim::IoResult result = request->wait();
            if (result.status == STATUS_CANCELLED) {
                EXPECT_EQ(result.information, 0u);
                continue;
            }
            ASSERT_EQ(result.status, STATUS_SUCCESS) << sim::statusName(result.status);
            ASSERT_EQ(result.information % sizeof(Record), 0u);
            size_t count = result.information / sizeof(Record);
            for (size_t i = 1; i < count; ++i) {
                const Record& a = buffer[i - 1];
                const Record& b = buffer[i];
                if (a.writer == b.writer && a.write == b.write) {
                    EXPECT_EQ(b.index, a.index + 1) << "a write arrived out of order";
                }
            }
            std::lock_guard lock(mutex);
            received.insert(received.end(), buffer.begin(), buffer.begin() + count);
            bytesRead += result.information;
        }
    }

    int node = -1;
    std::chrono::steady_clock::time_point writingEnds;
    std::mutex mutex;
    std::vector<Record> expected, received;
    uint64_t bytesWritten = 0, bytesRead = 0;
    bool writersDone = false;
};

TEST_F(Stress, ConcurrentReadsWritesAndCancelsLoseNothing) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    node = plugInstrument();
    writingEnds = std::chrono::steady_clock::now() + kWritingTime;
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([this, i] { reader(i); });
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back([this, i] { writer(static_cast<uint16_t>(i)); });
    }
    for (auto& t : writers)
        t.join();
    {
        std::lock_guard lock(mutex);
        writersDone = true;
    }
    for (auto& t : readers)
        t.join();

    EXPECT_GT(bytesWritten, 0u);
    EXPECT_EQ(bytesRead, bytesWritten);
    std::sort(expected.begin(), expected.end());
    std::sort(received.begin(), received.end());
    EXPECT_TRUE(expected == received)
        << expected.size() << " records written, " << received.size() << " read";
    EXPECT_EQ(instrument(node).loopbackWaiting(), 0u);
}

// Reads and writes at once from two threads on one handle opened without a name: each request
// takes its own pipe, and nothing of the shared handle is written (the ThreadSanitizer run).
TEST_F(Stress, ReadsAndWritesAtOnceOnOneUnnamedHandle) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    node = plugInstrument();
    sim::Handle handle = open(node);
    constexpr int kRounds = 200;
    std::thread writer([&] {
        Bytes data = pattern(512);
        for (int i = 0; i < kRounds; ++i)
            EXPECT_EQ(handle.write(data.data(), 512).information, 512u);
    });
    Bytes back(512);
    for (int i = 0; i < kRounds; ++i) {
        sim::AppResult result = handle.read(back.data(), 512);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << sim::statusName(result.status);
        EXPECT_EQ(result.information, 512u);
    }
    writer.join();
    EXPECT_EQ(handle.fileObject()->FsContext, nullptr);
}

// Selections replace the interface table while reads and writes are admitted, started and
// completed on other threads: every request ends, none touches a freed table entry (the
// sanitizer build), and the device works afterwards.
TEST_F(Stress, SelectionsRacingWithReadsAndWrites) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    node = plugInstrument();
    const auto ends = std::chrono::steady_clock::now() + 1000ms;
    std::atomic<unsigned> succeeded{0}, refused{0};
    auto io = [&](const char16_t* name, bool read, unsigned seed) {
        sim::Handle handle = open(node, name);
        std::mt19937 random(seed);
        Bytes buffer(16384 * 2);
        while (std::chrono::steady_clock::now() < ends) {
            ULONG length = 512 * (random() % 64);
            auto request = read ? handle.readAsync(buffer.data(), length)
                                : handle.writeAsync(buffer.data(), length);
            if (!request->waitFor(5ms))
                request->cancel();
            sim::IoResult result = request->wait();
            EXPECT_NE(result.status, STATUS_PENDING);
            if (result.status == STATUS_SUCCESS)
                ++succeeded;
        }
    };
    auto selector = [&] {
        sim::Handle handle = open(node);
        std::mt19937 random(99);
        while (std::chrono::steady_clock::now() < ends) {
            uint8_t input[2] = {static_cast<uint8_t>(random() % 2),
                                static_cast<uint8_t>(random() % 2)};
            ULONG code =
                random() % 4 == 0 ? IOCTL_BULK_SELECT_CONFIGURATION : IOCTL_BULK_SELECT_INTERFACE;
            if (code == IOCTL_BULK_SELECT_CONFIGURATION)
                input[0] = 1;
            ULONG length = code == IOCTL_BULK_SELECT_CONFIGURATION ? 1 : 2;
            sim::AppResult result = handle.deviceIoControl(code, input, length, nullptr, 0);
            if (result.status == STATUS_INVALID_DEVICE_STATE)
                ++refused;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(io, u"\\PIPE_0", false, 1);
    threads.emplace_back(io, u"\\PIPE_1", true, 2);
    threads.emplace_back(io, u"\\PIPE_1\\INTERFACE_1", true, 3);
    threads.emplace_back(io, u"", false, 4);
    threads.emplace_back(selector);
    for (auto& t : threads)
        t.join();
    EXPECT_GT(succeeded.load(), 0u);

    sim::Handle handle = open(node);
    uint8_t one = 1;
    ASSERT_EQ(handle.deviceIoControl(IOCTL_BULK_SELECT_CONFIGURATION, &one, 1, nullptr, 0).status,
              STATUS_SUCCESS);
    Bytes data = pattern(1000), back(1024);
    EXPECT_EQ(handle.write(data.data(), 1000).information, 1000u);
    EXPECT_EQ(handle.read(back.data(), 1024).information, 1000u);
}

}  // namespace
}  // namespace vavedu::test
