/*
 * The measurement instrument, written once: its descriptors as constant tables and its behaviour
 * on a plain record. Kernel code, so that both the model's device on Linux and the instrument
 * emulator on Windows (VaVeduEmu.SYS) run exactly this and cannot drift apart.
 *
 *  configuration 1: interface 0 alternate 0: bulk OUT 0x01 and IN 0x81, 512-byte packets;
 *                   interface 0 alternate 1: the same endpoints, 64-byte packets;
 *                   interface 1: bulk OUT 0x02 (sink) and IN 0x86 (sample stream), 512 bytes;
 *  configuration 2: interface 0: bulk IN 0x81 (sample stream), 512 bytes.
 *
 * 0x01 loops back to 0x81: a packet of up to the packet size of what is waiting, a zero-length
 * packet when a transfer has drained the buffer, NAK when nothing is waiting. The stream endpoints
 * send samples while acquisition runs (from each configuration on; the stop request pauses it, so
 * the endpoint NAKs, and the start request restarts the waveform at sample 0). Vendor requests to
 * the device: IN 0x01 the firmware version string; OUT 0x02 start and 0x03 stop acquisition; OUT
 * 0x00 (the driver sends it at the first close) is counted. Strings: 1 manufacturer, 2 product,
 * 3 serial number.
 *
 * The record holds no lock: its owner calls one routine at a time.
 */
#ifndef VAVEDU_INSTRUMENT_H
#define VAVEDU_INSTRUMENT_H

#include <wdm.h>

#define INSTRUMENT_VENDOR_ID 0x1209
#define INSTRUMENT_PRODUCT_ID 0x0001

#define INSTRUMENT_REQUEST_CLOSE 0x00
#define INSTRUMENT_REQUEST_FIRMWARE_VERSION 0x01
#define INSTRUMENT_REQUEST_START_ACQUISITION 0x02
#define INSTRUMENT_REQUEST_STOP_ACQUISITION 0x03

/* The loopback endpoints and the sink of configuration 1. */
#define INSTRUMENT_LOOPBACK_OUT 0x01
#define INSTRUMENT_LOOPBACK_IN 0x81
#define INSTRUMENT_SINK_OUT 0x02
#define INSTRUMENT_STREAM_IN 0x86

/* What InstrumentBulkIn returns when the endpoint has nothing to send (the device NAKs). */
#define INSTRUMENT_NAK (-1)

/* The longest string descriptor: bLength is one byte. */
#define INSTRUMENT_MAX_STRING_DESCRIPTOR 254

/* The reply to the firmware version request: the text without a terminator. */
#define INSTRUMENT_FIRMWARE_VERSION "VaVedu instrument firmware 2.1.0"

extern const UCHAR InstrumentDeviceDescriptor[18];

/* The bytes waiting at the loopback: a ring over storage the owner provides. */
typedef struct _INSTRUMENT_FIFO {
    PUCHAR Storage;
    SIZE_T Capacity;
    SIZE_T Head;  /* index of the oldest byte */
    SIZE_T Count; /* bytes waiting */
} INSTRUMENT_FIFO;

typedef struct _INSTRUMENT {
    UCHAR Configuration; /* bConfigurationValue the host set, 0 when unconfigured */
    BOOLEAN Acquiring;
    BOOLEAN DataAvailable; /* set when an IN endpoint that NAKed may have data now */
    ULONG64 NextSample;
    ULONG64 BytesSunk; /* received on 0x02 */
    ULONG CloseRequests;
    ULONG ZeroLengthPacketsReceived;
    INSTRUMENT_FIFO Loopback;
    const WCHAR* Serial;
    ULONG SerialCharacters;
} INSTRUMENT, *PINSTRUMENT;

/* A powered-up, unconfigured instrument over the loopback storage given (Capacity bytes). The
   serial number is not copied: it must outlive the record. */
VOID InstrumentInitialize(PINSTRUMENT Instrument, PUCHAR LoopbackStorage, SIZE_T Capacity,
                          const WCHAR* Serial, ULONG SerialCharacters);

/* Sample n of the waveform: a triangle from -16384 to +16384 with a period of 256 samples, plus
   a small deterministic ripple; sent as 16-bit little-endian values. */
SHORT InstrumentSample(ULONG64 Index);

/* The whole descriptor set of configuration Index (0-based), or null when there is none. */
const UCHAR* InstrumentConfigurationDescriptor(UCHAR Index, PULONG Length);

/* String descriptor Index (0: the language list) into Buffer (at least
   INSTRUMENT_MAX_STRING_DESCRIPTOR bytes); its length, or 0 when the device has none. */
ULONG InstrumentStringDescriptor(const INSTRUMENT* Instrument, UCHAR Index, PUCHAR Buffer);

/*
 * A vendor or class request (Setup is the 8-byte setup packet). FALSE: the device stalls it. For
 * an IN request the reply goes to Data (at most Length bytes) and *Returned says how many.
 */
BOOLEAN InstrumentControlRequest(PINSTRUMENT Instrument, const UCHAR Setup[8], PUCHAR Data,
                                 ULONG Length, PULONG Returned);

/* One packet the host sent to an OUT endpoint (Length 0: a zero-length packet). FALSE when the
   device cannot take it now (the loopback is full): the host sends it again later. */
BOOLEAN InstrumentBulkOut(PINSTRUMENT Instrument, UCHAR Endpoint, const UCHAR* Packet,
                          ULONG Length);

/* Room for more bytes at the loopback. */
SIZE_T InstrumentLoopbackRoom(const INSTRUMENT* Instrument);

/* Moves what waits at the loopback to new storage (at least Count bytes); the old storage is the
   caller's again. */
VOID InstrumentMoveLoopback(PINSTRUMENT Instrument, PUCHAR Storage, SIZE_T Capacity);

/* The next packet of an IN endpoint, at most MaxPacket bytes, into Buffer: its length (0 for a
   zero-length packet) or INSTRUMENT_NAK. Continuing: earlier packets of the same transfer went. */
LONG InstrumentBulkIn(PINSTRUMENT Instrument, UCHAR Endpoint, USHORT MaxPacket, BOOLEAN Continuing,
                      PUCHAR Buffer);

/* The host set a configuration (0: unconfigured) or an interface's alternate setting. */
VOID InstrumentConfigurationChanged(PINSTRUMENT Instrument, UCHAR Value);
VOID InstrumentInterfaceChanged(PINSTRUMENT Instrument, UCHAR InterfaceNumber, UCHAR Alternate);

/* Port reset: back to the state after power-on (the counters stay). */
VOID InstrumentReset(PINSTRUMENT Instrument);

/* Whether an IN endpoint that NAKed may have data now; clears the mark. */
BOOLEAN InstrumentTakeDataAvailable(PINSTRUMENT Instrument);

#endif
