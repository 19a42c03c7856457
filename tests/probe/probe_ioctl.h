/*
 * The probe driver's application interface: its device interface class, its device-control
 * codes and the registry values it reads from its service key. Shared by the probe (kernel
 * code) and the tests that drive it.
 */
#ifndef VAVEDU_TESTS_PROBE_IOCTL_H
#define VAVEDU_TESTS_PROBE_IOCTL_H

#include <wdm.h>

/* {5E1F0B3A-7C44-4D2E-9A61-2B83C40D17E5} */
static const GUID GUID_VAVEDU_PROBE_INTERFACE = {
    0x5e1f0b3a, 0x7c44, 0x4d2e, {0x9a, 0x61, 0x2b, 0x83, 0xc4, 0x0d, 0x17, 0xe5}};

/* Output: PROBE_INFO. */
#define IOCTL_PROBE_GET_INFO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: the file name the handle was opened with (WCHARs, no terminator). */
#define IOCTL_PROBE_GET_FILE_NAME \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Pends until cancelled, released, the handle is cleaned up or the device is removed. One at a
   time: a second one while one is held fails with STATUS_DEVICE_BUSY. */
#define IOCTL_PROBE_HOLD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Completes the held request with STATUS_SUCCESS; STATUS_NOT_FOUND when none is held. */
#define IOCTL_PROBE_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _PROBE_INFO {
    ULONG LoadCount;     /* loads of this image's globals: 1 when every load starts fresh */
    ULONG DataWasFresh;  /* 1 when an initialised global had its initial value at load */
    ULONG RegistryValue; /* "ProbeValue" of the service key, 7 when absent */
} PROBE_INFO;

/* Bytes a read returns (at most this many). */
#define PROBE_READ_PATTERN "PROBE"
#define PROBE_READ_PATTERN_LENGTH 5

/* REG_DWORD values of the service key. */
#define PROBE_VALUE_NAME u"ProbeValue"     /* reported in PROBE_INFO */
#define PROBE_FAIL_ENTRY_NAME u"FailEntry" /* nonzero: DriverEntry fails with this status */
#define PROBE_LEAK_NAME u"LeakOnUnload"    /* nonzero: DriverUnload forgets a pool block */

#endif
