// Control transfers on the default pipe: the setup packet the URB stands for goes to the device;
// standard requests are answered from its descriptors and state, vendor and class requests by the
// device model. An injected fault fails the request; a short-descriptor fault cuts the IN data.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>
#include <cstring>

namespace sim::usb::detail {

namespace {

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
            if (moved != 0)
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
