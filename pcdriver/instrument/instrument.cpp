/*
 * The measurement instrument: descriptor tables, string descriptors, vendor requests, the loopback
 * ring and the sample stream.
 */
#include "pcdriver/instrument/instrument.h"

/* ------------------------------------------------------------------ descriptors */

#define LO(value) ((UCHAR)((value)&0xFF))
#define HI(value) ((UCHAR)(((value) >> 8) & 0xFF))

/* clang-format off */
const UCHAR InstrumentDeviceDescriptor[18] = {
    18, 1, 0x00, 0x02,  /* bLength, DEVICE, bcdUSB 2.00 */
    0xFF, 0, 0, 64,     /* vendor-specific class, 64-byte packets on endpoint 0 */
    LO(INSTRUMENT_VENDOR_ID), HI(INSTRUMENT_VENDOR_ID),
    LO(INSTRUMENT_PRODUCT_ID), HI(INSTRUMENT_PRODUCT_ID),
    0x00, 0x01,         /* bcdDevice 1.00 */
    1, 2, 3,            /* strings: manufacturer, product, serial number */
    2,                  /* configurations */
};

/* A bulk endpoint descriptor. */
#define BULK_ENDPOINT(address, packet) 7, 5, (address), 2, LO(packet), HI(packet), 0
/* An interface descriptor of the vendor-specific class. */
#define INTERFACE(number, alternate, endpoints) \
    9, 4, (number), (alternate), (endpoints), 0xFF, 0, 0, 0

/* 78 bytes, two interfaces, value 1, bus powered, 100 mA */
static const UCHAR Configuration1[] = {
    9, 2, 78, 0, 2, 1, 0, 0x80, 50,
    INTERFACE(0, 0, 2),
    BULK_ENDPOINT(INSTRUMENT_LOOPBACK_OUT, 512),
    BULK_ENDPOINT(INSTRUMENT_LOOPBACK_IN, 512),
    INTERFACE(0, 1, 2),
    BULK_ENDPOINT(INSTRUMENT_LOOPBACK_OUT, 64),
    BULK_ENDPOINT(INSTRUMENT_LOOPBACK_IN, 64),
    INTERFACE(1, 0, 2),
    BULK_ENDPOINT(INSTRUMENT_SINK_OUT, 512),
    BULK_ENDPOINT(INSTRUMENT_STREAM_IN, 512),
};

/* 25 bytes, one interface, value 2: the sample stream alone */
static const UCHAR Configuration2[] = {
    9, 2, 25, 0, 1, 2, 0, 0x80, 50,
    INTERFACE(0, 0, 1),
    BULK_ENDPOINT(0x81, 512),
};
/* clang-format on */

static_assert(sizeof(Configuration1) == 78, "wTotalLength of configuration 1");
static_assert(sizeof(Configuration2) == 25, "wTotalLength of configuration 2");

const UCHAR* InstrumentConfigurationDescriptor(UCHAR Index, PULONG Length) {
    if (Index == 0) {
        *Length = sizeof(Configuration1);
        return Configuration1;
    }
    if (Index == 1) {
        *Length = sizeof(Configuration2);
        return Configuration2;
    }
    *Length = 0;
    return NULL;
}

/* The strings, UTF-16 as WCHAR is on both builds. */
static const WCHAR* const Manufacturer = (const WCHAR*)u"VaVedu";
static const WCHAR* const Product = (const WCHAR*)u"VaVedu Measurement Instrument";
static const WCHAR English[] = {0x0409, 0};

static ULONG Characters(const WCHAR* Text) {
    ULONG count = 0;
    while (Text[count] != 0)
        count++;
    return count;
}

/* A string descriptor of the first 126 UTF-16 units of Text. */
static ULONG StringDescriptor(const WCHAR* Text, ULONG Units, PUCHAR Buffer) {
    if (Units > 126)
        Units = 126;
    Buffer[0] = (UCHAR)(2 + 2 * Units);
    Buffer[1] = 3; /* STRING */
    for (ULONG i = 0; i < Units; i++) {
        Buffer[2 + 2 * i] = LO(Text[i]);
        Buffer[3 + 2 * i] = HI(Text[i]);
    }
    return 2 + 2 * Units;
}

ULONG InstrumentStringDescriptor(const INSTRUMENT* Instrument, UCHAR Index, PUCHAR Buffer) {
    switch (Index) {
        case 0:
            return StringDescriptor(English, 1, Buffer);
        case 1:
            return StringDescriptor(Manufacturer, Characters(Manufacturer), Buffer);
        case 2:
            return StringDescriptor(Product, Characters(Product), Buffer);
        case 3:
            return StringDescriptor(Instrument->Serial, Instrument->SerialCharacters, Buffer);
        default:
            return 0;
    }
}

/* ------------------------------------------------------------------ the record */

VOID InstrumentInitialize(PINSTRUMENT Instrument, PUCHAR LoopbackStorage, SIZE_T Capacity,
                          const WCHAR* Serial, ULONG SerialCharacters) {
    RtlZeroMemory(Instrument, sizeof(*Instrument));
    Instrument->Loopback.Storage = LoopbackStorage;
    Instrument->Loopback.Capacity = Capacity;
    Instrument->Serial = Serial;
    Instrument->SerialCharacters = SerialCharacters;
}

SHORT InstrumentSample(ULONG64 Index) {
    LONG phase = (LONG)(Index % 256);
    LONG triangle = phase < 128 ? -16384 + phase * 256 : 16384 - (phase - 128) * 256;
    LONG ripple = (LONG)((Index * 7) % 16) - 8;
    return (SHORT)(triangle + ripple);
}

BOOLEAN InstrumentTakeDataAvailable(PINSTRUMENT Instrument) {
    BOOLEAN available = Instrument->DataAvailable;
    Instrument->DataAvailable = FALSE;
    return available;
}

/* ------------------------------------------------------------------ vendor requests */

BOOLEAN InstrumentControlRequest(PINSTRUMENT Instrument, const UCHAR Setup[8], PUCHAR Data,
                                 ULONG Length, PULONG Returned) {
    UCHAR requestType = Setup[0];
    UCHAR request = Setup[1];
    *Returned = 0;
    /* Vendor requests to the device only; class requests and other recipients stall. */
    if (((requestType >> 5) & 3) != 2 || (requestType & 0x1F) != 0)
        return FALSE;
    if (requestType & 0x80) {
        if (request != INSTRUMENT_REQUEST_FIRMWARE_VERSION)
            return FALSE;
        ULONG size = sizeof(INSTRUMENT_FIRMWARE_VERSION) - 1;
        if (size > Length)
            size = Length;
        if (size != 0) /* with no data stage there may be no buffer either */
            RtlCopyMemory(Data, INSTRUMENT_FIRMWARE_VERSION, size);
        *Returned = size;
        return TRUE;
    }
    switch (request) {
        case INSTRUMENT_REQUEST_CLOSE:
            Instrument->CloseRequests++;
            return TRUE;
        case INSTRUMENT_REQUEST_START_ACQUISITION:
            Instrument->Acquiring = TRUE;
            Instrument->NextSample = 0;
            Instrument->DataAvailable = TRUE;
            return TRUE;
        case INSTRUMENT_REQUEST_STOP_ACQUISITION:
            Instrument->Acquiring = FALSE;
            return TRUE;
        default:
            return FALSE;
    }
}

/* ------------------------------------------------------------------ bulk endpoints */

SIZE_T InstrumentLoopbackRoom(const INSTRUMENT* Instrument) {
    return Instrument->Loopback.Capacity - Instrument->Loopback.Count;
}

static VOID FifoPush(INSTRUMENT_FIFO* Fifo, const UCHAR* Bytes, SIZE_T Length) {
    if (Length == 0)
        return; /* a zero-length packet adds nothing (and the ring may have no storage yet) */
    SIZE_T tail = (Fifo->Head + Fifo->Count) % Fifo->Capacity;
    for (SIZE_T i = 0; i < Length;) {
        SIZE_T run = Fifo->Capacity - tail;
        if (run > Length - i)
            run = Length - i;
        RtlCopyMemory(Fifo->Storage + tail, Bytes + i, run);
        i += run;
        tail = (tail + run) % Fifo->Capacity;
    }
    Fifo->Count += Length;
}

static VOID FifoPop(INSTRUMENT_FIFO* Fifo, PUCHAR Bytes, SIZE_T Length) {
    for (SIZE_T i = 0; i < Length;) {
        SIZE_T run = Fifo->Capacity - Fifo->Head;
        if (run > Length - i)
            run = Length - i;
        RtlCopyMemory(Bytes + i, Fifo->Storage + Fifo->Head, run);
        i += run;
        Fifo->Head = (Fifo->Head + run) % Fifo->Capacity;
        Fifo->Count -= run;
    }
    if (Fifo->Count == 0)
        Fifo->Head = 0;
}

VOID InstrumentMoveLoopback(PINSTRUMENT Instrument, PUCHAR Storage, SIZE_T Capacity) {
    INSTRUMENT_FIFO* fifo = &Instrument->Loopback;
    SIZE_T count = fifo->Count;
    if (count != 0)
        FifoPop(fifo, Storage, count);
    fifo->Storage = Storage;
    fifo->Capacity = Capacity;
    fifo->Head = 0;
    fifo->Count = count;
}

BOOLEAN InstrumentBulkOut(PINSTRUMENT Instrument, UCHAR Endpoint, const UCHAR* Packet,
                          ULONG Length) {
    BOOLEAN loopback = Instrument->Configuration == 1 && Endpoint == INSTRUMENT_LOOPBACK_OUT;
    if (loopback && Length > InstrumentLoopbackRoom(Instrument))
        return FALSE;
    if (Length == 0)
        Instrument->ZeroLengthPacketsReceived++;
    if (loopback) {
        FifoPush(&Instrument->Loopback, Packet, Length);
        Instrument->DataAvailable = TRUE;
    } else if (Instrument->Configuration == 1 && Endpoint == INSTRUMENT_SINK_OUT) {
        Instrument->BytesSunk += Length;
    }
    return TRUE;
}

/* A packet from the loopback; a drained loopback ends a transfer that already moved data with a
   zero-length packet and NAKs a new one. */
static LONG LoopbackPacket(INSTRUMENT_FIFO* Fifo, USHORT MaxPacket, BOOLEAN Continuing,
                           PUCHAR Buffer) {
    if (Fifo->Count == 0)
        return Continuing ? 0 : INSTRUMENT_NAK;
    SIZE_T size = Fifo->Count < MaxPacket ? Fifo->Count : MaxPacket;
    FifoPop(Fifo, Buffer, size);
    return (LONG)size;
}

LONG InstrumentBulkIn(PINSTRUMENT Instrument, UCHAR Endpoint, USHORT MaxPacket, BOOLEAN Continuing,
                      PUCHAR Buffer) {
    UCHAR configuration = Instrument->Configuration;
    if (configuration == 1 && Endpoint == INSTRUMENT_LOOPBACK_IN)
        return LoopbackPacket(&Instrument->Loopback, MaxPacket, Continuing, Buffer);
    BOOLEAN stream = (configuration == 1 && Endpoint == INSTRUMENT_STREAM_IN) ||
                     (configuration == 2 && Endpoint == 0x81);
    if (!stream || !Instrument->Acquiring)
        return INSTRUMENT_NAK;
    LONG size = 0;
    for (ULONG i = 0; i + 2 <= MaxPacket; i += 2) {
        USHORT value = (USHORT)InstrumentSample(Instrument->NextSample++);
        Buffer[size++] = LO(value);
        Buffer[size++] = HI(value);
    }
    return size;
}

/* ------------------------------------------------------------------ configuration and reset */

static VOID EmptyLoopback(PINSTRUMENT Instrument) {
    Instrument->Loopback.Head = 0;
    Instrument->Loopback.Count = 0;
}

VOID InstrumentConfigurationChanged(PINSTRUMENT Instrument, UCHAR Value) {
    Instrument->Configuration = Value;
    EmptyLoopback(Instrument);
    Instrument->Acquiring = Value != 0;
    Instrument->NextSample = 0;
}

VOID InstrumentInterfaceChanged(PINSTRUMENT Instrument, UCHAR InterfaceNumber, UCHAR Alternate) {
    UNREFERENCED_PARAMETER(Alternate);
    if (InterfaceNumber == 0)
        EmptyLoopback(Instrument);
}

VOID InstrumentReset(PINSTRUMENT Instrument) {
    EmptyLoopback(Instrument);
    Instrument->Acquiring = FALSE;
    Instrument->Configuration = 0;
    Instrument->NextSample = 0;
}
