/* USB 1.x descriptor definitions; the shared ones live in usbspec.h. */
#ifndef VAVEDU_SIM_USB100_H
#define VAVEDU_SIM_USB100_H
#include "usbspec.h"
#define MAXIMUM_USB_STRING_LENGTH 255
#endif
