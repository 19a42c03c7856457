// Bulk and interrupt transfers, packet by packet: an OUT transfer goes to the device in packets of
// the endpoint's maximum packet size (a transfer of 0 bytes is one zero-length packet); an IN
// transfer takes packets until the buffer is full or a short packet (a zero-length one too) ends
// it. A device with nothing to send NAKs, and the transfer waits.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>
#include <cstring>

namespace sim::usb::detail {

namespace {

Outcome ended(USBD_STATUS status, uint32_t moved) {
    return {status, ntStatusForUsbd(status), moved};
}

// Why the transfer cannot reach the device: its pipe is gone, the endpoint is halted, or an
// injected fault ends it (a stall halts the endpoint).
std::optional<USBD_STATUS> refusal(Transfer& t) {
    Port& port = *t.port;
    if (port.pipes.count(t.pipeHandle) == 0)  // its configuration or setting was replaced
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    if (port.halted.count(t.endpoint) != 0)
        return USBD_STATUS_STALL_PID;
    if (auto status = faultStatus(t.fault)) {
        if (*status == USBD_STATUS_STALL_PID)
            port.halted.insert(t.endpoint);
        return status;
    }
    return std::nullopt;
}

Outcome bulkOut(Transfer& t) {
    DeviceModel& model = *t.port->model;
    if (t.length == 0)
        model.bulkOut(t.endpoint, {});
    for (uint32_t offset = 0; offset < t.length; offset += t.maxPacket) {
        const uint32_t n = std::min<uint32_t>(t.maxPacket, t.length - offset);
        model.bulkOut(t.endpoint, {t.buffer + offset, n});
    }
    return ended(USBD_STATUS_SUCCESS, t.length);
}

// IN packets until the transfer ends; nullopt when the device NAKs before it does. A short-data
// fault makes the device send packets of at most its byte count, so the first one is short.
std::optional<USBD_STATUS> bulkInPackets(Transfer& t) {
    DeviceModel& model = *t.port->model;
    const bool shortData = t.fault && t.fault->kind == Fault::Kind::ShortData;
    const uint16_t ask =
        shortData ? static_cast<uint16_t>(std::min<uint32_t>(t.fault->maxBytes, t.maxPacket))
                  : t.maxPacket;
    while (t.moved < t.length) {
        InPacket packet = model.bulkIn(t.endpoint, ask, t.moved > 0);
        if (!packet)
            return std::nullopt;  // NAK: the transfer waits for data
        const uint32_t size = static_cast<uint32_t>(packet->size());
        const uint32_t room = t.length - t.moved;
        if (size > t.maxPacket)
            return USBD_STATUS_BABBLE_DETECTED;
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

bool bulkIn(Transfer& t, Outcome& outcome) {
    const bool shortData = t.fault && t.fault->kind == Fault::Kind::ShortData;
    if (t.moved == 0 && t.length != 0 && !shortData) {
        // A model that has the data at hand sends the whole transfer in one call.
        auto sent = t.port->model->bulkInTransfer(t.endpoint, t.maxPacket, {t.buffer, t.length});
        if (sent) {
            t.moved = static_cast<uint32_t>(std::min<size_t>(*sent, t.length));
            const bool shortEnd = t.moved < t.length && !t.shortOk;
            outcome =
                ended(shortEnd ? USBD_STATUS_ERROR_SHORT_TRANSFER : USBD_STATUS_SUCCESS, t.moved);
            return true;
        }
    }
    const std::optional<USBD_STATUS> status = bulkInPackets(t);
    if (!status)
        return false;
    outcome = ended(*status, t.moved);
    return true;
}

}  // namespace

bool executeBulk(Transfer& t, Outcome& outcome) {
    if (auto status = refusal(t)) {
        outcome = failure(*status);
        return true;
    }
    if (!t.in) {
        outcome = bulkOut(t);
        return true;
    }
    return bulkIn(t, outcome);
}

}  // namespace sim::usb::detail
