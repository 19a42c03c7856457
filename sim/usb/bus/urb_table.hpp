// The table of URB functions the bus takes, one row per function: the kind's size, where its data
// goes and whether it has a buffer, the pipe it takes, how long its transfer may be, where its
// setup packet comes from, its own checks, the fault it takes and the USBD status of each
// violation. urb_validation.cpp reads it; adding a URB kind is adding a row.
#pragma once

#include "sim/usb/bus/bus_state.hpp"

#include <cstddef>
#include <iterator>

namespace sim::usb::detail {

// Where the data goes, and with it whether the URB has a data stage (TransferBufferLength,
// TransferBuffer, TransferBufferMDL).
enum class Direction : uint8_t {
    None,          // no data stage
    In,            // device to host
    Out,           // host to device
    Flags,         // as USBD_TRANSFER_DIRECTION_IN in TransferFlags says
    FlagsChecked,  // as the flags say, which must agree with the pipe's endpoint or setup packet
};

// The pipe a URB goes to.
enum class Pipe : uint8_t {
    None,             // none: selections, the frame number
    Default,          // the default pipe, implied by the kind
    DefaultFlagged,   // USBD_DEFAULT_PIPE_TRANSFER, PipeHandle ignored: no other control pipes
    BulkOrInterrupt,  // PipeHandle: an open bulk or interrupt pipe
    AnyOpen,          // PipeHandle: any open pipe (the pipe requests)
};

// How long the transfer may be.
enum class Limit : uint8_t {
    None,
    SetupLength,   // what a setup packet's wLength can say: refused above 0xFFFF bytes
    ClampToSetup,  // the data stage is cut to the setup packet's wLength
    StackMaximum,  // refused above what the stack takes in one request of the pipe's type
};

// Where the setup packet's fields come from: the URB structure of the kind. bmRequestType's
// direction comes from the row's direction, its type and recipient and bRequest from the row.
enum class Setup : uint8_t {
    None,                 // not a control transfer
    Descriptor,           // wValue: DescriptorType and Index; wIndex: LanguageId
    Feature,              // wValue: FeatureSelector; wIndex: Index
    Status,               // wIndex: Index; wLength 2
    VendorOrClass,        // bRequest, wValue, wIndex; the reserved bmRequestType bits or-ed in
    GetConfiguration,     // nothing from the URB
    GetInterface,         // wIndex: Interface
    Raw,                  // the URB's own eight bytes
    SelectConfiguration,  // wValue: the selected descriptor's bConfigurationValue (0: none)
    SelectInterface,      // wValue: AlternateSetting; wIndex: InterfaceNumber
};

// Which injected fault the URB takes.
enum class Faults : uint8_t {
    None,
    Endpoint,  // the endpoint's, once the URB passed every check
    Request,   // the control request's (by bRequest), once the URB passed every check
};

// The USBD status of each violation of the row's rules.
struct Violations {
    USBD_STATUS header = USBD_STATUS_INVALID_PARAMETER;     // UrbHeader.Length below the size
    USBD_STATUS length = USBD_STATUS_INVALID_PARAMETER;     // transfer too short or too long
    USBD_STATUS pipe = USBD_STATUS_INVALID_PIPE_HANDLE;     // no such pipe, or not of the types
    USBD_STATUS direction = USBD_STATUS_INVALID_PARAMETER;  // flags against endpoint or setup
    USBD_STATUS buffer = USBD_STATUS_INVALID_PARAMETER;     // no buffer or MDL, MDL too short
};

// The kind's own checks, after the pipe and direction; the status when the URB fails them.
using Check = std::optional<USBD_STATUS> (*)(Port& port, PURB urb, Transfer& t);

struct UrbRule {
    uint16_t function = 0;
    size_t size = 0;  // the kind's structure; a shorter UrbHeader.Length is refused
    TransferKind kind = TransferKind::None;  // as the trace shows it
    Direction direction = Direction::None;
    Pipe pipe = Pipe::None;
    Limit limit = Limit::None;
    uint32_t minLength = 0;  // the least TransferBufferLength
    Setup setup = Setup::None;
    uint8_t requestType = 0;  // bmRequestType's type and recipient bits
    uint8_t request = 0;      // bRequest
    Check check = nullptr;
    Faults faults = Faults::None;
    bool passiveOnly = false;  // submitted above PASSIVE_LEVEL: Driver Verifier's 0xC4/0xE5
    Violations on{};
};

// Every kind with a data stage keeps its flags (reserved in some), length, buffer and MDL where
// the control transfer does, so one reader serves them all.
#define VAVEDU_SAME_PLACE(kind, field)                                                           \
    static_assert(offsetof(struct kind, field) == offsetof(struct _URB_CONTROL_TRANSFER, field), \
                  #kind "." #field)
VAVEDU_SAME_PLACE(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags);
VAVEDU_SAME_PLACE(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags);
#define VAVEDU_SAME_DATA_STAGE(kind)               \
    VAVEDU_SAME_PLACE(kind, TransferBufferLength); \
    VAVEDU_SAME_PLACE(kind, TransferBuffer);       \
    VAVEDU_SAME_PLACE(kind, TransferBufferMDL)
VAVEDU_SAME_DATA_STAGE(_URB_BULK_OR_INTERRUPT_TRANSFER);
VAVEDU_SAME_DATA_STAGE(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
VAVEDU_SAME_DATA_STAGE(_URB_CONTROL_DESCRIPTOR_REQUEST);
VAVEDU_SAME_DATA_STAGE(_URB_CONTROL_GET_STATUS_REQUEST);
VAVEDU_SAME_DATA_STAGE(_URB_CONTROL_GET_CONFIGURATION_REQUEST);
VAVEDU_SAME_DATA_STAGE(_URB_CONTROL_GET_INTERFACE_REQUEST);
#undef VAVEDU_SAME_DATA_STAGE
#undef VAVEDU_SAME_PLACE

// The size of the structure a control kind's setup packet is read from.
constexpr size_t sizeOfControlKind(Setup setup) {
    switch (setup) {
        case Setup::Descriptor:
            return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        case Setup::Feature:
            return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
        case Setup::Status:
            return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
        case Setup::VendorOrClass:
            return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        case Setup::GetConfiguration:
            return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
        case Setup::GetInterface:
            return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
        default:
            return sizeof(struct _URB_CONTROL_TRANSFER);
    }
}

// A control transfer on the default pipe whose setup packet the bus forms from the kind.
constexpr UrbRule control(uint16_t function, Direction direction, uint8_t requestType,
                          uint8_t request, Setup setup, uint32_t minLength = 0) {
    return {.function = function,
            .size = sizeOfControlKind(setup),
            .kind = TransferKind::Control,
            .direction = direction,
            .pipe = Pipe::Default,
            .limit = Limit::SetupLength,
            .minLength = minLength,
            .setup = setup,
            .requestType = requestType,
            .request = request,
            .faults = Faults::Request};
}

// The pipe requests wait for the device or for the pipe's transfers: PASSIVE_LEVEL only.
constexpr UrbRule pipeRequest(uint16_t function) {
    return {.function = function,
            .size = sizeof(struct _URB_PIPE_REQUEST),
            .pipe = Pipe::AnyOpen,
            .passiveOnly = true};
}

// bmRequestType: recipient and type.
inline constexpr uint8_t kToDevice = BMREQUEST_TO_DEVICE;
inline constexpr uint8_t kToInterface = BMREQUEST_TO_INTERFACE;
inline constexpr uint8_t kToEndpoint = BMREQUEST_TO_ENDPOINT;
inline constexpr uint8_t kToOther = BMREQUEST_TO_OTHER;
inline constexpr uint8_t kClass = BMREQUEST_CLASS << 5;
inline constexpr uint8_t kVendor = BMREQUEST_VENDOR << 5;

inline constexpr UrbRule kUrbTable[] = {
    // Selections, recorded as the SET_CONFIGURATION and SET_INTERFACE requests they cause. The
    // head and one interface record without pipes at least (a request USBD built for one
    // interface without endpoints); the records are the kind's own checks, and the request's
    // fault is taken only by a URB that passed them (only such a URB reaches the device).
    {.function = URB_FUNCTION_SELECT_CONFIGURATION,
     .size = kSelectConfigurationHead + kInterfaceRecordHead,
     .kind = TransferKind::Control,
     .setup = Setup::SelectConfiguration,
     .requestType = kToDevice,
     .request = USB_REQUEST_SET_CONFIGURATION,
     .check = checkSelectConfiguration,
     .faults = Faults::Request},
    {.function = URB_FUNCTION_SELECT_INTERFACE,
     .size = kSelectInterfaceHead + kInterfaceRecordHead,
     .kind = TransferKind::Control,
     .setup = Setup::SelectInterface,
     .requestType = kToInterface,
     .request = USB_REQUEST_SET_INTERFACE,
     .check = checkSelectInterface,
     .faults = Faults::Request},
    // Bulk and interrupt transfers. Nothing past the header is read (or written back) before
    // its length is known. The pipe's MaximumTransferSize plays no part.
    {.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
     .size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
     .kind = TransferKind::Bulk,
     .direction = Direction::FlagsChecked,
     .pipe = Pipe::BulkOrInterrupt,
     .limit = Limit::StackMaximum,
     .faults = Faults::Endpoint},
    // Pipe requests and the frame number.
    pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
    pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE),
    pipeRequest(URB_FUNCTION_SYNC_CLEAR_STALL),
    pipeRequest(URB_FUNCTION_ABORT_PIPE),
    {.function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER,
     .size = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)},
    // A control transfer with the client's own setup packet.
    {.function = URB_FUNCTION_CONTROL_TRANSFER,
     .size = sizeof(struct _URB_CONTROL_TRANSFER),
     .kind = TransferKind::Control,
     .direction = Direction::FlagsChecked,
     .pipe = Pipe::DefaultFlagged,
     .limit = Limit::ClampToSetup,
     .setup = Setup::Raw,
     .check = refuseStackRequests,
     .faults = Faults::Request},
    // Control transfers whose setup packet the kind forms.
    control(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, Direction::In, kToDevice,
            USB_REQUEST_GET_DESCRIPTOR, Setup::Descriptor),
    control(URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, Direction::In, kToInterface,
            USB_REQUEST_GET_DESCRIPTOR, Setup::Descriptor),
    control(URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, Direction::In, kToEndpoint,
            USB_REQUEST_GET_DESCRIPTOR, Setup::Descriptor),
    control(URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, Direction::Out, kToDevice,
            USB_REQUEST_SET_DESCRIPTOR, Setup::Descriptor),
    control(URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, Direction::Out, kToInterface,
            USB_REQUEST_SET_DESCRIPTOR, Setup::Descriptor),
    control(URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, Direction::Out, kToEndpoint,
            USB_REQUEST_SET_DESCRIPTOR, Setup::Descriptor),
    control(URB_FUNCTION_SET_FEATURE_TO_DEVICE, Direction::None, kToDevice, USB_REQUEST_SET_FEATURE,
            Setup::Feature),
    control(URB_FUNCTION_SET_FEATURE_TO_INTERFACE, Direction::None, kToInterface,
            USB_REQUEST_SET_FEATURE, Setup::Feature),
    control(URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, Direction::None, kToEndpoint,
            USB_REQUEST_SET_FEATURE, Setup::Feature),
    control(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, Direction::None, kToDevice,
            USB_REQUEST_CLEAR_FEATURE, Setup::Feature),
    control(URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, Direction::None, kToInterface,
            USB_REQUEST_CLEAR_FEATURE, Setup::Feature),
    control(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, Direction::None, kToEndpoint,
            USB_REQUEST_CLEAR_FEATURE, Setup::Feature),
    // The status is two bytes: a shorter buffer is refused.
    control(URB_FUNCTION_GET_STATUS_FROM_DEVICE, Direction::In, kToDevice, USB_REQUEST_GET_STATUS,
            Setup::Status, 2),
    control(URB_FUNCTION_GET_STATUS_FROM_INTERFACE, Direction::In, kToInterface,
            USB_REQUEST_GET_STATUS, Setup::Status, 2),
    control(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, Direction::In, kToEndpoint,
            USB_REQUEST_GET_STATUS, Setup::Status, 2),
    control(URB_FUNCTION_GET_STATUS_FROM_OTHER, Direction::In, kToOther, USB_REQUEST_GET_STATUS,
            Setup::Status, 2),
    control(URB_FUNCTION_VENDOR_DEVICE, Direction::Flags, kVendor | kToDevice, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_VENDOR_INTERFACE, Direction::Flags, kVendor | kToInterface, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_VENDOR_ENDPOINT, Direction::Flags, kVendor | kToEndpoint, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_VENDOR_OTHER, Direction::Flags, kVendor | kToOther, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_CLASS_DEVICE, Direction::Flags, kClass | kToDevice, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_CLASS_INTERFACE, Direction::Flags, kClass | kToInterface, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_CLASS_ENDPOINT, Direction::Flags, kClass | kToEndpoint, 0,
            Setup::VendorOrClass),
    control(URB_FUNCTION_CLASS_OTHER, Direction::Flags, kClass | kToOther, 0, Setup::VendorOrClass),
    control(URB_FUNCTION_GET_CONFIGURATION, Direction::In, kToDevice, USB_REQUEST_GET_CONFIGURATION,
            Setup::GetConfiguration),
    control(URB_FUNCTION_GET_INTERFACE, Direction::In, kToInterface, USB_REQUEST_GET_INTERFACE,
            Setup::GetInterface),
};

constexpr bool eachFunctionOnce() {
    for (size_t i = 0; i < std::size(kUrbTable); ++i) {
        for (size_t j = i + 1; j < std::size(kUrbTable); ++j) {
            if (kUrbTable[i].function == kUrbTable[j].function)
                return false;
        }
    }
    return true;
}
static_assert(eachFunctionOnce(), "one row per URB function");

}  // namespace sim::usb::detail
