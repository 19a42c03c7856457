/*
 * The support library's own records: the per-device extension behind the driver's device
 * extension, and the inside of a 96-byte packet queue. Only the library's sources see this.
 */
#ifndef VAVEDU_SUPPORT_GENERIC_EXTENSION_H
#define VAVEDU_SUPPORT_GENERIC_EXTENSION_H

#include <wdm.h>

#include "pcdriver/bulk/outside/support_library.h"

#define GENERIC_SIGNATURE 0x7244615AUL /* "ZaDr" */
#define GENERIC_REMOVE_LOCK_TAG \
    ((ULONG)'Z' | ((ULONG)'a' << 8) | ((ULONG)'D' << 16) | ((ULONG)'r' << 24))

typedef struct _GENERIC_EXTENSION GENERIC_EXTENSION, *PGENERIC_EXTENSION;

/*
 * A packet queue. Requests that wait are linked through Tail.Overlay.ListEntry and each holds the
 * device's remove lock (tagged with that list entry) from StartPacket until its start routine has
 * returned or it has completed otherwise, so that removal waits for every request the library
 * still holds.
 *
 * Starting is set while one thread runs the start loop of the queue; a request chosen while it is
 * set (StartNextPacket from inside the start routine, or from a completion on another processor)
 * is left to that loop (StartPending), so the start routine is never entered recursively.
 */
typedef struct _QUEUE_STATE {
    LIST_ENTRY Waiting;
    KSPIN_LOCK Lock;
    PDRIVER_STARTIO StartIo;
    PGENERIC_EXTENSION Owner;
    PIRP volatile CurrentIrp; /* the driver's busy word */
    BOOLEAN Stalled;          /* device not started: requests wait */
    BOOLEAN Aborting;         /* device gone: requests are refused */
    BOOLEAN Starting;
    BOOLEAN StartPending;
    KEVENT Idle; /* notification event, signalled while CurrentIrp is null */
    UCHAR Reserved[16];
} QUEUE_STATE, *PQUEUE_STATE;

static_assert(sizeof(QUEUE_STATE) == sizeof(PACKET_QUEUE), "a queue fills its 96 bytes");
static_assert(offsetof(QUEUE_STATE, CurrentIrp) == offsetof(PACKET_QUEUE, CurrentIrp),
              "the busy word is where the driver reads it");

typedef enum _GENERIC_PNP_STATE {
    GenericNotStarted,
    GenericStarted,
    GenericStopPending,
    GenericStopped,
    GenericRemovePending,
    GenericSurpriseRemoved,
    GenericRemoved,
} GENERIC_PNP_STATE;

struct _GENERIC_EXTENSION {
    ULONG Signature;
    ULONG QueueCount;
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    PIO_REMOVE_LOCK RemoveLock;
    PGENERIC_START_DEVICE StartDevice;
    PGENERIC_STOP_DEVICE StopDevice;
    PGENERIC_REMOVE_DEVICE RemoveDevice;
    PQUEUE_STATE Queues[GENERIC_MAX_QUEUES];
    GENERIC_PNP_STATE PnpState;
    GENERIC_PNP_STATE StateBeforeQuery; /* restored by cancel-stop and cancel-remove */
    BOOLEAN DeviceStarted;              /* StartDevice succeeded and StopDevice has not run */
    BOOLEAN InterfaceRegistered;
    BOOLEAN InterfaceEnabled;
    BOOLEAN InterfaceClassKnown; /* the driver asked for an interface of InterfaceClass */
    GUID InterfaceClass;
    UNICODE_STRING InterfaceName;
};

FORCEINLINE PGENERIC_EXTENSION GenericExtensionOf(PVOID Extension) {
    return (PGENERIC_EXTENSION)Extension;
}
FORCEINLINE PQUEUE_STATE QueueStateOf(PPACKET_QUEUE Queue) {
    return (PQUEUE_STATE)(PVOID)Queue;
}

/* The tag under which the library holds the remove lock for a request in one of its queues. */
FORCEINLINE PVOID QueueHoldTag(PIRP Irp) {
    return &Irp->Tail.Overlay.ListEntry;
}

FORCEINLINE VOID CompleteWithStatus(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/* Packet queues (packet_queue.cpp). */
VOID InitializeQueueState(PQUEUE_STATE Queue, PGENERIC_EXTENSION Owner, PDRIVER_STARTIO StartIo);
/* Requests wait without starting until ResumeQueues. */
VOID StallQueues(PGENERIC_EXTENSION Extension);
/* Waiting requests start again, one per idle queue. */
VOID ResumeQueues(PGENERIC_EXTENSION Extension);
/* Every waiting request completes with Status and later ones are refused; a request whose cancel
   routine already runs is left to it. */
VOID AbortQueues(PGENERIC_EXTENSION Extension, NTSTATUS Status);
/* Cancels the request each queue is carrying out and waits until every queue is idle. Call at
   PASSIVE_LEVEL with the queues stalled or aborting, so that nothing new starts. */
VOID FinishRunningRequests(PGENERIC_EXTENSION Extension);

/* Device interface (extension.cpp). */
VOID EnableInterface(PGENERIC_EXTENSION Extension);
VOID DisableInterface(PGENERIC_EXTENSION Extension);
VOID ForgetInterface(PGENERIC_EXTENSION Extension);

#endif
