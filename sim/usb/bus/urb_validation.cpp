// URB validation as the platform's stack does it: one routine (validateUrb) reads the URB
// function's row of the table (urb_table.hpp) and checks the URB by it, in a fixed order: header
// length, minimum transfer length, pipe, direction, the kind's own checks, transfer length,
// buffer. A URB that passes is described in its transfer: setup packet, endpoint, buffer, and the
// fault it takes.
#include "sim/usb/bus/urb_table.hpp"

#include <algorithm>

namespace sim::usb::detail {

// Address, configuration and interface belong to the stack, not to a raw control transfer.
std::optional<USBD_STATUS> refuseStackRequests(Port&, PURB, Transfer& t) {
    const SetupPacket& setup = *t.setup;
    if (setup.type() == 0 && (setup.request == USB_REQUEST_SET_ADDRESS ||
                              setup.request == USB_REQUEST_SET_CONFIGURATION ||
                              setup.request == USB_REQUEST_SET_INTERFACE)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return std::nullopt;
}

namespace {

const UrbRule* ruleFor(uint16_t function) {
    auto it = std::find_if(std::begin(kUrbTable), std::end(kUrbTable),
                           [function](const UrbRule& rule) { return rule.function == function; });
    return it != std::end(kUrbTable) ? it : nullptr;
}

// Transfers on a pipe report the bytes they moved in TransferBufferLength (a feature request 0).
bool reportsLength(const UrbRule& rule) {
    return rule.pipe == Pipe::Default || rule.pipe == Pipe::DefaultFlagged ||
           rule.pipe == Pipe::BulkOrInterrupt;
}

// ---------------------------------------------------------------- the steps of a check

// The length and direction of the data stage, read once the header is known to hold them.
void readDataStage(const UrbRule& rule, PURB urb, Transfer& t) {
    if (rule.direction == Direction::None)
        return;
    const auto& fields = urb->UrbControlTransfer;
    t.length = fields.TransferBufferLength;
    if (rule.direction == Direction::Flags || rule.direction == Direction::FlagsChecked) {
        t.flags = fields.TransferFlags;
        t.in = (t.flags & USBD_TRANSFER_DIRECTION_IN) != 0;
    } else {
        t.in = rule.direction == Direction::In;
    }
}

SetupPacket formSetup(const UrbRule& rule, PURB urb, const Transfer& t) {
    SetupPacket setup{static_cast<uint8_t>((t.in ? 0x80 : 0x00) | rule.requestType), rule.request,
                      0, 0, static_cast<uint16_t>(std::min<uint32_t>(t.length, 0xFFFF))};
    switch (rule.setup) {
        case Setup::Descriptor: {
            const auto& descriptor = urb->UrbControlDescriptorRequest;
            setup.value =
                static_cast<uint16_t>((descriptor.DescriptorType << 8) | descriptor.Index);
            setup.index = descriptor.LanguageId;
            break;
        }
        case Setup::Feature:
            setup.value = urb->UrbControlFeatureRequest.FeatureSelector;
            setup.index = urb->UrbControlFeatureRequest.Index;
            break;
        case Setup::Status:
            setup.index = urb->UrbControlGetStatusRequest.Index;
            setup.length = 2;
            break;
        case Setup::VendorOrClass: {
            const auto& vendor = urb->UrbControlVendorClassRequest;
            // The reserved bits the client gives are or-ed in, as the platform's stack does.
            setup.requestType |= vendor.RequestTypeReservedBits;
            setup.request = vendor.Request;
            setup.value = vendor.Value;
            setup.index = vendor.Index;
            break;
        }
        case Setup::GetInterface:
            setup.index = urb->UrbControlGetInterfaceRequest.Interface;
            break;
        case Setup::Raw: {
            const UCHAR* s = urb->UrbControlTransfer.SetupPacket;
            return {s[0], s[1], static_cast<uint16_t>(s[2] | (s[3] << 8)),
                    static_cast<uint16_t>(s[4] | (s[5] << 8)),
                    static_cast<uint16_t>(s[6] | (s[7] << 8))};
        }
        case Setup::SelectConfiguration: {
            const auto* descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
            setup.value = descriptor != nullptr ? descriptor->bConfigurationValue : 0;
            break;
        }
        case Setup::SelectInterface:
            setup.value = urb->UrbSelectInterface.Interface.AlternateSetting;
            setup.index = urb->UrbSelectInterface.Interface.InterfaceNumber;
            break;
        default:
            break;
    }
    return setup;
}

// The setup packet of a control kind (and where the trace shows its data going).
void describe(const UrbRule& rule, PURB urb, Transfer& t) {
    if (rule.setup != Setup::None) {
        t.setup = formSetup(rule, urb, t);
        t.endpoint = t.in ? 0x80 : 0x00;
    }
    t.dataKind = reportsLength(rule);
}

// A bulk or interrupt pipe: the transfer takes its endpoint and packet size.
std::optional<USBD_STATUS> bulkOrInterruptPipe(const UrbRule& rule, Port& port, PURB urb,
                                               Transfer& t) {
    void* handle = urb->UrbBulkOrInterruptTransfer.PipeHandle;
    auto pipe = port.pipes.find(handle);
    if (pipe == port.pipes.end())
        return rule.on.pipe;
    const EndpointInfo& e = pipe->second.endpoint;
    t.endpoint = e.address;
    t.queueKey = e.address;
    t.pipeHandle = handle;
    t.maxPacket = e.maxPacketSize;
    t.shortOk = (t.flags & USBD_SHORT_TRANSFER_OK) != 0;
    if (e.type == EndpointType::Interrupt)
        t.kind = TransferKind::Interrupt;
    if ((e.type != EndpointType::Bulk && e.type != EndpointType::Interrupt) ||
        e.maxPacketSize == 0) {
        return rule.on.pipe;
    }
    return std::nullopt;
}

std::optional<USBD_STATUS> checkPipe(const UrbRule& rule, Port& port, PURB urb, Transfer& t) {
    switch (rule.pipe) {
        case Pipe::DefaultFlagged:
            // The flag names the default pipe whatever PipeHandle holds; without it the handle
            // must be an open control pipe, and the devices have none besides the default one.
            return (t.flags & USBD_DEFAULT_PIPE_TRANSFER) != 0 ? std::nullopt
                                                               : std::optional(rule.on.pipe);
        case Pipe::BulkOrInterrupt:
            return bulkOrInterruptPipe(rule, port, urb, t);
        case Pipe::AnyOpen: {
            auto pipe = port.pipes.find(urb->UrbPipeRequest.PipeHandle);
            if (pipe == port.pipes.end())
                return rule.on.pipe;
            t.pipeHandle = urb->UrbPipeRequest.PipeHandle;
            t.endpoint = pipe->second.endpoint.address;
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

std::optional<USBD_STATUS> checkDirection(const UrbRule& rule, Port&, PURB, Transfer& t) {
    if (rule.direction != Direction::FlagsChecked)
        return std::nullopt;
    const bool expectIn = t.setup ? t.setup->in() : (t.endpoint & 0x80) != 0;
    return t.in == expectIn ? std::nullopt : std::optional(rule.on.direction);
}

std::optional<USBD_STATUS> checkKind(const UrbRule& rule, Port& port, PURB urb, Transfer& t) {
    return rule.check != nullptr ? rule.check(port, urb, t) : std::nullopt;
}

std::optional<USBD_STATUS> checkLength(const UrbRule& rule, Port&, PURB, Transfer& t) {
    switch (rule.limit) {
        case Limit::SetupLength:
            return t.length > 0xFFFF ? std::optional(rule.on.length) : std::nullopt;
        case Limit::ClampToSetup:
            t.length = std::min<uint32_t>(t.length, t.setup->length);
            return std::nullopt;
        case Limit::StackMaximum:
            return t.length > UsbBus::kMaxTransferSize ? std::optional(rule.on.length)
                                                       : std::nullopt;
        default:
            return std::nullopt;
    }
}

// The data buffer: the MDL (mapped to system space) when there is one, else the buffer pointer.
// Nothing is needed for a length of 0.
std::optional<USBD_STATUS> checkBuffer(const UrbRule& rule, Port&, PURB urb, Transfer& t) {
    t.buffer = nullptr;
    if (rule.direction == Direction::None || t.length == 0)
        return std::nullopt;
    const auto& fields = urb->UrbControlTransfer;
    if (PMDL mdl = fields.TransferBufferMDL; mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < t.length)
            return rule.on.buffer;
        void* va = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        if (va == nullptr)
            return USBD_STATUS_INSUFFICIENT_RESOURCES;
        t.buffer = static_cast<uint8_t*>(va);
        return std::nullopt;
    }
    if (fields.TransferBuffer == nullptr)
        return rule.on.buffer;
    t.buffer = static_cast<uint8_t*>(fields.TransferBuffer);
    return std::nullopt;
}

using Step = std::optional<USBD_STATUS> (*)(const UrbRule& rule, Port& port, PURB urb, Transfer& t);
constexpr Step kSteps[] = {checkPipe, checkDirection, checkKind, checkLength, checkBuffer};

}  // namespace

std::optional<Outcome> validateUrb(Port& port, PURB urb, Transfer& t) {
    t.queueKey = 0;
    t.kind = TransferKind::None;
    const UrbRule* rule = ruleFor(urb->UrbHeader.Function);
    if (rule == nullptr)
        return failure(USBD_STATUS_INVALID_URB_FUNCTION);
    if (rule->passiveOnly)
        requirePassiveRequest("a pipe request (URB function " + std::to_string(rule->function) +
                              ")");
    t.kind = rule->kind;
    if (urb->UrbHeader.Length < rule->size)
        return failure(rule->on.header);
    readDataStage(*rule, urb, t);
    if (t.length < rule->minLength)
        return failure(rule->on.length);
    describe(*rule, urb, t);
    for (Step step : kSteps) {
        if (auto status = step(*rule, port, urb, t))
            return failure(*status);
    }
    if (rule->faults == Faults::Endpoint)
        t.fault = takeFault(port.endpointFaults, t.endpoint);
    if (rule->faults == Faults::Request)
        t.fault = takeFault(port.controlFaults, t.setup->request);
    return std::nullopt;
}

}  // namespace sim::usb::detail
