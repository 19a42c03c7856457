/*
 * The USB stack's table from the USBD status a request block ended with to the NTSTATUS of its
 * request. Kernel code, shared by the two stand-ins for the stack (the model's bus on Linux and
 * the instrument emulator on Windows), so that a client sees the same status from both.
 */
#ifndef VAVEDU_USB_STATUS_H
#define VAVEDU_USB_STATUS_H

#include <wdm.h>

#include <usb.h>

NTSTATUS UsbStackNtStatus(USBD_STATUS Status);

#endif
