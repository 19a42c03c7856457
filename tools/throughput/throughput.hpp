// What the driver reaches on a bus timed like USB 2.0: reads and writes through the whole stack
// (application call, I/O manager, driver, timed bus, instrument), measured on the bus's virtual
// clock, against the bus's bulk limit; where the time between chunks goes; and the bound a driver
// with two chunks in flight per endpoint would reach with the same costs, computed on the same
// bus arithmetic. Used by `vavedu bench --bus` and by the benchmarks.
#pragma once

#include "sim/usb/bus_timing.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace vavedu::throughput {

using sim::usb::BusSpeed;
using sim::usb::Nanoseconds;

struct BusSetup {
    BusSpeed speed = BusSpeed::High;
    Nanoseconds latency = sim::usb::kDefaultCompletionLatency;
    uint32_t maxTransferSize = 16384;  // the driver's "MaximumTransferSize"
    bool countCode = true;  // false: the code's own time left out (tests of the arithmetic)
};

// Requests of one size in one direction, one after the other.
struct Measurement {
    bool read = true;
    uint64_t requestBytes = 0;
    uint32_t maxTransferSize = 0;
    unsigned requests = 0;
    double chunksPerRequest = 0;
    double bytesPerSecond = 0;  // on the virtual clock, from each request's start to its end
    double shareOfLimit = 0;    // of the bus's bulk limit
    double gapShare = 0;        // of the time, the bus carried none of the requests' packets
    // The code's time, averaged: from a chunk's completion to the next chunk's submission; from a
    // request's start to its first submission; from its last completion to its end.
    Nanoseconds chunkTurnaround{0};
    Nanoseconds entry{0};
    Nanoseconds exit{0};
    double modelledShare = 0;  // the same request as the bus arithmetic has it, one in flight
    // With two chunks in flight: the measured share times the gain the arithmetic gives for it.
    double twoInFlightShare = 0;
};

// A paced stream read from the instrument's stream endpoint.
struct StreamMeasurement {
    double pacedBytesPerSecond = 0;
    double carriedBytesPerSecond = 0;  // what the reads delivered, on the virtual clock
    uint64_t backlogBytes = 0;         // made by the instrument but not yet read at the end
};

// One machine: the driver loaded with the setup's "MaximumTransferSize", the instrument on a
// timed bus, handles on its loopback pipes (at full speed the interface's setting with 64-byte
// packets). Throws std::runtime_error when a step fails.
class TimedMachine {
  public:
    explicit TimedMachine(const BusSetup& setup, double streamPace = 0);
    ~TimedMachine();
    TimedMachine(const TimedMachine&) = delete;
    TimedMachine& operator=(const TimedMachine&) = delete;

    // `requests` writes of `bytes` to the loopback, each followed by a read of them back (the
    // bytes are checked): the writes' figures and the reads'.
    std::pair<Measurement, Measurement> measure(uint64_t bytes, unsigned requests);
    // Reads of `bytes` from the instrument's stream at the machine's pace, after the start
    // request restarted acquisition (high speed only).
    StreamMeasurement stream(uint64_t bytes, unsigned requests);

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Every size of `requestSizes` in both directions at every maximum transfer size.
std::vector<Measurement> sweep(BusSpeed speed, Nanoseconds latency,
                               const std::vector<uint64_t>& requestSizes,
                               const std::vector<uint32_t>& maxTransferSizes, unsigned requests,
                               const std::function<void(const Measurement&)>& each = {});

// The sizes the tool and the benchmarks report: requests of 64 KiB to 16 MiB, maximum transfer
// sizes of 4 KiB to 4 MiB, both by powers of two.
std::vector<uint64_t> reportedRequestSizes();
std::vector<uint32_t> reportedMaxTransferSizes();

}  // namespace vavedu::throughput
