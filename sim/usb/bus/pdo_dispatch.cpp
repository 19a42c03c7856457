// The bus driver's physical device objects: the dispatch routines of the bus driver object, the
// Plug and Play and power requests the stack above sends down to a device's object, and the
// internal device-control requests (URBs and the port requests).
#include "sim/usb/bus/bus_state.hpp"

#include <usbioctl.h>

#include <algorithm>

namespace sim::usb {

using namespace detail;

namespace {

constexpr uint32_t kPoolTag = 0x42425355;  // 'USBB'

Port* portFromDevice(PDEVICE_OBJECT device) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    if (ext == nullptr || ext->magic != kPdoMagic) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, reinterpret_cast<ULONG_PTR>(device), 0, 0, 0,
                 "a request reached the USB bus driver for a device object it does not own");
    }
    return ext->port;
}

NTSTATUS completeWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS BusDispatch::pnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* port = portFromDevice(device);
    return port->bus->dispatchPnp(*port, irp);
}

NTSTATUS BusDispatch::power(PDEVICE_OBJECT device, PIRP irp) {
    auto* port = portFromDevice(device);
    return port->bus->dispatchPower(*port, irp);
}

NTSTATUS BusDispatch::internal(PDEVICE_OBJECT device, PIRP irp) {
    auto* port = portFromDevice(device);
    return port->bus->dispatchInternal(*port, irp);
}

VOID BusDispatch::cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    portFromDevice(device)->bus->cancel(irp);
}

// ---------------------------------------------------------------- Plug and Play and power

NTSTATUS UsbBus::dispatchPnp(Port& port, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            std::lock_guard lock(mutex_);
            port.pnpRemoved = false;
            status = port.connected ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = removeDevice(port);
            break;
        case IRP_MN_QUERY_ID:
            status = queryId(port, irp);
            break;
        default:
            break;  // not ours: the status stays as it came
    }
    return completeWith(irp, status);
}

// The function driver is gone. A device still on its port stays there, unconfigured, and keeps
// its physical device object; an unplugged one loses it once the removal has gone through the
// whole stack (removed()).
NTSTATUS UsbBus::removeDevice(Port& port) {
    std::vector<std::unique_ptr<Transfer>> pending;
    {
        std::lock_guard lock(mutex_);
        pending = takePending(port, true);
        if (port.connected)
            unconfigure(port);
        port.pnpRemoved = true;
    }
    for (auto& t : pending)
        finish(std::move(t), failure(USBD_STATUS_CANCELED));
    return STATUS_SUCCESS;
}

// The device ID "USB\VID_vvvv&PID_pppp", the hardware IDs (with and without "&REV_rrrr") and the
// instance ID (the address), as MULTI_SZ or string in paged pool the caller frees.
NTSTATUS UsbBus::queryId(Port& port, PIRP irp) {
    const auto type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType;
    const std::u16string base = port.instancePath.substr(0, port.instancePath.rfind(u'\\'));
    std::u16string id;
    if (type == BusQueryDeviceID) {
        id = base + u'\0';
    } else if (type == BusQueryHardwareIDs) {
        const uint16_t rev = static_cast<uint16_t>(port.device[12] | (port.device[13] << 8));
        id = base + u"&REV_" + hex4(rev) + u'\0' + base + u'\0' + u'\0';
    } else if (type == BusQueryInstanceID) {
        id = toU16(std::to_string(port.address)) + u'\0';
    } else {
        return irp->IoStatus.Status;  // not ours
    }
    auto* text = static_cast<char16_t*>(
        ExAllocatePoolWithTag(PagedPool, id.size() * sizeof(char16_t), kPoolTag));
    if (text == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::copy(id.begin(), id.end(), text);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

// The removal has gone through the whole stack: every driver above has detached, so an unplugged
// device's physical device object can go now. Deleting it while the request was still on its way
// would leave the function driver attached to a deleted device.
void UsbBus::removed(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(mutex_);
    for (auto& port : ports_) {
        if (port->pdo == pdo && port->pnpRemoved && !port->connected && !port->deleted) {
            deletePdo(*port);
        }
    }
}

NTSTATUS UsbBus::dispatchPower(Port&, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    return completeWith(irp, status);
}

// ---------------------------------------------------------------- internal device control

NTSTATUS UsbBus::dispatchInternal(Port& port, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return submitUrb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return resetPort(port, irp);
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            return cyclePort(port, irp);
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            return portStatus(port, irp);
        default:
            irp->IoStatus.Information = 0;
            return completeWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace sim::usb
