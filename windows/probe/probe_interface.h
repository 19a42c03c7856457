/*
 * The application interface of LinkProbe.SYS: the kinds of declarations a driver's
 * application-facing header holds (an interface class, a device-control code, a fixed-layout
 * record), kept so the Windows build checks that such a header compiles in plain Win32 C and C++
 * programs (after <windows.h> and <winioctl.h>) as well as in kernel code (after <wdm.h>).
 */
#ifndef VAVEDU_WINDOWS_PROBE_INTERFACE_H
#define VAVEDU_WINDOWS_PROBE_INTERFACE_H

/* {0B6C2D57-91E4-4F3A-8D20-6A1E5C9B3F48} */
DEFINE_GUID(GUID_LINK_PROBE_INTERFACE, 0x0b6c2d57, 0x91e4, 0x4f3a, 0x8d, 0x20, 0x6a, 0x1e, 0x5c,
            0x9b, 0x3f, 0x48);

/* Output: LINK_PROBE_VERSION. */
#define IOCTL_LINK_PROBE_GET_VERSION \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _LINK_PROBE_VERSION {
    USHORT Major;
    USHORT Minor;
    ULONG UsbdiVersion;          /* as USBD_GetUSBDIVersion reports it */
    ULONG SupportedUsbVersion;   /* BCD, 0x200 for USB 2.0 */
    ULONG SupportExtensionBytes; /* what the support library asks drivers to reserve */
} LINK_PROBE_VERSION;

#endif
