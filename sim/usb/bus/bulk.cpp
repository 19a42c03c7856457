// Bulk and interrupt transfers, packet by packet: an OUT transfer goes to the device in packets of
// the endpoint's maximum packet size (a transfer of 0 bytes is one zero-length packet); an IN
// transfer takes packets until the buffer is full or a short packet (a zero-length one too) ends
// it. A device with nothing to send NAKs, and the transfer waits.
//
// Every packet carries a data toggle that both sides keep per endpoint. A packet whose toggle the
// receiver does not expect is acknowledged and dropped (the receiver takes it for a
// retransmission), which brings the two toggles together again: a packet is lost whenever one
// side reset its toggle and the other did not.
//
// A transfer error halts the host controller's side of the endpoint: later transfers fail with
// USBD_STATUS_ENDPOINT_HALTED until a reset-pipe request clears it. A halted device stalls them.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>
#include <cstring>

namespace sim::usb::detail {

namespace {

Outcome ended(USBD_STATUS status, uint32_t moved) {
    return {status, ntStatusForUsbd(status), moved};
}

// The handshake of one packet, `in` from the device: true when the receiver takes it.
bool takesPacket(Port::EndpointState& e, bool in) {
    if (e.hostToggle == e.deviceToggle) {
        e.hostToggle = !e.hostToggle;
        e.deviceToggle = !e.deviceToggle;
        return true;
    }
    bool& sender = in ? e.deviceToggle : e.hostToggle;
    sender = !sender;  // acknowledged, so the sender goes on; the receiver dropped it
    return false;
}

// Why the transfer cannot reach the device, or does and fails there: its pipe is gone, the host
// controller's side of the endpoint is halted, the device's side is (it stalls), or an injected
// fault ends it (a stall halts the device's side).
std::optional<USBD_STATUS> refusal(Transfer& t) {
    Port& port = *t.port;
    if (port.pipes.count(t.pipeHandle) == 0)  // its configuration or setting was replaced
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    Port::EndpointState& e = port.endpoints[t.endpoint];
    if (e.hostHalted)
        return USBD_STATUS_ENDPOINT_HALTED;
    if (e.deviceHalted)
        return USBD_STATUS_STALL_PID;
    if (auto status = faultStatus(t.fault)) {
        if (*status == USBD_STATUS_STALL_PID)
            e.deviceHalted = true;
        return status;
    }
    return std::nullopt;
}

Outcome bulkOut(Transfer& t) {
    DeviceModel& model = *t.port->model;
    Port::EndpointState& e = t.port->endpoints[t.endpoint];
    auto send = [&](std::span<const uint8_t> packet) {
        if (takesPacket(e, false))
            model.bulkOut(t.endpoint, packet);
    };
    if (t.length == 0)
        send({});
    for (uint32_t offset = 0; offset < t.length; offset += t.maxPacket) {
        const uint32_t n = std::min<uint32_t>(t.maxPacket, t.length - offset);
        send({t.buffer + offset, n});
    }
    return ended(USBD_STATUS_SUCCESS, t.length);
}

// IN packets until the transfer ends; nullopt when the device NAKs before it does.
std::optional<USBD_STATUS> bulkInPackets(Transfer& t) {
    DeviceModel& model = *t.port->model;
    Port::EndpointState& e = t.port->endpoints[t.endpoint];
    while (t.moved < t.length) {
        InPacket packet = model.bulkIn(t.endpoint, t.maxPacket, t.moved > 0);
        if (!packet)
            return std::nullopt;  // NAK: the transfer waits for data
        const uint32_t size = static_cast<uint32_t>(packet->size());
        const uint32_t room = t.length - t.moved;
        if (size > t.maxPacket)
            return USBD_STATUS_BABBLE_DETECTED;
        if (!takesPacket(e, true))
            continue;       // dropped: its toggle said it was sent before
        if (size > room) {  // the device sent more than the buffer holds
            if (room != 0)
                std::memcpy(t.buffer + t.moved, packet->data(), room);
            t.moved += room;
            return USBD_STATUS_DATA_OVERRUN;
        }
        if (size != 0)
            std::memcpy(t.buffer + t.moved, packet->data(), size);
        t.moved += size;
        if (size < t.maxPacket) {
            if (!t.shortOk && t.moved < t.length)
                return USBD_STATUS_ERROR_SHORT_TRANSFER;
            break;
        }
    }
    return USBD_STATUS_SUCCESS;
}

// A model with the data at hand sends the whole transfer in one call, while both toggles agree
// (every packet then gets through): they move on by the number of packets it took.
std::optional<Outcome> wholeInTransfer(Transfer& t) {
    Port::EndpointState& e = t.port->endpoints[t.endpoint];
    if (t.moved != 0 || t.length == 0 || e.hostToggle != e.deviceToggle)
        return std::nullopt;
    auto sent = t.port->model->bulkInTransfer(t.endpoint, t.maxPacket, {t.buffer, t.length});
    if (!sent)
        return std::nullopt;
    t.moved = static_cast<uint32_t>(std::min<size_t>(*sent, t.length));
    const bool shortEnd = t.moved < t.length;
    const uint32_t packets =
        t.moved / t.maxPacket + ((t.moved % t.maxPacket != 0 || shortEnd) ? 1 : 0);
    if (packets % 2 != 0) {
        e.hostToggle = !e.hostToggle;
        e.deviceToggle = !e.deviceToggle;
    }
    return ended(shortEnd && !t.shortOk ? USBD_STATUS_ERROR_SHORT_TRANSFER : USBD_STATUS_SUCCESS,
                 t.moved);
}

bool bulkIn(Transfer& t, Outcome& outcome) {
    if (auto whole = wholeInTransfer(t)) {
        outcome = *whole;
        return true;
    }
    const std::optional<USBD_STATUS> status = bulkInPackets(t);
    if (!status)
        return false;
    outcome = ended(*status, t.moved);
    return true;
}

}  // namespace

bool haltsTheHost(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_STALL_PID:
        case USBD_STATUS_CRC:
        case USBD_STATUS_BTSTUFF:
        case USBD_STATUS_DATA_TOGGLE_MISMATCH:
        case USBD_STATUS_TIMEOUT:
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_XACT_ERROR:
        case USBD_STATUS_BABBLE_DETECTED:
        case USBD_STATUS_DATA_OVERRUN:
            return true;
        default:
            return false;
    }
}

bool executeBulk(Transfer& t, Outcome& outcome) {
    if (auto status = refusal(t)) {
        outcome = failure(*status);
    } else if (!t.in) {
        outcome = bulkOut(t);
    } else if (!bulkIn(t, outcome)) {
        return false;
    }
    if (haltsTheHost(outcome.usbd))
        t.port->endpoints[t.endpoint].hostHalted = true;
    return true;
}

}  // namespace sim::usb::detail
