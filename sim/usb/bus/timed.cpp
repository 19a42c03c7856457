// The timed bus: a virtual clock, the schedule of the bus's packets, and completions delivered in
// the order of their time. Each bulk or interrupt transfer goes on the wire from the moment it
// reached the bus (or, after its device NAKed, from when the device had data again) once the
// wire is free; it completes at the end of the frame its last packet ended in plus the
// completion latency, and the clock is moved there before the completion runs. Between those
// points the clock runs with the code's processor time, so the code between a completion and the
// next submission (the driver's completion routine, its next chunk, the I/O manager, the
// application) costs what it costs on this machine.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim::usb {

using namespace detail;

void UsbBus::setTimed(BusSpeed speed, Nanoseconds latency, bool countCode) {
    {
        std::lock_guard lock(mutex_);
        timing_ = std::make_unique<Timing>(speed, latency, countCode);
        bulkMode_ = CompletionMode::Async;
        stepped_ = true;
        resume_.notify_all();
    }
    kernel_.setWaitHook([this] { return runTimed(); });
}

Nanoseconds UsbBus::now() const {
    std::lock_guard lock(mutex_);
    return clockNow();
}

Nanoseconds UsbBus::clockNow() const {
    if (timing_)
        return timing_->clock.now();
    return std::chrono::duration_cast<Nanoseconds>(std::chrono::steady_clock::now() - started_);
}

std::vector<UsbBus::TimedTransfer> UsbBus::takeTimedTransfers() {
    std::lock_guard lock(mutex_);
    if (!timing_)
        return {};
    return std::exchange(timing_->records, {});
}

// Places what the transfer moved since it was last placed; `ended` when it is done. A transfer
// that ends takes at least one transaction: its last packet may be short or zero-length, and a
// failure is the transaction whose handshake (a stall) or error ended it.
void UsbBus::timeProgress(Transfer& t, const Outcome* ended) {
    if (!timing_)
        return;
    if (t.kind != TransferKind::Bulk && t.kind != TransferKind::Interrupt) {
        t.completesAt = timing_->clock.now();
        return;
    }
    // An IN transfer counts its bytes as they come; an OUT transfer's are known when it ends.
    const uint32_t moved = ended != nullptr ? ended->moved : t.moved;
    const uint32_t fresh = moved - std::min(moved, t.placedBytes);
    const bool endedShort =
        ended != nullptr && (ended->usbd != USBD_STATUS_SUCCESS || (t.in && moved < t.length));
    Packets packets = Packets::of(fresh, t.maxPacket, endedShort);
    if (ended == nullptr)
        packets.lastPacket.reset();  // a NAK comes only between full packets
    if (t.maxPacket > frameFormat(timing_->schedule.speed()).maxBulkPacket) {
        std::fprintf(stderr,
                     "*** timed bus: endpoint 0x%02X has %u-byte packets, which a %s bus cannot "
                     "carry; select a setting with smaller packets\n",
                     t.endpoint, t.maxPacket,
                     std::string(speedName(timing_->schedule.speed())).c_str());
        std::abort();
    }
    if (packets.fullPackets != 0 || packets.lastPacket) {
        const WireTime wire = timing_->schedule.place(t.readyAt, packets, t.maxPacket);
        t.wire = t.wire ? WireTime{t.wire->start, wire.end, wire.frame} : wire;
        t.placedBytes = moved;
    }
    if (ended != nullptr && t.wire)
        t.completesAt = timing_->schedule.completion(t.wire->frame, timing_->latency);
}

// Completes what a step finished, earliest first, each with the clock at its completion time.
void UsbBus::completeInTimeOrder(Finished& done) {
    std::stable_sort(done.begin(), done.end(), [](const auto& a, const auto& b) {
        return a.first->completesAt < b.first->completesAt;
    });
    for (auto& [t, outcome] : done) {
        {
            std::lock_guard lock(mutex_);
            timing_->clock.advanceTo(t->completesAt);
            if (t->kind == TransferKind::Bulk || t->kind == TransferKind::Interrupt) {
                const WireTime wire = t->wire.value_or(WireTime{t->submittedAt, t->submittedAt, 0});
                timing_->records.push_back({t->endpoint, outcome.moved, t->submittedAt, wire.start,
                                            wire.end, t->completesAt});
            }
        }
        finish(std::move(t), outcome);
    }
}

// A timed bus's part of a wait: steps the controller; when nothing can go on but an IN transfer
// whose device paces its data, moves the clock to that data and goes on.
bool UsbBus::runTimed() {
    bool worked = false;
    std::optional<Nanoseconds> lastDue;
    for (;;) {
        if (step() != 0) {
            worked = true;
            continue;
        }
        if (worked)
            return true;
        // A device that names the same time again has no data then either: the wait blocks.
        const std::optional<Nanoseconds> due = advanceToDueData();
        if (!due || due == lastDue)
            return false;
        lastDue = due;
    }
}

// Moves the clock to the earliest time a NAKing IN transfer's device has its next packet; that
// time, or nullopt when no device says.
std::optional<Nanoseconds> UsbBus::advanceToDueData() {
    std::lock_guard lock(mutex_);
    std::optional<Nanoseconds> due;
    Port* duePort = nullptr;
    for (auto& port : ports_) {
        for (auto& [key, queue] : port->queues) {
            if (queue.empty() || !queue.front()->naked || queue.front()->cancelling)
                continue;
            const auto at = port->model->dataDueAt(queue.front()->endpoint);
            if (at && (!due || *at < *due)) {
                due = at;
                duePort = port.get();
            }
        }
    }
    if (!due || duePort == nullptr)
        return std::nullopt;
    timing_->clock.advanceTo(*due);
    const Nanoseconds now = timing_->clock.now();
    for (auto& [key, queue] : duePort->queues) {
        if (!queue.empty() && queue.front()->naked)
            queue.front()->readyAt = std::max(queue.front()->readyAt, now);
    }
    duePort->dataEpoch.fetch_add(1);
    return due;
}

}  // namespace sim::usb
