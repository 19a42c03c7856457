// The driver on a timed bus. With the code's own time left out, what reads and writes reach
// through the whole stack is exactly what the bus arithmetic gives for one chunk in flight, so
// the chunking, the latency and the speed cost what they should whatever the build's speed; with
// it counted, it shows; a paced stream the bus can carry is carried.
#include "tools/throughput/throughput.hpp"

#include <gtest/gtest.h>

namespace vavedu::throughput {
namespace {

using std::chrono::microseconds;

Measurement reads(BusSpeed speed, microseconds latency, uint32_t maxTransfer, uint64_t bytes,
                  bool countCode = false) {
    TimedMachine machine({speed, latency, maxTransfer, countCode});
    return machine.measure(bytes, 2).second;
}

// 64 KiB chunks of 128 packets: 9 microframes and 11 packets on the wire, the completion at the
// end of the last microframe plus 125 us, so the next chunk starts a microframe later: a cycle of
// 11 microframes (89.5% of the limit). Two chunks in flight would keep the bus busy.
TEST(TimedBus, ReadsAndWritesAreWhatTheBusArithmeticGives) {
    TimedMachine machine({BusSpeed::High, microseconds(125), 65536, false});
    const auto [writes, readsBack] = machine.measure(1 << 20, 2);
    for (const Measurement& m : {writes, readsBack}) {
        EXPECT_EQ(m.chunksPerRequest, 16) << m.read;
        EXPECT_NEAR(m.shareOfLimit, 65536 / (11 * 125e-6) / 53.248e6, 1e-4) << m.read;
        EXPECT_NEAR(m.shareOfLimit, m.modelledShare, 1e-4) << m.read;
        EXPECT_NEAR(m.gapShare, 1 - (9 * 125 + 103.95) / (11 * 125), 1e-3) << m.read;
        EXPECT_GT(m.twoInFlightShare, 0.99) << m.read;
    }
}

TEST(TimedBus, LatencyChunkSizeAndSpeedCostWhatTheyShould) {
    struct Case {
        BusSpeed speed;
        unsigned latencyUs;
        uint32_t maxTransfer;
        double share;
    } const cases[] = {
        // 32 packets (2.5 microframes) per chunk: a cycle of 4 microframes with 125 us, 3 with none
        {BusSpeed::High, 125, 16384, 16384 / (4 * 125e-6) / 53.248e6},
        {BusSpeed::High, 0, 16384, 16384 / (3 * 125e-6) / 53.248e6},
        // 1 ms: a chunk every 2.5 microframes plus 8 microframes of waiting, rounded up: 11
        {BusSpeed::High, 1000, 16384, 16384 / (11 * 125e-6) / 53.248e6},
        // one chunk of 512 packets: 39.4 microframes, a cycle of 41
        {BusSpeed::High, 125, 256 * 1024, 262144 / (41 * 125e-6) / 53.248e6},
        // full speed, 64 packets of 64 bytes (3.4 frames) per chunk, a cycle of 4 frames
        {BusSpeed::Full, 125, 4096, 4096 / (4 * 1e-3) / 1.216e6},
    };
    for (const Case& c : cases) {
        const Measurement m =
            reads(c.speed, microseconds(c.latencyUs), c.maxTransfer, uint64_t{256} << 10);
        EXPECT_NEAR(m.shareOfLimit, c.share, 0.002) << c.latencyUs << " us, " << c.maxTransfer;
        EXPECT_NEAR(m.shareOfLimit, m.modelledShare, 0.002) << c.maxTransfer;
    }
}

TEST(TimedBus, TheCodesOwnTimeIsCounted) {
    const Measurement free = reads(BusSpeed::High, microseconds(125), 16384, 1 << 20);
    const Measurement counted = reads(BusSpeed::High, microseconds(125), 16384, 1 << 20, true);
    EXPECT_EQ(free.chunkTurnaround.count(), 0);
    EXPECT_GT(counted.chunkTurnaround.count(), 0);
    EXPECT_GT(counted.entry.count(), 0);
    // It can only cost, up to where in its microframe a request happens to start.
    EXPECT_LE(counted.shareOfLimit, free.shareOfLimit + 0.002);
}

TEST(TimedBus, APacedStreamTheBusCanCarryIsCarried) {
    {
        TimedMachine carried({BusSpeed::High}, 5e6);  // 10 MB/s
        const StreamMeasurement m = carried.stream(uint64_t{256} << 10, 8);
        EXPECT_NEAR(m.carriedBytesPerSecond, 10e6, 0.2e6);
        EXPECT_LT(m.backlogBytes, 4096u);
    }
    TimedMachine tooFast({BusSpeed::High, microseconds(125), 1 << 20}, 40e6);  // 80 MB/s
    const StreamMeasurement over = tooFast.stream(1 << 20, 4);
    EXPECT_LT(over.carriedBytesPerSecond, 53.248e6);
    EXPECT_GT(over.backlogBytes, 1u << 20);
}

}  // namespace
}  // namespace vavedu::throughput
