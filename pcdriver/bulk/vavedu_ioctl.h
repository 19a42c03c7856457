/*
 * The driver's application interface: the device-interface class applications find the
 * instrument by, the device-control codes, and the 8-byte USB setup packet of control transfers.
 *
 * Usable from user-mode C and C++ on Windows and Linux, and from kernel code, without kernel
 * headers: it needs only <stdint.h>.
 */
#ifndef VAVEDU_IOCTL_H
#define VAVEDU_IOCTL_H

#include <stdint.h>

/* Device-interface class {7D2E4C91-3A58-4F06-B1C7-29E8D05A6F34}, as its four GUID fields. */
#define VAVEDU_INTERFACE_GUID_DATA1 0x7D2E4C91u
#define VAVEDU_INTERFACE_GUID_DATA2 0x3A58u
#define VAVEDU_INTERFACE_GUID_DATA3 0x4F06u
#define VAVEDU_INTERFACE_GUID_DATA4 \
    { 0xB1, 0xC7, 0x29, 0xE8, 0xD0, 0x5A, 0x6F, 0x34 }
/* An initialiser for a GUID variable of the platform's GUID type. */
#define VAVEDU_INTERFACE_GUID_INIT                                                             \
    {                                                                                          \
        VAVEDU_INTERFACE_GUID_DATA1, VAVEDU_INTERFACE_GUID_DATA2, VAVEDU_INTERFACE_GUID_DATA3, \
            VAVEDU_INTERFACE_GUID_DATA4                                                        \
    }
#define VAVEDU_INTERFACE_GUID_TEXT "{7D2E4C91-3A58-4F06-B1C7-29E8D05A6F34}"

/*
 * Device-control codes: device type 0x22 (FILE_DEVICE_UNKNOWN), METHOD_BUFFERED, FILE_ANY_ACCESS,
 * so each code is 0x220000 + 4 * its function number.
 */
#define VAVEDU_BULK_CTL_CODE(function) ((uint32_t)(0x00220000u | ((uint32_t)(function) << 2)))

#define IOCTL_BULK_GET_DRIVER_VERSION VAVEDU_BULK_CTL_CODE(0) /* 0x220000 */
#define IOCTL_BULK_GET_DESCRIPTOR VAVEDU_BULK_CTL_CODE(1)     /* 0x220004 */
/* Cycles the instrument's port: it leaves and comes back as a new device; open handles end. */
#define IOCTL_BULK_RESET_PORT VAVEDU_BULK_CTL_CODE(2)              /* 0x220008 */
#define IOCTL_BULK_RESET_PIPE VAVEDU_BULK_CTL_CODE(3)              /* 0x22000C */
#define IOCTL_BULK_GET_LAST_USBD_STATUS VAVEDU_BULK_CTL_CODE(4)    /* 0x220010 */
#define IOCTL_BULK_GET_RESERVED_VALUE VAVEDU_BULK_CTL_CODE(5)      /* 0x220014 */
#define IOCTL_BULK_ZERO_LENGTH_PACKET_MODE VAVEDU_BULK_CTL_CODE(6) /* 0x220018 */
#define IOCTL_BULK_GET_BANNER VAVEDU_BULK_CTL_CODE(7)              /* 0x22001C */
#define IOCTL_BULK_GET_USBDI_VERSION VAVEDU_BULK_CTL_CODE(8)       /* 0x220020 */
#define IOCTL_BULK_SELECT_CONFIGURATION VAVEDU_BULK_CTL_CODE(9)    /* 0x220024 */
#define IOCTL_BULK_SELECT_INTERFACE VAVEDU_BULK_CTL_CODE(10)       /* 0x220028 */
#define IOCTL_BULK_SET_SETUP_PACKET VAVEDU_BULK_CTL_CODE(0x840)    /* 0x222100 */
#define IOCTL_BULK_CONTROL_TRANSFER VAVEDU_BULK_CTL_CODE(0x841)    /* 0x222104 */

/* IOCTL_BULK_GET_DRIVER_VERSION answers major << 16 | minor. */
#define VAVEDU_DRIVER_VERSION_MAJOR 0x0C00u
#define VAVEDU_DRIVER_VERSION_MINOR 0x0000u
#define VAVEDU_DRIVER_VERSION ((VAVEDU_DRIVER_VERSION_MAJOR << 16) | VAVEDU_DRIVER_VERSION_MINOR)

/* IOCTL_BULK_ZERO_LENGTH_PACKET_MODE input values. */
#define VAVEDU_ZLP_OFF 0
#define VAVEDU_ZLP_ON 1
#define VAVEDU_ZLP_QUERY 2

/* File names after the device path that select the pipe and interface of a handle. */
#define VAVEDU_PIPE_PREFIX "\\PIPE_"
#define VAVEDU_INTERFACE_PREFIX "\\INTERFACE_"

#pragma pack(push, 1)

/* The USB 2.0 setup packet, little-endian, as IOCTL_BULK_SET_SETUP_PACKET takes it. */
typedef struct _SETUP_PACKET {
    uint8_t bmRequestType; /* bit 7: 1 = device to host; bits 6-5: type; bits 4-0: recipient */
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength; /* bytes of the data stage */
} SETUP_PACKET, *PSETUP_PACKET;

/* IOCTL_BULK_GET_DESCRIPTOR input. */
typedef struct _VAVEDU_GET_DESCRIPTOR_INPUT {
    uint8_t DescriptorType;
    uint8_t DescriptorIndex;
    uint16_t LanguageId;
} VAVEDU_GET_DESCRIPTOR_INPUT;

/* IOCTL_BULK_RESET_PIPE input: the same order as a handle's pipe selector. */
typedef struct _VAVEDU_RESET_PIPE_INPUT {
    uint8_t PipeIndex;
    uint8_t InterfaceIndex;
    uint16_t Ignored;
} VAVEDU_RESET_PIPE_INPUT;

/* IOCTL_BULK_SELECT_INTERFACE input. */
typedef struct _VAVEDU_SELECT_INTERFACE_INPUT {
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
} VAVEDU_SELECT_INTERFACE_INPUT;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SETUP_PACKET) == 8, "setup packet is 8 bytes");
static_assert(sizeof(VAVEDU_GET_DESCRIPTOR_INPUT) == 4, "descriptor request is 4 bytes");
static_assert(sizeof(VAVEDU_RESET_PIPE_INPUT) == 4, "pipe reset request is 4 bytes");
static_assert(sizeof(VAVEDU_SELECT_INTERFACE_INPUT) == 2, "interface selection is 2 bytes");
#else
typedef char vavedu_setup_packet_is_8_bytes[sizeof(SETUP_PACKET) == 8 ? 1 : -1];
#endif

#endif
