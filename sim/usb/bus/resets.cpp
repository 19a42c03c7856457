// Halts and resets. The pipe requests (reset, clear stall, abort) are URBs on the default pipe;
// the port requests (reset, cycle, status) are internal device-control requests of the physical
// device object. Every one of them but the port status is PASSIVE_LEVEL only.
#include "sim/usb/bus/bus_state.hpp"

#include <usbioctl.h>

#include <algorithm>

namespace sim::usb {

using namespace detail;

bool UsbBus::halted(PDEVICE_OBJECT pdo, uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    const auto& endpoints = portOf(pdo).endpoints;
    auto it = endpoints.find(endpoint);
    return it != endpoints.end() && it->second.deviceHalted;
}

bool UsbBus::hostHalted(PDEVICE_OBJECT pdo, uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    const auto& endpoints = portOf(pdo).endpoints;
    auto it = endpoints.find(endpoint);
    return it != endpoints.end() && it->second.hostHalted;
}

void UsbBus::setHalted(PDEVICE_OBJECT pdo, uint8_t endpoint, bool halted) {
    std::lock_guard lock(mutex_);
    portOf(pdo).endpoints[endpoint].deviceHalted = halted;
}

unsigned UsbBus::portResets(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).resets;
}

namespace {

// True while a transfer of the pipe is still at the bus: queued, under way, or held by a test.
bool pipeBusy(const Port& port, const std::vector<std::unique_ptr<Transfer>>& held,
              void* pipeHandle) {
    auto ofPipe = [&](const std::unique_ptr<Transfer>& t) {
        return t->port == &port && t->pipeHandle == pipeHandle;
    };
    for (const auto& [key, queue] : port.queues) {
        if (key != 0 && std::any_of(queue.begin(), queue.end(), ofPipe))
            return true;
    }
    return std::any_of(held.begin(), held.end(), ofPipe);
}

}  // namespace

namespace detail {

void requirePassiveRequest(const std::string& request) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0xE5, irql, 0, 0,
                 request + " sent at IRQL " + std::to_string(irql) +
                     " (the USB stack takes it at PASSIVE_LEVEL only)");
    }
}

void clearDeviceHalt(Port& port, uint8_t endpoint) {
    Port::EndpointState& e = port.endpoints[endpoint];
    e.deviceHalted = false;
    e.deviceToggle = false;
}

// ---------------------------------------------------------------- pipe requests

// URB_FUNCTION_SYNC_CLEAR_STALL clears the device's side of the pipe's endpoint (the stack sends
// it CLEAR_FEATURE(ENDPOINT_HALT)); URB_FUNCTION_SYNC_RESET_PIPE clears the host controller's
// side, its halt and its data toggle; URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL (also named
// URB_FUNCTION_RESET_PIPE) does both, the device first. The host's side is reset only while no
// transfer of the pipe is at the bus: otherwise its halt is cleared, its toggle stays and the
// request fails with USBD_STATUS_ERROR_BUSY.
Outcome resetPipe(Transfer& t, const std::vector<std::unique_ptr<Transfer>>& held) {
    Port& port = *t.port;
    auto it = port.pipes.find(t.pipeHandle);
    if (it == port.pipes.end())
        return failure(USBD_STATUS_INVALID_PIPE_HANDLE);
    const uint8_t endpoint = it->second.endpoint.address;
    if (t.function != URB_FUNCTION_SYNC_RESET_PIPE)
        clearDeviceHalt(port, endpoint);
    if (t.function == URB_FUNCTION_SYNC_CLEAR_STALL)
        return {};
    Port::EndpointState& e = port.endpoints[endpoint];
    e.hostHalted = false;
    if (pipeBusy(port, held, t.pipeHandle))
        return failure(USBD_STATUS_ERROR_BUSY);
    e.hostToggle = false;
    return {};
}

// URB_FUNCTION_ABORT_PIPE: the pipe's pending transfers end cancelled (when the abort request
// completes, before it), except those whose cancel routine already runs. The pipe's state and the
// endpoint's are unaffected.
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

// IOCTL_INTERNAL_USB_RESET_PORT: the device is reset on its port. Transfers still at the bus are
// aborted (cancelled); the hub then selects again the configuration and alternate settings the
// device had, so the configuration, interface and pipe handles the client holds stay valid; both
// sides of every endpoint start over (no halt, DATA0).
NTSTATUS UsbBus::resetPort(Port& port, PIRP irp) {
    requirePassiveRequest("IOCTL_INTERNAL_USB_RESET_PORT");
    std::vector<std::unique_ptr<Transfer>> pending;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!port.connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            pending = takePending(port, true);
            port.model->reset();
            for (auto& [address, endpoint] : port.endpoints)
                endpoint = {};
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
    {
        AtDispatch dispatch;
        for (auto& t : pending)
            finish(std::move(t), failure(USBD_STATUS_CANCELED));
    }
    return completePortRequest(port, irp, IOCTL_INTERNAL_USB_RESET_PORT, status);
}

// IOCTL_INTERNAL_USB_CYCLE_PORT: an unplug and replug of the device. The request completes; then
// the device leaves its port as an unplugged one does (transfers still at the bus and every later
// one on this physical device object fail with USBD_STATUS_DEVICE_GONE), and the Plug and Play
// manager removes its stack (surprise removal, removal) and enumerates it again: a new physical
// device object with a new address, whose stack is built and started afresh. Handles of the old
// device object never reach the device again.
NTSTATUS UsbBus::cyclePort(Port& port, PIRP irp) {
    requirePassiveRequest("IOCTL_INTERNAL_USB_CYCLE_PORT");
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!port.connected || port.cycled) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            port.cycled = true;
        }
    }
    completePortRequest(port, irp, IOCTL_INTERNAL_USB_CYCLE_PORT, status);
    if (status == STATUS_SUCCESS)
        replug(port);
    return status;
}

NTSTATUS UsbBus::completePortRequest(Port& port, PIRP irp, ULONG code, NTSTATUS status) {
    recordPortRequest(port, irp, code, status);
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
