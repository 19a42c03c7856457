// A machine with the USB bus and the default instrument, and URBs sent to the physical device
// object as a client driver sends them: IoBuildDeviceIoControlRequest, IofCallDriver, and a wait
// on the event at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include <usbdlib.h>
#include <usbioctl.h>

#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace sim::usb::testing {

// One request in flight.
struct Request {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;  // what IofCallDriver returned

    NTSTATUS wait() {
        if (returned != STATUS_PENDING)
            return returned;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
};

class UsbBusTest : public ::testing::Test {
  public:  // the table-driven cases build URBs from it
    System system;
    UsbBus& bus = system.addBus(std::make_unique<UsbBus>(system.kernel()));
    PDEVICE_OBJECT pdo = bus.attach(std::make_unique<InstrumentModel>());

    InstrumentModel& instrument(PDEVICE_OBJECT device = nullptr) {
        return bus.modelAs<InstrumentModel>(device != nullptr ? device : pdo);
    }

    std::unique_ptr<Request> send(void* urb, PDEVICE_OBJECT target = nullptr,
                                  ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto request = std::make_unique<Request>();
        KeInitializeEvent(&request->event, NotificationEvent, FALSE);
        PDEVICE_OBJECT device = target != nullptr ? target : pdo;
        request->irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, TRUE,
                                                     &request->event, &request->iosb);
        EXPECT_NE(request->irp, nullptr);
        IoGetNextIrpStackLocation(request->irp)->Parameters.Others.Argument1 = urb;
        request->returned = IofCallDriver(device, request->irp);
        return request;
    }
    NTSTATUS submit(void* urb, PDEVICE_OBJECT target = nullptr) {
        return send(urb, target)->wait();
    }

    // Selects configuration `index` of the device as a client driver does (every interface's
    // alternate setting 0, each pipe's MaximumTransferSize set) and keeps the pipes it got.
    NTSTATUS selectConfiguration(uint8_t index, ULONG maxTransfer = 16384,
                                 PDEVICE_OBJECT target = nullptr) {
        PDEVICE_OBJECT device = target != nullptr ? target : pdo;
        config_[device] = bus.model(device).configurationDescriptor(index);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_[device].data());
        USBD_INTERFACE_LIST_ENTRY list[8] = {};
        int n = 0;
        for (auto* position = reinterpret_cast<uint8_t*>(config);;) {
            auto* iface = USBD_ParseConfigurationDescriptorEx(config, position + *position, -1, 0,
                                                              -1, -1, -1);
            if (iface == nullptr)
                break;
            list[n++].InterfaceDescriptor = iface;
            position = reinterpret_cast<uint8_t*>(iface);
        }
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        EXPECT_NE(urb, nullptr);
        for (int k = 0; k < n; ++k) {
            for (ULONG j = 0; j < list[k].Interface->NumberOfPipes; ++j) {
                list[k].Interface->Pipes[j].MaximumTransferSize = maxTransfer;
            }
        }
        const NTSTATUS status = submit(urb, device);
        lastUsbdStatus = urb->UrbHeader.Status;
        if (status >= 0) {
            configurationHandle[device] = urb->UrbSelectConfiguration.ConfigurationHandle;
            for (int k = 0; k < n; ++k) {
                for (ULONG j = 0; j < list[k].Interface->NumberOfPipes; ++j) {
                    const auto& p = list[k].Interface->Pipes[j];
                    pipes[device][p.EndpointAddress] = p;
                }
            }
        }
        ExFreePool(urb);
        return status;
    }

    USBD_PIPE_HANDLE pipe(uint8_t endpoint, PDEVICE_OBJECT target = nullptr) {
        return pipes[target != nullptr ? target : pdo].at(endpoint).PipeHandle;
    }

    static void buildBulk(URB& urb, USBD_PIPE_HANDLE handle, void* buffer, ULONG length,
                          ULONG flags) {
        memset(&urb, 0, sizeof urb);
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               handle, buffer, nullptr, length, flags, nullptr);
    }

    // A bulk transfer on `endpoint` of the device; returns the status and leaves the bytes moved
    // in `length`.
    NTSTATUS transfer(uint8_t endpoint, void* buffer, ULONG& length,
                      PDEVICE_OBJECT target = nullptr) {
        URB urb;
        const ULONG flags =
            USBD_SHORT_TRANSFER_OK | ((endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
        buildBulk(urb, pipe(endpoint, target), buffer, length, flags);
        const NTSTATUS status = submit(&urb, target);
        length = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        lastUsbdStatus = urb.UrbHeader.Status;
        return status;
    }

    std::map<PDEVICE_OBJECT, Bytes> config_;
    std::map<PDEVICE_OBJECT, USBD_CONFIGURATION_HANDLE> configurationHandle;
    std::map<PDEVICE_OBJECT, std::map<uint8_t, USBD_PIPE_INFORMATION>> pipes;
    USBD_STATUS lastUsbdStatus = 0;
};

}  // namespace sim::usb::testing
