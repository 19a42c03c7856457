/*
 * The USB stack as the driver sees it: request blocks, the internal I/O controls of the bus
 * driver, and the USB driver interface library's routines. The platform's USB headers must come
 * after <wdm.h> and be included as C.
 */
#ifndef VAVEDU_OUTSIDE_USB_STACK_H
#define VAVEDU_OUTSIDE_USB_STACK_H

#include <wdm.h>

extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

/*
 * The port cycle the driver asks of the bus driver: internal I/O control 0x22001F, no buffers,
 * PASSIVE_LEVEL only. The hub carries it out as an unplug and replug: the request completes, the
 * device's stack is removed, and the instrument is enumerated again as a new device.
 */
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F, "port cycle code");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "URB submission code");

#endif
