// Concurrency: configuration and interface selection racing with opens, closes, reads and
// writes; cancel racing with completion and with the start of the next request of a queue; every
// device-control request from several threads at once, on one handle and on several. Each
// request ends once with a status the driver documents for it, nothing leaks, no queue stays
// busy, and the device works afterwards. The sanitizer builds run the same tests: no freed
// interface copy, descriptor or request may be touched.
#include "tests/driver/driver_fixture.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;
using sim::usb::CompletionMode;
using sim::usb::HeldUrb;
using Statuses = std::set<NTSTATUS>;

class Races : public DriverTest {
  protected:
    static constexpr auto kRunTime = 700ms;

    void SetUp() override {
        system.kernel().setHangLimit(10s);
        ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
        node = plugInstrument();
        baseline = counters();
        // The race runs for its time from here: loading and plugging may take long on a busy
        // machine.
        ends = std::chrono::steady_clock::now() + kRunTime;
    }

    bool running() const { return std::chrono::steady_clock::now() < ends; }

    // Records a status that is not among the allowed ones (checked on the test's thread).
    void expectOneOf(const Statuses& allowed, NTSTATUS status, const char* what) {
        if (allowed.count(status) == 0) {
            std::lock_guard lock(mutex);
            unexpected.push_back(std::string(what) + ": " + sim::statusName(status));
        }
    }
    void expectNoUnexpected() {
        std::lock_guard lock(mutex);
        for (const auto& text : unexpected)
            ADD_FAILURE() << text;
    }

    // After the race: no queue is left busy (the configuration can be selected again), the
    // loopback moves data, and the driver holds what a freshly started device holds.
    void expectWorkingDevice() {
        sim::Handle handle = open(node);
        const uint8_t configuration = 1;
        ASSERT_EQ(ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, {&configuration, 1}, 0).status,
                  STATUS_SUCCESS);
        Bytes data = pattern(5000, 3), back(8192);
        EXPECT_EQ(handle.write(data.data(), 5000).information, 5000u);
        sim::AppResult read = handle.read(back.data(), 8192);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        back.resize(read.information);
        EXPECT_EQ(back, data);
        const sim::AllocationCounters now = counters();
        for (auto kind :
             {sim::AllocationKind::Pool, sim::AllocationKind::Mdl, sim::AllocationKind::Irp}) {
            EXPECT_EQ(now.outstandingOf(kind), baseline.outstandingOf(kind))
                << sim::toString(kind) << "\n"
                << system.kernel().leakReport();
        }
    }

    int node = -1;
    sim::AllocationCounters baseline;
    std::chrono::steady_clock::time_point ends;
    std::mutex mutex;
    std::vector<std::string> unexpected;
};


// Selections replace the interface table, the descriptor of the selected configuration and
// the pipe handles while handles are opened and closed and reads and writes are admitted,
// started and completed, on named handles of both interfaces and on an unnamed handle with a
// read and a write outstanding at once. Selections also come as SET_CONFIGURATION and
// SET_INTERFACE setup packets.
TEST_F(Races, SelectionsRacingWithOpensReadsAndWrites) {
    // What a read or write may end with while the table changes under it.
    const Statuses ioAllowed = {
        STATUS_SUCCESS,
        STATUS_CANCELLED,             // cancelled by the test while it waited for data
        STATUS_INVALID_DEVICE_STATE,  // admitted while unconfigured or the entry was being replaced
        STATUS_INVALID_PARAMETER,     // the pipe is not (or no longer) of this direction or
                                      // index, or a stage went down on a replaced pipe handle
        STATUS_NOINTERFACE,           // started after its pipe went away
    };
    auto io = [&](const char16_t* name, unsigned seed) {
        sim::Handle handle = open(node, name);
        std::mt19937 random(seed);
        Bytes readBuffer(40000), writeBuffer = pattern(40000, seed);
        while (running()) {
            const ULONG length = 512 * (random() % 70);
            auto read = handle.readAsync(readBuffer.data(), length);
            auto write = handle.writeAsync(writeBuffer.data(), length);  // unnamed: both at once
            for (auto* request : {&read, &write}) {
                if (!(*request)->waitFor(3ms))
                    (*request)->cancel();
                const sim::IoResult result = (*request)->wait();
                expectOneOf(ioAllowed, result.status, "read or write");
                if (result.status != STATUS_SUCCESS && result.status != STATUS_CANCELLED &&
                    result.information != 0) {
                    expectOneOf({}, result.status, "a refused request reported bytes");
                }
            }
        }
    };
    auto opener = [&] {
        static const char16_t* const kNames[] = {
            u"\\PIPE_0",  u"\\PIPE_1\\INTERFACE_1", u"\\INTERFACE_1\\PIPE_0", u"",
            u"\\PIPE_31", u"\\PIPE_0\\INTERFACE_9"};
        std::mt19937 random(77);
        uint8_t byte = 0;
        while (running()) {
            sim::Handle handle;
            const NTSTATUS opened = open(node, kNames[random() % std::size(kNames)], &handle);
            expectOneOf({STATUS_SUCCESS}, opened, "open");
            if (handle.valid() && random() % 2 == 0) {
                expectOneOf(ioAllowed, handle.write(&byte, 1).status, "write after open");
            }
        }
    };
    auto selector = [&] {
        sim::Handle handle = open(node);
        std::mt19937 random(99);
        while (running()) {
            NTSTATUS status;
            switch (random() % 5) {
                case 0: {
                    const uint8_t value = static_cast<uint8_t>(random() % 4);  // 3: none such
                    status = ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0).status;
                    expectOneOf(
                        {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_PARAMETER},
                        status, "configuration selection");
                    break;
                }
                case 1:
                case 2: {
                    const uint8_t input[2] = {static_cast<uint8_t>(random() % 3),
                                              static_cast<uint8_t>(random() % 2)};
                    status = ioctl(handle, IOCTL_BULK_SELECT_INTERFACE, input, 0).status;
                    expectOneOf({STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE,
                                 STATUS_INVALID_PARAMETER, STATUS_DEVICE_CONFIGURATION_ERROR},
                                status, "interface selection");
                    break;
                }
                case 3: {
                    const SETUP_PACKET packet{0x00, USB_REQUEST_SET_CONFIGURATION,
                                              static_cast<uint16_t>(1 + random() % 2), 0, 0};
                    status = controlTransfer(handle, packet, {}, 0).status;
                    expectOneOf({STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE}, status,
                                "SET_CONFIGURATION setup packet");
                    break;
                }
                default: {
                    const SETUP_PACKET packet{0x01, USB_REQUEST_SET_INTERFACE,
                                              static_cast<uint16_t>(random() % 2), 0, 0};
                    status = controlTransfer(handle, packet, {}, 0).status;
                    expectOneOf({STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE,
                                 STATUS_INVALID_PARAMETER, STATUS_DEVICE_CONFIGURATION_ERROR},
                                status, "SET_INTERFACE setup packet");
                    break;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(io, u"\\PIPE_0", 1);
    threads.emplace_back(io, u"\\PIPE_1", 2);
    threads.emplace_back(io, u"\\PIPE_1\\INTERFACE_1", 3);
    threads.emplace_back(io, u"\\PIPE_0\\INTERFACE_1", 4);
    threads.emplace_back(io, u"", 5);
    threads.emplace_back(opener);
    threads.emplace_back(selector);
    for (auto& t : threads)
        t.join();
    expectNoUnexpected();
    expectWorkingDevice();
}

// Several threads select configurations and alternate settings at once. Each selection runs
// alone: none builds its request from another's list of interfaces (which wrote past the
// request block USBD allocated), and the table ends as the last selection left it.
TEST_F(Races, SelectionsFromSeveralThreads) {
    auto selector = [&](unsigned seed) {
        sim::Handle handle = open(node);
        std::mt19937 random(seed);
        while (running()) {
            if (random() % 2 == 0) {
                const uint8_t value = static_cast<uint8_t>(1 + random() % 2);
                expectOneOf({STATUS_SUCCESS},
                            ioctl(handle, IOCTL_BULK_SELECT_CONFIGURATION, {&value, 1}, 0).status,
                            "configuration selection");
            } else {
                const uint8_t input[2] = {static_cast<uint8_t>(random() % 2),
                                          static_cast<uint8_t>(random() % 2)};
                // Interface 1 and setting 1 exist only in configuration 1.
                expectOneOf({STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
                            ioctl(handle, IOCTL_BULK_SELECT_INTERFACE, input, 0).status,
                            "interface selection");
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i)
        threads.emplace_back(selector, 20 + i);
    for (auto& t : threads)
        t.join();
    expectNoUnexpected();
    expectWorkingDevice();
}

// One thread stores setup packets with data stages of different lengths while another runs
// control transfers with an output buffer that fits only one of them. Whichever packet a
// transfer finds, the buffer is checked against that packet and no other: the transfer fits,
// or is refused, and never writes beyond its buffer (the model stops on an Information larger
// than the caller's output).
TEST_F(Races, ControlTransfersWhileAnotherThreadStoresPackets) {
    std::atomic<bool> done{false};
    std::thread storer([&] {
        sim::Handle handle = open(node);
        const SETUP_PACKET device{0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18};
        const SETUP_PACKET configuration{0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 64};
        for (unsigned i = 0; !done; ++i)
            expectOneOf({STATUS_SUCCESS},
                        setSetupPacket(handle, i % 2 ? configuration : device).status,
                        "store a setup packet");
    });
    sim::Handle handle = open(node);
    unsigned transferred = 0;
    for (int i = 0; i < 3000 || (transferred == 0 && i < 100000); ++i) {
        Bytes output;
        const sim::AppResult result = ioctl(handle, IOCTL_BULK_CONTROL_TRANSFER, {}, 18, &output);
        expectOneOf({STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_INVALID_BUFFER_SIZE},
                    result.status, "control transfer");
        if (result.status == STATUS_SUCCESS) {
            ++transferred;
            if (output.size() != 18 || output[1] != USB_DEVICE_DESCRIPTOR_TYPE)
                expectOneOf({}, result.status, "the transfer did not bring the device descriptor");
        }
    }
    done = true;
    storer.join();
    expectNoUnexpected();
    EXPECT_GT(transferred, 0u);
}

// Cancel racing with completion and with StartNextPacket. Two threads send bursts of reads into
// one queue while a third cancels them at random moments: waiting in the queue, being started,
// at the bus, completing. Inline completion finishes each request inside its own start, so the
// next one starts from the completion of the one before; asynchronous completion does it on the
// host controller's thread; held URBs are completed by a device thread as the cancels come.
class CancelRace : public Races, public ::testing::WithParamInterface<CompletionMode> {};

TEST_P(CancelRace, EveryRequestEndsOnceAndTheQueueGoesOn) {
    const CompletionMode mode = GetParam();
    // The stream has data at hand; the held mode uses the loopback, whose data the test gives.
    const uint8_t endpoint = mode == CompletionMode::Held ? 0x81 : 0x86;
    const char16_t* name = endpoint == 0x81 ? u"\\PIPE_1" : u"\\PIPE_1\\INTERFACE_1";
    bus.setEndpointCompletionMode(pdo(node), endpoint, mode);

    struct Read {
        Bytes buffer;
        std::unique_ptr<sim::UserRequest> request;
    };
    std::mutex readsMutex;
    std::deque<std::shared_ptr<Read>> pending;  // for the canceller
    std::atomic<unsigned> succeeded{0}, cancelled{0};

    auto check = [&](Read& read) {
        const sim::IoResult result = read.request->wait();
        if (result.status == STATUS_CANCELLED) {
            ++cancelled;
            if (result.information != 0)
                expectOneOf({}, result.status, "a cancelled read reported bytes");
            return;
        }
        expectOneOf({STATUS_SUCCESS}, result.status, "read");
        if (result.status != STATUS_SUCCESS)
            return;
        ++succeeded;
        const bool intact =
            endpoint == 0x86
                ? isStretchOfWaveform(read.buffer.data(), result.information)
                : std::equal(read.buffer.begin(), read.buffer.begin() + result.information,
                             pattern(result.information, 5).begin());
        if (!intact || result.information == 0)
            expectOneOf({}, result.status, "a read that succeeded brought wrong data");
    };
    auto submitter = [&](unsigned seed) {
        sim::Handle handle = open(node, name);
        std::mt19937 random(seed);
        do {  // at least one round, however busy the machine is
            std::vector<std::shared_ptr<Read>> burst;
            for (unsigned i = 0, n = 1 + random() % 8; i < n; ++i) {
                auto read = std::make_shared<Read>();
                read->buffer.resize(512 * (1 + random() % 8));
                read->request =
                    handle.readAsync(read->buffer.data(), static_cast<ULONG>(read->buffer.size()));
                burst.push_back(read);
                std::lock_guard lock(readsMutex);
                pending.push_back(read);
            }
            for (auto& read : burst)
                check(*read);
        } while (running());
    };
    auto canceller = [&] {
        std::mt19937 random(4242);
        while (running()) {
            std::shared_ptr<Read> victim;
            {
                std::lock_guard lock(readsMutex);
                if (!pending.empty()) {
                    const size_t at = random() % pending.size();
                    victim = pending[at];
                    pending.erase(pending.begin() + static_cast<long>(at));
                }
                while (pending.size() > 64)
                    pending.pop_front();
            }
            if (victim && random() % 2 == 0)
                victim->request->cancel();
            if (random() % 4 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 50));
        }
    };
    // The device of the held mode: answers held reads with data, racing with the cancels.
    std::atomic<bool> readersDone{false};
    auto device = [&] {
        while (!readersDone) {
            for (const HeldUrb& urb : bus.heldUrbs())
                bus.completeHeld(urb.id, {USBD_STATUS_SUCCESS, pattern(urb.length, 5), {}});
            std::this_thread::yield();
        }
    };
    std::thread deviceThread;
    if (mode == CompletionMode::Held)
        deviceThread = std::thread(device);
    std::vector<std::thread> threads;
    threads.emplace_back(submitter, 1);
    threads.emplace_back(submitter, 2);
    threads.emplace_back(canceller);
    for (auto& t : threads)
        t.join();
    readersDone = true;
    if (deviceThread.joinable())
        deviceThread.join();
    {
        std::lock_guard lock(readsMutex);
        pending.clear();
    }
    expectNoUnexpected();
    EXPECT_GT(succeeded.load(), 0u);
    RecordProperty("cancelled", static_cast<int>(cancelled.load()));
    bus.setEndpointCompletionMode(pdo(node), endpoint, CompletionMode::Async);
    expectWorkingDevice();
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelRace,
                         ::testing::Values(CompletionMode::Inline, CompletionMode::Async,
                                           CompletionMode::Held),
                         [](const auto& info) {
                             switch (info.param) {
                                 case CompletionMode::Inline:
                                     return "Inline";
                                 case CompletionMode::Async:
                                     return "Async";
                                 default:
                                     return "Held";
                             }
                         });

// One device-control request of the driver's thirteen (and an unknown code): its input, output
// length, the statuses it may end with while other threads run the others, and a check of a
// successful output.
struct IoctlCase {
    const char* name;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    Statuses allowed;
    bool (*valid)(const Bytes& output);
};

bool anything(const Bytes&) {
    return true;
}

const Statuses kPipeResetStatuses = {STATUS_SUCCESS, STATUS_INVALID_PARAMETER,
                                     STATUS_INVALID_DEVICE_STATE, STATUS_UNSUCCESSFUL};

std::vector<IoctlCase> ioctlCases() {
    auto value32 = [](uint32_t v) {
        Bytes b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    };
    auto packet = [](SETUP_PACKET p) {
        Bytes b(8);
        std::memcpy(b.data(), &p, 8);
        return b;
    };
    // A control transfer may find the packet another thread stored or consumed meanwhile.
    const Statuses transfer = {STATUS_SUCCESS,
                               STATUS_UNSUCCESSFUL,
                               STATUS_INVALID_BUFFER_SIZE,
                               STATUS_INVALID_DEVICE_STATE,
                               STATUS_INVALID_PARAMETER,
                               STATUS_DEVICE_CONFIGURATION_ERROR};
    return {
        {"driver version",
         IOCTL_BULK_GET_DRIVER_VERSION,
         {},
         4,
         {STATUS_SUCCESS},
         [](const Bytes& o) {
             return o == Bytes{0, 0, 0, 0x0C};
         }},
        {"device descriptor",
         IOCTL_BULK_GET_DESCRIPTOR,
         {1, 0, 0, 0},
         18,
         {STATUS_SUCCESS},
         [](const Bytes& o) { return o.size() == 18 && o[0] == 18 && o[1] == 1; }},
        {"configuration descriptor",
         IOCTL_BULK_GET_DESCRIPTOR,
         {2, 1, 0, 0},
         64,
         {STATUS_SUCCESS},
         [](const Bytes& o) { return o.size() > 9 && o[1] == 2 && o[5] == 2; }},
        {"pipe reset",
         IOCTL_BULK_RESET_PIPE,
         {1, 0, 0, 0},
         0,
         // the interface entry is being replaced, or the bus no longer knows the handle; the
         // pipe's queue is busy, or a transfer reached the bus meanwhile (the bus refuses busy)
         kPipeResetStatuses,
         anything},
        {"pipe reset, interface 1",
         IOCTL_BULK_RESET_PIPE,
         {0, 1, 0, 0},
         0,
         kPipeResetStatuses,
         anything},
        {"last USB status", IOCTL_BULK_GET_LAST_USBD_STATUS, {}, 4, {STATUS_SUCCESS}, anything},
        {"reserved value",
         IOCTL_BULK_GET_RESERVED_VALUE,
         {},
         4,
         {STATUS_SUCCESS},
         [](const Bytes& o) {
             return o == Bytes{0, 0, 0, 0};
         }},
        {"zero-length packets on",
         IOCTL_BULK_ZERO_LENGTH_PACKET_MODE,
         value32(1),
         4,
         {STATUS_SUCCESS},
         [](const Bytes& o) {
             return o == Bytes{1, 0, 0, 0};
         }},
        {"zero-length packets off",
         IOCTL_BULK_ZERO_LENGTH_PACKET_MODE,
         value32(0),
         0,
         {STATUS_SUCCESS},
         anything},
        {"zero-length packet mode",
         IOCTL_BULK_ZERO_LENGTH_PACKET_MODE,
         value32(2),
         4,
         {STATUS_SUCCESS},
         [](const Bytes& o) {
             return o == Bytes{0, 0, 0, 0} || o == Bytes{1, 0, 0, 0};
         }},
        {"banner",
         IOCTL_BULK_GET_BANNER,
         {},
         256,
         {STATUS_SUCCESS},
         [](const Bytes& o) {
             return std::string(o.begin(), o.end()).starts_with("VaVedu.SYS version 0C00.0000");
         }},
        {"USBDI version",
         IOCTL_BULK_GET_USBDI_VERSION,
         {},
         8,
         {STATUS_SUCCESS},
         [](const Bytes& o) { return o.size() == 8; }},
        {"configuration 1",
         IOCTL_BULK_SELECT_CONFIGURATION,
         {1},
         0,
         {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE},
         anything},
        {"alternate setting",
         IOCTL_BULK_SELECT_INTERFACE,
         {0, 1},
         0,
         // refused while busy; or the bus refused it, since another thread's selection of the
         // configuration replaced the handle it carried
         {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_CONFIGURATION_ERROR,
          STATUS_INVALID_PARAMETER},
         anything},
        {"first setting",
         IOCTL_BULK_SELECT_INTERFACE,
         {0, 0},
         0,
         // refused while busy; or the bus refused it, since another thread's selection of the
         // configuration replaced the handle it carried
         {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_CONFIGURATION_ERROR,
          STATUS_INVALID_PARAMETER},
         anything},
        {"setup packet",
         IOCTL_BULK_SET_SETUP_PACKET,
         packet({0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18}),
         0,
         {STATUS_SUCCESS},
         anything},
        {"control transfer", IOCTL_BULK_CONTROL_TRANSFER, {}, 18, transfer, anything},
        {"firmware version packet",
         IOCTL_BULK_SET_SETUP_PACKET,
         packet({0xC0, sim::usb::InstrumentModel::kRequestFirmwareVersion, 0, 0, 32}),
         0,
         {STATUS_SUCCESS},
         anything},
        {"control transfer of 32", IOCTL_BULK_CONTROL_TRANSFER, {}, 32, transfer, anything},
        {"unknown code", 0x0022002C, {}, 4, {STATUS_INVALID_DEVICE_REQUEST}, anything},
    };
}

// Several threads run every device-control request but the port cycle (which ends the handles)
// at random, on one shared handle or each on its own, while the loopback carries data. Whatever
// one request changes (the mode, the stored setup packet, the selection) the others see a
// consistent driver: their statuses are among the documented ones and their outputs well formed.
class IoctlRace : public Races, public ::testing::WithParamInterface<bool> {};

TEST_P(IoctlRace, EveryIoctlFromSeveralThreads) {
    const bool shared = GetParam();
    const std::vector<IoctlCase> cases = ioctlCases();
    sim::Handle common = open(node);
    std::atomic<unsigned> done{0};
    auto caller = [&](unsigned seed) {
        sim::Handle own;
        if (!shared)
            own = open(node);
        sim::Handle& handle = shared ? common : own;
        std::mt19937 random(seed);
        do {  // at least one round, however busy the machine is
            const IoctlCase& c = cases[random() % cases.size()];
            Bytes output;
            const sim::AppResult result = ioctl(handle, c.code, c.input, c.outputLength, &output);
            expectOneOf(c.allowed, result.status, c.name);
            if (result.status == STATUS_SUCCESS && !c.valid(output))
                expectOneOf({}, result.status, (std::string(c.name) + ": bad output").c_str());
            ++done;
        } while (running());
    };
    auto traffic = [&] {
        sim::Handle out = open(node, u"\\PIPE_0"), in = open(node, u"\\PIPE_1");
        Bytes data = pattern(4096, 8), back(4096);
        while (running()) {
            auto write = out.writeAsync(data.data(), 4096);
            auto read = in.readAsync(back.data(), 4096);
            for (auto* request : {&write, &read}) {
                if (!(*request)->waitFor(5ms))
                    (*request)->cancel();
                expectOneOf({STATUS_SUCCESS, STATUS_CANCELLED, STATUS_INVALID_DEVICE_STATE,
                             STATUS_INVALID_PARAMETER, STATUS_NOINTERFACE},
                            (*request)->wait().status, "loopback traffic");
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i)
        threads.emplace_back(caller, 10 + i);
    threads.emplace_back(traffic);
    for (auto& t : threads)
        t.join();
    expectNoUnexpected();
    EXPECT_GT(done.load(), 0u);
    common.close();
    expectWorkingDevice();
}

INSTANTIATE_TEST_SUITE_P(Handles, IoctlRace, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "OneHandle" : "OwnHandles"; });

}  // namespace
}  // namespace vavedu::test
