// Plug and Play under load: surprise removal, stop then start, and removal, each while reads and
// writes are queued and in flight on four endpoints of both interfaces of the instrument, and
// while other threads keep sending requests and device-control requests. Every request ends
// exactly once (a second completion is a bug check of the model), with its data intact when it
// succeeds and with one of the failures the driver documents otherwise; removal returns once the
// remove lock has drained; nothing leaks; after a stop and a start the device works again.
#include "tests/driver/driver_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;
using sim::usb::CompletionMode;
using sim::usb::HeldUrb;

// The pipes the load runs on: the loopback pair of interface 0 and the sink and sample stream of
// interface 1.
struct Channel {
    const char16_t* name;
    bool read;
    uint8_t endpoint;
};
constexpr Channel kChannels[] = {
    {u"\\PIPE_0", false, 0x01},
    {u"\\PIPE_1", true, 0x81},
    {u"\\PIPE_0\\INTERFACE_1", false, 0x02},
    {u"\\PIPE_1\\INTERFACE_1", true, 0x86},
};
constexpr size_t kChannelCount = std::size(kChannels);
constexpr ULONG kChunk = 16384;  // the default maximum transfer size

// Every 8 bytes written to the loopback name the cycle, the write and their place in it, so a
// read can tell whether what it got is what some write sent.
struct Record {
    uint16_t cycle;
    uint16_t write;
    uint32_t index;
};
static_assert(sizeof(Record) == 8);

// How requests may end, as the driver documents it. Each scenario allows a subset.
const char* outcomeName(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "completed";
        case STATUS_DELETE_PENDING:
            return "waiting when removal began, or refused by the remove lock";
        case STATUS_CANCELLED:
            return "cancelled while at the bus";
        case STATUS_DEVICE_NOT_CONNECTED:
            return "at the bus when the device went";
        case STATUS_INVALID_DEVICE_STATE:
            return "admitted while no configuration was selected";
        case STATUS_NOINTERFACE:
            return "started after its interface entry went";
        case STATUS_INVALID_PARAMETER:
            return "went down on a pipe a concurrent selection had just replaced";
        case STATUS_INVALID_DEVICE_REQUEST:
            return "sent after removal, when only the bus's device is left on the stack";
        default:
            return "not documented for this scenario";
    }
}

// The requests of one cycle: issued from several threads, each checked once it has ended.
class Traffic {
  public:
    Traffic(uint16_t cycle, std::array<sim::Handle, kChannelCount>& handles)
        : cycle_(cycle), handles_(handles) {}

    // Sends one request on a channel, of a length that may span several chunks.
    void issue(size_t channel, std::mt19937& random) {
        auto entry = std::make_unique<Issued>();
        entry->channel = channel;
        const Channel& c = kChannels[channel];
        ULONG length = 0;
        if (c.read) {
            length = 512 * (1 + random() % 80);  // up to 40960: three chunks
            entry->buffer.resize(length);
        } else {
            length = 8 * (1 + random() % 5000);
            entry->buffer.resize(length);
            std::lock_guard lock(mutex_);
            entry->write = nextWrite_++;
            writeLengths_[entry->write] = length;
        }
        if (c.endpoint == 0x01) {
            auto* records = reinterpret_cast<Record*>(entry->buffer.data());
            for (uint32_t i = 0; i < length / sizeof(Record); ++i)
                records[i] = {cycle_, entry->write, i};
        }
        sim::Handle& handle = handles_[channel];
        entry->request = c.read ? handle.readAsync(entry->buffer.data(), length)
                                : handle.writeAsync(entry->buffer.data(), length);
        std::lock_guard lock(mutex_);
        issued_.push_back(std::move(entry));
    }

    // Cancels every request still pending (what an application does before it gives up).
    void cancelPending() {
        std::lock_guard lock(mutex_);
        for (auto& entry : issued_) {
            if (!entry->request->completed())
                entry->request->cancel();
        }
    }

    // Waits for every request and checks it against `allowed`; returns how many succeeded.
    size_t check(const std::set<NTSTATUS>& allowed) {
        std::lock_guard lock(mutex_);
        size_t succeeded = 0;
        for (auto& entry : issued_) {
            const sim::IoResult result = entry->request->wait();
            const Channel& c = kChannels[entry->channel];
            const ULONG length = static_cast<ULONG>(entry->buffer.size());
            ++outcomes_[result.status];
            EXPECT_TRUE(allowed.count(result.status))
                << "a request on endpoint 0x" << std::hex << int(c.endpoint) << " ended with "
                << sim::statusName(result.status) << " (" << outcomeName(result.status) << ")";
            if (result.status != STATUS_SUCCESS) {
                if (result.status == STATUS_DELETE_PENDING ||
                    result.status == STATUS_INVALID_DEVICE_STATE ||
                    result.status == STATUS_NOINTERFACE) {
                    EXPECT_EQ(result.information, 0u) << sim::statusName(result.status);
                }
                continue;
            }
            ++succeeded;
            if (result.information > length) {
                ADD_FAILURE() << "a request reported more bytes than it asked for";
                continue;
            }
            if (!c.read) {
                // A write ends early with success only where its interface entry went away
                // between two chunks (the device stopped or went): then every chunk that went
                // out was whole.
                EXPECT_TRUE(result.information == length || result.information % kChunk == 0)
                    << result.information << " of " << length << " bytes written";
            } else if (c.endpoint == 0x81) {
                checkLoopback(entry->buffer.data(), result.information);
            } else {
                checkSamples(entry->buffer.data(), result.information);
            }
        }
        return succeeded;
    }

    std::string outcomes() const {
        std::string text;
        for (const auto& [status, count] : outcomes_)
            text += sim::statusName(status) + " x" + std::to_string(count) + "  ";
        return text;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return issued_.size();
    }

  private:
    struct Issued {
        size_t channel = 0;
        uint16_t write = 0;
        Bytes buffer;
        std::unique_ptr<sim::UserRequest> request;
    };

    // What the loopback returns is whole records of writes of this cycle, in the order of each
    // write (the device keeps the order of what it was sent).
    void checkLoopback(const uint8_t* data, size_t bytes) {
        ASSERT_EQ(bytes % sizeof(Record), 0u);
        const auto* records = reinterpret_cast<const Record*>(data);
        for (size_t i = 0; i < bytes / sizeof(Record); ++i) {
            const Record& r = records[i];
            ASSERT_EQ(r.cycle, cycle_) << "data of another cycle, or garbage, at record " << i;
            auto it = writeLengths_.find(r.write);
            ASSERT_TRUE(it != writeLengths_.end() && r.index < it->second / sizeof(Record))
                << "record " << i << " names no byte that was written";
            if (i > 0 && records[i - 1].write == r.write) {
                ASSERT_EQ(r.index, records[i - 1].index + 1) << "a write arrived out of order";
            }
        }
    }

    // The stream sends consecutive samples of the instrument's waveform.
    static void checkSamples(const uint8_t* data, size_t bytes) {
        EXPECT_TRUE(bytes == 0 || isStretchOfWaveform(data, bytes))
            << "the samples of a read are not a stretch of the waveform (" << bytes << " bytes)";
    }

    uint16_t cycle_;
    std::array<sim::Handle, kChannelCount>& handles_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Issued>> issued_;
    std::map<uint16_t, ULONG> writeLengths_;
    uint16_t nextWrite_ = 0;
    std::map<NTSTATUS, size_t> outcomes_;
};

// Threads that keep sending reads, writes and device-control requests until told to stop, so
// that admission and device control race with the Plug and Play request.
class Background {
  public:
    Background(Traffic& traffic, sim::Handle& control, unsigned seed)
        : traffic_(traffic), control_(control), seed_(seed) {
        io_ = std::thread([this] { sendIo(); });
        ioctls_ = std::thread([this] { sendIoctls(); });
    }
    ~Background() { stop(); }
    void stop() {
        done_ = true;
        if (io_.joinable())
            io_.join();
        if (ioctls_.joinable())
            ioctls_.join();
    }

  private:
    void sendIo() {
        std::mt19937 random(seed_);
        for (int sent = 0; !done_ && sent < 64; ++sent) {
            traffic_.issue(random() % kChannelCount, random);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
        }
    }
    // Requests that touch the tables start and stop replace; whatever their status, none may
    // hang or touch freed memory.
    void sendIoctls() {
        std::mt19937 random(seed_ + 1);
        uint8_t buffer[64];
        while (!done_) {
            switch (random() % 5) {
                case 0: {
                    const uint8_t input[4] = {1, 0, 0, 0};  // the device descriptor
                    std::memcpy(buffer, input, 4);
                    control_.deviceIoControl(IOCTL_BULK_GET_DESCRIPTOR, buffer, 4, buffer, 18);
                    break;
                }
                case 1: {
                    const uint8_t input[4] = {static_cast<uint8_t>(random() % 2),
                                              static_cast<uint8_t>(random() % 2), 0, 0};
                    control_.deviceIoControl(IOCTL_BULK_RESET_PIPE, input, 4, nullptr, 0);
                    break;
                }
                case 2: {
                    // Uses the descriptor cache a stop frees.
                    const uint8_t value = 1;
                    control_.deviceIoControl(IOCTL_BULK_SELECT_CONFIGURATION, &value, 1, nullptr,
                                             0);
                    break;
                }
                case 3: {
                    const uint8_t input[2] = {1, 0};  // interface 1 has one setting
                    control_.deviceIoControl(IOCTL_BULK_SELECT_INTERFACE, input, 2, nullptr, 0);
                    break;
                }
                default:
                    control_.deviceIoControl(IOCTL_BULK_GET_LAST_USBD_STATUS, nullptr, 0, buffer,
                                             4);
                    break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        }
    }

    Traffic& traffic_;
    sim::Handle& control_;
    unsigned seed_;
    std::atomic<bool> done_{false};
    std::thread io_, ioctls_;
};

// Removes a device node on a thread of its own, since removal waits for the requests the test
// finishes meanwhile.
class Remover {
  public:
    Remover(sim::System& system, int node)
        : thread_([this, &system, node] {
              status_ = system.remove(node);
              done_ = true;
          }) {}
    ~Remover() {
        if (thread_.joinable())
            thread_.join();
    }
    bool done() const { return done_; }
    NTSTATUS status() {
        if (thread_.joinable())
            thread_.join();
        return status_;
    }

  private:
    NTSTATUS status_ = STATUS_PENDING;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class PnpUnderLoad : public DriverTest {
  protected:
    // Cycles run for about this long (and at least a few times, however slow the build).
    static constexpr auto kRunTime = 1500ms;
    static constexpr int kMinimumCycles = 3;
    static constexpr int kMaximumCycles = 200;

    void SetUp() override {
        // A removal that never ends is reported as a hang well before the test's time-out.
        system.kernel().setHangLimit(10s);
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        baseline = counters();
    }

    bool moreCycles(int done) const {
        return done < kMinimumCycles ||
               (done < kMaximumCycles && std::chrono::steady_clock::now() < ends);
    }

    // Opens one handle per channel and one for device control.
    void openHandles(int node) {
        for (size_t i = 0; i < kChannelCount; ++i)
            handles[i] = open(node, kChannels[i].name);
        control = open(node);
    }
    void closeHandles() {
        for (auto& handle : handles)
            handle.close();
        control.close();
    }

    // Holds or lets run the OUT endpoints at random; the loopback IN endpoint waits for data and
    // the stream may be paused, so reads are in flight at the bus too. Returns the number of
    // URBs that will be held.
    size_t chooseModes(int node, std::mt19937& random) {
        size_t held = 0;
        for (uint8_t endpoint : {uint8_t{0x01}, uint8_t{0x02}}) {
            const bool hold = random() % 3 != 0;
            bus.setEndpointCompletionMode(pdo(node), endpoint,
                                          hold ? CompletionMode::Held : CompletionMode::Async);
            held += hold ? 1 : 0;
        }
        if (random() % 2 == 0) {
            const SETUP_PACKET stop{0x40, sim::usb::InstrumentModel::kRequestStopAcquisition, 0, 0,
                                    0};
            EXPECT_EQ(controlTransfer(control, stop, {}, 0).status, STATUS_SUCCESS);
        }
        return held;
    }

    // Queues several requests on every channel and waits until the held ones are at the bus.
    void load(Traffic& traffic, size_t held, std::mt19937& random) {
        for (size_t channel = 0; channel < kChannelCount; ++channel) {
            const unsigned count = 2 + random() % 5;
            for (unsigned i = 0; i < count; ++i)
                traffic.issue(channel, random);
        }
        EXPECT_TRUE(bus.waitForHeld(held, 5s)) << "the held writes did not reach the bus";
    }

    // Lets some held URBs go on: the device takes the data (which then loops back).
    void releaseSome(std::mt19937& random) {
        for (const HeldUrb& urb : bus.heldUrbs()) {
            if (random() % 2 == 0)
                bus.releaseHeld(urb.id);
        }
    }

    // What the driver holds after a cycle is what it held before the device came.
    void expectNothingLeft(const char* when) {
        const sim::AllocationCounters now = counters();
        for (auto kind :
             {sim::AllocationKind::Pool, sim::AllocationKind::Mdl, sim::AllocationKind::Irp}) {
            EXPECT_EQ(now.outstandingOf(kind), baseline.outstandingOf(kind))
                << when << ": " << sim::toString(kind) << " left\n"
                << system.kernel().leakReport();
        }
    }

    std::chrono::steady_clock::time_point ends = std::chrono::steady_clock::now() + kRunTime;
    sim::AllocationCounters baseline;
    std::array<sim::Handle, kChannelCount> handles;
    sim::Handle control;
};

// The device goes while requests wait in every queue and some are at the bus: the waiting ones
// fail with STATUS_DELETE_PENDING, the ones at the bus with the bus's status, new ones are
// refused, and removal returns once the last request has let go of the remove lock. Half of the
// cycles unplug the device first (the bus fails what it holds); in the others the device stays
// on its port and the test lets the held URBs finish while removal waits.
TEST_F(PnpUnderLoad, SurpriseRemoval) {
    int cycle = 0;
    for (; moreCycles(cycle); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::mt19937 random(cycle + 1);
        const int node = plugInstrument();
        PDEVICE_OBJECT fdo = system.functionalDevice(node);
        openHandles(node);
        Traffic traffic(static_cast<uint16_t>(cycle), handles);
        load(traffic, chooseModes(node, random), random);
        releaseSome(random);
        const bool unplug = cycle % 2 == 0;
        {
            Background background(traffic, control, cycle * 31 + 7);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            if (unplug)
                bus.unplug(pdo(node));
            ASSERT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
            EXPECT_FALSE(interfaceVisible(node));
            Remover remover(system, node);
            // While removal waits, what is still at the bus finishes: held URBs complete, and
            // reads waiting for data that will never come are cancelled by their application.
            while (!remover.done()) {
                for (const HeldUrb& urb : bus.heldUrbs())
                    bus.completeHeld(urb.id, {});
                traffic.cancelPending();
                std::this_thread::sleep_for(200us);
            }
            EXPECT_EQ(remover.status(), STATUS_SUCCESS);
        }
        traffic.cancelPending();
        traffic.check({STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_CANCELLED,
                       STATUS_DEVICE_NOT_CONNECTED, STATUS_INVALID_DEVICE_STATE, STATUS_NOINTERFACE,
                       STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_PARAMETER});
        closeHandles();
        EXPECT_FALSE(system.kernel().deviceObjectExists(fdo)) << "the device object was kept";
        expectNothingLeft("after the removal");
        if (!unplug)
            bus.unplug(pdo(node));
        if (HasFatalFailure() || HasFailure()) {
            ADD_FAILURE() << "outcomes: " << traffic.outcomes();
            break;
        }
    }
    RecordProperty("cycles", cycle);
}

// Stop and start with requests queued and at the bus. The requests the device already had go
// on or are cancelled; the ones that waited in their queues run after the start; requests sent
// while the device is stopped are refused; the start succeeds every time, and the device then
// moves data as before.
TEST_F(PnpUnderLoad, StopThenStart) {
    const int node = plugInstrument();
    openHandles(node);
    baseline = counters();  // with the descriptor cache and interface copies of a started device
    int cycle = 0;
    size_t succeeded = 0;  // over all cycles: in one, every request may meet the stop
    for (; moreCycles(cycle); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::mt19937 random(cycle + 1000);
        Traffic traffic(static_cast<uint16_t>(cycle), handles);
        load(traffic, chooseModes(node, random), random);
        releaseSome(random);
        {
            Background background(traffic, control, cycle * 17 + 3);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
            // Some held URBs finish while the device is stopped, the others stay at the bus
            // across the start.
            releaseSome(random);
            bus.setEndpointCompletionMode(pdo(node), 0x01, CompletionMode::Async);
            bus.setEndpointCompletionMode(pdo(node), 0x02, CompletionMode::Async);
            ASSERT_EQ(system.start(node), STATUS_SUCCESS);
            ASSERT_EQ(system.lastStartStatus(node), STATUS_SUCCESS);
            for (const HeldUrb& urb : bus.heldUrbs())
                bus.releaseHeld(urb.id);
        }
        // Reads of the loopback that no data will reach are cancelled by their application.
        ASSERT_TRUE(bus.waitIdle(5s));
        traffic.cancelPending();
        succeeded += traffic.check({STATUS_SUCCESS, STATUS_CANCELLED, STATUS_INVALID_DEVICE_STATE,
                                    STATUS_INVALID_PARAMETER, STATUS_NOINTERFACE});

        // No queue was left busy: the configuration can be selected again (which also empties
        // the loopback of data whose reads were cancelled). The device works as before: the
        // loopback, the sink and the stream.
        const uint8_t configuration = 1;
        EXPECT_EQ(ioctl(control, IOCTL_BULK_SELECT_CONFIGURATION, {&configuration, 1}, 0).status,
                  STATUS_SUCCESS);
        const SETUP_PACKET start{0x40, sim::usb::InstrumentModel::kRequestStartAcquisition, 0, 0,
                                 0};
        EXPECT_EQ(controlTransfer(control, start, {}, 0).status, STATUS_SUCCESS);
        Bytes data = pattern(3000, cycle), back(4096), samples(1024);
        EXPECT_EQ(handles[0].write(data.data(), 3000).information, 3000u);
        sim::AppResult read = handles[1].read(back.data(), 4096);
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        back.resize(read.information);
        EXPECT_EQ(back, data);
        EXPECT_EQ(handles[2].write(data.data(), 3000).information, 3000u);
        EXPECT_EQ(handles[3].read(samples.data(), 1024).information, 1024u);
        expectNothingLeft("after the start");
        if (HasFailure()) {
            ADD_FAILURE() << "outcomes: " << traffic.outcomes();
            break;
        }
    }
    EXPECT_GT(succeeded, 0u) << "no request of the traffic succeeded in any cycle";
    RecordProperty("cycles", cycle);
    closeHandles();
}

// Removal of a device that stays attached: query-remove, then remove while requests wait and
// run. The waiting ones fail with STATUS_DELETE_PENDING; removal waits for the running ones,
// which finish as the device answers (or as their application cancels them).
TEST_F(PnpUnderLoad, Remove) {
    int cycle = 0;
    for (; moreCycles(cycle); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::mt19937 random(cycle + 5000);
        const int node = plugInstrument();
        PDEVICE_OBJECT fdo = system.functionalDevice(node);
        openHandles(node);
        Traffic traffic(static_cast<uint16_t>(cycle), handles);
        load(traffic, chooseModes(node, random), random);
        releaseSome(random);
        {
            Background background(traffic, control, cycle * 13 + 5);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            Remover remover(system, node);
            while (!remover.done()) {
                for (const HeldUrb& urb : bus.heldUrbs())
                    bus.releaseHeld(urb.id);
                if (random() % 4 == 0)
                    traffic.cancelPending();
                std::this_thread::sleep_for(200us);
            }
            EXPECT_EQ(remover.status(), STATUS_SUCCESS);
        }
        traffic.cancelPending();
        traffic.check({STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_CANCELLED,
                       STATUS_INVALID_DEVICE_STATE, STATUS_NOINTERFACE,
                       STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_PARAMETER});
        closeHandles();
        EXPECT_FALSE(system.kernel().deviceObjectExists(fdo)) << "the device object was kept";
        EXPECT_EQ(bus.configuration(pdo(node)), 0u) << "the bus did not unconfigure the device";
        expectNothingLeft("after the removal");
        bus.unplug(pdo(node));
        if (HasFailure()) {
            ADD_FAILURE() << "outcomes: " << traffic.outcomes();
            break;
        }
    }
    RecordProperty("cycles", cycle);
}

}  // namespace
}  // namespace vavedu::test
