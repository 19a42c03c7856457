/* Routines of the USB driver interface library (USBD.SYS), for the host build (libusbd.so). */
#ifndef VAVEDU_SIM_USBDLIB_H
#define VAVEDU_SIM_USBDLIB_H

#include "ntdef.h"
#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,          \
                                               transferBufferMDL, transferBufferLength,          \
                                               transferFlags, link)                              \
    {                                                                                             \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                      \
        (urb)->UrbHeader.Length = (length);                                                       \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                              \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                        \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                       \
    }

SIM_EXTERN_C_BEGIN

NTSYSAPI VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);
NTSYSAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
NTSYSAPI PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                           ULONG TotalLength, PVOID StartPosition,
                                                           LONG DescriptorType);
NTSYSAPI PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
NTSYSAPI ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                             PUCHAR BufferEnd);

SIM_EXTERN_C_END

#endif
