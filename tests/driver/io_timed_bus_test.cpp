// The driver on a timed bus: what reads and writes reach against the bus's limit, measured on
// the virtual clock through the whole stack, agrees with the bus arithmetic; the latency and the
// chunk size cost what they should; a paced stream the bus can carry is carried.
#include "tools/throughput/throughput.hpp"

#include <gtest/gtest.h>

namespace vavedu::throughput {
namespace {

using std::chrono::microseconds;

TEST(TimedBus, ReadsAndWritesAgreeWithTheBusArithmetic) {
    TimedMachine machine({BusSpeed::High, microseconds(125), 65536});
    const auto [writes, reads] = machine.measure(1 << 20, 2);
    for (const Measurement& m : {writes, reads}) {
        EXPECT_EQ(m.chunksPerRequest, 16) << m.read;
        EXPECT_GT(m.shareOfLimit, 0.85) << m.read;
        EXPECT_LT(m.shareOfLimit, 0.91) << m.read;
        // The measured run and the arithmetic fed with its code times: the same microframes.
        EXPECT_NEAR(m.shareOfLimit, m.modelledShare, 0.01) << m.read;
        EXPECT_GT(m.twoInFlightShare, 0.97) << m.read;
        // Each chunk: 9 microframes and 11 packets on the wire in a cycle of 11 microframes.
        EXPECT_NEAR(m.gapShare, 1 - (9 * 125 + 103.95) / (11 * 125), 0.02) << m.read;
    }
}

TEST(TimedBus, LatencyChunkSizeAndSpeedCostWhatTheyShould) {
    const auto reads = [](BusSpeed speed, microseconds latency, uint32_t maxTransfer) {
        TimedMachine machine({speed, latency, maxTransfer});
        const Measurement m = machine.measure(256 * 1024, 1).second;
        EXPECT_NEAR(m.shareOfLimit, m.modelledShare, 0.01) << maxTransfer;
        return m.shareOfLimit;
    };
    const double fast = reads(BusSpeed::High, microseconds(0), 16384);
    const double slow = reads(BusSpeed::High, microseconds(1000), 16384);
    const double oneChunk = reads(BusSpeed::High, microseconds(125), 256 * 1024);
    EXPECT_GT(fast, slow + 0.3);
    EXPECT_GT(oneChunk, 0.95);  // 40 microframes of 41
    const double full = reads(BusSpeed::Full, microseconds(125), 4096);
    EXPECT_GT(full, 0.8);
    EXPECT_LE(full, 1.0);
}

TEST(TimedBus, APacedStreamTheBusCanCarryIsCarried) {
    {
        TimedMachine carried({BusSpeed::High}, 5e6);  // 10 MB/s
        const StreamMeasurement m = carried.stream(256 * 1024, 8);
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
