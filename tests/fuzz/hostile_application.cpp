#include "tests/fuzz/hostile_application.hpp"

#include "tests/fuzz/fuzz_actions.hpp"

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

// The target's own operations, after the shared ones (fuzz_actions.hpp).
enum class Operation : uint8_t {
    Open,        // name (see name())
    Ioctl,       // u8 handle, code, input, output length
    IoctlAsync,  // the same, left in flight until the end of the input
    kCount
};

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

void operation(Session& session, Input& in) {
    SharedOperation shared{};
    uint8_t own = 0;
    if (readOperation(in, static_cast<uint8_t>(Operation::kCount), shared, own)) {
        runShared(session, shared, in);
        return;
    }
    switch (static_cast<Operation>(own)) {
        case Operation::Open:
            session.open(name(in));
            break;
        case Operation::Ioctl:
        case Operation::IoctlAsync:
        case Operation::kCount: {
            sim::Handle* handle = handleFor(session, in.u8());
            const ULONG c = code(in);
            const Bytes input = data(in, length(in));
            deviceControl(session, handle, c, input, length(in),
                          static_cast<Operation>(own) == Operation::IoctlAsync);
            break;
        }
    }
}

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
    session.allowSynchronousWrites();  // every OUT endpoint of the instrument takes data
    if (!session.plug(std::make_unique<sim::usb::InstrumentModel>()))
        return 0;  // the allocation that failed was the bus's own
    for (int n = 0; n < kMaxOperations && !in.empty(); ++n)
        operation(session, in);
    session.end(static_cast<Session::Ending>(((flags >> 2) & 3) %
                                             static_cast<uint8_t>(Session::Ending::kCount)));
    return 0;
}

std::string finish() {
    return Machine::shutdown();
}

// ---------------------------------------------------------------- seeds

namespace {

uint8_t codeChoice(ULONG c) {  // the code() choice that names a driver code
    for (size_t i = 0; i < std::size(kCodes); ++i) {
        if (kCodes[i] == c)
            return static_cast<uint8_t>(2 + 4 * i);
    }
    return 2;
}

void ioctl(InputWriter& w, ULONG c, LengthChoice inputLength, const Bytes& input,
           LengthChoice outputLength) {
    ownOp(w, Operation::Ioctl).u8(0xF0).u8(codeChoice(c)).u8(inputLength).block(input);
    w.u8(outputLength);
}

InputWriter& open(InputWriter& w) {
    return ownOp(w, Operation::Open);
}

}  // namespace

std::vector<Seed> seeds() {
    using D = Disposition;
    std::vector<Seed> out;
    {
        // The client's queries: version, banner, descriptors, USBD version, last status.
        InputWriter w;
        w.u8(0);
        open(w).u8(0);
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
        w.u8(1);
        open(w).u8(1).u8(0);
        open(w).u8(1).u8(1);
        transferOp(w, false, 0, kLen512, D::Synchronous);
        transferOp(w, true, 1, kLen4096, D::Wait);
        ioctl(w, IOCTL_BULK_ZERO_LENGTH_PACKET_MODE, kLen4, {1, 0, 0, 0}, kLen4);
        transferOp(w, false, 0, kLen64, D::Synchronous);
        transferOp(w, true, 1, kLen16385, D::WaitThenCancel);
        ioctl(w, IOCTL_BULK_RESET_PIPE, kLen4, {1, 0, 0, 0}, kLen0);
        transferOp(w, true, 1, kLen512, D::Leave);
        transferOp(w, false, 0, kLen1024, D::Leave);
        op(w, SharedOperation::Step).u8(1);
        op(w, SharedOperation::Close).u8(0);
        out.push_back({"loopback", w.bytes()});
    }
    {
        // Control transfers: firmware version, start and stop acquisition, standard requests.
        InputWriter w;
        w.u8(1 | (1 << 2));
        open(w).u8(0);
        controlOp(w, 0xC0, 1, 0, 0, kLen64);
        controlOp(w, 0x40, 2, 0, 0, kLen0);
        open(w).u8(2).u8(0).u8(1);  // \PIPE_0\INTERFACE_1: the sink
        open(w).u8(2).u8(1).u8(1);  // \PIPE_1\INTERFACE_1: the stream
        transferOp(w, true, 2, kLen4096, D::Wait);
        transferOp(w, false, 1, kLen512, D::Synchronous);
        controlOp(w, 0x40, 3, 0, 0, kLen0);
        controlOp(w, 0x80, 6, 0x0100, 0, kLen18);
        controlOp(w, 0x82, 0, 0, 0x81, kLen2);
        controlOp(w, 0x00, 9, 2, 0, kLen0);
        controlOp(w, 0x00, 9, 1, 0, kLen0);
        out.push_back({"control-transfers", w.bytes()});
    }
    {
        // Selections while data moves, a stop and restart, then the device goes away.
        InputWriter w;
        w.u8(1 | (2 << 2));
        open(w).u8(1).u8(1);
        transferOp(w, true, 0, kLen512, D::Leave);
        ioctl(w, IOCTL_BULK_SELECT_INTERFACE, kLen2, {0, 1}, kLen0);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {2}, kLen0);
        op(w, SharedOperation::Cancel).u8(0);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {2}, kLen0);
        open(w).u8(1).u8(0);
        transferOp(w, true, 1, kLen4096, D::Wait);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {1}, kLen0);
        op(w, SharedOperation::StopStart);
        op(w, SharedOperation::QueryStop);
        transferOp(w, false, 1, kLen64, D::Leave);  // waits in the stalled queue
        op(w, SharedOperation::Power).u8(3);
        op(w, SharedOperation::QueryStop);  // cancel-stop: the write goes on
        op(w, SharedOperation::QueryRemove);
        op(w, SharedOperation::QueryRemove);
        ioctl(w, IOCTL_BULK_RESET_PORT, kLen0, {}, kLen0);
        transferOp(w, true, 0, kLen64, D::Leave);
        op(w, SharedOperation::SurpriseRemoval);
        transferOp(w, false, 0, kLen64, D::Synchronous);
        out.push_back({"selections-and-removal", w.bytes()});
    }
    for (uint8_t failing : {2, 6, 11}) {
        // Low resources: one allocation of kernel code fails while the application works.
        InputWriter w;
        w.u8(0x10).u8(failing);
        open(w).u8(1).u8(0);
        open(w).u8(1).u8(1);
        transferOp(w, false, 0, kLen16385, D::Synchronous);
        transferOp(w, true, 1, kLen16385, D::Wait);
        ioctl(w, IOCTL_BULK_GET_DESCRIPTOR, kLen4, {2, 0, 0, 0}, kLen255);
        ioctl(w, IOCTL_BULK_SELECT_CONFIGURATION, kLen1, {2}, kLen0);
        controlOp(w, 0xC0, 1, 0, 0, kLen64);
        out.push_back({"low-resources-" + std::to_string(failing), w.bytes()});
    }
    {
        // Odd names and codes.
        InputWriter w;
        w.u8(0);
        open(w).u8(4).u8(3).u8(0).u8(3).u8(9);  // \PIPE_0x1
        open(w).u8(4).u8(2).u8(1).u8(11);       // \INTERFACE_31
        open(w).u8(5).block({'9', '9'});        // \PIPE_99
        open(w).u8(6).block({'\\', 0, 'P', 0});
        ownOp(w, Operation::Ioctl).u8(0).u8(1).u8(3).u8(1).u8(kLen4).block({0, 0, 0, 0});
        w.u8(kLen4);
        ownOp(w, Operation::Ioctl).u8(0).u8(0).u32(0x00220003).u8(kLen8).block({}).u8(kLen8);
        ownOp(w, Operation::IoctlAsync).u8(0).u8(codeChoice(IOCTL_BULK_CONTROL_TRANSFER));
        w.u8(kLen0).block({}).u8(kLen0);
        out.push_back({"odd-names-and-codes", w.bytes()});
    }
    return out;
}

}  // namespace vavedu::fuzz::hostile_application
