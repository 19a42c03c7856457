#include "tests/soak/soak_traffic.hpp"

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/usb/device_model.hpp"
#include "tests/driver/driver_fixture.hpp"

#include <chrono>
#include <cstring>
#include <iostream>
#include <set>

namespace vavedu::soak {

using namespace std::chrono_literals;

namespace {

// The pipes of the instrument's first configuration: the loopback pair of interface 0, the sink
// and the sample stream of interface 1.
struct Channel {
    const char16_t* suffix;
    bool read;
    uint8_t endpoint;
    uint8_t resetPipeInput[4];  // IOCTL_BULK_RESET_PIPE of the channel's pipe
};
constexpr Channel kChannels[] = {
    {u"\\PIPE_0", false, 0x01, {0, 0, 0, 0}},
    {u"\\PIPE_1", true, 0x81, {1, 0, 0, 0}},
    {u"\\PIPE_0\\INTERFACE_1", false, 0x02, {0, 1, 0, 0}},
    {u"\\PIPE_1\\INTERFACE_1", true, 0x86, {1, 1, 0, 0}},
};
constexpr ULONG kChunk = 16384;   // the default maximum transfer size
constexpr size_t kInFlight = 3;   // requests each channel keeps pending
constexpr auto kLostAfter = 30s;  // a request not completed by then is lost
constexpr uint64_t kFaultsPrinted = 20;

struct Record {
    uint32_t write;
    uint32_t index;
};
static_assert(sizeof(Record) == 8);

const std::set<NTSTATUS> kDocumentedOutcomes = {
    STATUS_SUCCESS,
    STATUS_CANCELLED,                   // cancelled by the application, or at the bus
    STATUS_DELETE_PENDING,              // waiting when removal began, or refused by the remove lock
    STATUS_DEVICE_NOT_CONNECTED,        // at the bus when the device went
    STATUS_INVALID_DEVICE_STATE,        // no configuration selected (stopped, or not yet selected)
    STATUS_NOINTERFACE,                 // its interface entry went (stop, another selection)
    STATUS_INVALID_PARAMETER,           // its pipe was replaced by a concurrent selection
    STATUS_INVALID_DEVICE_REQUEST,      // sent after removal, to the bus's device alone
    STATUS_INSUFFICIENT_RESOURCES,      // an allocation failed
    STATUS_DEVICE_BUSY,                 // a selection while requests were in flight
    STATUS_NO_SUCH_DEVICE,              // opened as the device left
    STATUS_DEVICE_CONFIGURATION_ERROR,  // an interface selected while no configuration was
};


}  // namespace

// ---------------------------------------------------------------- counters and ledger

bool isDocumentedOutcome(NTSTATUS status) {
    return kDocumentedOutcomes.count(status) != 0;
}

void SoakCounters::outcome(NTSTATUS status) {
    std::lock_guard lock(mutex_);
    ++outcomes_[status];
}

std::string SoakCounters::outcomes() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& [status, count] : outcomes_)
        text += (text.empty() ? "" : ", ") + sim::statusName(status) + " " + std::to_string(count);
    return text;
}

void SoakCounters::fault(const std::string& what) {
    if (++bad <= kFaultsPrinted) {
        std::lock_guard lock(mutex_);
        std::cerr << "soak: " << what << "\n";
    }
}

uint32_t LoopbackLedger::newWrite(uint32_t length) {
    std::lock_guard lock(mutex_);
    lengths_.push_back(length);
    return static_cast<uint32_t>(lengths_.size() - 1);
}

bool LoopbackLedger::check(const uint8_t* data, size_t bytes, std::string& why) const {
    if (bytes % sizeof(Record) != 0) {
        why = "a read of the loopback ended within a record";
        return false;
    }
    std::lock_guard lock(mutex_);
    const Record* previous = nullptr;
    for (size_t i = 0; i < bytes / sizeof(Record); ++i) {
        Record r;
        std::memcpy(&r, data + i * sizeof(Record), sizeof(Record));
        if (r.write >= lengths_.size() || r.index >= lengths_[r.write] / sizeof(Record)) {
            why = "record " + std::to_string(i) + " of a read names no byte that was written";
            return false;
        }
        if (previous != nullptr && previous->write == r.write && r.index != previous->index + 1) {
            why = "a write came back out of order";
            return false;
        }
        previous = reinterpret_cast<const Record*>(data + i * sizeof(Record));
    }
    return true;
}

// ---------------------------------------------------------------- the threads

struct Traffic::Pending {
    size_t channel = 0;
    Bytes buffer;
    std::unique_ptr<sim::UserRequest> request;
};

Traffic::Traffic(Shared shared, std::u16string path, uint32_t seed)
    : shared_(shared), path_(std::move(path)) {
    for (size_t channel = 0; channel < std::size(kChannels); ++channel)
        threads_.emplace_back([this, channel, seed] { runChannel(channel, seed + channel); });
    threads_.emplace_back([this, seed] { runIoctls(seed + 100); });
}

Traffic::~Traffic() {
    stop();
}

void Traffic::stopIo() {
    ioStopping_ = true;
    for (size_t channel = 0; channel < std::size(kChannels); ++channel) {
        if (threads_[channel].joinable())
            threads_[channel].join();
    }
}

void Traffic::stop() {
    stopping_ = true;
    ioStopping_ = true;
    for (auto& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
}

void Traffic::runChannel(size_t channel, uint32_t seed) {
    std::mt19937 random(seed);
    sim::Handle handle;
    if (shared_.system.open(path_ + kChannels[channel].suffix, &handle) < 0)
        return;  // the device left already
    std::vector<std::unique_ptr<Pending>> pending;
    while (!ioStopping_) {
        while (pending.size() < kInFlight)
            pending.push_back(issue(handle, channel, random));
        if (random() % 8 == 0) {
            pending[random() % pending.size()]->request->cancel();
            ++shared_.counters.cancels;
        }
        if (random() % 64 == 0)
            resetPipe(handle, channel, pending);
        for (auto it = pending.begin(); it != pending.end();) {
            if ((*it)->request->completed()) {
                checkIo(**it, (*it)->request->wait());
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    }
    finish(pending);
    handle.close();
}

// Sends one read or write of a length that may span several chunks.
std::unique_ptr<Traffic::Pending> Traffic::issue(sim::Handle& handle, size_t channel,
                                                 std::mt19937& random) {
    auto pending = std::make_unique<Pending>();
    pending->channel = channel;
    const Channel& c = kChannels[channel];
    const ULONG length = c.read ? 512 * (1 + random() % 80) : 8 * (1 + random() % 5000);
    pending->buffer.resize(length);
    if (c.endpoint == 0x01) {
        const uint32_t write = shared_.ledger.newWrite(length);
        for (uint32_t i = 0; i < length / sizeof(Record); ++i) {
            const Record record{write, i};
            std::memcpy(pending->buffer.data() + i * sizeof(Record), &record, sizeof(Record));
        }
    }
    pending->request = c.read ? handle.readAsync(pending->buffer.data(), length)
                              : handle.writeAsync(pending->buffer.data(), length);
    ++shared_.counters.requests;
    return pending;
}

void Traffic::checkIo(const Pending& pending, const sim::IoResult& result) {
    SoakCounters& counters = shared_.counters;
    counters.outcome(result.status);
    const Channel& c = kChannels[pending.channel];
    const size_t length = pending.buffer.size();
    if (!isDocumentedOutcome(result.status)) {
        counters.fault("a request on endpoint " + std::to_string(c.endpoint) + " ended with " +
                       sim::statusName(result.status));
        return;
    }
    if (result.status != STATUS_SUCCESS)
        return;
    if (result.information > length) {
        counters.fault("a request reported more bytes than it asked for");
        return;
    }
    std::string why;
    if (!c.read) {
        // A write ends early with success only where its interface entry went between two
        // chunks: every chunk that went out was whole.
        if (result.information != length && result.information % kChunk != 0)
            counters.fault("a write reported a part of a chunk");
        if (c.endpoint == 0x02)
            sinkBytes_ += result.information;
    } else if (c.endpoint == 0x81 &&
               !shared_.ledger.check(pending.buffer.data(), result.information, why)) {
        counters.fault(why);
    } else if (c.endpoint == 0x86 &&
               !test::isStretchOfWaveform(pending.buffer.data(), result.information)) {
        counters.fault("the samples of a read are not a stretch of the waveform");
    } else {
        counters.bytesVerified += result.information;
    }
}

// What an application does to recover a pipe: its requests are cancelled and have ended, then
// the pipe is reset (a reset with transfers of the pipe under way is refused).
void Traffic::resetPipe(sim::Handle& handle, size_t channel,
                        std::vector<std::unique_ptr<Pending>>& pending) {
    finish(pending);
    const uint8_t* input = kChannels[channel].resetPipeInput;
    const sim::AppResult result =
        handle.deviceIoControl(IOCTL_BULK_RESET_PIPE, input, 4, nullptr, 0);
    ++shared_.counters.requests;
    check(IOCTL_BULK_RESET_PIPE, result, 0, {}, {});
}

// Cancels what is pending and waits for every request; one that never ends is lost (and its
// buffer stays, since the driver may still write into it).
void Traffic::finish(std::vector<std::unique_ptr<Pending>>& pending) {
    for (auto& p : pending) {
        if (!p->request->completed()) {
            p->request->cancel();
            ++shared_.counters.cancels;
        }
    }
    for (auto& p : pending) {
        std::optional<sim::IoResult> result = p->request->waitFor(kLostAfter);
        if (!result) {
            ++shared_.counters.lost;
            shared_.counters.fault("a request was lost: it never completed");
            (void)p.release();
            continue;
        }
        checkIo(*p, *result);
    }
    pending.clear();
}

}  // namespace vavedu::soak
