/*
 * The port driver's table from a request block's USBD status to its request's NTSTATUS, as the
 * USB stack applies it when a request block fails (the sources are in sim/PLATFORM.md).
 */
#include "pcdriver/instrument/usb_status.h"

NTSTATUS UsbStackNtStatus(USBD_STATUS Status) {
    switch (Status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_NOT_SUPPORTED:
            return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_BAD_START_FRAME:
            return STATUS_INVALID_PARAMETER;
        default:
            return USBD_ERROR(Status) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
}
