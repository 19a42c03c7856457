#include "tests/fuzz/hostile_device.hpp"

#include "tests/fuzz/fuzz_actions.hpp"
#include "tests/fuzz/hostile_descriptors.hpp"

#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace vavedu::fuzz::hostile_device {

namespace {

using namespace std::chrono_literals;
using sim::usb::CompletionMode;
using sim::usb::HeldUrb;

// Small chunks, so that transfers of a few pages already go down in several stages.
constexpr ULONG kMaxTransferSize = 4096;
constexpr int kMaxOperations = 64;

// ---------------------------------------------------------------- answers of the default pipe

// How the device answers one request of the default pipe, in the order the requests come.
// Past the last answer the device carries every request out itself.
struct Answer {
    enum class Kind : uint8_t {
        Release,        // the device carries it out (choices 0 to 3: the common case)
        Fail,           // u8 status: fails with a USBD status, nothing moved
        Truncate,       // u16 n: the device's answer cut to n bytes
        Corrupt,        // u8 offset, u8 value: the device's answer with one byte changed
        Raw,            // u8 n, n bytes: these bytes instead
        Claim,          // u16 n: the device's answer, but n bytes reported
        FailWithBytes,  // u8 status, u16 n: a failure that still reports n bytes
    };
    Kind kind = Kind::Release;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint16_t n = 0;
    uint8_t offset = 0;
    uint8_t value = 0;
    Bytes data;
};
constexpr uint8_t kAnswerChoices = 10;  // 0-3 Release, then one each

Answer readAnswer(Input& in) {
    Answer a;
    const uint8_t choice = in.u8() % kAnswerChoices;
    if (choice < 4)
        return a;
    a.kind = static_cast<Answer::Kind>(choice - 3);
    switch (a.kind) {
        case Answer::Kind::Fail:
            a.status = usbdStatus(in);
            break;
        case Answer::Kind::Truncate:
        case Answer::Kind::Claim:
            a.n = in.u16();
            break;
        case Answer::Kind::Corrupt:
            a.offset = in.u8();
            a.value = in.u8();
            break;
        case Answer::Kind::Raw:
            a.data = in.block();
            break;
        case Answer::Kind::FailWithBytes:
            a.status = usbdStatus(in);
            a.n = in.u16();
            break;
        case Answer::Kind::Release:
            break;
    }
    return a;
}

// The requests of the default pipe that move data; the others (selections, pipe requests) can
// only be carried out or refused by a device.
bool movesData(uint16_t function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SELECT_INTERFACE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            return false;
        default:
            return true;
    }
}

// Answers the held requests of the default pipe while the application's thread waits in the
// driver for them (every request of the default pipe is synchronous there): on a stepped machine
// from that thread's wait (answerHeld), on a threaded one from a thread of its own.
class ControlResponder {
  public:
    ControlResponder(sim::usb::UsbBus& bus, bool threaded) : bus_(bus) {
        if (threaded)
            thread_ = std::thread([this] { loop(); });
    }
    ~ControlResponder() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    void arm(std::vector<Answer> answers, Bytes device, std::vector<Bytes> configurations) {
        std::lock_guard lock(mutex_);
        answers_ = std::move(answers);
        next_ = 0;
        device_ = std::move(device);
        configurations_ = std::move(configurations);
    }
    void disarm() { arm({}, {}, {}); }

    // Answers every request of the default pipe the bus holds; true when it answered one.
    bool answerHeld() {
        bool answered = false;
        for (const HeldUrb& urb : bus_.heldUrbs()) {
            if (isControl(urb) && answer(urb))
                answered = true;
        }
        return answered;
    }

  private:
    static bool isControl(const HeldUrb& urb) {
        return urb.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    }

    void loop() {
        while (!stop_) {
            for (const HeldUrb& urb : bus_.waitForHeld(isControl, 100ms))
                answer(urb);
        }
    }

    // What the device would send for a descriptor request, if the request is one.
    std::optional<Bytes> descriptorAnswer(const HeldUrb& urb) const {
        if (!urb.setup || urb.setup->type() != 0 ||
            urb.setup->request != USB_REQUEST_GET_DESCRIPTOR) {
            return std::nullopt;
        }
        const uint8_t type = static_cast<uint8_t>(urb.setup->value >> 8);
        const uint8_t index = static_cast<uint8_t>(urb.setup->value & 0xFF);
        if (type == USB_DEVICE_DESCRIPTOR_TYPE)
            return device_;
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index < configurations_.size())
            return configurations_[index];
        return std::nullopt;
    }

    // False when the request was not held any more (its cancel came first).
    bool answer(const HeldUrb& urb) {
        Answer a;
        std::optional<Bytes> own;
        {
            std::lock_guard lock(mutex_);
            if (next_ < answers_.size())
                a = answers_[next_++];
            own = descriptorAnswer(urb);
        }
        sim::usb::HeldCompletion completion;
        switch (a.kind) {
            case Answer::Kind::Release:
                break;
            case Answer::Kind::Fail:
            case Answer::Kind::FailWithBytes:
                // A device refuses a selection, it cannot claim one it did not make.
                if (a.status == USBD_STATUS_SUCCESS && !movesData(urb.function))
                    break;
                completion.status = a.status;
                if (a.kind == Answer::Kind::FailWithBytes && movesData(urb.function))
                    completion.bytes = a.n;
                else
                    completion.bytes = 0;
                return bus_.completeHeld(urb.id, completion);
            case Answer::Kind::Truncate:
                if (!own)
                    break;
                own->resize(std::min<size_t>(own->size(), a.n));
                completion.data = std::move(*own);
                return bus_.completeHeld(urb.id, completion);
            case Answer::Kind::Corrupt:
                if (!own || own->empty())
                    break;
                (*own)[a.offset % own->size()] = a.value;
                completion.data = std::move(*own);
                return bus_.completeHeld(urb.id, completion);
            case Answer::Kind::Raw:
                if (!movesData(urb.function))
                    break;
                completion.data = a.data;
                completion.bytes = static_cast<uint32_t>(a.data.size());
                return bus_.completeHeld(urb.id, completion);
            case Answer::Kind::Claim:
                if (!movesData(urb.function))
                    break;
                if (own)
                    completion.data = std::move(*own);
                completion.bytes = a.n;
                return bus_.completeHeld(urb.id, completion);
        }
        return bus_.releaseHeld(urb.id);
    }

    sim::usb::UsbBus& bus_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Answer> answers_;
    size_t next_ = 0;
    Bytes device_;
    std::vector<Bytes> configurations_;
    std::thread thread_;  // last: starts once the rest is there
};

ControlResponder* g_responder = nullptr;

// ---------------------------------------------------------------- operations

// The target's own operations, after the shared ones (fuzz_actions.hpp).
enum class Operation : uint8_t {
    Open,                 // u8 name choice [u8 pipe] [u8 interface]
    CompleteBulk,         // u8 held URB, status, u8 byte count choice [u16]
    ReleaseBulk,          // u8 held URB: the device carries it out
    SelectConfiguration,  // u8 value
    SelectInterface,      // u8 number, u8 alternate
    ResetPipe,            // u8 pipe, u8 interface
    ResetPort,            //
    GetDescriptor,        // u8 type, u8 index, u16 language, u8 length choice
    ZeroLengthPackets,    // u8 mode
    InjectFault,          // u8 target, u8 kind, u8 count
    kCount
};

Bytes pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

std::u16string pipeName(Input& in) {
    const uint8_t choice = in.u8();
    if (choice % 4 == 0)
        return u"";
    std::u16string name = u"\\PIPE_" + number(in.u8() % 6);
    if (choice & 4)
        name += u"\\INTERFACE_" + number(in.u8() % 4);
    return name;
}

sim::usb::Fault fault(Input& in) {
    using Kind = sim::usb::Fault::Kind;
    const uint8_t kind = in.u8() % 7;
    const unsigned count = 1 + in.u8() % 3;
    if (kind == 5)
        return sim::usb::Fault::delayed(1ms, count);
    if (kind == 6)
        return sim::usb::Fault::shortDescriptor(in.u8(), count);
    static constexpr Kind kKinds[] = {Kind::Stall, Kind::Crc, Kind::Timeout, Kind::NotResponding,
                                      Kind::DeviceGone};
    return sim::usb::Fault::of(kKinds[kind], count);
}

std::vector<HeldUrb> heldBulk(sim::usb::UsbBus& bus) {
    std::vector<HeldUrb> bulk;
    for (const HeldUrb& urb : bus.heldUrbs()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            bulk.push_back(urb);
    }
    return bulk;
}

void completeBulk(sim::usb::UsbBus& bus, Input& in) {
    const uint8_t choice = in.u8();
    sim::usb::HeldCompletion completion;
    completion.status = usbdStatus(in);
    const uint8_t bytes = in.u8();
    const auto held = heldBulk(bus);
    if (held.empty())
        return;
    const HeldUrb& urb = held[choice % held.size()];
    switch (bytes % 6) {
        case 0:
            break;  // all of it
        case 1:
            completion.bytes = 0;
            break;
        case 2:
            completion.bytes = urb.length / 2;
            break;
        case 3:
            completion.bytes = urb.length == 0 ? 0 : urb.length - 1;
            break;
        case 4:
            completion.bytes = urb.length + 1;  // more than asked: the bus caps it
            break;
        default:
            completion.bytes = in.u16();
            break;
    }
    if (urb.in) {
        const uint32_t n = completion.bytes.value_or(urb.length);
        completion.data = pattern(std::min(n, urb.length), bytes);
    }
    bus.completeHeld(urb.id, completion);
}

void injectFault(Session& session, sim::usb::UsbBus& bus, Input& in) {
    const uint8_t target = in.u8();
    const sim::usb::Fault f = fault(in);
    if (session.unplugged())
        return;
    if (target & 0x40)
        bus.injectControlFault(session.pdo(), (target & 0x3F) % 13, f);
    else
        bus.injectFault(session.pdo(), target & 0x8F, f);
}

// A device-control request of the driver with a small input, on the device-control handle.
void control(Session& session, ULONG code, std::initializer_list<uint8_t> input,
             ULONG outputLength) {
    const Bytes bytes(input);
    deviceControl(session, session.controlHandle(), code, bytes, outputLength, false);
}

void ownOperation(Machine& machine, Session& session, Operation op, Input& in) {
    switch (op) {
        case Operation::Open:
            session.open(pipeName(in));
            break;
        case Operation::CompleteBulk:
            completeBulk(machine.bus(), in);
            break;
        case Operation::ReleaseBulk: {
            const uint8_t choice = in.u8();
            const auto held = heldBulk(machine.bus());
            if (!held.empty())
                machine.bus().releaseHeld(held[choice % held.size()].id);
            break;
        }
        case Operation::SelectConfiguration: {
            const uint8_t value = in.u8();
            control(session, IOCTL_BULK_SELECT_CONFIGURATION,
                    {static_cast<uint8_t>(value < 0xF0 ? value % 4 : value)}, 0);
            break;
        }
        case Operation::SelectInterface: {
            const auto number = static_cast<uint8_t>(in.u8() % 4);
            control(session, IOCTL_BULK_SELECT_INTERFACE,
                    {number, static_cast<uint8_t>(in.u8() % 3)}, 0);
            break;
        }
        case Operation::ResetPipe: {
            const auto pipe = static_cast<uint8_t>(in.u8() % 4);
            control(session, IOCTL_BULK_RESET_PIPE, {pipe, static_cast<uint8_t>(in.u8() % 3), 0, 0},
                    0);
            break;
        }
        case Operation::ResetPort:
            control(session, IOCTL_BULK_RESET_PORT, {}, 0);
            break;
        case Operation::GetDescriptor: {
            const uint8_t type = in.u8();
            const auto index = static_cast<uint8_t>(in.u8() % 4);
            const uint8_t language[2] = {in.u8(), in.u8()};
            static constexpr ULONG kOutputs[] = {0, 1, 8, 9, 18, 64, 255, 4096};
            control(session, IOCTL_BULK_GET_DESCRIPTOR,
                    {static_cast<uint8_t>(type < 0xF0 ? 1 + type % 3 : type), index, language[0],
                     language[1]},
                    kOutputs[in.u8() % std::size(kOutputs)]);
            break;
        }
        case Operation::ZeroLengthPackets:
            control(session, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE,
                    {static_cast<uint8_t>(in.u8() % 4), 0, 0, 0}, 4);
            break;
        case Operation::InjectFault:
        case Operation::kCount:
            injectFault(session, machine.bus(), in);
            break;
    }
}

void operation(Machine& machine, Session& session, Input& in) {
    SharedOperation shared{};
    uint8_t own = 0;
    if (readOperation(in, static_cast<uint8_t>(Operation::kCount), shared, own))
        runShared(session, shared, in);
    else
        ownOperation(machine, session, static_cast<Operation>(own), in);
}

ControlResponder& responder(Machine& machine) {
    if (g_responder == nullptr) {
        // Lives as long as the machine.
        g_responder = new ControlResponder(machine.bus(), !machine.stepped());
        if (machine.stepped())
            machine.setWaitWork([] { return g_responder->answerHeld(); });
    }
    return *g_responder;
}

}  // namespace

void prepare() {
    responder(Machine::get({{{u"MaximumTransferSize", kMaxTransferSize}}}));
}

int run(const uint8_t* data, size_t size) {
    prepare();
    Machine& machine = Machine::get();
    ControlResponder& answers = responder(machine);
    Input in(data, size);

    const uint8_t flags = in.u8();
    const uint8_t behaviour = in.u8();
    const uint8_t failing = (flags & 0x40) ? in.u8() : 0;
    Bytes device =
        sim::usb::deviceDescriptor(0x0200, 0xFF, 64, 0x1209, 0x00F0, 0x0100, 0, 0, 0, in.u8());
    for (int m = in.u8() % 4; m > 0; --m) {
        const uint8_t offset = in.u8();
        device[offset % device.size()] = in.u8();
    }
    std::vector<Bytes> configurations;
    for (int c = in.u8() % 5; c > 0; --c)
        configurations.push_back(configuration(in));
    std::vector<Answer> script;
    for (int a = in.u8(); a > 0; --a)
        script.push_back(readAnswer(in));

    std::unique_ptr<sim::usb::DeviceModel> model;
    if (flags & 0x20) {
        Bytes raw = device;
        for (const Bytes& config : configurations)
            raw.insert(raw.end(), config.begin(), config.end());
        try {
            model = std::make_unique<sim::usb::RawDescriptorModel>(raw, "raw");
        } catch (const std::invalid_argument&) {
            return 0;  // not a device the raw model takes
        }
    } else {
        model = std::make_unique<HostileDevice>(device, configurations, behaviour);
    }

    Session session(machine);
    static constexpr CompletionMode kBulkModes[] = {CompletionMode::Held, CompletionMode::Held,
                                                    CompletionMode::Inline, CompletionMode::Async};
    machine.bus().setBulkCompletionMode(kBulkModes[flags & 3]);
    const bool scripted = (flags & 4) != 0;
    if (scripted) {
        // What the model really holds: the bus answers from these, so must the script.
        std::vector<Bytes> held;
        const Bytes deviceBytes = model->deviceDescriptor();
        for (uint8_t i = 0; deviceBytes.size() >= 18 && i < deviceBytes[17]; ++i) {
            Bytes config = model->configurationDescriptor(i);
            if (config.empty())
                break;
            held.push_back(std::move(config));
        }
        answers.arm(std::move(script), deviceBytes, std::move(held));
        machine.bus().setControlCompletionMode(CompletionMode::Held);
    }

    if (failing != 0)
        session.failNthAllocation(failing);
    if (session.plug(std::move(model))) {
        for (int n = 0; n < kMaxOperations && !in.empty(); ++n)
            operation(machine, session, in);
        const auto ending = static_cast<Session::Ending>(
            ((flags >> 3) & 3) % static_cast<uint8_t>(Session::Ending::kCount));
        session.end(ending);
    }
    answers.disarm();
    return 0;
}

std::string finish() {
    delete g_responder;
    g_responder = nullptr;
    return Machine::shutdown();
}

// ---------------------------------------------------------------- seeds

namespace {

InputWriter& op(InputWriter& w, Operation o) {
    return ownOp(w, o);
}
using vavedu::fuzz::op;
using D = Disposition;

// The head of an input: flags, behaviour, a device descriptor announcing `announced`
// configurations and the templates of its configuration sets (none mutated).
InputWriter head(uint8_t flags, uint8_t behaviour, uint8_t announced,
                 std::initializer_list<ConfigTemplate> templates, uint8_t failing = 0) {
    InputWriter w;
    w.u8(flags | (failing != 0 ? 0x40 : 0)).u8(behaviour);
    if (failing != 0)
        w.u8(failing);
    w.u8(announced).u8(0).u8(static_cast<uint8_t>(templates.size()));
    for (ConfigTemplate t : templates)
        w.u8(static_cast<uint8_t>(t)).u8(0);  // no mutations
    return w;
}

// A typical session on a pipe: open it, move data, complete what the bus holds.
void dataSession(InputWriter& w) {
    op(w, Operation::Open).u8(1).u8(0);  // \PIPE_0
    op(w, Operation::Open).u8(1).u8(1);  // \PIPE_1
    transferOp(w, false, 0, kLen65, D::Leave);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
    transferOp(w, true, 1, kLen8192, D::Leave);  // two chunks
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(2);  // half of the second chunk
    transferOp(w, true, 1, kLen512, D::Leave);
    op(w, Operation::CompleteBulk).u8(0).u8(1).u8(1);  // stalled
    op(w, Operation::ResetPipe).u8(1).u8(0);
    op(w, Operation::ZeroLengthPackets).u8(1);
    transferOp(w, false, 0, kLen512, D::Leave);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);  // the zero-length packet
    op(w, SharedOperation::Close).u8(0);
}

void selections(InputWriter& w) {
    op(w, Operation::SelectInterface).u8(0).u8(1);
    op(w, Operation::SelectConfiguration).u8(2);
    op(w, Operation::SelectConfiguration).u8(0);
    op(w, Operation::SelectConfiguration).u8(1);
    op(w, Operation::SelectInterface).u8(1).u8(0);
    op(w, Operation::GetDescriptor).u8(1).u8(0).u8(0).u8(0).u8(4);
    op(w, Operation::GetDescriptor).u8(2).u8(1).u8(0).u8(0).u8(7);
}

void controlTransfers(InputWriter& w) {
    controlOp(w, 0xC0, 1, 0, 0, kLen64);       // vendor IN 0x01: the firmware version
    controlOp(w, 0x80, 6, 0x0100, 0, kLen18);  // GET_DESCRIPTOR (device)
    // SET_CONFIGURATION 1 and SET_INTERFACE 0/1, carried out by the driver
    controlOp(w, 0x00, 9, 1, 0, kLen0);
    controlOp(w, 0x01, 11, 1, 0, kLen0);
    controlOp(w, 0x82, 0, 0, 0x81, kLen2);  // GET_STATUS of an endpoint
    op(w, Operation::ResetPort);
}

}  // namespace

std::vector<Seed> seeds() {
    using T = ConfigTemplate;
    std::vector<Seed> out;
    {
        InputWriter w = head(0x00, 0, 2, {T::Instrument1, T::Instrument2});
        w.u8(0);  // no answers: the device carries out every request
        dataSession(w);
        selections(w);
        out.push_back({"instrument-data", w.bytes()});
    }
    {
        InputWriter w = head(0x04 | (1 << 3), 0, 2, {T::Instrument1, T::Instrument2});
        // answers: device descriptor, config 1 header and whole, config 2 header and whole, the
        // selection, then a short configuration read and a refused vendor request
        w.u8(9).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0);
        w.u8(5).u16(7);  // Truncate: the descriptor cut to 7 bytes
        w.u8(4).u8(1);   // Fail: stall
        controlTransfers(w);
        selections(w);
        out.push_back({"instrument-scripted-control", w.bytes()});
    }
    {
        InputWriter w = head(0x02 | (2 << 3), 1, 1, {T::Loopback});
        w.u8(0);
        op(w, Operation::Open).u8(0);
        transferOp(w, false, 0, kLen513, D::Leave);
        transferOp(w, true, 0, kLen513, D::Wait);
        transferOp(w, true, 0, kLen16384, D::Leave);
        op(w, SharedOperation::Cancel).u8(2);
        op(w, SharedOperation::StopStart);
        transferOp(w, true, 0, kLen63, D::Leave);
        op(w, SharedOperation::QueryStop);  // requests wait in stalled queues...
        transferOp(w, false, 0, kLen64, D::Leave);
        transferOp(w, true, 0, kLen64, D::Leave);
        op(w, SharedOperation::Power).u8(3);  // set D1
        op(w, SharedOperation::QueryStop);    // ...until the stop is cancelled
        op(w, SharedOperation::QueryRemove);
        op(w, SharedOperation::Power).u8(0);  // query S1
        op(w, SharedOperation::QueryRemove);
        out.push_back({"loopback-inline", w.bytes()});
    }
    {
        // A device whose first configuration header lies about its length, answered short.
        InputWriter w;
        w.u8(0x04).u8(0).u8(1).u8(0).u8(1);
        w.u8(static_cast<uint8_t>(T::Instrument1)).u8(1);
        w.u8(static_cast<uint8_t>(Mutation::SetTotalLength)).u16(0x0100).u8(0);
        w.u8(3).u8(0).u8(0).u8(6).u8(0xFF).u8(0x10);  // the config header corrupted
        op(w, Operation::Open).u8(0);
        out.push_back({"lying-total-length", w.bytes()});
    }
    {
        // A described configuration: two interfaces, odd packet sizes, an interrupt endpoint.
        InputWriter w;
        w.u8(0x01 | (0 << 3)).u8(3).u8(1).u8(0).u8(1);
        w.u8(static_cast<uint8_t>(T::Described)).u8(1).u8(0x80).u8(2);
        w.u8(0).u8(0).u8(0xFF).u8(3);
        w.u8(0x01).u8(2).u8(2);            // bulk OUT 0x01, 16 bytes
        w.u8(0x82).u8(2).u8(7).u16(1023);  // bulk IN 0x82, 1023 bytes
        w.u8(0x83).u8(3).u8(1);            // interrupt IN 0x83, 8 bytes
        w.u8(1).u8(0).u8(0xFF).u8(1);
        w.u8(0x84).u8(2).u8(0);  // bulk IN 0x84 of packet size 0
        w.u8(0);                 // no mutations
        w.u8(0);
        op(w, Operation::Open).u8(1).u8(1);
        transferOp(w, true, 0, kLen40000, D::Leave);
        op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
        op(w, Operation::ReleaseBulk).u8(0);
        op(w, Operation::Open).u8(5).u8(0).u8(1);
        transferOp(w, true, 1, kLen63, D::Leave);
        op(w, Operation::Open).u8(1).u8(2);
        transferOp(w, true, 2, kLen64, D::Leave);
        op(w, SharedOperation::SurpriseRemoval);
        transferOp(w, true, 0, kLen64, D::Leave);
        out.push_back({"described-odd-endpoints", w.bytes()});
    }
    {
        // Faults on the bus while the device carries out everything itself.
        InputWriter w = head(0x03 | (2 << 3), 5, 2, {T::Instrument1, T::Instrument2});
        w.u8(0);
        op(w, Operation::InjectFault).u8(0x81).u8(0).u8(0);            // stall 0x81 once
        op(w, Operation::InjectFault).u8(0x40 | 6).u8(6).u8(0).u8(4);  // short descriptor
        op(w, Operation::Open).u8(1).u8(1);
        transferOp(w, true, 0, kLen512, D::Leave);
        op(w, SharedOperation::Step).u8(1);
        op(w, Operation::GetDescriptor).u8(1).u8(0).u8(0).u8(0).u8(4);
        op(w, Operation::InjectFault).u8(0x40 | 9).u8(3).u8(0);  // SET_CONFIGURATION not answered
        op(w, Operation::SelectConfiguration).u8(1);
        op(w, SharedOperation::StopStart);
        out.push_back({"bus-faults", w.bytes()});
    }
    for (uint8_t failing : {3, 9, 14}) {
        // Low resources: one allocation of kernel code fails, at start or during the session.
        InputWriter w = head(0x00, 0, 2, {T::Instrument1, T::Instrument2}, failing);
        w.u8(0);
        dataSession(w);
        out.push_back({"low-resources-" + std::to_string(failing), w.bytes()});
    }
    {
        // The raw-descriptor model with the instrument's descriptors.
        InputWriter w = head(0x20 | 0x02, 0, 2, {T::Instrument1, T::Instrument2});
        w.u8(0);
        op(w, Operation::Open).u8(1).u8(0);
        transferOp(w, false, 0, kLen512, D::Leave);
        op(w, Operation::Open).u8(1).u8(1);
        transferOp(w, true, 1, kLen512, D::Wait);
        out.push_back({"raw-model", w.bytes()});
    }
    return out;
}

}  // namespace vavedu::fuzz::hostile_device
