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
    static constexpr auto kWritingTime = 1500ms;

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

}  // namespace
}  // namespace vavedu::test
