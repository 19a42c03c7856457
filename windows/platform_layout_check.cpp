// The layouts kernel code hands to the platform, asserted against mingw-w64's own headers in every
// Windows build (the host build asserts the same against the model's headers).
#include <wdm.h>

extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

#include "pcdriver/platform_layout.h"
