// Halts and resets. An endpoint halts when it stalls; the host side of the halt is cleared by the
// reset-pipe requests. The pipe requests (reset, clear stall, abort) are URBs on the default
// pipe; the port requests (reset, cycle, status) are internal device-control requests of the
// physical device object.
#include "sim/usb/bus/bus_state.hpp"

#include <usbioctl.h>

namespace sim::usb {

using namespace detail;

bool UsbBus::halted(PDEVICE_OBJECT pdo, uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).halted.count(endpoint) != 0;
}

void UsbBus::setHalted(PDEVICE_OBJECT pdo, uint8_t endpoint, bool halted) {
    std::lock_guard lock(mutex_);
    if (halted) {
        portOf(pdo).halted.insert(endpoint);
    } else {
        portOf(pdo).halted.erase(endpoint);
    }
}

unsigned UsbBus::portResets(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).resets;
}

// ---------------------------------------------------------------- pipe requests

namespace detail {

// URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, _SYNC_RESET_PIPE and _SYNC_CLEAR_STALL: the
// pipe's halt is cleared.
Outcome resetPipe(Transfer& t) {
    Port& port = *t.port;
    auto it = port.pipes.find(t.pipeHandle);
    if (it == port.pipes.end())
        return failure(USBD_STATUS_INVALID_PIPE_HANDLE);
    port.halted.erase(it->second.endpoint.address);
    return {};
}

// URB_FUNCTION_ABORT_PIPE: the pipe's pending transfers end cancelled (when the abort request
// completes, before it), except those whose cancel routine already runs.
Outcome abortPipe(Transfer& t) {
    Port& port = *t.port;
    auto it = port.pipes.find(t.pipeHandle);
    if (it == port.pipes.end())
        return failure(USBD_STATUS_INVALID_PIPE_HANDLE);
    auto& queue = port.queues[it->second.endpoint.address];
    for (auto q = queue.begin(); q != queue.end();) {
        if (!(*q)->cancelling && IoSetCancelRoutine((*q)->irp, nullptr) != nullptr) {
            t.aborted.push_back(std::move(*q));
            q = queue.erase(q);
        } else {
            ++q;
        }
    }
    return {};
}

}  // namespace detail

// ---------------------------------------------------------------- port requests

// IOCTL_INTERNAL_USB_RESET_PORT.
NTSTATUS UsbBus::resetPort(Port& port, PIRP irp) {
    return resetInPlace(port, irp, IOCTL_INTERNAL_USB_RESET_PORT);
}

// IOCTL_INTERNAL_USB_CYCLE_PORT: modelled as a reset in place too.
NTSTATUS UsbBus::cyclePort(Port& port, PIRP irp) {
    return resetInPlace(port, irp, IOCTL_INTERNAL_USB_CYCLE_PORT);
}

// Resets the device on its port. As the platform's hub does for a reset, the device then gets its
// address and configuration back, so the configuration, interface and pipe handles the client
// holds stay valid; halts are cleared and transfers that were in flight are cancelled.
NTSTATUS UsbBus::resetInPlace(Port& port, PIRP irp, ULONG code) {
    std::vector<std::unique_ptr<Transfer>> pending;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!port.connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            pending = takePending(port, false);
            port.model->reset();
            port.halted.clear();
            port.remoteWakeup = false;
            if (port.active() != nullptr) {
                port.model->configurationChanged(port.configValue());
                for (auto [number, alternate] : port.alternates) {
                    if (alternate != 0)
                        port.model->interfaceChanged(number, alternate);
                }
            }
            ++port.resets;
        }
    }
    recordPortRequest(port, irp, code, status);
    for (auto& t : pending)
        finish(std::move(t), failure(USBD_STATUS_CANCELED));
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IOCTL_INTERNAL_USB_GET_PORT_STATUS: whether the device is connected and its port enabled.
NTSTATUS UsbBus::portStatus(Port& port, PIRP irp) {
    auto* out = static_cast<ULONG*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (out != nullptr) {
        std::lock_guard lock(mutex_);
        *out = port.connected ? (USBD_PORT_CONNECTED | USBD_PORT_ENABLED) : 0;
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace sim::usb
