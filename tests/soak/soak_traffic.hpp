// The application side of the soak: threads that keep reads and writes going on every endpoint of
// the instrument, with their data checked, and threads that send every device-control request,
// while the device is stopped, removed, unplugged and cycled under them.
#pragma once

#include "sim/system/system.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vavedu::soak {

using Bytes = std::vector<uint8_t>;

// What the soak did, and what went wrong; shared by every thread.
struct SoakCounters {
    std::atomic<uint64_t> requests{0};       // reads, writes and device-control requests sent
    std::atomic<uint64_t> bytesVerified{0};  // bytes read and checked, bytes the sink counted
    std::atomic<uint64_t> cancels{0};        // IoCancelIrp on a pending request
    std::atomic<uint64_t> lost{0};           // requests that never completed
    std::atomic<uint64_t> bad{0};            // wrong status, byte count or data

    void outcome(NTSTATUS status);
    std::string outcomes() const;  // "STATUS_X n, ..." of every request
    // Records a fault: counted, and printed (the first few only).
    void fault(const std::string& what);

  private:
    mutable std::mutex mutex_;
    std::map<NTSTATUS, uint64_t> outcomes_;
};

// Every write to the loopback is made of 8-byte records naming the write and their place in it,
// so that a read can tell whether what it got is what some write sent, in order.
class LoopbackLedger {
  public:
    uint32_t newWrite(uint32_t length);
    // Checks a read's data; false with `why` set when it is not records of writes, in order.
    bool check(const uint8_t* data, size_t bytes, std::string& why) const;

  private:
    mutable std::mutex mutex_;
    std::vector<uint32_t> lengths_;  // by write
};

// How a request may end while the device comes and goes under it and allocations fail.
bool isDocumentedOutcome(NTSTATUS status);

struct Shared {
    sim::System& system;
    SoakCounters& counters;
    LoopbackLedger& ledger;
};

// The threads of one device's life (a cycle of the soak), on the device's interface path; stop()
// has them cancel what is pending, wait for every request, close their handles and end.
class Traffic {
  public:
    Traffic(Shared shared, std::u16string path, uint32_t seed);
    ~Traffic();
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;
    void stop();
    // Ends the reads and writes only (their requests cancelled and ended); device control goes on.
    void stopIo();
    // Bytes written to the sink (endpoint 0x02) by writes that succeeded.
    uint64_t sinkBytes() const { return sinkBytes_; }

  private:
    struct Pending;
    void runChannel(size_t channel, uint32_t seed);
    void runIoctls(uint32_t seed);
    std::unique_ptr<Pending> issue(sim::Handle& handle, size_t channel, std::mt19937& random);
    void checkIo(const Pending& pending, const sim::IoResult& result);
    void check(ULONG code, const sim::AppResult& result, size_t minimumBytes,
               const Bytes& startsWith, const Bytes& output);
    void finish(std::vector<std::unique_ptr<Pending>>& pending);
    void resetPipe(sim::Handle& handle, size_t channel,
                   std::vector<std::unique_ptr<Pending>>& pending);
    void controlRequest(sim::Handle& handle, std::mt19937& random);

    Shared shared_;
    std::u16string path_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ioStopping_{false};
    std::atomic<uint64_t> sinkBytes_{0};
    std::vector<std::thread> threads_;
};

}  // namespace vavedu::soak
