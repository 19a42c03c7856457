/* The USB driver interface: URBs and the stack's I/O controls. */
#ifndef VAVEDU_SIM_USBDI_H
#define VAVEDU_SIM_USBDI_H
#include "usb.h"
#include "usbioctl.h"
#endif
