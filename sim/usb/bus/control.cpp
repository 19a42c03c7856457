// Control transfers on the default pipe: the setup packet the URB stands for goes to the device.
// The standard requests (GET_STATUS, CLEAR_FEATURE and SET_FEATURE, GET_DESCRIPTOR,
// GET_CONFIGURATION, GET_INTERFACE) are answered from its descriptors and the state the host set;
// one it does not support, or one about an interface or endpoint it does not have, stalls.
// Vendor and class requests go to the device model. An injected fault fails the request; a
// short-descriptor fault cuts the IN data.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>
#include <cstring>

namespace sim::usb::detail {

namespace {

// The device's answer: the data of an IN request (nullopt: the device stalls).
using Answer = std::optional<Bytes>;

bool interfaceExists(const Port& port, uint16_t number) {
    return port.active() != nullptr && port.alternates.count(static_cast<uint8_t>(number)) != 0;
}

// Endpoint 0 (either direction) always exists; another only while a pipe of it is open.
bool endpointExists(const Port& port, uint16_t address) {
    return (address & 0x0F) == 0 || port.endpoint(static_cast<uint8_t>(address)) != nullptr;
}

Answer getStatus(const Port& port, const SetupPacket& setup) {
    uint16_t bits = 0;
    switch (setup.recipient()) {
        case BMREQUEST_TO_DEVICE: {
            const bool selfPowered =
                port.active() != nullptr &&
                (port.configs[static_cast<size_t>(port.configIndex)][7] & 0x40);
            bits = static_cast<uint16_t>((selfPowered ? 1 : 0) | (port.remoteWakeup ? 2 : 0));
            break;
        }
        case BMREQUEST_TO_INTERFACE:
            if (!interfaceExists(port, setup.index))
                return std::nullopt;
            break;
        case BMREQUEST_TO_ENDPOINT:
            if (!endpointExists(port, setup.index))
                return std::nullopt;
            if (auto it = port.endpoints.find(static_cast<uint8_t>(setup.index));
                it != port.endpoints.end()) {
                bits = it->second.deviceHalted ? 1 : 0;
            }
            break;
        default:
            return std::nullopt;
    }
    return Bytes{static_cast<uint8_t>(bits & 0xFF), static_cast<uint8_t>(bits >> 8)};
}

// SET_FEATURE and CLEAR_FEATURE: the device's remote wake-up and test mode, an endpoint's halt.
// The halt is the device's own: SET_FEATURE halts the endpoint (it stalls what comes next),
// CLEAR_FEATURE clears it and puts the endpoint's data toggle back to DATA0, even when it was not
// halted. The host controller's side of the endpoint is untouched: only the reset-pipe requests
// clear that. Endpoint 0 does not stay halted. Interfaces have no standard features.
Answer setOrClearFeature(Port& port, const SetupPacket& setup) {
    const bool set = setup.request == USB_REQUEST_SET_FEATURE;
    if (setup.recipient() == BMREQUEST_TO_DEVICE) {
        if (setup.value == USB_FEATURE_REMOTE_WAKEUP) {
            port.remoteWakeup = set;
        } else if (!(set && setup.value == USB_FEATURE_TEST_MODE)) {
            return std::nullopt;
        }
        return Bytes{};
    }
    if (setup.recipient() != BMREQUEST_TO_ENDPOINT || setup.value != USB_FEATURE_ENDPOINT_STALL ||
        !endpointExists(port, setup.index)) {
        return std::nullopt;
    }
    const auto address = static_cast<uint8_t>(setup.index);
    if ((address & 0x0F) != 0) {
        if (set) {
            port.endpoints[address].deviceHalted = true;
        } else {
            clearDeviceHalt(port, address);
        }
    }
    return Bytes{};
}

// The device qualifier of a USB 2.0 device: its descriptor's fields for the other speed.
Bytes deviceQualifier(const Bytes& device) {
    return {10,         USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE,
            device[2],  device[3],
            device[4],  device[5],
            device[6],  device[7],
            device[17], 0};
}

Answer getDescriptor(const Port& port, const SetupPacket& setup) {
    const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.value & 0xFF);
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return port.device;
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index >= port.configs.size())
                return std::nullopt;
            return port.configs[index];
        case USB_STRING_DESCRIPTOR_TYPE:
            return port.model->stringDescriptor(index, setup.index);
        case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE:
            if (port.device[3] < 2)
                return std::nullopt;
            return deviceQualifier(port.device);
        default:
            return std::nullopt;
    }
}

Answer answer(Port& port, const SetupPacket& setup) {
    switch (setup.request) {
        case USB_REQUEST_GET_STATUS:
            return getStatus(port, setup);
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE:
            return setOrClearFeature(port, setup);
        case USB_REQUEST_GET_DESCRIPTOR:
            return getDescriptor(port, setup);
        case USB_REQUEST_GET_CONFIGURATION:
            return Bytes{port.configValue()};
        case USB_REQUEST_GET_INTERFACE:
            if (!interfaceExists(port, setup.index))
                return std::nullopt;
            return Bytes{port.alternates.at(static_cast<uint8_t>(setup.index))};
        default:
            return std::nullopt;  // SET_DESCRIPTOR, SYNCH_FRAME: the device does not support them
    }
}

// A standard request, answered from the device's descriptors and state.
Outcome standardRequest(Port& port, const SetupPacket& setup, std::span<uint8_t> buffer,
                        uint32_t& moved) {
    const Answer reply = answer(port, setup);
    if (!reply)
        return failure(USBD_STATUS_STALL_PID);
    if (setup.in()) {
        // At most what wLength asks for and the buffer holds: a raw control transfer's wLength
        // may exceed its TransferBufferLength.
        moved = std::min<uint32_t>({static_cast<uint32_t>(reply->size()), setup.length,
                                    static_cast<uint32_t>(buffer.size())});
        if (moved != 0)
            std::memcpy(buffer.data(), reply->data(), moved);
    }
    return {};
}

// A vendor or class request, answered by the device model.
Outcome modelRequest(Transfer& t, const SetupPacket& setup, uint32_t& moved) {
    std::span<const uint8_t> out;
    if (!t.in && t.buffer != nullptr)
        out = {t.buffer, t.length};
    ControlReply reply = t.port->model->controlRequest(setup, out);
    if (USBD_SUCCESS(reply.status)) {
        if (t.in) {
            moved = std::min<uint32_t>(
                {static_cast<uint32_t>(reply.data.size()), t.length, setup.length});
            // Validation refused a data stage without a buffer, so moved is 0 without one.
            if (moved != 0 && t.buffer != nullptr)
                std::memcpy(t.buffer, reply.data.data(), moved);
        } else {
            moved = t.length;
        }
    }
    return {reply.status, ntStatusForUsbd(reply.status), 0};
}

}  // namespace

Outcome controlTransfer(Transfer& t) {
    if (auto status = faultStatus(t.fault))
        return failure(*status);
    const SetupPacket& setup = *t.setup;
    uint32_t moved = 0;
    const std::span<uint8_t> buffer(t.buffer, t.buffer != nullptr ? t.length : 0);
    Outcome outcome = setup.type() == 0 ? standardRequest(*t.port, setup, buffer, moved)
                                        : modelRequest(t, setup, moved);
    if (t.fault && t.fault->kind == Fault::Kind::ShortDescriptor && t.in) {
        moved = std::min(moved, t.fault->maxBytes);
    }
    outcome.moved = USBD_SUCCESS(outcome.usbd) ? moved : 0;
    return outcome;
}

}  // namespace sim::usb::detail
