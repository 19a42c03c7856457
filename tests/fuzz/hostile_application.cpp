#include "tests/fuzz/hostile_application.hpp"

#include "tests/fuzz/fuzz_machine.hpp"

#include <chrono>
#include <cstring>

namespace vavedu::fuzz::hostile_application {

namespace {

using namespace std::chrono_literals;

constexpr int kMaxOperations = 96;

constexpr ULONG kCodes[] = {
    IOCTL_BULK_GET_DRIVER_VERSION,
    IOCTL_BULK_GET_DESCRIPTOR,
    IOCTL_BULK_RESET_PORT,
    IOCTL_BULK_RESET_PIPE,
    IOCTL_BULK_GET_LAST_USBD_STATUS,
    IOCTL_BULK_GET_RESERVED_VALUE,
    IOCTL_BULK_ZERO_LENGTH_PACKET_MODE,
    IOCTL_BULK_GET_BANNER,
    IOCTL_BULK_GET_USBDI_VERSION,
    IOCTL_BULK_SELECT_CONFIGURATION,
    IOCTL_BULK_SELECT_INTERFACE,
    IOCTL_BULK_SET_SETUP_PACKET,
    IOCTL_BULK_CONTROL_TRANSFER,
};

enum class Operation : uint8_t {
    Open,             // name (see name())
    Close,            // u8 handle
    Ioctl,            // u8 handle, code, input, u8 output length choice
    IoctlAsync,       // the same, left in flight until the end of the input
    ControlTransfer,  // u8 handle, setup packet, u8 length shape, input bytes
    Read,             // u8 handle, u8 length choice, u8 disposition
    Write,            // u8 handle, u8 length choice, u8 disposition, input bytes
    Cancel,           // u8 request
    Wait,             // u8 request
    StopStart,        //
    SurpriseRemoval,  //
    QueryStop,        // query-stop, or cancel-stop when stop-pending
    QueryRemove,      // query-remove, or cancel-remove when remove-pending
    Power,            // u8 choice
    kCount
};

// What becomes of an asynchronous read or write right after it was sent.
enum class Disposition : uint8_t { Leave, CancelNow, WaitThenCancel, Wait, Synchronous, kCount };

ULONG length(Input& in) {
    static constexpr ULONG kLengths[] = {0,  1,  2,   3,   4,   5,   7,    8,    9,     16,
                                         18, 64, 255, 256, 511, 512, 1024, 4096, 16384, 16385};
    const uint8_t choice = in.u8();
    if (choice < 0xF0)
        return kLengths[choice % std::size(kLengths)];
    return in.u16();
}

ULONG code(Input& in) {
    const uint8_t choice = in.u8();
    switch (choice % 4) {
        case 0:
            return in.u32();
        case 1:  // a neighbour: one bit of method, function, access or device type changed
            return kCodes[in.u8() % std::size(kCodes)] ^ (1u << (in.u8() % 32));
        default:
            return kCodes[(choice / 4) % std::size(kCodes)];
    }
}

// Data for a buffer of `n` bytes: the input's next bytes (u8 count first), then a pattern.
Bytes data(Input& in, size_t n) {
    Bytes bytes = in.block();
    const size_t given = bytes.size();
    bytes.resize(n);
    for (size_t i = given; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

std::u16string number(uint32_t n) {
    return sim::toU16(std::to_string(n));
}

std::u16string name(Input& in) {
    static const char16_t* const kParts[] = {
        u"\\PIPE_", u"\\INTERFACE_",
        u"\\pipe_", u"0x",
        u"0o",      u"0b",
        u"-",       u"+",
        u" ",       u"1",
        u"0",       u"31",
        u"32",      u"9",
        u"10",      u"F",
        u"\\",      u"4294967297",
    };
    switch (in.u8() % 8) {
        case 0:
            return u"";
        case 1:
            return u"\\PIPE_" + number(in.u8() % 8);
        case 2: {
            std::u16string n = u"\\PIPE_" + number(in.u8() % 8);
            return n + u"\\INTERFACE_" + number(in.u8() % 4);
        }
        case 3: {
            std::u16string n = u"\\INTERFACE_" + number(in.u8() % 4);
            return n + u"\\PIPE_" + number(in.u8() % 8);
        }
        case 4: {
            std::u16string text;
            for (int parts = in.u8() % 6; parts > 0; --parts)
                text += kParts[in.u8() % std::size(kParts)];
            return text;
        }
        case 5: {  // \PIPE_ and text of the input
            const Bytes text = in.block();
            return u"\\PIPE_" + std::u16string(text.begin(), text.end());
        }
        default: {  // UTF-16 code units of the input, after a backslash (or not)
            const Bytes raw = in.block();
            std::u16string text = (raw.size() % 2 == 0) ? u"\\" : u"";
            for (size_t i = 0; i + 1 < raw.size(); i += 2)
                text += static_cast<char16_t>(raw[i] | (raw[i + 1] << 8));
            return text;
        }
    }
}

SETUP_PACKET setupPacket(Input& in) {
    static constexpr uint8_t kTypes[] = {0x00, 0x01, 0x02, 0x20, 0xA0, 0x21, 0x40,
                                         0xC0, 0x80, 0x81, 0x82, 0xA1, 0x41, 0x03};
    SETUP_PACKET p;
    const uint8_t type = in.u8();
    p.bmRequestType = type < 0xF0 ? kTypes[type % std::size(kTypes)] : in.u8();
    const uint8_t request = in.u8();
    p.bRequest = request < 0xD0 ? request % 13 : request;
    p.wValue = in.u16();
    p.wIndex = in.u16();
    p.wLength = static_cast<uint16_t>(length(in));
    return p;
}

class Run {
  public:
    explicit Run(Session& session) : session_(session) {}

    void operation(Input& in) {
        const auto op = static_cast<Operation>(in.u8() % static_cast<uint8_t>(Operation::kCount));
        switch (op) {
            case Operation::Open:
                session_.open(name(in));
                break;
            case Operation::Close:
                session_.close(in.u8());
                break;
            case Operation::Ioctl:
            case Operation::IoctlAsync:
                ioctl(in, op == Operation::IoctlAsync);
                break;
            case Operation::ControlTransfer:
                controlTransfer(in);
                break;
            case Operation::Read:
            case Operation::Write:
                transfer(in, op == Operation::Read);
                break;
            case Operation::Cancel:
                if (sim::UserRequest* request = session_.request(in.u8()))
                    request->cancel();
                break;
            case Operation::Wait:
                if (sim::UserRequest* request = session_.request(in.u8()))
                    request->waitFor(2ms);
                break;
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
    sim::Handle* handle(uint8_t choice) {
        return choice < 0xF0 ? session_.handle(choice) : session_.controlHandle();
    }

    void ioctl(Input& in, bool async) {
        sim::Handle* h = handle(in.u8());
        const ULONG c = code(in);
        const ULONG inputLength = length(in);
        Bytes input = data(in, inputLength);
        const ULONG outputLength = length(in);
        if (h == nullptr)
            return;
        Bytes output(outputLength, 0xCC);
        // A port cycle is sent synchronously, so that the session follows the device it ends.
        if (async && session_.roomForRequest() && c != IOCTL_BULK_RESET_PORT) {
            auto request =
                h->deviceIoControlAsync(c, input.empty() ? nullptr : input.data(), inputLength,
                                        output.empty() ? nullptr : output.data(), outputLength);
            session_.track(std::move(request), std::move(output), outputLength,
                           "device-control request " + std::to_string(c));
            return;
        }
        const sim::AppResult result =
            h->deviceIoControl(c, input.empty() ? nullptr : input.data(), inputLength,
                               output.empty() ? nullptr : output.data(), outputLength);
        Session::checkResult(result, outputLength, "a device-control request");
        session_.followPortCycle(c);
    }

    void controlTransfer(Input& in) {
        sim::Handle* h = handle(in.u8());
        const SETUP_PACKET packet = setupPacket(in);
        const uint8_t shape = in.u8();
        const bool deviceToHost = (packet.bmRequestType & 0x80) != 0;
        ULONG inputLength = deviceToHost ? 0 : packet.wLength;
        ULONG outputLength = deviceToHost ? packet.wLength : 0;
        switch (shape % 8) {
            case 0:
                inputLength = length(in);
                break;
            case 1:
                outputLength = length(in);
                break;
            case 2:
                inputLength = outputLength = packet.wLength;
                break;
            default:
                break;
        }
        Bytes input = data(in, inputLength);
        if (h == nullptr)
            return;
        uint8_t bytes[sizeof(SETUP_PACKET)];
        std::memcpy(bytes, &packet, sizeof(packet));
        // Now and then the packet is not stored first: the transfer runs what is there.
        if ((shape & 0x80) == 0) {
            Session::checkResult(
                h->deviceIoControl(IOCTL_BULK_SET_SETUP_PACKET, bytes, sizeof(bytes), nullptr, 0),
                0, "storing a setup packet");
        }
        Bytes output(outputLength);
        const sim::AppResult result =
            h->deviceIoControl(IOCTL_BULK_CONTROL_TRANSFER, input.empty() ? nullptr : input.data(),
                               inputLength, output.empty() ? nullptr : output.data(), outputLength);
        Session::checkResult(result, std::max(inputLength, outputLength), "a control transfer");
    }

    void transfer(Input& in, bool read) {
        sim::Handle* h = handle(in.u8());
        const ULONG n = length(in);
        const auto disposition =
            static_cast<Disposition>(in.u8() % static_cast<uint8_t>(Disposition::kCount));
        Bytes buffer = read ? Bytes(n, 0xEE) : data(in, n);
        if (h == nullptr)
            return;
        if (!read && disposition == Disposition::Synchronous &&
            session_.state() == sim::DeviceState::Started) {
            // Every OUT endpoint of the instrument takes data, so a write on a started device
            // always ends (while a stop is pending it would wait in its stalled queue).
            const sim::AppResult result = h->write(buffer.data(), n);
            Session::checkResult(result, n, "a write");
            return;
        }
        if (!session_.roomForRequest())
            return;
        auto request = read ? h->readAsync(buffer.data(), n) : h->writeAsync(buffer.data(), n);
        switch (disposition) {
            case Disposition::CancelNow:
                request->cancel();
                break;
            case Disposition::WaitThenCancel:
                if (!request->waitFor(1ms))
                    request->cancel();
                break;
            case Disposition::Wait:
            case Disposition::Synchronous:
                request->waitFor(2ms);
                break;
            default:
                break;
        }
        session_.track(
            std::move(request), std::move(buffer), n,
            std::string(read ? "a read of " : "a write of ") + std::to_string(n) + " bytes");
    }

    Session& session_;
};

}  // namespace

void prepare() {
    Machine::get();
}

int run(const uint8_t* data, size_t size) {
    Machine& machine = Machine::get();
    Input in(data, size);
    const uint8_t flags = in.u8();
    const uint8_t failing = (flags & 0x10) ? in.u8() : 0;

    Session session(machine);
    machine.bus().setBulkCompletionMode((flags & 1) ? sim::usb::CompletionMode::Async
                                                    : sim::usb::CompletionMode::Inline);
    if (failing != 0)
        session.failNthAllocation(failing);
    if (!session.plug(std::make_unique<sim::usb::InstrumentModel>()))
        return 0;  // the allocation that failed was the bus's own
    Run run(session);
    for (int n = 0; n < kMaxOperations && !in.empty(); ++n)
        run.operation(in);
    session.end(static_cast<Session::Ending>(((flags >> 2) & 3) %
                                             static_cast<uint8_t>(Session::Ending::kCount)));
    return 0;
}

std::string finish() {
    return Machine::shutdown();
}

// ---------------------------------------------------------------- seeds

namespace {

InputWriter& op(InputWriter& w, Operation o) {
    return w.u8(static_cast<uint8_t>(o));
}

uint8_t codeChoice(ULONG c) {  // the code() choice that names a driver code
    for (size_t i = 0; i < std::size(kCodes); ++i) {
        if (kCodes[i] == c)
            return static_cast<uint8_t>(2 + 4 * i);
    }
    return 2;
}

// Length choices of length().
constexpr uint8_t kLen0 = 0, kLen1 = 1, kLen2 = 2, kLen4 = 4, kLen8 = 7, kLen18 = 10, kLen64 = 11,
                  kLen255 = 12, kLen512 = 15, kLen4096 = 17, kLen16385 = 19;

void ioctl(InputWriter& w, ULONG c, uint8_t inputLength, const Bytes& input, uint8_t outputLength) {
    op(w, Operation::Ioctl).u8(0xF0).u8(codeChoice(c)).u8(inputLength).block(input);
    w.u8(outputLength);
}

}  // namespace

std::vector<Seed> seeds() {
    std::vector<Seed> out;
    {
        // The client's queries: version, banner, descriptors, USBD version, last status.
        InputWriter w;
        w.u8(0);
        op(w, Operation::Open).u8(0);
        ioctl(w, IOCTL_BULK_GET_DRIVER_VERSION, kLen0, {}, kLen4);
        ioctl(w, IOCTL_BULK_GET_BANNER, kLen0, {}, kLen255);
        ioctl(w, IOCTL_BULK_GET_DESCRIPTOR, kLen4, {1, 0, 0, 0}, kLen18);
        ioctl(w, IOCTL_BULK_GET_DESCRIPTOR, kLen4, {2, 0, 0, 0}, kLen255);
        ioctl(w, IOCTL_BULK_GET_DESCRIPTOR, kLen4, {3, 2, 9, 4}, kLen255);
        ioctl(w, IOCTL_BULK_GET_USBDI_VERSION, kLen0, {}, kLen8);
        ioctl(w, IOCTL_BULK_GET_LAST_USBD_STATUS, kLen0, {}, kLen4);
        ioctl(w, IOCTL_BULK_GET_RESERVED_VALUE, kLen0, {}, kLen4);
        ioctl(w, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, kLen4, {2, 0, 0, 0}, kLen4);
        out.push_back({"queries", w.bytes()});
    }
    {
        // Loopback on pipes 0 and 1: writes, reads, a zero-length packet, a pipe reset.
        InputWriter w;
        w.u8(0);
        op(w, Operation::Open).u8(1).u8(0);
        op(w, Operation::Open).u8(1).u8(1);
        op(w, Operation::Write).u8(0).u8(kLen512).u8(4).u8(0);  // synchronous
        op(w, Operation::Read).u8(1).u8(kLen4096).u8(3);        // waited for
        ioctl(w, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, kLen4, {1, 0, 0, 0}, kLen4);
        op(w, Operation::Write).u8(0).u8(kLen64).u8(4).u8(0);
        op(w, Operation::Read).u8(1).u8(kLen16385).u8(2);  // waited, then cancelled
        ioctl(w, IOCTL_BULK_RESET_PIPE, kLen4, {1, 0, 0, 0}, kLen0);
        op(w, Operation::Read).u8(1).u8(kLen512).u8(0);  // left pending
        op(w, Operation::Close).u8(0);
        out.push_back({"loopback", w.bytes()});
    }
    {
        // Control transfers: firmware version, start and stop acquisition, standard requests.
        InputWriter w;
        w.u8(1 | (1 << 2));
        op(w, Operation::Open).u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(7).u8(1).u16(0).u16(0).u8(kLen64).u8(7).u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(6).u8(2).u16(0).u16(0).u8(kLen0).u8(7).u8(0);
        op(w, Operation::Open).u8(2).u8(0).u8(1);  // \PIPE_0\INTERFACE_1: the sink
        op(w, Operation::Open).u8(2).u8(1).u8(1);  // \PIPE_1\INTERFACE_1: the stream
        op(w, Operation::Read).u8(2).u8(kLen4096).u8(3);
        op(w, Operation::Write).u8(1).u8(kLen512).u8(4).u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(6).u8(3).u16(0).u16(0).u8(kLen0).u8(7).u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(8).u8(6).u16(0x0100).u16(0).u8(kLen18).u8(7);
        w.u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(10).u8(0).u16(0).u16(0x81).u8(kLen2).u8(7);
        w.u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(0).u8(9).u16(2).u16(0).u8(kLen0).u8(7).u8(0);
        op(w, Operation::ControlTransfer).u8(0).u8(0).u8(9).u16(1).u16(0).u8(kLen0).u8(7).u8(0);
        out.push_back({"control-transfers", w.bytes()});
    }
    {
        // Selections while data moves, a stop and restart, then the device goes away.
        InputWriter w;
        w.u8(1 | (2 << 2));
        op(w, Operation::Open).u8(1).u8(1);
        op(w, Operation::Read).u8(0).u8(kLen512).u8(0);
        ioctl(w, IOCTL_BULK_SELECT_INTERFACE, kLen2, {0, 1}, kLen0);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {2}, kLen0);
        op(w, Operation::Cancel).u8(0);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {2}, kLen0);
        op(w, Operation::Open).u8(1).u8(0);
        op(w, Operation::Read).u8(1).u8(kLen4096).u8(3);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {1}, kLen0);
        op(w, Operation::StopStart);
        op(w, Operation::QueryStop);
        op(w, Operation::Write).u8(1).u8(kLen64).u8(0).u8(0);  // waits in the stalled queue
        op(w, Operation::Power).u8(3);
        op(w, Operation::QueryStop);  // cancel-stop: the write goes on
        op(w, Operation::QueryRemove);
        op(w, Operation::QueryRemove);
        ioctl(w, IOCTL_BULK_RESET_PORT, kLen0, {}, kLen0);
        op(w, Operation::Read).u8(0).u8(kLen64).u8(0);
        op(w, Operation::SurpriseRemoval);
        op(w, Operation::Write).u8(0).u8(kLen64).u8(4).u8(0);
        out.push_back({"selections-and-removal", w.bytes()});
    }
    for (uint8_t failing : {2, 6, 11}) {
        // Low resources: one allocation of kernel code fails while the application works.
        InputWriter w;
        w.u8(0x10).u8(failing);
        op(w, Operation::Open).u8(1).u8(0);
        op(w, Operation::Open).u8(1).u8(1);
        op(w, Operation::Write).u8(0).u8(kLen16385).u8(4).u8(0);
        op(w, Operation::Read).u8(1).u8(kLen16385).u8(3);
        ioctl(w, IOCTL_BULK_GET_DESCRIPTOR, kLen4, {2, 0, 0, 0}, kLen255);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {2}, kLen0);
        op(w, Operation::ControlTransfer).u8(0).u8(7).u8(1).u16(0).u16(0).u8(kLen64).u8(7).u8(0);
        out.push_back({"low-resources-" + std::to_string(failing), w.bytes()});
    }
    {
        // Odd names and codes.
        InputWriter w;
        w.u8(0);
        op(w, Operation::Open).u8(4).u8(3).u8(0).u8(3).u8(9);  // \PIPE_0x1
        op(w, Operation::Open).u8(4).u8(2).u8(1).u8(11);       // \INTERFACE_31
        op(w, Operation::Open).u8(5).block({'9', '9'});        // \PIPE_99
        op(w, Operation::Open).u8(6).block({'\\', 0, 'P', 0});
        op(w, Operation::Ioctl).u8(0).u8(1).u8(3).u8(1).u8(kLen4).block({0, 0, 0, 0}).u8(kLen4);
        op(w, Operation::Ioctl).u8(0).u8(0).u32(0x00220003).u8(kLen8).block({}).u8(kLen8);
        op(w, Operation::IoctlAsync).u8(0).u8(codeChoice(IOCTL_BULK_CONTROL_TRANSFER));
        w.u8(kLen0).block({}).u8(kLen0);
        out.push_back({"odd-names-and-codes", w.bytes()});
    }
    return out;
}

}  // namespace vavedu::fuzz::hostile_application
