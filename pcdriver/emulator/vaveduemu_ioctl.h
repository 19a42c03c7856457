/*
 * The instrument emulator's application interface: its control device, the device-control codes
 * that plug the instrument in and out, halt an endpoint and read what the emulator saw.
 *
 * Usable from user-mode C and C++ and from kernel code without kernel headers: only <stdint.h>.
 */
#ifndef VAVEDU_EMU_IOCTL_H
#define VAVEDU_EMU_IOCTL_H

#include <stdint.h>

/* The control device: \\.\VaVeduEmu from applications. */
#define VAVEDU_EMU_CONTROL_PATH "\\\\.\\VaVeduEmu"

/* The root device the emulator is installed for (its INF matches this hardware ID). */
#define VAVEDU_EMU_HARDWARE_ID "Root\\VaVeduEmu"

/*
 * Device type 0x22 (FILE_DEVICE_UNKNOWN), METHOD_BUFFERED, FILE_ANY_ACCESS, functions from 0x900
 * on (the range vendors use), so each code is 0x222400 + 4 * (function - 0x900).
 */
#define VAVEDU_EMU_CTL_CODE(function) ((uint32_t)(0x00220000u | ((uint32_t)(function) << 2)))

/* The instrument leaves the port (no buffers). Pending transfers fail as a device that is gone;
   the Plug and Play manager is told, and removes the instrument's device. */
#define IOCTL_VAVEDU_EMU_UNPLUG VAVEDU_EMU_CTL_CODE(0x900)
/* A new instrument, just powered up, is plugged in (no buffers); nothing when one is there. */
#define IOCTL_VAVEDU_EMU_PLUG VAVEDU_EMU_CTL_CODE(0x901)
/* Input: one byte, an endpoint address. The endpoint halts: its transfers fail with a stall until
   the pipe is reset (or a clear-feature request clears the device's side). */
#define IOCTL_VAVEDU_EMU_STALL VAVEDU_EMU_CTL_CODE(0x902)
/* Output: VAVEDU_EMU_COUNTERS (at least its Size bytes are asked for). */
#define IOCTL_VAVEDU_EMU_GET_COUNTERS VAVEDU_EMU_CTL_CODE(0x903)

/* The FNV-1a hash the bulk hashes start from. */
#define VAVEDU_EMU_HASH_START 0x811C9DC5u
#define VAVEDU_EMU_HASH_PRIME 0x01000193u

/* Bulk transfers of the ring of recent ones: length, and this bit for IN. */
#define VAVEDU_EMU_RECENT_IN 0x80000000u
#define VAVEDU_EMU_RECENT_COUNT 32

/*
 * What the emulator saw. Counters of the emulator run from its start; those of the instrument
 * (close requests, zero-length packets, bytes sunk) belong to the instrument plugged in now and
 * start at 0 with each new one.
 */
typedef struct _VAVEDU_EMU_COUNTERS {
    uint32_t Size; /* of this record */
    /* the port */
    uint32_t Plugged;     /* 1 while an instrument is on the port */
    uint32_t Generation;  /* instruments plugged in so far (a port cycle plugs in a new one) */
    uint32_t ChildExists; /* 1 while the instrument's physical device object exists */
    uint32_t ChildStarted;
    uint32_t Configuration; /* bConfigurationValue, 0 when unconfigured */
    uint8_t AlternateSettings[4];
    uint32_t HaltedEndpoints; /* bit n: OUT endpoint n, bit 16 + n: IN endpoint n */
    uint32_t PortResets;
    uint32_t PortCycles;
    /* the instrument */
    uint32_t CloseRequests;
    uint32_t ZeroLengthPacketsReceived;
    uint32_t LoopbackWaiting;
    uint32_t Acquiring;
    uint64_t BytesSunk;
    uint64_t SamplesSent;
    /* request blocks */
    uint32_t UrbsSubmitted;
    uint32_t UrbsRejected; /* failed their checks before reaching the device */
    uint32_t ControlTransfers;
    uint32_t VendorRequests;
    uint32_t SelectConfigurations;
    uint32_t SelectInterfaces;
    uint32_t PipeResets;
    uint32_t PipeAborts;
    uint32_t LastUsbdStatus;
    uint32_t BulkTransfers; /* completed, whatever their status */
    uint32_t BulkPending;   /* waiting now */
    uint32_t BulkCancelled;
    uint32_t BulkStalled; /* failed with a stall */
    /* FNV-1a (32 bits) of every byte the instrument took on its OUT endpoints and gave on its IN
       endpoints, in order: a test that knows the bytes it wrote checks what went on the wire */
    uint32_t BulkOutHash;
    uint32_t BulkInHash;
    uint32_t Reserved;
    uint64_t BulkBytesOut;
    uint64_t BulkBytesIn;
    /* the newest bulk transfers as submitted: Recent[(RecentCount - 1 - i) % 32] is the i-th
       newest, each its length or-ed with VAVEDU_EMU_RECENT_IN for IN */
    uint32_t RecentCount;
    uint32_t Recent[VAVEDU_EMU_RECENT_COUNT];
} VAVEDU_EMU_COUNTERS;

#endif
