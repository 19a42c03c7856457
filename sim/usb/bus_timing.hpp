// The timing of a USB 2.0 bus for bulk transfers: how long data takes on the wire and when its
// completion reaches the client driver.
//
// Time on the bus is counted in frames (1 ms at full speed) or microframes (125 us at high
// speed), each with room for a number of byte times (1,500 at 12 Mbit/s, 7,500 at 480 Mbit/s).
// A bulk transaction of n payload bytes takes n byte times plus the protocol's overhead (13 at
// full speed, 55 at high speed: token, data and handshake packets with their syncs, end-of-packet
// fields and turnarounds), and the host controller starts a transaction only when it ends before
// the frame does. That gives the bus's bulk limits: 13 packets of 512 bytes per microframe
// (53.248 MB/s) and 19 packets of 64 bytes per frame (1.216 MB/s). A short packet and a
// zero-length packet each take a transaction of their own.
//
// A host controller interrupts at the end of the (micro)frame in which a transfer ended; the
// transfer's completion reaches the client after the controller driver's interrupt and deferred
// routines, the completion latency.
#pragma once

#include <chrono>
#include <ctime>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sim::usb {

using Nanoseconds = std::chrono::nanoseconds;

enum class BusSpeed { High, Full };

// The frame of a bus speed.
struct FrameFormat {
    Nanoseconds length;      // 125 us or 1 ms
    uint32_t byteTimes;      // the frame's room
    uint32_t overhead;       // byte times of one bulk transaction besides its payload
    uint16_t maxBulkPacket;  // the largest bulk packet the speed allows
};

FrameFormat frameFormat(BusSpeed speed);
std::string_view speedName(BusSpeed speed);  // "high-speed", "full-speed"
std::optional<BusSpeed> speedNamed(std::string_view name);

// Full packets of `packet` bytes one frame holds.
uint32_t packetsPerFrame(BusSpeed speed, uint16_t packet);
// The bus's bulk limit in bytes per second: full packets of the largest size, every frame.
double bulkLimit(BusSpeed speed);

// The completion latency: the time from the interrupt at the end of a frame to the completion
// reaching the client driver. Default and longest allowed value (see sim/PLATFORM.md).
inline constexpr Nanoseconds kDefaultCompletionLatency = std::chrono::microseconds(125);
inline constexpr Nanoseconds kMaxCompletionLatency = std::chrono::microseconds(1000);

// The packets of one bulk transfer: `fullPackets` of the endpoint's maximum packet size, then
// possibly one short or zero-length packet of `lastPacket` bytes.
struct Packets {
    uint64_t fullPackets = 0;
    std::optional<uint32_t> lastPacket;
    // The packets that move `bytes`: an OUT transfer of 0 bytes is one zero-length packet; a
    // transfer that ended short (fewer bytes than asked) ends with a short or zero-length one.
    static Packets of(uint64_t bytes, uint16_t maxPacket, bool endedShort);
};

// When a transfer's packets were on the bus.
struct WireTime {
    Nanoseconds start;  // the first packet's start
    Nanoseconds end;    // the last packet's end
    uint64_t frame;     // the frame the last packet ended in
};

// The bus's transactions in time order: each starts at the first moment the bus is free at or
// after the time asked, in the first frame with room for it.
class BusSchedule {
  public:
    explicit BusSchedule(BusSpeed speed);

    // Places the packets (each of `maxPacket` bytes at most) from `earliest` on; the bus is
    // taken until their end. Throws std::invalid_argument when `maxPacket` is 0 or larger than
    // the speed allows.
    WireTime place(Nanoseconds earliest, const Packets& packets, uint16_t maxPacket);
    // When the completion of a transfer whose last packet ended in `frame` reaches the client.
    Nanoseconds completion(uint64_t frame, Nanoseconds latency) const;
    Nanoseconds freeAt() const;
    BusSpeed speed() const { return speed_; }

  private:
    void placeOne(uint32_t cost);
    // Moves the cursor to `time` when the bus is free by then.
    void startNoEarlierThan(Nanoseconds time);

    BusSpeed speed_;
    FrameFormat format_;
    uint64_t frame_ = 0;  // the frame of the cursor
    uint32_t used_ = 0;   // byte times taken in it
};

// A clock that runs with the processor time of the code and jumps over the time the code waits
// for the bus. Between two jumps it counts the processor time of the thread that made the last
// one (the thread that runs the completions, and with them the code up to the next submission),
// so a busy or shared machine does not slow it down. Not thread-safe: its owner serialises.
class VirtualClock {
  public:
    // `countCode` false: the code's time counts nothing, so the clock moves only at the jumps
    // (for tests of the bus's arithmetic through the whole stack, whatever the build's speed).
    explicit VirtualClock(bool countCode = true);
    Nanoseconds now() const;
    // The clock reads at least `time` from now on; the calling thread's time counts on from there.
    void advanceTo(Nanoseconds time);

  private:
    Nanoseconds elapsed(Nanoseconds reading) const;

    bool countCode_;
    Nanoseconds base_{0};
    clockid_t thread_{};          // the processor-time clock of the thread that made the last jump
    Nanoseconds readingCost_{0};  // what one reading of such a clock costs
    Nanoseconds anchor_{0};       // that clock's reading then
};

// What a request of `requestBytes` moved in chunks of at most `chunkBytes` (whole packets) costs
// in time with `inFlight` chunks at the bus at once, the driver taking `chunkTurnaround` from a
// chunk's completion to its next submission, and `entry` and `exit` before the first chunk's
// submission and after the last one's completion.
struct RequestTimeline {
    Nanoseconds span{0};  // from the request's start to its end
    Nanoseconds wire{0};  // the time its packets were on the bus
    uint64_t chunks = 0;
};
struct TimelineInputs {
    BusSpeed speed = BusSpeed::High;
    uint16_t maxPacket = 512;
    bool in = true;
    uint64_t requestBytes = 0;
    uint64_t chunkBytes = 0;
    unsigned inFlight = 1;
    Nanoseconds latency = kDefaultCompletionLatency;
    Nanoseconds chunkTurnaround{0};
    Nanoseconds entry{0};
    Nanoseconds exit{0};
};
RequestTimeline requestTimeline(const TimelineInputs& inputs);

}  // namespace sim::usb
