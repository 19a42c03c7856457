#include "tests/fuzz/hostile_device.hpp"

#include "tests/fuzz/fuzz_machine.hpp"

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
using sim::usb::ConfigurationBuilder;
using sim::usb::EndpointType;
using sim::usb::HeldUrb;

// Small chunks, so that transfers of a few pages already go down in several stages.
constexpr ULONG kMaxTransferSize = 4096;
constexpr int kMaxOperations = 64;

// ---------------------------------------------------------------- the device

// A device whose descriptors come from the input. When the bus lets it answer by itself, bulk IN
// endpoints send packets of a shape chosen by `behaviour` (full, short, zero-length, none, too
// long), OUT endpoints take everything, and vendor and class requests stall or answer a pattern.
class HostileDevice : public sim::usb::DeviceModel {
  public:
    HostileDevice(Bytes device, std::vector<Bytes> configurations, uint8_t behaviour)
        : device_(std::move(device)),
          configurations_(std::move(configurations)),
          behaviour_(behaviour) {}

    std::string name() const override { return "hostile"; }
    Bytes deviceDescriptor() const override { return device_; }
    Bytes configurationDescriptor(uint8_t index) const override {
        return index < configurations_.size() ? configurations_[index] : Bytes{};
    }

    sim::usb::ControlReply controlRequest(const sim::usb::SetupPacket& setup,
                                          std::span<const uint8_t>) override {
        switch ((behaviour_ >> 3) & 3) {
            case 0:
                return sim::usb::ControlReply::stall();
            case 1:
                return {USBD_STATUS_SUCCESS, pattern(setup.length)};
            case 2:
                return {USBD_STATUS_SUCCESS, pattern(setup.length / 2u)};
            default:
                return {USBD_STATUS_SUCCESS, {}};
        }
    }

    sim::usb::InPacket bulkIn(uint8_t, uint16_t maxPacket, bool) override {
        ++packets_;
        switch (behaviour_ & 7) {
            case 0:
                return pattern(maxPacket);
            case 1:
                return pattern(maxPacket / 2u);
            case 2:
                return Bytes{};
            case 3:
                return std::nullopt;  // the endpoint NAKs: the transfer waits
            case 4:
                return pattern(maxPacket + 1u);  // babble
            case 5:
                return pattern(packets_ % 2 != 0 ? maxPacket : maxPacket / 3u);
            default:
                return pattern(packets_ % 5 != 0 ? maxPacket : 1u);
        }
    }

  private:
    Bytes pattern(size_t n) {
        Bytes bytes(n);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(++counter_ * 37u);
        return bytes;
    }

    Bytes device_;
    std::vector<Bytes> configurations_;
    uint8_t behaviour_;
    uint64_t packets_ = 0;
    uint8_t counter_ = 0;
};

// ---------------------------------------------------------------- descriptors from the input

enum class ConfigTemplate : uint8_t { Instrument1, Instrument2, Loopback, Described, kCount };

enum class Mutation : uint8_t {
    SetByte,         // bytes[where] = value
    Truncate,        // cut to `where` bytes
    Append,          // `value % 16` bytes more than wTotalLength says
    SetTotalLength,  // wTotalLength = where
    InsertShort,     // a descriptor with bLength `value % 2` inserted at `where`
    SetInterfaces,   // bNumInterfaces = value
    kCount
};

uint16_t packetSize(Input& in) {
    static constexpr uint16_t kSizes[] = {0, 8, 16, 64, 512, 1024, 0x1A00};
    const uint8_t choice = in.u8() % 8;
    return choice < std::size(kSizes) ? kSizes[choice] : in.u16();
}

Bytes describedConfiguration(Input& in) {
    const uint8_t value = in.u8();
    const uint8_t attributes = in.u8();
    ConfigurationBuilder builder(value, attributes);
    const int interfaces = in.u8() % 5;
    for (int i = 0; i < interfaces; ++i) {
        const uint8_t number = in.u8();
        const uint8_t alternate = in.u8();
        builder.interface(number, alternate, in.u8());
        const int endpoints = in.u8() % 6;
        for (int e = 0; e < endpoints; ++e) {
            const uint8_t address = in.u8();
            const auto type = static_cast<EndpointType>(in.u8() % 4);
            builder.endpoint(address, type, packetSize(in));
        }
    }
    return builder.build();
}

void mutate(Bytes& bytes, Input& in) {
    const int mutations = in.u8() % 6;
    for (int m = 0; m < mutations; ++m) {
        const auto kind = static_cast<Mutation>(in.u8() % static_cast<uint8_t>(Mutation::kCount));
        const uint16_t where = in.u16();
        const uint8_t value = in.u8();
        switch (kind) {
            case Mutation::SetByte:
                if (!bytes.empty())
                    bytes[where % bytes.size()] = value;
                break;
            case Mutation::Truncate:
                bytes.resize(std::min<size_t>(bytes.size(), where));
                break;
            case Mutation::Append:
                for (int k = 0; k < value % 16; ++k)
                    bytes.push_back(static_cast<uint8_t>(value + k));
                break;
            case Mutation::SetTotalLength:
                if (bytes.size() >= 4) {
                    bytes[2] = static_cast<uint8_t>(where);
                    bytes[3] = static_cast<uint8_t>(where >> 8);
                }
                break;
            case Mutation::InsertShort: {
                const size_t at = bytes.empty() ? 0 : where % bytes.size();
                const Bytes inserted = {static_cast<uint8_t>(value % 2), value};
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(),
                             inserted.end());
                break;
            }
            case Mutation::SetInterfaces:
            case Mutation::kCount:
                if (bytes.size() >= 5)
                    bytes[4] = value;
                break;
        }
    }
}

Bytes configuration(Input& in) {
    static const sim::usb::InstrumentModel instrument;
    static const sim::usb::LoopbackModel loopback;
    Bytes bytes;
    switch (static_cast<ConfigTemplate>(in.u8() % static_cast<uint8_t>(ConfigTemplate::kCount))) {
        case ConfigTemplate::Instrument1:
            bytes = instrument.configurationDescriptor(0);
            break;
        case ConfigTemplate::Instrument2:
            bytes = instrument.configurationDescriptor(1);
            break;
        case ConfigTemplate::Loopback:
            bytes = loopback.configurationDescriptor(0);
            break;
        default:
            bytes = describedConfiguration(in);
            break;
    }
    mutate(bytes, in);
    return bytes;
}

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

// Answers the held requests of the default pipe from its own thread, while the application's
// thread waits in the driver for them (every request of the default pipe is synchronous there).
class ControlResponder {
  public:
    explicit ControlResponder(sim::usb::UsbBus& bus) : bus_(bus), thread_([this] { loop(); }) {}
    ~ControlResponder() {
        stop_ = true;
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

  private:
    void loop() {
        auto control = [](const HeldUrb& urb) {
            return urb.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        };
        while (!stop_) {
            for (const HeldUrb& urb : bus_.waitForHeld(control, 100ms))
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

    void answer(const HeldUrb& urb) {
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
                bus_.completeHeld(urb.id, completion);
                return;
            case Answer::Kind::Truncate:
                if (!own)
                    break;
                own->resize(std::min<size_t>(own->size(), a.n));
                completion.data = std::move(*own);
                bus_.completeHeld(urb.id, completion);
                return;
            case Answer::Kind::Corrupt:
                if (!own || own->empty())
                    break;
                (*own)[a.offset % own->size()] = a.value;
                completion.data = std::move(*own);
                bus_.completeHeld(urb.id, completion);
                return;
            case Answer::Kind::Raw:
                if (!movesData(urb.function))
                    break;
                completion.data = a.data;
                completion.bytes = static_cast<uint32_t>(a.data.size());
                bus_.completeHeld(urb.id, completion);
                return;
            case Answer::Kind::Claim:
                if (!movesData(urb.function))
                    break;
                if (own)
                    completion.data = std::move(*own);
                completion.bytes = a.n;
                bus_.completeHeld(urb.id, completion);
                return;
        }
        bus_.releaseHeld(urb.id);
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

enum class Operation : uint8_t {
    Open,                 // u8 name choice [u8 pipe] [u8 interface]
    Close,                // u8 handle
    Read,                 // u8 handle, u8 length choice
    Write,                // u8 handle, u8 length choice
    Cancel,               // u8 request
    CompleteBulk,         // u8 held URB, status, u8 byte count choice [u16]
    ReleaseBulk,          // u8 held URB: the device carries it out
    SelectConfiguration,  // u8 value
    SelectInterface,      // u8 number, u8 alternate
    ResetPipe,            // u8 pipe, u8 interface
    ResetPort,            //
    GetDescriptor,        // u8 type, u8 index, u16 language, u8 length choice
    ControlTransfer,      // setup packet, u8 length shape
    ZeroLengthPackets,    // u8 mode
    InjectFault,          // u8 target, u8 kind, u8 count
    StopStart,            //
    SurpriseRemoval,      //
    QueryStop,            // query-stop, or cancel-stop when stop-pending
    QueryRemove,          // query-remove, or cancel-remove when remove-pending
    Power,                // u8 choice
    kCount
};

ULONG lengthChoice(Input& in) {
    static constexpr ULONG kLengths[] = {0,    1,    8,     63,    64,    65,   511,
                                         512,  513,  1024,  4095,  4096,  4097, 8192,
                                         8193, 9000, 12288, 16384, 16385, 40000};
    const uint8_t choice = in.u8();
    return kLengths[choice % std::size(kLengths)] + (choice >= 240 ? choice - 240u : 0u);
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

std::u16string number(uint8_t n) {
    return sim::toU16(std::to_string(n));
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

SETUP_PACKET setupPacket(Input& in) {
    static constexpr uint8_t kTypes[] = {0x00, 0x01, 0x02, 0x20, 0x21, 0x40, 0x41, 0x80,
                                         0x81, 0x82, 0xA0, 0xA1, 0xC0, 0xC1, 0x03, 0x83};
    static constexpr uint16_t kLengths[] = {0, 1, 2, 8, 9, 18, 64, 255, 256, 1024};
    SETUP_PACKET p;
    const uint8_t type = in.u8();
    p.bmRequestType = type < 0xF0 ? kTypes[type % std::size(kTypes)] : in.u8();
    const uint8_t request = in.u8();
    p.bRequest = request < 0xD0 ? request % 13 : request;
    p.wValue = in.u16();
    p.wIndex = in.u16();
    const uint8_t length = in.u8();
    p.wLength = length < 0xF0 ? kLengths[length % std::size(kLengths)] : (in.u16() & 0x0FFF);
    return p;
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

class Run {
  public:
    Run(Machine& machine, Session& session) : machine_(machine), session_(session) {}

    void operation(Input& in) {
        const auto op = static_cast<Operation>(in.u8() % static_cast<uint8_t>(Operation::kCount));
        switch (op) {
            case Operation::Open:
                session_.open(pipeName(in));
                break;
            case Operation::Close:
                session_.close(in.u8());
                break;
            case Operation::Read:
            case Operation::Write:
                transfer(in, op == Operation::Read);
                break;
            case Operation::Cancel:
                if (sim::UserRequest* request = session_.request(in.u8()))
                    request->cancel();
                break;
            case Operation::CompleteBulk:
                completeBulk(in);
                break;
            case Operation::ReleaseBulk: {
                const uint8_t choice = in.u8();
                const auto held = heldBulk(machine_.bus());
                if (!held.empty())
                    machine_.bus().releaseHeld(held[choice % held.size()].id);
                break;
            }
            case Operation::SelectConfiguration: {
                const uint8_t value = in.u8();
                const uint8_t input[1] = {static_cast<uint8_t>(value < 0xF0 ? value % 4 : value)};
                ioctl(IOCTL_BULK_SELECT_CONFIGURATION, input, 0);
                break;
            }
            case Operation::SelectInterface: {
                const uint8_t input[2] = {static_cast<uint8_t>(in.u8() % 4),
                                          static_cast<uint8_t>(in.u8() % 3)};
                ioctl(IOCTL_BULK_SELECT_INTERFACE, input, 0);
                break;
            }
            case Operation::ResetPipe: {
                const uint8_t input[4] = {static_cast<uint8_t>(in.u8() % 4),
                                          static_cast<uint8_t>(in.u8() % 3), 0, 0};
                ioctl(IOCTL_BULK_RESET_PIPE, input, 0);
                break;
            }
            case Operation::ResetPort:
                ioctl(IOCTL_BULK_RESET_PORT, {}, 0);
                break;
            case Operation::GetDescriptor: {
                const uint8_t type = in.u8();
                const uint8_t input[4] = {static_cast<uint8_t>(type < 0xF0 ? 1 + type % 3 : type),
                                          static_cast<uint8_t>(in.u8() % 4), in.u8(), in.u8()};
                static constexpr ULONG kOutputs[] = {0, 1, 8, 9, 18, 64, 255, 4096};
                ioctl(IOCTL_BULK_GET_DESCRIPTOR, input, kOutputs[in.u8() % std::size(kOutputs)]);
                break;
            }
            case Operation::ControlTransfer:
                controlTransfer(in);
                break;
            case Operation::ZeroLengthPackets: {
                const LONG mode = in.u8() % 4;
                uint8_t input[4];
                std::memcpy(input, &mode, 4);
                ioctl(IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, input, 4);
                break;
            }
            case Operation::InjectFault: {
                const uint8_t target = in.u8();
                const sim::usb::Fault f = fault(in);
                if (session_.unplugged())
                    break;
                if (target & 0x40)
                    machine_.bus().injectControlFault(session_.pdo(), (target & 0x3F) % 13, f);
                else
                    machine_.bus().injectFault(session_.pdo(), target & 0x8F, f);
                break;
            }
            case Operation::StopStart:
                session_.stopAndStart();
                break;
            case Operation::QueryStop:
            case Operation::QueryRemove:
                session_.queryOrCancel(op == Operation::QueryRemove);
                break;
            case Operation::Power:
                session_.power(in.u8());
                break;
            case Operation::SurpriseRemoval:
            case Operation::kCount:
                session_.surpriseRemoval(true);
                break;
        }
    }

  private:
    void transfer(Input& in, bool read) {
        sim::Handle* handle = session_.handle(in.u8());
        const ULONG length = lengthChoice(in);
        if (handle == nullptr || !session_.roomForRequest())
            return;
        Bytes buffer = pattern(length, static_cast<uint8_t>(length));
        auto request = read ? handle->readAsync(buffer.data(), length)
                            : handle->writeAsync(buffer.data(), length);
        session_.track(
            std::move(request), std::move(buffer), length,
            std::string(read ? "a read of " : "a write of ") + std::to_string(length) + " bytes");
    }

    void completeBulk(Input& in) {
        const uint8_t choice = in.u8();
        sim::usb::HeldCompletion completion;
        completion.status = usbdStatus(in);
        const uint8_t bytes = in.u8();
        const auto held = heldBulk(machine_.bus());
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
        machine_.bus().completeHeld(urb.id, completion);
    }

    void ioctl(ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
        sim::Handle* handle = session_.controlHandle();
        if (handle == nullptr)
            return;
        Bytes in(input.begin(), input.end());
        Bytes out(outputLength);
        const sim::AppResult result = handle->deviceIoControl(
            code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
            out.empty() ? nullptr : out.data(), outputLength);
        Session::checkResult(result, outputLength, "a device-control request");
        session_.followPortCycle(code);
    }

    void controlTransfer(Input& in) {
        const SETUP_PACKET packet = setupPacket(in);
        const uint8_t shape = in.u8();
        const bool deviceToHost = (packet.bmRequestType & 0x80) != 0;
        ULONG inputLength = deviceToHost ? 0 : packet.wLength;
        ULONG outputLength = deviceToHost ? packet.wLength : 0;
        switch (shape % 8) {
            case 0:
                inputLength += 1;
                break;
            case 1:
                outputLength += 3;
                break;
            case 2:
                inputLength = outputLength = packet.wLength;
                break;
            default:
                break;  // as the packet says: the common case
        }
        uint8_t bytes[sizeof(SETUP_PACKET)];
        std::memcpy(bytes, &packet, sizeof(packet));
        ioctl(IOCTL_BULK_SET_SETUP_PACKET, bytes, 0);
        sim::Handle* handle = session_.controlHandle();
        if (handle == nullptr)
            return;
        Bytes input = pattern(inputLength, shape);
        Bytes output(outputLength);
        const sim::AppResult result = handle->deviceIoControl(
            IOCTL_BULK_CONTROL_TRANSFER, input.empty() ? nullptr : input.data(), inputLength,
            output.empty() ? nullptr : output.data(), outputLength);
        Session::checkResult(result, std::max(inputLength, outputLength), "a control transfer");
    }

    Machine& machine_;
    Session& session_;
};

ControlResponder& responder(Machine& machine) {
    if (g_responder == nullptr)
        g_responder = new ControlResponder(machine.bus());  // lives as long as the machine
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
        Run run(machine, session);
        for (int n = 0; n < kMaxOperations && !in.empty(); ++n)
            run.operation(in);
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
    return w.u8(static_cast<uint8_t>(o));
}

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
    op(w, Operation::Open).u8(1).u8(0);   // \PIPE_0
    op(w, Operation::Open).u8(1).u8(1);   // \PIPE_1
    op(w, Operation::Write).u8(0).u8(5);  // 65 bytes
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
    op(w, Operation::Read).u8(1).u8(13);  // 8192 bytes: two chunks
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(2);  // half of the second chunk
    op(w, Operation::Read).u8(1).u8(7);                // 512
    op(w, Operation::CompleteBulk).u8(0).u8(1).u8(1);  // stalled
    op(w, Operation::ResetPipe).u8(1).u8(0);
    op(w, Operation::ZeroLengthPackets).u8(1);
    op(w, Operation::Write).u8(0).u8(7);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
    op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);  // the zero-length packet
    op(w, Operation::Close).u8(0);
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
    // vendor IN 0x01 (the firmware version), wLength 64
    op(w, Operation::ControlTransfer).u8(12).u8(1).u16(0).u16(0).u8(6).u8(7);
    // standard GET_DESCRIPTOR (device), 18 bytes
    op(w, Operation::ControlTransfer).u8(7).u8(6).u16(0x0100).u16(0).u8(5).u8(7);
    // standard SET_CONFIGURATION 1 and SET_INTERFACE 0/1, carried out by the driver
    op(w, Operation::ControlTransfer).u8(0).u8(9).u16(1).u16(0).u8(0).u8(7);
    op(w, Operation::ControlTransfer).u8(1).u8(11).u16(1).u16(0).u8(0).u8(7);
    // GET_STATUS of an endpoint, 2 bytes
    op(w, Operation::ControlTransfer).u8(9).u8(0).u16(0).u16(0x81).u8(2).u8(7);
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
        op(w, Operation::Write).u8(0).u8(8);  // 513 bytes
        op(w, Operation::Read).u8(0).u8(8);
        op(w, Operation::Read).u8(0).u8(16);  // 16384
        op(w, Operation::Cancel).u8(2);
        op(w, Operation::StopStart);
        op(w, Operation::Read).u8(0).u8(3);
        op(w, Operation::QueryStop);  // requests wait in stalled queues...
        op(w, Operation::Write).u8(0).u8(4);
        op(w, Operation::Read).u8(0).u8(4);
        op(w, Operation::Power).u8(3);  // set D1
        op(w, Operation::QueryStop);    // ...until the stop is cancelled
        op(w, Operation::QueryRemove);
        op(w, Operation::Power).u8(0);  // query S1
        op(w, Operation::QueryRemove);
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
        op(w, Operation::Read).u8(0).u8(19);  // 40000
        op(w, Operation::CompleteBulk).u8(0).u8(0).u8(0);
        op(w, Operation::ReleaseBulk).u8(0);
        op(w, Operation::Open).u8(5).u8(0).u8(1);
        op(w, Operation::Read).u8(1).u8(3);
        op(w, Operation::Open).u8(1).u8(2);
        op(w, Operation::Read).u8(2).u8(4);
        op(w, Operation::SurpriseRemoval);
        op(w, Operation::Read).u8(0).u8(4);
        out.push_back({"described-odd-endpoints", w.bytes()});
    }
    {
        // Faults on the bus while the device carries out everything itself.
        InputWriter w = head(0x03 | (2 << 3), 5, 2, {T::Instrument1, T::Instrument2});
        w.u8(0);
        op(w, Operation::InjectFault).u8(0x81).u8(0).u8(0);            // stall 0x81 once
        op(w, Operation::InjectFault).u8(0x40 | 6).u8(6).u8(0).u8(4);  // short descriptor
        op(w, Operation::Open).u8(1).u8(1);
        op(w, Operation::Read).u8(0).u8(7);
        op(w, Operation::GetDescriptor).u8(1).u8(0).u8(0).u8(0).u8(4);
        op(w, Operation::InjectFault).u8(0x40 | 9).u8(3).u8(0);  // SET_CONFIGURATION not answered
        op(w, Operation::SelectConfiguration).u8(1);
        op(w, Operation::StopStart);
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
        op(w, Operation::Write).u8(0).u8(7);
        op(w, Operation::Open).u8(1).u8(1);
        op(w, Operation::Read).u8(1).u8(7);
        out.push_back({"raw-model", w.bytes()});
    }
    return out;
}

}  // namespace vavedu::fuzz::hostile_device
