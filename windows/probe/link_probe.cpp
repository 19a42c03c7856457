// LinkProbe: a small WDM driver built only for Windows. It calls into each module VaVedu.SYS may
// import from (ntoskrnl.exe, USBD.SYS, ZaDar.EDI), parses a configuration descriptor and builds a
// configuration request as a USB client driver does, and keeps a table of routine pointers so the
// image carries base relocations. The image checks run over it.
#include <wdm.h>

#include <stdio.h>

extern "C" {
#include <usb.h>
#include <usbdlib.h>
}

#include "pcdriver/bulk/outside/support_library.h"
#include "windows/probe/probe_interface.h"

/* One configuration, one interface, bulk OUT 0x01 and bulk IN 0x81 of 512 bytes. */
// clang-format off
static const UCHAR g_ConfigurationDescriptor[] = {
    9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
    9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0, 0, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
};
// clang-format on

static LINK_PROBE_VERSION g_Version = {1, 0, 0, 0, 0};

/* Builds and frees the select-configuration request of the descriptor above. */
static NTSTATUS BuildConfigurationRequest(VOID) {
    PUSB_CONFIGURATION_DESCRIPTOR config = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(g_ConfigurationDescriptor), 0x626F7250u); /* "Prob" */
    if (config == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(config, g_ConfigurationDescriptor, sizeof(g_ConfigurationDescriptor));
    USBD_INTERFACE_LIST_ENTRY interfaces[2] = {};
    interfaces[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    NTSTATUS status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (interfaces[0].InterfaceDescriptor != NULL) {
        PURB urb = USBD_CreateConfigurationRequestEx(config, interfaces);
        status = urb != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        if (urb != NULL) {
            ExFreePool(urb);
        }
    }
    ExFreePool(config);
    return status;
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_LINK_PROBE_GET_VERSION) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(g_Version)) {
        return CompleteRequest(Irp, STATUS_INVALID_BUFFER_SIZE, 0);
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &g_Version, sizeof(g_Version));
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(g_Version));
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}

typedef struct _DISPATCH_ENTRY {
    UCHAR MajorFunction;
    PDRIVER_DISPATCH Routine;
} DISPATCH_ENTRY;

/* Writable and of external linkage, so the compiler keeps it as data: its routine addresses are the
   image's base relocations. */
DISPATCH_ENTRY g_DispatchTable[] = {
    {IRP_MJ_CREATE, DispatchCreateClose},
    {IRP_MJ_CLOSE, DispatchCreateClose},
    {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
};

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    USBD_VERSION_INFORMATION version = {};
    USBD_GetUSBDIVersion(&version);
    g_Version.UsbdiVersion = version.USBDI_Version;
    g_Version.SupportedUsbVersion = version.Supported_USB_Version;
    g_Version.SupportExtensionBytes = GetSizeofGenericExtension();

    char banner[64];
    sprintf(banner, "LinkProbe: USBDI 0x%x, USB 0x%x", (unsigned)version.USBDI_Version,
            (unsigned)version.Supported_USB_Version);
    DbgPrint("%s\n", banner);

    NTSTATUS status = BuildConfigurationRequest();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i < sizeof(g_DispatchTable) / sizeof(g_DispatchTable[0]); ++i) {
        DriverObject->MajorFunction[g_DispatchTable[i].MajorFunction] = g_DispatchTable[i].Routine;
    }
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
