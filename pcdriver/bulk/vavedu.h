/*
 * VaVedu.SYS: the per-device record, the driver-wide settings and the routines of the driver.
 */
#ifndef VAVEDU_H
#define VAVEDU_H

#include "pcdriver/bulk/outside/usb_stack.h"
#include "pcdriver/bulk/outside/support_library.h"
#include "pcdriver/bulk/vavedu_ioctl.h"

#define VAVEDU_MAX_CONFIGURATIONS 10
#define VAVEDU_MAX_INTERFACES 10
#define VAVEDU_QUEUE_COUNT 32
#define VAVEDU_MAX_PIPES 32

/* The largest chunk: the largest bulk request high-speed host controllers take. */
#define VAVEDU_MAX_TRANSFER_SIZE_LIMIT 0x400000u
#define VAVEDU_DEFAULT_MAX_TRANSFER_SIZE 0x4000u

/* Completes a translated setup packet that the driver carried out itself (never reported). */
#define SETUP_REQUEST_HANDLED ((NTSTATUS)0xC0000124L)

/*
 * The per-device record, the device extension of the functional device object. The support
 * library's own extension follows it directly. All fields start at zero.
 */
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;      /* the functional device object itself */
    PDEVICE_OBJECT LowerDeviceObject; /* every request to the bus goes here */
    PDEVICE_OBJECT Pdo;
    IO_REMOVE_LOCK RemoveLock; /* 32 bytes; only the support library touches it */
    PVOID GenericExtension;    /* the support library's extension, right behind this record */
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    /* Whole configuration descriptor sets by configuration index, NonPagedPool, from start. */
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptors[VAVEDU_MAX_CONFIGURATIONS];
    PUSB_CONFIGURATION_DESCRIPTOR SelectedConfig; /* an entry of ConfigDescriptors, or null */
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    /* One more than the highest interface number in the table (0 while unconfigured): the
       number of interfaces of a device numbered 0, 1, 2 and so on. */
    ULONG InterfaceCount;
    /* Entry n: a copy of the interface information the bus returned for interface number n,
       NonPagedPool, or null. Read them only through the interface table's lock (LookupPipe). */
    PUSBD_INTERFACE_INFORMATION Interfaces[VAVEDU_MAX_INTERFACES];
    UCHAR ZeroLengthPacketMode;
    USBD_STATUS LastUsbdStatus;
    /* 1 once the vendor close request was claimed by a close (or removal came first); claimed
       with an interlocked exchange, so that it goes to the instrument at most once. */
    volatile LONG CloseRequestSent;
    PACKET_QUEUE Queues[VAVEDU_QUEUE_COUNT];
    ULONG SetupPacketValid;
    SETUP_PACKET SetupPacket;
    /* Held while an Interfaces entry is read or replaced, so that no copy is freed while a
       routine on another processor still reads it. Taken at up to DISPATCH_LEVEL, briefly. */
    KSPIN_LOCK InterfaceLock;
    /* A synchronization event used as a lock, signalled while free: held by configuration and
       interface selection, StartDevice and StopDevice, so that one runs at a time. Two selections
       at once would index their request lists with each other's interface count, and a stop could
       free the descriptor a selection is using. Taken at PASSIVE_LEVEL only, inside a critical
       region (see AcquireSelectionLock). */
    KEVENT SelectionLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* What a routine needs of one pipe, copied out of the interface table under its lock. */
typedef struct _PIPE_SNAPSHOT {
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    ULONG NumberOfPipes; /* of the interface */
} PIPE_SNAPSHOT;

/* How LookupPipe found the table. */
typedef enum _PIPE_LOOKUP {
    PipeFound,
    PipeNoInterface, /* no configuration, or the interface entry is empty */
    PipeOutOfRange,  /* the interface has fewer pipes */
} PIPE_LOOKUP;

/*
 * The record of one read or write, kept on the request itself from admission on: the pipe and
 * interface it was admitted for and the queue it waits in. Every later stage works on this
 * record, not on the handle's selector, which other requests on an unnamed handle rewrite.
 */
#define ADMISSION_VALID ((ULONG_PTR)1 << 31)
#define ADMISSION_PIPE(record) ((ULONG)((record)&0xFF))
#define ADMISSION_INTERFACE(record) ((ULONG)(((record) >> 8) & 0xFF))
#define ADMISSION_QUEUE(record) ((ULONG)(((record) >> 16) & 0xFF))
#define ADMISSION_RECORD(pipe, interface, queue)                           \
    (ADMISSION_VALID | (ULONG_PTR)(pipe) | ((ULONG_PTR)(interface) << 8) | \
     ((ULONG_PTR)(queue) << 16))

/* The record of one bulk transfer in flight. */
typedef struct _TRANSFER_CONTEXT {
    URB Urb;                /* the request block of the stage in flight */
    ULONG_PTR NextAddress;  /* where the next chunk begins in the application's buffer */
    ULONG BytesRemaining;   /* bytes not yet handed to the bus driver */
    PMDL PartialMdl;        /* the chunk in flight; null for length 0 and once the ZLP went */
    ULONG BytesTransferred; /* sum of what the bus driver reported for the stages */
    ULONG_PTR Admission;    /* the request's admission record */
    USBD_PIPE_HANDLE PipeHandle;
    ULONG ChunkSize; /* MaximumTransferSize rounded down to whole packets (one at least) */
    USHORT MaximumPacketSize;
    volatile LONG StageState; /* whether the sender or the completion routine goes on */
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

/* Driver-wide settings, written only by DriverEntry. */
extern CHAR g_Banner[256];
extern UNICODE_STRING g_RegistryPath;
extern ULONG g_MaxTransferSize;

/* The queue of an endpoint: OUT endpoints 0..15 use queues 0..15, IN endpoints 16..31. */
FORCEINLINE ULONG QueueIndexOfEndpoint(UCHAR EndpointAddress) {
    return (EndpointAddress & 0x80) ? (ULONG)(EndpointAddress & 0x0F) + 16
                                    : (ULONG)(EndpointAddress & 0x0F);
}

FORCEINLINE PDEVICE_EXTENSION DeviceExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

/* Driver frame */
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
VOID RemoveDevice(PDEVICE_OBJECT Fdo);
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchInternalControl;
DRIVER_DISPATCH DispatchSystemControl;
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* USB configuration */
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Fdo, PURB Urb);
NTSTATUS StartDevice(PDEVICE_OBJECT Fdo);
VOID StopDevice(PDEVICE_OBJECT Fdo);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT Fdo, UCHAR ConfigurationValue);
VOID ReleaseConfiguration(PDEVICE_OBJECT Fdo);
NTSTATUS SelectInterface(PDEVICE_OBJECT Fdo, UCHAR InterfaceNumber, UCHAR AlternateSetting);
BOOLEAN QueueBusy(PDEVICE_EXTENSION Extension, ULONG QueueIndex);
PIPE_LOOKUP LookupPipe(PDEVICE_EXTENSION Extension, ULONG InterfaceIndex, ULONG PipeIndex,
                       PIPE_SNAPSHOT* Pipe);

/* Pipe I/O */
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchReadWrite;
DRIVER_CANCEL CancelQueuedIrp;
DRIVER_STARTIO StartIo;
IO_COMPLETION_ROUTINE OnTransferComplete;
BOOLEAN ParseNameNumber(PCUNICODE_STRING Name, PCUNICODE_STRING Prefix, PULONG Number);
VOID SendZeroLengthPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context);

/* Device control */
DRIVER_DISPATCH DispatchDeviceControl;
NTSTATUS Ioctl_ControlReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG_PTR ByteCount);

#endif
