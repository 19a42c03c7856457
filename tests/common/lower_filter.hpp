// A lower filter of the tests' own: a device object the test attaches on top of a physical device
// object before the function driver's AddDevice, so that it sits between the function driver and
// the bus, as a lower filter driver does. It records every request that reaches it and passes it
// down unchanged. The requests the test chooses it marks pending and passes down later from a
// thread of its own (at once, or once the test releases them), as a filter that queues work does:
// the driver above then sees STATUS_PENDING from below, whatever the bus does.
//
//   auto& filter = system.addBus(std::make_unique<sim::LowerFilter>(system.kernel()));
//   filter.attachTo(pdo);  // then system.plugIn(pdo) or system.addDevice(pdo, ...)
//
// It is a Bus so that the System owns it and tells it when a removal has gone through the whole
// stack: its device leaves the stack then (removed()), after the function driver has detached.
#pragma once

#include "sim/system/system.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

class LowerFilter : public Bus {
  public:
    // A request that reached the filter; the control code for device control requests only.
    struct Request {
        UCHAR major = 0;
        UCHAR minor = 0;
        ULONG ioControlCode = 0;
        bool operator==(const Request&) const = default;
    };
    using Match = std::function<bool(const IO_STACK_LOCATION&)>;

    explicit LowerFilter(Kernel& kernel);
    ~LowerFilter() override;
    LowerFilter(const LowerFilter&) = delete;
    LowerFilter& operator=(const LowerFilter&) = delete;

    // Attaches the filter's device on top of `pdo` (once per filter).
    void attachTo(PDEVICE_OBJECT pdo);
    void removed(PDEVICE_OBJECT pdo) override;

    // From now on requests for which `match` is true are pended and passed down later.
    void pendIf(Match match);
    // While held, pended requests wait; release() sends those waiting and ends the hold.
    void hold();
    void release();
    // Waits until `count` requests have been pended in all; false on time-out.
    bool waitForPended(size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::vector<Request> requests() const;

  private:
    struct Extension;
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    void passDownLoop();

    Kernel& kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Match match_;
    bool held_ = false;
    bool stopping_ = false;
    size_t pended_ = 0;
    std::deque<PIRP> waiting_;
    std::vector<Request> requests_;
    std::thread worker_;
};

}  // namespace sim
