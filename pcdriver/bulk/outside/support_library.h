/*
 * The support library (ZaDar.EDI): what a function driver hands it and the routines it calls.
 *
 * The library runs Plug and Play and power for the driver, keeps the device's remove lock, one
 * packet queue per endpoint and the device interface. The driver describes itself once, in a
 * GENERIC_INIT_BLOCK, and from then on passes its Plug and Play and power requests to the library
 * and its reads and writes to the packet queues.
 *
 * Include after <wdm.h>.
 */
#ifndef VAVEDU_SUPPORT_LIBRARY_H
#define VAVEDU_SUPPORT_LIBRARY_H

#include <wdm.h>

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The callbacks the library makes into the driver, all at PASSIVE_LEVEL. StartDevice runs once the
   lower driver has started; StopDevice before a stop goes down, at surprise removal, at removal of
   a device still started, and also right after a failing StartDevice, so that whatever that
   StartDevice set up is undone (StopDevice must cope with a half-done start); RemoveDevice last. */
typedef NTSTATUS(NTAPI* PGENERIC_START_DEVICE)(PDEVICE_OBJECT Fdo);
typedef VOID(NTAPI* PGENERIC_STOP_DEVICE)(PDEVICE_OBJECT Fdo);
typedef VOID(NTAPI* PGENERIC_REMOVE_DEVICE)(PDEVICE_OBJECT Fdo);

#define GENERIC_INIT_BLOCK_SIZE 696
#define GENERIC_MAX_QUEUES 32

/*
 * One packet queue: 96 bytes kept by the library inside the driver's device extension. The driver
 * reads only CurrentIrp: nonzero exactly while a request of the queue is being processed, from
 * the call of the queue's start routine for it until StartNextPacket for it.
 */
typedef struct _PACKET_QUEUE {
    ULONG_PTR Reserved1[5];
    PIRP volatile CurrentIrp;
    ULONG_PTR Reserved2[6];
} PACKET_QUEUE, *PPACKET_QUEUE;

/* A queue the library runs for the driver and the routine that starts its requests. */
typedef struct _GENERIC_QUEUE_ENTRY {
    PPACKET_QUEUE Queue;
    PDRIVER_STARTIO StartIo;
} GENERIC_QUEUE_ENTRY;

/*
 * What the driver tells the library about a device, 696 bytes, zero where no field is given.
 * Options is accepted and not interpreted.
 */
typedef struct _GENERIC_INIT_BLOCK {
    ULONG Size; /* GENERIC_INIT_BLOCK_SIZE */
    ULONG Reserved0;
    PDEVICE_OBJECT DeviceObject; /* the functional device object */
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDeviceObject;
    PVOID RemoveLock; /* 32 bytes in the device extension, used only by the library */
    ULONG_PTR Reserved1[2];
    PGENERIC_START_DEVICE StartDevice;
    PGENERIC_STOP_DEVICE StopDevice;
    PGENERIC_REMOVE_DEVICE RemoveDevice;
    UNICODE_STRING DebugName;
    ULONG Options;
    UCHAR Reserved2[48];
    ULONG NumberOfQueues; /* at most GENERIC_MAX_QUEUES */
    UCHAR Reserved3[32];
    GENERIC_QUEUE_ENTRY Queues[GENERIC_MAX_QUEUES];
} GENERIC_INIT_BLOCK, *PGENERIC_INIT_BLOCK;

static_assert(sizeof(PACKET_QUEUE) == 96, "PACKET_QUEUE is 96 bytes");
static_assert(offsetof(PACKET_QUEUE, CurrentIrp) == 40, "the busy word is at byte 40");
static_assert(sizeof(GENERIC_QUEUE_ENTRY) == 16, "a queue entry is 16 bytes");
static_assert(sizeof(GENERIC_INIT_BLOCK) == GENERIC_INIT_BLOCK_SIZE, "GENERIC_INIT_BLOCK size");
static_assert(offsetof(GENERIC_INIT_BLOCK, Size) == 0, "GENERIC_INIT_BLOCK.Size");
static_assert(offsetof(GENERIC_INIT_BLOCK, DeviceObject) == 8, "GENERIC_INIT_BLOCK.DeviceObject");
static_assert(offsetof(GENERIC_INIT_BLOCK, Pdo) == 16, "GENERIC_INIT_BLOCK.Pdo");
static_assert(offsetof(GENERIC_INIT_BLOCK, LowerDeviceObject) == 24,
              "GENERIC_INIT_BLOCK.LowerDeviceObject");
static_assert(offsetof(GENERIC_INIT_BLOCK, RemoveLock) == 32, "GENERIC_INIT_BLOCK.RemoveLock");
static_assert(offsetof(GENERIC_INIT_BLOCK, StartDevice) == 56, "GENERIC_INIT_BLOCK.StartDevice");
static_assert(offsetof(GENERIC_INIT_BLOCK, StopDevice) == 64, "GENERIC_INIT_BLOCK.StopDevice");
static_assert(offsetof(GENERIC_INIT_BLOCK, RemoveDevice) == 72, "GENERIC_INIT_BLOCK.RemoveDevice");
static_assert(offsetof(GENERIC_INIT_BLOCK, DebugName) == 80, "GENERIC_INIT_BLOCK.DebugName");
static_assert(offsetof(GENERIC_INIT_BLOCK, Options) == 96, "GENERIC_INIT_BLOCK.Options");
static_assert(offsetof(GENERIC_INIT_BLOCK, NumberOfQueues) == 148,
              "GENERIC_INIT_BLOCK.NumberOfQueues");
static_assert(offsetof(GENERIC_INIT_BLOCK, Queues) == 184, "GENERIC_INIT_BLOCK.Queues");

/* Bytes of the library's per-device extension; the driver reserves them in its device extension,
   at an address aligned to 8 bytes. */
ULONG NTAPI GetSizeofGenericExtension(VOID);

/* Takes the device described by Block into Extension. STATUS_INVALID_PARAMETER for a block of
   another size, more than GENERIC_MAX_QUEUES queues, a missing device object, Pdo, lower device,
   remove lock, queue or start routine, or an extension not aligned to 8 bytes; nothing is changed
   then. The queues start stalled: requests wait until the device has started. PASSIVE_LEVEL. */
NTSTATUS NTAPI InitializeGenericExtension(PVOID Extension, PGENERIC_INIT_BLOCK Block);

/* Undoes a successful InitializeGenericExtension of a device that never received a Plug and Play
   request (the failing end of AddDevice). PASSIVE_LEVEL. */
VOID NTAPI CleanupGenericExtension(PVOID Extension);

/* Registers the device interface of the class on the Pdo. Applications see it from the first
   successful start until surprise removal or removal. PASSIVE_LEVEL. */
NTSTATUS NTAPI GenericRegisterInterface(PVOID Extension, const GUID* InterfaceClassGuid);

/* Every IRP_MJ_PNP and IRP_MJ_POWER request of the device; the library disposes of it and
   returns its status. PASSIVE_LEVEL. */
NTSTATUS NTAPI GenericDispatchPnp(PVOID Extension, PIRP Irp);
NTSTATUS NTAPI GenericDispatchPower(PVOID Extension, PIRP Irp);

/* The device's remove lock. Acquire fails with STATUS_DELETE_PENDING once removal has begun; each
   successful acquire is ended by one release with the same tag. Up to DISPATCH_LEVEL. */
NTSTATUS NTAPI GenericAcquireRemoveLock(PVOID RemoveLock, PVOID Tag);
VOID NTAPI GenericReleaseRemoveLock(PVOID RemoveLock, PVOID Tag);

/*
 * Hands a request to a packet queue. The caller has marked it pending and returns STATUS_PENDING;
 * it must not touch the request afterwards. The queue's start routine runs at once, at
 * DISPATCH_LEVEL, when the queue is idle and the device started; otherwise the request waits,
 * cancellable through CancelRoutine, which must not be null (such a request completes with
 * STATUS_INVALID_PARAMETER). After surprise removal or once removal has begun the request
 * completes with STATUS_DELETE_PENDING. Up to DISPATCH_LEVEL.
 *
 * While the library holds a request (from StartPacket until it completes it, or until the start
 * routine has it) it links the request through Tail.Overlay.ListEntry and leaves
 * Tail.Overlay.DriverContext alone: the driver keeps its own record of the request there (the
 * queue it was handed to, among others), which its start and cancel routines read.
 */
VOID NTAPI StartPacket(PPACKET_QUEUE Queue, PDEVICE_OBJECT Fdo, PIRP Irp,
                       PDRIVER_CANCEL CancelRoutine);

/* The request being processed on the queue is finished: the next waiting one starts (at once or
   as soon as the start routine now running returns). Up to DISPATCH_LEVEL. */
VOID NTAPI StartNextPacket(PPACKET_QUEUE Queue, PDEVICE_OBJECT Fdo);

/* From the driver's cancel routine, with the system cancel spin lock held: takes the request out
   of the queue it waits in, releases the cancel spin lock and completes the request with
   STATUS_CANCELLED. */
VOID NTAPI CancelRequest(PPACKET_QUEUE Queue, PIRP Irp);

#ifdef __cplusplus
}
#endif

#endif
