// The host controller: a URB's way from IOCTL_INTERNAL_USB_SUBMIT_URB to its completion. The bus
// checks it, then carries it out at once (inline), queues it for the controller thread
// (asynchronous, completed at DISPATCH_LEVEL as hardware completes it) or holds it for the test;
// a pending URB is cancellable until the controller takes it.
#include "pcdriver/instrument/usb_status.h"
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>

namespace sim::usb {

using namespace detail;

namespace {

// Takes the first transfer of `list` that `match` accepts out of it; null when none does.
template <class List, class Match>
std::unique_ptr<UsbBus::Transfer> takeIf(List& list, Match match) {
    auto it = std::find_if(list.begin(), list.end(), match);
    if (it == list.end())
        return nullptr;
    std::unique_ptr<UsbBus::Transfer> taken = std::move(*it);
    list.erase(it);
    return taken;
}

}  // namespace

// The port driver's table (pcdriver/instrument/usb_status.cpp, shared with the emulator).
NTSTATUS ntStatusForUsbd(USBD_STATUS status) {
    return UsbStackNtStatus(status);
}

// ---------------------------------------------------------------- submission

NTSTATUS UsbBus::submitUrb(Port& port, PIRP irp, PURB urb) {
    KernelStackFrame frames(kUsbStackFrames, reinterpret_cast<const void*>(&BusDispatch::internal),
                            "the USB hub's and port driver's URB path");
    if (urb == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    auto t = std::make_unique<Transfer>();
    t->id = reinterpret_cast<uint64_t>(irp);
    t->irp = irp;
    t->urb = urb;
    t->port = &port;
    t->function = urb->UrbHeader.Function;

    std::unique_lock lock(mutex_);
    const std::optional<Outcome> rejected =
        port.connected ? validateUrb(port, urb, *t) : failure(USBD_STATUS_DEVICE_GONE);
    if (!rejected)
        takeOrdinalFault(*t);
    recordSubmission(*t);
    if (rejected) {
        lock.unlock();
        finish(std::move(t), *rejected);
        return rejected->nt;
    }
    if (timing_)
        t->submittedAt = t->readyAt = clockNow();
    if (t->fault && t->fault->kind == Fault::Kind::Delay) {
        t->notBefore = std::chrono::steady_clock::now() + t->fault->delay;
    }
    const CompletionMode mode = modeFor(port, t->queueKey);
    if (mode == CompletionMode::Inline && port.queues[t->queueKey].empty() &&
        t->notBefore == std::chrono::steady_clock::time_point{}) {
        Outcome outcome;
        const uint64_t epoch = port.dataEpoch.load();
        if (execute(*t, outcome)) {
            lock.unlock();
            finish(std::move(t), outcome);
            return outcome.nt;
        }
        t->naked = true;
        t->nakEpoch = epoch;
    }
    return pend(port, std::move(t), mode, lock);
}

// Marks the URB's IRP pending and queues the URB (held ones apart), cancellable from now on.
NTSTATUS UsbBus::pend(Port& port, std::unique_ptr<Transfer> t, CompletionMode mode,
                      std::unique_lock<std::mutex>& lock) {
    const PIRP irp = t->irp;
    const Transfer* raw = t.get();
    IoMarkIrpPending(irp);
    if (mode == CompletionMode::Held) {
        t->held = true;
        held_.push_back(std::move(t));
    } else {
        port.queues[raw->queueKey].push_back(std::move(t));
    }
    IoSetCancelRoutine(irp, &BusDispatch::cancel);
    if (cancelFlag(irp).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the cancel routine was in place: ours to finish.
        auto isThis = [raw](const auto& p) { return p.get() == raw; };
        std::unique_ptr<Transfer> mine = mode == CompletionMode::Held
                                             ? takeIf(held_, isThis)
                                             : takeIf(port.queues[raw->queueKey], isThis);
        lock.unlock();
        finish(std::move(mine), failure(USBD_STATUS_CANCELED));
        return STATUS_PENDING;
    }
    changed_.notify_all();
    return STATUS_PENDING;
}

void UsbBus::cancel(PIRP irp) {
    std::unique_ptr<Transfer> t;
    {
        std::lock_guard lock(mutex_);
        auto isIrp = [irp](const auto& p) { return p->irp == irp; };
        t = takeIf(held_, isIrp);
        for (auto& port : ports_) {
            for (auto& [key, queue] : port->queues) {
                if (!t)
                    t = takeIf(queue, isIrp);
            }
        }
    }
    if (t)
        finish(std::move(t), failure(USBD_STATUS_CANCELED));
    changed_.notify_all();
}

// Takes the port's pending transfers whose cancel routine the bus could still clear; the others
// are marked, their cancel routine is on the way. Call with the lock held.
std::vector<std::unique_ptr<UsbBus::Transfer>> UsbBus::takePending(Port& port, bool includeHeld) {
    std::vector<std::unique_ptr<Transfer>> out;
    auto takeFrom = [&](auto& list) {
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->port == &port && !(*it)->cancelling &&
                IoSetCancelRoutine((*it)->irp, nullptr) != nullptr) {
                out.push_back(std::move(*it));
                it = list.erase(it);
            } else {
                if ((*it)->port == &port)
                    (*it)->cancelling = true;
                ++it;
            }
        }
    };
    for (auto& [key, queue] : port.queues)
        takeFrom(queue);
    if (includeHeld)
        takeFrom(held_);
    return out;
}

// ---------------------------------------------------------------- carrying out

bool UsbBus::execute(Transfer& t, Outcome& outcome) {
    if (!t.port->connected) {
        outcome = failure(USBD_STATUS_DEVICE_GONE);
        return true;
    }
    if (t.kind == TransferKind::Bulk || t.kind == TransferKind::Interrupt) {
        return executeBulk(t, outcome);
    }
    outcome = executeRequest(t);
    return true;
}

// An injected fault fails any request before it reaches the device (the pipe requests too).
UsbBus::Outcome UsbBus::executeRequest(Transfer& t) {
    if (auto status = faultStatus(t.fault))
        return failure(*status);
    switch (t.function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return selectConfiguration(t);
        case URB_FUNCTION_SELECT_INTERFACE:
            return selectInterface(t);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return resetPipe(t, held_);
        case URB_FUNCTION_ABORT_PIPE:
            return abortPipe(t);
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: {
            // The bus counts one frame a millisecond from when it started (by its own clock).
            t.urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(
                std::chrono::duration_cast<std::chrono::milliseconds>(clockNow()).count());
            return {};
        }
        default:
            return controlTransfer(t);
    }
}

void UsbBus::finish(std::unique_ptr<Transfer> t, const Outcome& outcome) {
    for (auto& aborted : t->aborted)
        finish(std::move(aborted), failure(USBD_STATUS_CANCELED));
    PURB urb = t->urb;
    urb->UrbHeader.Status = outcome.usbd;
    if (t->dataKind)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = outcome.moved;
    recordCompletion(*t, outcome);
    t->irp->IoStatus.Status = outcome.nt;
    t->irp->IoStatus.Information = 0;
    IofCompleteRequest(t->irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- the controller thread

void UsbBus::controllerLoop() {
    KfRaiseIrql(DISPATCH_LEVEL);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (stepped_) {
            // Idle until the bus is threaded again: a condition of its own, so the wake-ups of
            // every submission and step do not reach this thread.
            changed_.notify_all();  // idle waiters
            resume_.wait(lock, [this] { return !stepped_ || stopping_; });
            continue;
        }
        Finished done;
        const auto wake = serviceQueues(done, false);
        if (done.empty()) {
            changed_.notify_all();  // idle waiters
            changed_.wait_until(lock, wake);
            continue;
        }
        lock.unlock();
        for (auto& [t, outcome] : done)
            finish(std::move(t), outcome);
        lock.lock();
        changed_.notify_all();
    }
    lock.unlock();
    KeLowerIrql(PASSIVE_LEVEL);
}

// One pass over the head of every endpoint's queue, with the lock held: a transfer that is due
// and not waiting for data is carried out (and moves to `done` when it ends). Returns when the
// controller should look again, at the latest.
std::chrono::steady_clock::time_point UsbBus::serviceQueues(Finished& done, bool dueNow) {
    const auto now = std::chrono::steady_clock::now();
    auto wake = now + std::chrono::milliseconds(100);
    for (auto& port : ports_) {
        for (auto& [key, queue] : port->queues) {
            if (queue.empty())
                continue;
            Transfer& t = *queue.front();
            if (t.cancelling)
                continue;
            if (!dueNow && t.notBefore > now) {
                wake = std::min(wake, t.notBefore);
                continue;
            }
            const uint64_t epoch = port->dataEpoch.load();
            if (t.naked && t.nakEpoch == epoch)
                continue;
            if (IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
                t.cancelling = true;  // its cancel routine takes it
                continue;
            }
            Outcome outcome;
            if (execute(t, outcome)) {
                timeProgress(t, &outcome);
                done.emplace_back(std::move(queue.front()), outcome);
                queue.pop_front();
                continue;
            }
            timeProgress(t, nullptr);
            t.naked = true;
            t.nakEpoch = epoch;
            IoSetCancelRoutine(t.irp, &BusDispatch::cancel);
            if (cancelFlag(t.irp).load() && IoSetCancelRoutine(t.irp, nullptr) != nullptr) {
                done.emplace_back(std::move(queue.front()), failure(USBD_STATUS_CANCELED));
                queue.pop_front();
            }
        }
    }
    return wake;
}

}  // namespace sim::usb
