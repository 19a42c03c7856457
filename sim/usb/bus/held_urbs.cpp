// Completion modes and the URBs the bus holds for the test: a held URB pends until the test
// completes it with the status and data it chooses, or lets the device carry it out; the stepped
// host controller; the waits that let a test meet the controller thread.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>
#include <cstring>

namespace sim::usb {

using namespace detail;

namespace {

HeldUrb heldView(const UsbBus::Transfer& t) {
    return {t.id, t.irp, t.port->pdo, t.function, t.endpoint, t.length, t.in, t.setup};
}

// The outcome a test's completion gives a held transfer; IN data goes into its buffer.
Outcome heldOutcome(const Transfer& t, const HeldCompletion& completion) {
    Outcome outcome{completion.status, ntStatusForUsbd(completion.status), 0};
    if (t.in) {
        const uint32_t copied =
            std::min<uint32_t>(t.length, static_cast<uint32_t>(completion.data.size()));
        if (copied != 0 && t.buffer != nullptr)
            std::memcpy(t.buffer, completion.data.data(), copied);
        outcome.moved = std::min(completion.bytes.value_or(copied), t.length);
    } else {
        outcome.moved = std::min(completion.bytes.value_or(t.length), t.length);
    }
    return outcome;
}

}  // namespace

// ---------------------------------------------------------------- completion modes

void UsbBus::setBulkCompletionMode(CompletionMode mode) {
    std::lock_guard lock(mutex_);
    bulkMode_ = mode;
}

void UsbBus::setControlCompletionMode(CompletionMode mode) {
    std::lock_guard lock(mutex_);
    controlMode_ = mode;
}

void UsbBus::setEndpointCompletionMode(PDEVICE_OBJECT pdo, uint8_t endpoint, CompletionMode mode) {
    std::lock_guard lock(mutex_);
    portOf(pdo).modes[endpoint] = mode;
}

void UsbBus::setStepped(bool stepped) {
    std::lock_guard lock(mutex_);
    stepped_ = stepped;
    resume_.notify_all();
}

size_t UsbBus::step() {
    AtDispatch dispatch;  // as the controller's completion runs
    Finished done;
    {
        std::lock_guard lock(mutex_);
        serviceQueues(done, true);
    }
    const size_t completed = done.size();
    if (timing_) {
        completeInTimeOrder(done);
    } else {
        for (auto& [t, outcome] : done)
            finish(std::move(t), outcome);
    }
    changed_.notify_all();
    return completed;
}

size_t UsbBus::runQueued() {
    size_t completed = 0;
    while (const size_t n = step())
        completed += n;
    return completed;
}

CompletionMode UsbBus::modeFor(const Port& port, uint8_t endpoint) const {
    auto it = port.modes.find(endpoint);
    if (it != port.modes.end())
        return it->second;
    return endpoint == 0 ? controlMode_ : bulkMode_;
}

// ---------------------------------------------------------------- held URBs

std::vector<HeldUrb> UsbBus::heldUrbs() const {
    std::lock_guard lock(mutex_);
    std::vector<HeldUrb> out;
    for (const auto& t : held_)
        out.push_back(heldView(*t));
    return out;
}

bool UsbBus::waitForHeld(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
}

std::vector<HeldUrb> UsbBus::waitForHeld(const std::function<bool(const HeldUrb&)>& match,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::vector<HeldUrb> out;
    changed_.wait_for(lock, timeout, [&] {
        out.clear();
        for (const auto& t : held_) {
            HeldUrb view = heldView(*t);
            if (!t->cancelling && match(view))
                out.push_back(view);
        }
        return !out.empty();
    });
    return out;
}

bool UsbBus::completeHeld(uint64_t id, const HeldCompletion& completion) {
    std::unique_ptr<Transfer> t;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(held_.begin(), held_.end(), [id](auto& h) { return h->id == id; });
        if (it == held_.end() || (*it)->cancelling)
            return false;
        if (IoSetCancelRoutine((*it)->irp, nullptr) == nullptr) {
            (*it)->cancelling = true;  // its cancel routine is on the way
            return false;
        }
        t = std::move(*it);
        held_.erase(it);
    }
    const Outcome outcome = heldOutcome(*t, completion);
    AtDispatch dispatch;
    finish(std::move(t), outcome);
    return true;
}

bool UsbBus::releaseHeld(uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(held_.begin(), held_.end(), [id](auto& h) { return h->id == id; });
    if (it == held_.end() || (*it)->cancelling)
        return false;
    (*it)->held = false;
    Port& port = *(*it)->port;
    port.queues[(*it)->queueKey].push_back(std::move(*it));
    held_.erase(it);
    changed_.notify_all();
    return true;
}

// ---------------------------------------------------------------- waits

bool UsbBus::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& port : ports_) {
            for (const auto& [key, queue] : port->queues) {
                for (const auto& t : queue) {
                    if (!t->naked)
                        return false;
                }
            }
        }
        return true;
    });
}

size_t UsbBus::pendingCount() const {
    std::lock_guard lock(mutex_);
    size_t n = held_.size();
    for (const auto& port : ports_) {
        for (const auto& [key, queue] : port->queues)
            n += queue.size();
    }
    return n;
}

}  // namespace sim::usb
