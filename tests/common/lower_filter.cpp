#include "tests/common/lower_filter.hpp"

#include <stdexcept>

namespace sim {

struct LowerFilter::Extension {
    LowerFilter* filter;
};

LowerFilter::LowerFilter(Kernel& kernel) : kernel_(kernel) {
    driver_ =
        kernel_.createDriverObject(u"TestLowerFilter", System::serviceKeyPath(u"TestLowerFilter"));
    for (auto& routine : driver_->MajorFunction) {
        routine = dispatch;
    }
    worker_ = std::thread([this] { passDownLoop(); });
}

LowerFilter::~LowerFilter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        held_ = false;
    }
    changed_.notify_all();
    worker_.join();
    if (device_ != nullptr) {
        // Never removed (the test ended before the System removed the device): leave the stack.
        removed(pdo_);
    }
    kernel_.deleteDriverObject(driver_);
}

void LowerFilter::attachTo(PDEVICE_OBJECT pdo) {
    if (device_ != nullptr) {
        throw std::logic_error("LowerFilter: attached already");
    }
    NTSTATUS status = IoCreateDevice(driver_, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device_);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("LowerFilter: IoCreateDevice failed with " + statusName(status));
    }
    static_cast<Extension*>(device_->DeviceExtension)->filter = this;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    if (lower_ == nullptr) {
        IoDeleteDevice(device_);
        device_ = nullptr;
        throw std::runtime_error("LowerFilter: cannot attach");
    }
    pdo_ = pdo;
    device_->Flags |= lower_->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void LowerFilter::removed(PDEVICE_OBJECT pdo) {
    if (device_ == nullptr || pdo != pdo_) {
        return;
    }
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    device_ = nullptr;
}

void LowerFilter::pendIf(Match match) {
    std::lock_guard lock(mutex_);
    match_ = std::move(match);
}

void LowerFilter::hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void LowerFilter::release() {
    {
        std::lock_guard lock(mutex_);
        held_ = false;
    }
    changed_.notify_all();
}

bool LowerFilter::waitForPended(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pended_ >= count; });
}

std::vector<LowerFilter::Request> LowerFilter::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

NTSTATUS NTAPI LowerFilter::dispatch(PDEVICE_OBJECT device, PIRP irp) {
    LowerFilter& filter = *static_cast<Extension*>(device->DeviceExtension)->filter;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    const bool control = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    bool pend = false;
    {
        std::lock_guard lock(filter.mutex_);
        filter.requests_.push_back({major, stack->MinorFunction,
                                    control ? stack->Parameters.DeviceIoControl.IoControlCode : 0});
        pend = filter.match_ && filter.match_(*stack);
        if (pend) {
            IoMarkIrpPending(irp);
            filter.waiting_.push_back(irp);
            ++filter.pended_;
        }
    }
    if (pend) {
        filter.changed_.notify_all();
        return STATUS_PENDING;
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return PoCallDriver(filter.lower_, irp);
    }
    return IofCallDriver(filter.lower_, irp);
}

// Sends pended requests down, one by one, from the filter's own thread.
void LowerFilter::passDownLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || (!held_ && !waiting_.empty()); });
        if (waiting_.empty()) {
            return;
        }
        PIRP irp = waiting_.front();
        waiting_.pop_front();
        lock.unlock();
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            (void)PoCallDriver(lower_, irp);
        } else {
            (void)IofCallDriver(lower_, irp);
        }
        lock.lock();
    }
}

}  // namespace sim
