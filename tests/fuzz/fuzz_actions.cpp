#include "tests/fuzz/fuzz_actions.hpp"

#include <algorithm>
#include <cstring>

namespace vavedu::fuzz {

namespace {

constexpr ULONG kLengths[] = {0,   1,   2,    4,    8,    18,   63,    64,    65,    255, 511,
                              512, 513, 1024, 4096, 4097, 8192, 16384, 16385, 40000, 3,   5,
                              7,   9,   16,   256,  4095, 8193, 9000,  12288, 32,    2048};
static_assert(kLengths[kLen40000] == 40000 && kLengths[kLen18] == 18);

SETUP_PACKET setupPacket(Input& in) {
    static constexpr uint8_t kTypes[] = {0x00, 0x01, 0x02, 0x03, 0x20, 0x21, 0x40, 0x41,
                                         0x80, 0x81, 0x82, 0x83, 0xA0, 0xA1, 0xC0, 0xC1};
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

// IOCTL_BULK_CONTROL_TRANSFER with buffers of the shape the input chooses: as the packet says
// (the common case), or an odd input or output length, or both buffers of wLength; now and then
// the packet is not stored first and the transfer runs what is there.
void controlTransfer(Session& session, Input& in) {
    sim::Handle* handle = handleFor(session, in.u8());
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
    const Bytes input = data(in, inputLength);
    if (handle == nullptr)
        return;
    if ((shape & 0x80) == 0) {
        uint8_t bytes[sizeof(SETUP_PACKET)];
        std::memcpy(bytes, &packet, sizeof(packet));
        Session::checkResult(
            handle->deviceIoControl(IOCTL_BULK_SET_SETUP_PACKET, bytes, sizeof(bytes), nullptr, 0),
            0, "storing a setup packet");
    }
    Bytes output(outputLength);
    const sim::AppResult result = handle->deviceIoControl(
        IOCTL_BULK_CONTROL_TRANSFER, input.empty() ? nullptr : input.data(), inputLength,
        output.empty() ? nullptr : output.data(), outputLength);
    Session::checkResult(result, std::max(inputLength, outputLength), "a control transfer");
}

void transfer(Session& session, Input& in, bool read) {
    sim::Handle* handle = session.handle(in.u8());
    const ULONG n = length(in);
    const auto disposition =
        static_cast<Disposition>(in.u8() % static_cast<uint8_t>(Disposition::kCount));
    Bytes buffer = read ? Bytes(n, 0xEE) : data(in, n);
    if (handle == nullptr)
        return;
    if (!read && disposition == Disposition::Synchronous && session.synchronousWrites() &&
        session.state() == sim::DeviceState::Started) {
        // A write on a started device ends when the device takes data (while a stop is pending
        // it would wait in its stalled queue).
        Session::checkResult(handle->write(buffer.data(), n), n, "a write");
        return;
    }
    if (!session.roomForRequest())
        return;
    auto request =
        read ? handle->readAsync(buffer.data(), n) : handle->writeAsync(buffer.data(), n);
    switch (disposition) {
        case Disposition::CancelNow:
            request->cancel();
            break;
        case Disposition::WaitThenCancel:
            if (!session.waitBriefly(*request))
                request->cancel();
            break;
        case Disposition::Wait:
        case Disposition::Synchronous:
            session.waitBriefly(*request);
            break;
        default:
            break;
    }
    session.track(std::move(request), std::move(buffer), n,
                  std::string(read ? "a read of " : "a write of ") + std::to_string(n) + " bytes");
}

}  // namespace

bool readOperation(Input& in, uint8_t own, SharedOperation& shared, uint8_t& ownOperation) {
    const uint8_t code = in.u8() % (kSharedOperations + own);
    if (code < kSharedOperations) {
        shared = static_cast<SharedOperation>(code);
        return true;
    }
    ownOperation = code - kSharedOperations;
    return false;
}

void runShared(Session& session, SharedOperation op, Input& in) {
    switch (op) {
        case SharedOperation::Close:
            session.close(in.u8());
            break;
        case SharedOperation::Read:
        case SharedOperation::Write:
            transfer(session, in, op == SharedOperation::Read);
            break;
        case SharedOperation::Cancel:
            if (sim::UserRequest* request = session.request(in.u8()))
                request->cancel();
            break;
        case SharedOperation::Wait:
            if (sim::UserRequest* request = session.request(in.u8()))
                session.waitBriefly(*request);
            break;
        case SharedOperation::Step:
            session.step(in.u8());
            break;
        case SharedOperation::ControlTransfer:
            controlTransfer(session, in);
            break;
        case SharedOperation::StopStart:
            session.stopAndStart();
            break;
        case SharedOperation::QueryStop:
        case SharedOperation::QueryRemove:
            session.queryOrCancel(op == SharedOperation::QueryRemove);
            break;
        case SharedOperation::Power:
            session.power(in.u8());
            break;
        case SharedOperation::SurpriseRemoval:
        case SharedOperation::kCount:
            session.surpriseRemoval(true);
            break;
    }
}

ULONG length(Input& in) {
    const uint8_t choice = in.u8();
    if (choice < 0xF0)
        return kLengths[choice % std::size(kLengths)];
    return in.u16();
}

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

sim::Handle* handleFor(Session& session, uint8_t choice) {
    return choice < 0xF0 ? session.handle(choice) : session.controlHandle();
}

void deviceControl(Session& session, sim::Handle* handle, ULONG code,
                   std::span<const uint8_t> input, ULONG outputLength, bool async) {
    if (handle == nullptr)
        return;
    Bytes in(input.begin(), input.end());
    Bytes output(outputLength, 0xCC);
    void* const out = output.empty() ? nullptr : output.data();
    // A port cycle is sent synchronously, so that the session follows the device it ends.
    if (async && session.roomForRequest() && code != IOCTL_BULK_RESET_PORT) {
        // The input is copied into the system buffer (or read) before the call returns.
        auto request =
            handle->deviceIoControlAsync(code, in.empty() ? nullptr : in.data(),
                                         static_cast<ULONG>(in.size()), out, outputLength);
        session.track(std::move(request), std::move(output), outputLength,
                      "device-control request " + std::to_string(code));
        return;
    }
    const sim::AppResult result = handle->deviceIoControl(
        code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()), out, outputLength);
    Session::checkResult(result, outputLength, "a device-control request");
    session.followPortCycle(code);
}

// ---------------------------------------------------------------- seeds

InputWriter& transferOp(InputWriter& w, bool read, uint8_t handle, LengthChoice n,
                        Disposition disposition) {
    op(w, read ? SharedOperation::Read : SharedOperation::Write).u8(handle).u8(n);
    w.u8(static_cast<uint8_t>(disposition));
    return read ? w : w.u8(0);  // no data of the input: the pattern
}

InputWriter& controlOp(InputWriter& w, uint8_t requestType, uint8_t request, uint16_t value,
                       uint16_t index, LengthChoice n) {
    op(w, SharedOperation::ControlTransfer).u8(0xF0).u8(0xF0).u8(requestType).u8(request);
    w.u16(value).u16(index).u8(n);
    return w.u8(7).u8(0);  // buffers as the packet says, no data of the input
}

}  // namespace vavedu::fuzz
