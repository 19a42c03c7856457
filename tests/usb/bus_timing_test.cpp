// The timed bus's arithmetic: packets per frame, where short and zero-length packets go, when a
// completion reaches the driver, and a request's timeline with one and two chunks in flight.
#include "sim/usb/bus_timing.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace sim::usb {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

TEST(BusTiming, PacketsPerFrameAndTheBulkLimit) {
    EXPECT_EQ(packetsPerFrame(BusSpeed::High, 512), 13u);
    EXPECT_EQ(packetsPerFrame(BusSpeed::High, 64), 63u);
    EXPECT_EQ(packetsPerFrame(BusSpeed::Full, 64), 19u);
    EXPECT_DOUBLE_EQ(bulkLimit(BusSpeed::High), 53.248e6);
    EXPECT_DOUBLE_EQ(bulkLimit(BusSpeed::Full), 1.216e6);
}

// Where the packets of one transfer placed on an idle bus at `start` end, and when its completion
// reaches the driver with a latency of 125 us.
struct PlacementCase {
    const char* what;
    BusSpeed speed;
    nanoseconds start;
    Packets packets;
    uint16_t maxPacket;
    nanoseconds wireStart;
    nanoseconds wireEnd;
    uint64_t frame;
};

TEST(BusTiming, WhereTransactionsGo) {
    const PlacementCase cases[] = {
        // 13 x 567 byte times of 7500 in a 125 us microframe
        {"13 full packets fill a microframe",
         BusSpeed::High,
         {},
         {13, {}},
         512,
         {},
         nanoseconds(122850),
         0},
        {"the 14th goes to the next",
         BusSpeed::High,
         {},
         {14, {}},
         512,
         {},
         nanoseconds(125000 + 9450),
         1},
        {"a short packet takes its bytes and the overhead",
         BusSpeed::High,
         {},
         {1, 100},
         512,
         {},
         nanoseconds(12034),
         0},  // 567 + 155 byte times
        {"a zero-length packet takes the overhead",
         BusSpeed::High,
         {},
         {0, 0},
         512,
         {},
         nanoseconds(917),
         0},
        {"a packet that would cross the frame's end waits for the next",
         BusSpeed::High,
         microseconds(120),
         {1, {}},
         512,
         microseconds(125),
         nanoseconds(125000 + 9450),
         1},
        {"19 packets of 64 bytes fill a full-speed frame",
         BusSpeed::Full,
         {},
         {19, {}},
         64,
         {},
         nanoseconds(975334),
         0},  // 19 x 77 of 1500
        {"the 20th goes to the next",
         BusSpeed::Full,
         {},
         {20, {}},
         64,
         {},
         nanoseconds(1000000 + 51334),
         1},
        {"64 KiB in 512-byte packets: 9 full microframes and 11 packets",
         BusSpeed::High,
         {},
         {128, {}},
         512,
         {},
         nanoseconds(9 * 125000 + 103950),
         9},
    };
    for (const auto& c : cases) {
        BusSchedule bus(c.speed);
        const WireTime wire = bus.place(c.start, c.packets, c.maxPacket);
        EXPECT_EQ(wire.start, c.wireStart) << c.what;
        EXPECT_EQ(wire.end, c.wireEnd) << c.what;
        EXPECT_EQ(wire.frame, c.frame) << c.what;
        EXPECT_EQ(bus.completion(wire.frame, microseconds(125)),
                  nanoseconds(int64_t(c.frame + 1) * frameFormat(c.speed).length.count()) +
                      microseconds(125))
            << c.what;
    }
}

TEST(BusTiming, PacketsOfATransfer) {
    EXPECT_EQ(Packets::of(0, 512, false).lastPacket, 0u);    // a zero-length OUT
    EXPECT_FALSE(Packets::of(1024, 512, false).lastPacket);  // two full, nothing after
    EXPECT_EQ(Packets::of(1024, 512, true).lastPacket, 0u);  // an IN ended by a ZLP
    EXPECT_EQ(Packets::of(1100, 512, false).fullPackets, 2u);
    EXPECT_EQ(Packets::of(1100, 512, false).lastPacket, 76u);  // the short one
}

TEST(BusTiming, ABusyBusDelaysTheNextTransfer) {
    BusSchedule bus(BusSpeed::High);
    bus.place({}, {26, {}}, 512);  // two microframes
    const WireTime next = bus.place(microseconds(10), {1, {}}, 512);
    EXPECT_EQ(next.start, microseconds(250));
    EXPECT_EQ(next.frame, 2u);
}

TEST(BusTiming, PacketsTheSpeedCannotCarryAreRefused) {
    BusSchedule bus(BusSpeed::Full);
    EXPECT_THROW(bus.place({}, {1, {}}, 512), std::invalid_argument);
    EXPECT_THROW(bus.place({}, {1, {}}, 0), std::invalid_argument);
}

TEST(BusTiming, TheVirtualClockJumpsForwardOnly) {
    VirtualClock clock;
    clock.advanceTo(std::chrono::seconds(5));
    const nanoseconds at = clock.now();
    EXPECT_GE(at, std::chrono::seconds(5));
    EXPECT_LT(at, std::chrono::seconds(6));
    clock.advanceTo(std::chrono::seconds(1));
    EXPECT_GE(clock.now(), at);
}

// 1 MiB in 64 KiB chunks: with one chunk in flight each chunk's 9 full microframes and 11
// packets are followed by the completion at the end of its last microframe plus the latency, so
// the next starts in the microframe after: 11 microframes per chunk. With two, the bus never waits.
TEST(BusTiming, ARequestsTimelineWithOneAndTwoChunksInFlight) {
    TimelineInputs in;
    in.requestBytes = 1 << 20;
    in.chunkBytes = 65536;
    in.latency = microseconds(125);
    const RequestTimeline one = requestTimeline(in);
    EXPECT_EQ(one.chunks, 16u);
    EXPECT_EQ(one.span, 15 * microseconds(11 * 125) + microseconds(10 * 125 + 125));
    in.inFlight = 2;
    const RequestTimeline two = requestTimeline(in);
    // 2048 packets back to back: 157 full microframes and 7 packets, then the completion.
    EXPECT_EQ(two.span, microseconds(158 * 125 + 125));
    in.chunkBytes = 1000;  // cut to whole packets: 512
    in.requestBytes = 2048;
    EXPECT_EQ(requestTimeline(in).chunks, 4u);
}

}  // namespace
}  // namespace sim::usb
