#include "sim/usb/bus_timing.hpp"

#include <algorithm>
#include <deque>
#include <pthread.h>
#include <stdexcept>
#include <string>

namespace sim::usb {

using std::chrono::microseconds;
using std::chrono::milliseconds;

FrameFormat frameFormat(BusSpeed speed) {
    if (speed == BusSpeed::High)
        return {microseconds(125), 7500, 55, 512};
    return {milliseconds(1), 1500, 13, 64};
}

std::string_view speedName(BusSpeed speed) {
    return speed == BusSpeed::High ? "high-speed" : "full-speed";
}

std::optional<BusSpeed> speedNamed(std::string_view name) {
    if (name == "high-speed")
        return BusSpeed::High;
    if (name == "full-speed")
        return BusSpeed::Full;
    return std::nullopt;
}

uint32_t packetsPerFrame(BusSpeed speed, uint16_t packet) {
    const FrameFormat f = frameFormat(speed);
    return f.byteTimes / (f.overhead + packet);
}

double bulkLimit(BusSpeed speed) {
    const FrameFormat f = frameFormat(speed);
    const double perFrame = double(packetsPerFrame(speed, f.maxBulkPacket)) * f.maxBulkPacket;
    return perFrame / std::chrono::duration<double>(f.length).count();
}

Packets Packets::of(uint64_t bytes, uint16_t maxPacket, bool endedShort) {
    Packets p;
    p.fullPackets = bytes / maxPacket;
    const uint32_t rest = static_cast<uint32_t>(bytes % maxPacket);
    if (rest != 0 || endedShort || bytes == 0)
        p.lastPacket = rest;
    return p;
}

// ---------------------------------------------------------------- the schedule

BusSchedule::BusSchedule(BusSpeed speed) : speed_(speed), format_(frameFormat(speed)) {}

Nanoseconds BusSchedule::freeAt() const {
    // The end of the byte time the cursor stands at, rounded up to the next nanosecond.
    const int64_t frameNs = format_.length.count();
    const int64_t into = (int64_t(used_) * frameNs + format_.byteTimes - 1) / format_.byteTimes;
    return Nanoseconds(int64_t(frame_) * frameNs + into);
}

void BusSchedule::startNoEarlierThan(Nanoseconds time) {
    if (time <= freeAt())
        return;
    const int64_t frameNs = format_.length.count();
    frame_ = static_cast<uint64_t>(time.count() / frameNs);
    const int64_t into = time.count() % frameNs;
    used_ = static_cast<uint32_t>((into * format_.byteTimes + frameNs - 1) / frameNs);
}

void BusSchedule::placeOne(uint32_t cost) {
    if (used_ + cost > format_.byteTimes) {
        ++frame_;
        used_ = 0;
    }
    used_ += cost;
}

WireTime BusSchedule::place(Nanoseconds earliest, const Packets& packets, uint16_t maxPacket) {
    if (maxPacket == 0 || maxPacket > format_.maxBulkPacket) {
        throw std::invalid_argument(
            "a " + std::string(speedName(speed_)) + " bus carries bulk packets of 1 to " +
            std::to_string(format_.maxBulkPacket) + " bytes, not " + std::to_string(maxPacket));
    }
    startNoEarlierThan(earliest);
    const uint32_t fullCost = format_.overhead + maxPacket;
    WireTime wire{};
    bool first = true;
    auto markStart = [&](uint32_t cost) {
        if (!first)
            return;
        first = false;
        if (used_ + cost > format_.byteTimes) {
            ++frame_;
            used_ = 0;
        }
        wire.start = freeAt();
    };
    uint64_t left = packets.fullPackets;
    if (left != 0) {
        markStart(fullCost);
        // Whole frames at a time: the packets that fit in the cursor's frame, then full frames.
        const uint32_t perFrame = format_.byteTimes / fullCost;
        const uint64_t here = std::min<uint64_t>(left, (format_.byteTimes - used_) / fullCost);
        used_ += static_cast<uint32_t>(here * fullCost);
        left -= here;
        if (left != 0) {
            frame_ += (left + perFrame - 1) / perFrame;
            const uint64_t inLast = left - (left - 1) / perFrame * perFrame;
            used_ = static_cast<uint32_t>(inLast * fullCost);
        }
    }
    if (packets.lastPacket) {
        const uint32_t cost = format_.overhead + *packets.lastPacket;
        markStart(cost);
        placeOne(cost);
    }
    wire.end = freeAt();
    wire.frame = frame_;
    return wire;
}

Nanoseconds BusSchedule::completion(uint64_t frame, Nanoseconds latency) const {
    return Nanoseconds(int64_t(frame + 1) * format_.length.count()) + latency;
}

// ---------------------------------------------------------------- the virtual clock

namespace {

clockid_t callingThreadClock() {
    clockid_t clock{};
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0)
        return CLOCK_THREAD_CPUTIME_ID;
    return clock;
}

// 0 when the thread is gone (its clock no longer reads).
Nanoseconds readClock(clockid_t clock) {
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
        return Nanoseconds(0);
    return std::chrono::seconds(now.tv_sec) + Nanoseconds(now.tv_nsec);
}

// What one reading of a thread's processor-time clock costs (a system call, about a microsecond
// on a virtual machine): the least of several back-to-back readings' distances.
Nanoseconds readingCost(clockid_t clock) {
    Nanoseconds least = Nanoseconds::max();
    Nanoseconds last = readClock(clock);
    for (int i = 0; i < 16; ++i) {
        const Nanoseconds next = readClock(clock);
        least = std::min(least, next - last);
        last = next;
    }
    return std::max(least, Nanoseconds(0));
}

}  // namespace

VirtualClock::VirtualClock(bool countCode)
    : countCode_(countCode),
      thread_(callingThreadClock()),
      readingCost_(readingCost(thread_)),
      anchor_(readClock(thread_)) {}

// The time since the anchor less one reading's cost: the distance between two readings holds
// about one reading, which is the clock's cost, not the code's.
Nanoseconds VirtualClock::elapsed(Nanoseconds reading) const {
    if (!countCode_)
        return Nanoseconds(0);
    return std::max(Nanoseconds(0), reading - anchor_ - readingCost_);
}

Nanoseconds VirtualClock::now() const {
    return base_ + elapsed(readClock(thread_));
}

void VirtualClock::advanceTo(Nanoseconds time) {
    // One reading when the same thread goes on (the usual case): a reading costs about a
    // microsecond of processor time, which the clock would otherwise count as the code's.
    const Nanoseconds reading = readClock(thread_);
    base_ = std::max(base_ + elapsed(reading), time);
    const clockid_t caller = callingThreadClock();
    if (caller != thread_) {
        thread_ = caller;
        anchor_ = readClock(thread_);
    } else {
        anchor_ = reading;
    }
}

// ---------------------------------------------------------------- a request's timeline

namespace {

// Chunks of whole packets, as the driver cuts a request.
std::deque<uint64_t> chunksOf(const TimelineInputs& in) {
    const uint64_t chunk =
        std::max<uint64_t>(in.chunkBytes / in.maxPacket, 1) * uint64_t(in.maxPacket);
    std::deque<uint64_t> chunks;
    for (uint64_t at = 0; at < in.requestBytes; at += chunk)
        chunks.push_back(std::min(chunk, in.requestBytes - at));
    if (chunks.empty())
        chunks.push_back(0);
    return chunks;
}

}  // namespace

RequestTimeline requestTimeline(const TimelineInputs& in) {
    if (in.inFlight == 0)
        throw std::invalid_argument("a request needs at least one chunk in flight");
    BusSchedule bus(in.speed);
    std::deque<uint64_t> waiting = chunksOf(in);
    RequestTimeline timeline;
    timeline.chunks = waiting.size();
    // The chunks at the bus, by the time their completion reaches the driver; the first ones
    // are sent one turnaround apart.
    std::deque<Nanoseconds> completions;
    Nanoseconds submit = in.entry;
    Nanoseconds last{0};
    while (!waiting.empty() || !completions.empty()) {
        while (!waiting.empty() && completions.size() < in.inFlight) {
            const WireTime wire =
                bus.place(submit, Packets::of(waiting.front(), in.maxPacket, false), in.maxPacket);
            waiting.pop_front();
            timeline.wire += wire.end - wire.start;
            completions.push_back(bus.completion(wire.frame, in.latency));
            submit += in.chunkTurnaround;
        }
        last = completions.front();
        completions.pop_front();
        submit = std::max(submit, last + in.chunkTurnaround);
    }
    timeline.span = last + in.exit;
    return timeline;
}

}  // namespace sim::usb
