// The bulk transfer engine: chunks of the pipe's maximum transfer size, zero-length packets,
// failing and cancelled stages, and what one request allocates.
#include "tests/driver/driver_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;
using sim::AllocationKind;
using sim::FaultPolicy;
using sim::usb::CompletionMode;
using sim::usb::Fault;
using sim::usb::HeldUrb;
using sim::usb::ntStatusForUsbd;

class Transfers : public DriverTest {
  protected:
    void start(const std::map<std::u16string, ULONG>& registry = {}) {
        ASSERT_EQ(loadDriver(registry), STATUS_SUCCESS);
        node = plugInstrument();
        out = open(node, u"\\PIPE_0");
        in = open(node, u"\\PIPE_1");
    }
    void hold(uint8_t endpoint) {
        bus.setEndpointCompletionMode(pdo(node), endpoint, CompletionMode::Held);
    }
    HeldUrb nextHeld() {
        EXPECT_TRUE(bus.waitForHeld(1));
        auto held = bus.heldUrbs();
        EXPECT_EQ(held.size(), 1u);
        return held.empty() ? HeldUrb{} : held.front();
    }
    // Completes the held stage: success with `bytes` bytes (data for IN) or the given status.
    void complete(uint32_t bytes, USBD_STATUS status = USBD_STATUS_SUCCESS) {
        HeldUrb urb = nextHeld();
        ASSERT_TRUE(bus.completeHeld(urb.id, {status, urb.in ? pattern(bytes) : Bytes{}, bytes}));
    }
    // Writes `data` through the loopback and reads `length` bytes back.
    sim::AppResult loopback(const Bytes& data, ULONG length, Bytes* back) {
        EXPECT_EQ(out.write(data.data(), (ULONG)data.size()).information, data.size());
        back->assign(length, 0);
        sim::AppResult result = in.read(back->data(), length);
        back->resize(result.information);
        return result;
    }

    int node = -1;
    sim::Handle out, in;
};

TEST_F(Transfers, AReadGoesDownInChunksOfTheMaximumTransferSize) {
    start();
    struct Case {
        ULONG written;
        ULONG asked;
        std::vector<uint32_t> stages;
    };
    const Case cases[] = {
        {40000, 40000, {16384, 16384, 7232}},
        {32768, 32768, {16384, 16384}},  // an exact multiple needs no further chunk
        {100, 40000, {16384}},           // a short chunk ends the request
        {16384 + 512, 40000, {16384, 16384}},
        {1, 1, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.written) + " of " + std::to_string(c.asked));
        bus.trace().clear();
        Bytes data = pattern(c.written, c.asked), back;
        sim::AppResult result = loopback(data, c.asked, &back);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, c.written);
        EXPECT_EQ(back, data);
        EXPECT_EQ(stageLengths(0x81), c.stages);
    }
}

TEST_F(Transfers, AWriteGoesDownInChunksInBufferOrder) {
    start();
    Bytes data = pattern(40000);
    EXPECT_EQ(out.write(data.data(), 40000).information, 40000u);
    EXPECT_EQ(stageLengths(0x01), (std::vector<uint32_t>{16384, 16384, 7232}));
    Bytes back(40000);
    EXPECT_EQ(in.read(back.data(), 40000).information, 40000u);
    EXPECT_EQ(back, data);
}

TEST_F(Transfers, TheRegistryCanRaiseTheChunkSize) {
    start({{std::u16string(kMaxTransferSizeValue), 65536}});
    Bytes data = pattern(100000), back;
    EXPECT_EQ(loopback(data, 100000, &back).information, 100000u);
    EXPECT_EQ(back, data);
    EXPECT_EQ(stageLengths(0x01), (std::vector<uint32_t>{65536, 34464}));
    EXPECT_EQ(stageLengths(0x81), (std::vector<uint32_t>{65536, 34464}));
}

// A maximum transfer size of 5000 over 512-byte packets makes chunks of 4608 bytes. Over a buffer
// that starts 100 bytes into a page the first chunk spans two pages and the eighth (bytes 32256
// to 36863) three: the MDL built for the first must have room for it.
TEST_F(Transfers, ALaterChunkMaySpanOnePageMoreThanTheFirst) {
    start({{std::u16string(kMaxTransferSizeValue), 5000}});
    constexpr size_t kLength = 8 * 4608;
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer(
        static_cast<uint8_t*>(std::aligned_alloc(4096, 11 * 4096)), &std::free);
    Bytes data = pattern(kLength);
    std::copy(data.begin(), data.end(), buffer.get() + 100);
    EXPECT_EQ(out.write(buffer.get() + 100, kLength).information, kLength);
    EXPECT_EQ(stageLengths(0x01), std::vector<uint32_t>(8, 4608));
}

// With a maximum transfer size of 1000 and 512-byte packets, a chunk of 1000 bytes would end
// inside the device's second full packet: the chunk is a whole number of packets instead. Below
// one packet the chunk is one packet, never empty, so a request of that size goes down whole.
struct ChunkCase {
    ULONG maximumTransferSize;
    ULONG length;
    std::vector<uint32_t> stages;
};

class ChunkSizes : public Transfers, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ChunkSizes, AChunkIsAWholeNumberOfPackets) {
    start({{std::u16string(kMaxTransferSizeValue), GetParam().maximumTransferSize}});
    Bytes data = pattern(GetParam().length), back;
    sim::AppResult result = loopback(data, GetParam().length, &back);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << sim::statusName(result.status);
    EXPECT_EQ(back, data);
    EXPECT_EQ(stageLengths(0x81), GetParam().stages);
}

INSTANTIATE_TEST_SUITE_P(MaximumTransferSizes, ChunkSizes,
                         ::testing::Values(ChunkCase{1000, 2048, {512, 512, 512, 512}},
                                           ChunkCase{100, 100, {100}}));

// Several MiB in 16 KiB chunks, with its zero-length packet, whether the bus completes each stage
// inside the send or later on its own thread: the same stages and byte counts.
TEST_F(Transfers, LongTransfersInEveryCompletionMode) {
    start();
    constexpr ULONG kLength = 4u << 20;
    ASSERT_EQ(zeroLengthPacketMode(out, 1).status, STATUS_SUCCESS);
    for (CompletionMode mode : {CompletionMode::Inline, CompletionMode::Async}) {
        SCOPED_TRACE(mode == CompletionMode::Inline ? "inline" : "async");
        bus.setBulkCompletionMode(mode);
        bus.trace().clear();
        Bytes data = pattern(kLength), back;
        sim::AppResult result = loopback(data, kLength, &back);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << sim::statusName(result.status);
        EXPECT_TRUE(back == data);
        std::vector<uint32_t> chunks(kLength / 16384, 16384);
        EXPECT_EQ(stageLengths(0x81), chunks);
        chunks.push_back(0);
        EXPECT_EQ(stageLengths(0x01), chunks);
    }
}

// A write cut off by a stop (its pipe is gone when a stage completes) fails when bytes were left
// or its zero-length packet was due; a read that ends so keeps what arrived.
TEST_F(Transfers, ATransferCutOffByAStop) {
    start();
    struct Case {
        const char* name;
        bool read;
        LONG zeroLengthPacketMode;
        ULONG length;
        NTSTATUS status;
        ULONG information;
    };
    const Case cases[] = {
        {"write with bytes left", false, 0, 40000, STATUS_NOINTERFACE, 0},
        {"write owing its zero-length packet", false, 1, 16384, STATUS_NOINTERFACE, 0},
        {"write done", false, 1, 1000, STATUS_SUCCESS, 1000},
        {"write done without zero-length packet", false, 0, 16384, STATUS_SUCCESS, 16384},
        {"read with bytes left", true, 0, 40000, STATUS_SUCCESS, 16384},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t endpoint = c.read ? 0x81 : 0x01;
        hold(endpoint);
        ASSERT_EQ(zeroLengthPacketMode(out, c.zeroLengthPacketMode).status, STATUS_SUCCESS);
        bus.trace().clear();
        Bytes buffer = pattern(c.length);
        auto request = c.read ? in.readAsync(buffer.data(), c.length)
                              : out.writeAsync(buffer.data(), c.length);
        nextHeld();
        ASSERT_EQ(system.stop(node), STATUS_SUCCESS);
        complete(std::min<ULONG>(c.length, 16384));
        sim::IoResult result = request->wait();
        EXPECT_EQ(result.status, c.status) << sim::statusName(result.status);
        EXPECT_EQ(result.information, c.information);
        EXPECT_EQ(stageLengths(endpoint).size(), 1u);
        ASSERT_EQ(system.start(node), STATUS_SUCCESS);
    }
}

TEST_F(Transfers, ZeroLengthPacketsFollowWritesOfWholePackets) {
    start();
    struct Case {
        LONG mode;
        ULONG length;
        std::vector<uint32_t> stages;
    };
    const Case cases[] = {
        {1, 1024, {1024, 0}},
        {0, 1024, {1024}},
        {1, 1000, {1000}},
        {1, 512, {512, 0}},
        {1, 32768, {16384, 16384, 0}},
        {1, 16384 + 100, {16384, 100}},
        {0, 0, {0}},  // a write of length 0 is one zero-length packet, whatever the mode
        {1, 0, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " length " + std::to_string(c.length));
        ASSERT_EQ(zeroLengthPacketMode(out, c.mode).status, STATUS_SUCCESS);
        bus.trace().clear();
        unsigned zlpsBefore = instrument(node).zeroLengthPacketsReceived();
        Bytes data = pattern(c.length);
        sim::AppResult result = out.write(data.data(), c.length);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, c.length);
        EXPECT_EQ(stageLengths(0x01), c.stages);
        unsigned zlps = instrument(node).zeroLengthPacketsReceived() - zlpsBefore;
        EXPECT_EQ(zlps, c.stages.back() == 0 ? 1u : 0u);
        for (const auto& stage : completedOnEndpoint(0x01)) {
            EXPECT_EQ(stage.transferFlags,
                      stage.requestedLength == 0 ? 0u : (uint32_t)USBD_SHORT_TRANSFER_OK);
        }
        Bytes drain(c.length);
        if (c.length != 0) {
            EXPECT_EQ(in.read(drain.data(), c.length).information, c.length);
        }
    }
}

// The mode counts as it stands when the last data chunk completes.
TEST_F(Transfers, TheZeroLengthPacketModeIsReadWhenTheLastChunkCompletes) {
    start();
    hold(0x01);
    for (LONG modeAtStart : {0, 1}) {
        SCOPED_TRACE("mode at start " + std::to_string(modeAtStart));
        bus.trace().clear();
        ASSERT_EQ(zeroLengthPacketMode(out, modeAtStart).status, STATUS_SUCCESS);
        Bytes data = pattern(1024);
        auto write = out.writeAsync(data.data(), 1024);
        nextHeld();
        ASSERT_EQ(zeroLengthPacketMode(out, 1 - modeAtStart).status, STATUS_SUCCESS);
        complete(1024);
        if (modeAtStart == 0)
            complete(0);
        EXPECT_EQ(write->wait().information, 1024u);
        EXPECT_EQ(stageLengths(0x01), modeAtStart == 0 ? (std::vector<uint32_t>{1024, 0})
                                                       : std::vector<uint32_t>{1024});
    }
}

TEST_F(Transfers, AFailingZeroLengthPacketFailsTheWrite) {
    start();
    hold(0x01);
    ASSERT_EQ(zeroLengthPacketMode(out, 1).status, STATUS_SUCCESS);
    Bytes data = pattern(512);
    auto write = out.writeAsync(data.data(), 512);
    complete(512);
    complete(0, USBD_STATUS_STALL_PID);
    sim::IoResult result = write->wait();
    EXPECT_EQ(result.status, ntStatusForUsbd(USBD_STATUS_STALL_PID));
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(lastUsbdStatus(in), static_cast<ULONG>(USBD_STATUS_STALL_PID));
}

TEST_F(Transfers, AFailingChunkFailsTheRequestWithItsStatus) {
    start();
    hold(0x81);
    Bytes buffer(40000);
    auto read = in.readAsync(buffer.data(), 40000);
    complete(16384);
    complete(0, USBD_STATUS_CRC);
    sim::IoResult result = read->wait();
    EXPECT_EQ(result.status, ntStatusForUsbd(USBD_STATUS_CRC));
    EXPECT_EQ(result.information, 0u);  // the first chunk's bytes are not reported
    EXPECT_EQ(lastUsbdStatus(in), static_cast<ULONG>(USBD_STATUS_CRC));
    EXPECT_EQ(stageLengths(0x81), (std::vector<uint32_t>{16384, 16384}));
}

TEST_F(Transfers, AStalledEndpointFailsTheWriteUntilItIsReset) {
    start();
    bus.injectFault(pdo(node), 0x01, Fault::of(Fault::Kind::Stall));
    Bytes data = pattern(100);
    EXPECT_EQ(out.write(data.data(), 100).status, ntStatusForUsbd(USBD_STATUS_STALL_PID));
    EXPECT_EQ(lastUsbdStatus(out), static_cast<ULONG>(USBD_STATUS_STALL_PID));
    uint8_t reset[4] = {0, 0, 0, 0};  // pipe 0 of interface 0
    EXPECT_EQ(ioctl(out, IOCTL_BULK_RESET_PIPE, reset, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(out.write(data.data(), 100).information, 100u);
}

TEST_F(Transfers, CancelWhileAChunkIsInFlight) {
    start();
    hold(0x81);
    Bytes buffer(40000), next(512);
    auto read = in.readAsync(buffer.data(), 40000);
    complete(16384);
    nextHeld();
    auto following = in.readAsync(next.data(), 512);
    EXPECT_TRUE(read->cancel());
    auto result = read->waitFor(5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, STATUS_CANCELLED);
    EXPECT_EQ(result->information, 0u);
    complete(77);  // the queue went on to the next read
    EXPECT_EQ(following->wait().information, 77u);
}

TEST_F(Transfers, AZeroLengthReadCompletesWithoutTheBus) {
    start();
    hold(0x81);
    Bytes buffer(512);
    EXPECT_EQ(in.read(buffer.data(), 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(completedOnEndpoint(0x81).empty());
    EXPECT_TRUE(bus.heldUrbs().empty());
    auto read = in.readAsync(buffer.data(), 512);  // the queue is free for the next read
    complete(10);
    EXPECT_EQ(read->wait().information, 10u);
}

// One context and one MDL per request whatever its number of chunks, and no request packet.
TEST_F(Transfers, ARequestAllocatesOnePoolBlockAndOneMdl) {
    start();
    for (ULONG length : {512u, 16384u, 40000u, 100000u}) {
        SCOPED_TRACE(length);
        Bytes data = pattern(length), back(length);
        auto before = counters();
        EXPECT_EQ(out.write(data.data(), length).information, length);
        auto afterWrite = counters();
        EXPECT_EQ(in.read(back.data(), length).information, length);
        auto afterRead = counters();
        for (auto [from, to] : {std::pair{before, afterWrite}, std::pair{afterWrite, afterRead}}) {
            EXPECT_EQ(allocatedBetween(from, to, AllocationKind::Pool), 1u);
            EXPECT_EQ(allocatedBetween(from, to, AllocationKind::Mdl), 1u);
            EXPECT_EQ(allocatedBetween(from, to, AllocationKind::Irp), 0u);
        }
        EXPECT_EQ(afterRead.outstandingOf(AllocationKind::Mdl),
                  before.outstandingOf(AllocationKind::Mdl));
    }
}

// Every allocation StartIo makes can fail: the request ends with 0xC000009A, nothing reaches
// the bus, and the queue goes on.
TEST_F(Transfers, EveryLowResourceFailureInStartIoEndsTheRequestCleanly) {
    start();
    for (AllocationKind kind : {AllocationKind::Pool, AllocationKind::Mdl}) {
        for (bool read : {true, false}) {
            SCOPED_TRACE(std::string(sim::toString(kind)) + (read ? " read" : " write"));
            bus.trace().clear();
            Bytes data = pattern(1000);
            auto failedBefore = counters().failedOf(kind);
            system.kernel().setFaultPolicy(FaultPolicy::failNth(1, kind));
            sim::AppResult result =
                read ? in.read(data.data(), 1000) : out.write(data.data(), 1000);
            system.kernel().setFaultPolicy(FaultPolicy::none());
            EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(counters().failedOf(kind), failedBefore + 1);
            EXPECT_TRUE(completed(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
            EXPECT_EQ(out.write(data.data(), 1000).information, 1000u);
            EXPECT_EQ(in.read(data.data(), 1000).information, 1000u);
        }
    }
    // Zero-length requests allocate their context too.
    system.kernel().setFaultPolicy(FaultPolicy::failNth(1, AllocationKind::Pool));
    EXPECT_EQ(out.write(nullptr, 0).status, STATUS_INSUFFICIENT_RESOURCES);
    system.kernel().setFaultPolicy(FaultPolicy::failNth(1, AllocationKind::Pool));
    EXPECT_EQ(in.read(nullptr, 0).status, STATUS_INSUFFICIENT_RESOURCES);
    system.kernel().setFaultPolicy(FaultPolicy::none());
}

// The same, by site: every allocation site a transfer reaches in the driver is failed in turn.
TEST_F(Transfers, EachAllocationSiteOfATransferCanFail) {
    start();
    Bytes data = pattern(40000);
    system.kernel().resetSitesReached();
    ASSERT_EQ(out.write(data.data(), 40000).information, 40000u);
    ASSERT_EQ(in.read(data.data(), 40000).information, 40000u);
    std::vector<sim::AllocationSite> sites;
    for (const auto& site : system.kernel().sitesReached()) {
        if (site.image.find("VaVedu") != std::string::npos)
            sites.push_back(site);
    }
    EXPECT_EQ(sites.size(), 2u);  // the context and the MDL
    for (const auto& site : sites) {
        SCOPED_TRACE(site.describe());
        system.kernel().setFaultPolicy(FaultPolicy::failSite(site));
        EXPECT_EQ(out.write(data.data(), 40000).status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(in.read(data.data(), 40000).status, STATUS_INSUFFICIENT_RESOURCES);
        system.kernel().setFaultPolicy(FaultPolicy::none());
    }
}

TEST_F(Transfers, TwoHandlesOnOnePipeAreNotInterleaved) {
    start();
    hold(0x81);
    sim::Handle second = open(node, u"\\PIPE_1");
    Bytes a(40000), b(40000);
    auto readA = in.readAsync(a.data(), 40000);
    auto readB = second.readAsync(b.data(), 40000);
    HeldUrb first = nextHeld();
    complete(16384);
    EXPECT_EQ(nextHeld().irp, first.irp);  // the next chunk is the first read's again
    complete(16384);
    complete(7232);
    EXPECT_EQ(readA->wait().information, 40000u);
    EXPECT_NE(nextHeld().irp, first.irp);
    complete(5);
    EXPECT_EQ(readB->wait().information, 5u);
}

}  // namespace
}  // namespace vavedu::test
