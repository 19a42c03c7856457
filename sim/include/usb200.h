/* USB 2.0 descriptor definitions; the shared ones live in usbspec.h. */
#ifndef VAVEDU_SIM_USB200_H
#define VAVEDU_SIM_USB200_H
#include "usb100.h"
#endif
