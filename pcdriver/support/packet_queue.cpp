/*
 * Packet queues: one request per queue in the driver's start routine at a time, the others
 * waiting in arrival order, cancellable while they wait.
 *
 * Cancel follows the platform's protocol. A waiting request carries the driver's cancel routine;
 * whoever takes a request out of the queue first exchanges that routine with null. If the
 * exchange yields null, IoCancelIrp has already claimed the request and its cancel routine is on
 * its way to CancelRequest, so the request stays in the queue for it. Every change to a queue
 * happens under the queue's spin lock; the system cancel spin lock is never taken while a queue's
 * lock is held.
 */
#include <wdm.h>

#include "pcdriver/support/generic_extension.h"

static VOID ListInit(PLIST_ENTRY Head) {
    Head->Flink = Head->Blink = Head;
}

static VOID ListAppend(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
    Entry->Flink = Head;
    Entry->Blink = Head->Blink;
    Head->Blink->Flink = Entry;
    Head->Blink = Entry;
}

static VOID ListUnlink(PLIST_ENTRY Entry) {
    Entry->Blink->Flink = Entry->Flink;
    Entry->Flink->Blink = Entry->Blink;
    Entry->Flink = Entry->Blink = Entry;
}

static PIRP IrpOfEntry(PLIST_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

VOID InitializeQueueState(PQUEUE_STATE Queue, PGENERIC_EXTENSION Owner, PDRIVER_STARTIO StartIo) {
    RtlZeroMemory(Queue, sizeof(*Queue));
    ListInit(&Queue->Waiting);
    KeInitializeSpinLock(&Queue->Lock);
    Queue->StartIo = StartIo;
    Queue->Owner = Owner;
    Queue->Stalled = TRUE; /* nothing starts before the device does */
    KeInitializeEvent(&Queue->Idle, NotificationEvent, TRUE);
}

/* The request the queue carries out (the busy word). The driver reads the word without the
   queue's lock, before a selection, so every access to it is an interlocked one. */
static PIRP CurrentOf(PQUEUE_STATE Queue) {
    return (PIRP)InterlockedCompareExchangePointer((PVOID volatile*)&Queue->CurrentIrp, NULL, NULL);
}

/* Makes Irp (or none) the request the queue carries out; queue lock held. */
static VOID SetCurrent(PQUEUE_STATE Queue, PIRP Irp) {
    InterlockedExchangePointer((PVOID volatile*)&Queue->CurrentIrp, Irp);
    if (Irp == NULL) {
        KeSetEvent(&Queue->Idle, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(&Queue->Idle);
    }
}

/* Ends a request the start routine never saw, and the library's hold on the remove lock for it. */
static VOID FinishUnstarted(PGENERIC_EXTENSION Extension, PIRP Irp, NTSTATUS Status) {
    PIO_REMOVE_LOCK lock = Extension->RemoveLock;
    CompleteWithStatus(Irp, Status);
    IoReleaseRemoveLock(lock, QueueHoldTag(Irp));
}

/* The first waiting request whose cancel routine this call took back; queue lock held. */
static PIRP TakeNextWaiting(PQUEUE_STATE Queue) {
    for (PLIST_ENTRY entry = Queue->Waiting.Flink; entry != &Queue->Waiting; entry = entry->Flink) {
        PIRP irp = IrpOfEntry(entry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            ListUnlink(entry);
            return irp;
        }
        /* Being cancelled: CancelRequest takes it out. */
    }
    return NULL;
}

/*
 * Calls the start routine for Irp and then for every request chosen while it ran, one after the
 * other at this stack depth. Runs at DISPATCH_LEVEL with Queue->Starting set by the caller.
 */
static VOID RunStartLoop(PQUEUE_STATE Queue, PDEVICE_OBJECT Fdo, PIRP Irp) {
    PIO_REMOVE_LOCK lock = Queue->Owner->RemoveLock;
    for (;;) {
        Queue->StartIo(Fdo, Irp);
        KeAcquireSpinLockAtDpcLevel(&Queue->Lock);
        PIRP next = NULL;
        if (Queue->StartPending) {
            Queue->StartPending = FALSE;
            next = CurrentOf(Queue);
        } else {
            Queue->Starting = FALSE;
        }
        KeReleaseSpinLockFromDpcLevel(&Queue->Lock);
        /* The hold on the remove lock goes last: once the last one goes, removal may delete the
           device and the queue with it. The next request has a hold of its own. */
        IoReleaseRemoveLock(lock, QueueHoldTag(Irp));
        if (next == NULL) {
            return;
        }
        Irp = next;
    }
}

/*
 * The queue is idle (no current request): picks the next waiting request and starts it, or leaves
 * it to the start loop already running. Called with the queue's lock held, acquired from
 * OldIrql; returns with it released and the IRQL back at OldIrql.
 */
static VOID StartNextLocked(PQUEUE_STATE Queue, PDEVICE_OBJECT Fdo, KIRQL OldIrql) {
    PIRP next = (Queue->Stalled || Queue->Aborting) ? NULL : TakeNextWaiting(Queue);
    SetCurrent(Queue, next);
    if (next == NULL || Queue->Starting) {
        Queue->StartPending = next != NULL;
        KeReleaseSpinLock(&Queue->Lock, OldIrql);
        return;
    }
    Queue->Starting = TRUE;
    KeReleaseSpinLockFromDpcLevel(&Queue->Lock);
    RunStartLoop(Queue, Fdo, next);
    KeLowerIrql(OldIrql);
}

VOID NTAPI StartPacket(PPACKET_QUEUE Queue, PDEVICE_OBJECT Fdo, PIRP Irp,
                       PDRIVER_CANCEL CancelRoutine) {
    PQUEUE_STATE queue = QueueStateOf(Queue);
    PGENERIC_EXTENSION extension = queue->Owner;
    if (CancelRoutine == NULL) {
        /* Without a cancel routine a waiting request could never be cancelled. */
        CompleteWithStatus(Irp, STATUS_INVALID_PARAMETER);
        return;
    }
    if (!NT_SUCCESS(IoAcquireRemoveLock(extension->RemoveLock, QueueHoldTag(Irp)))) {
        CompleteWithStatus(Irp, STATUS_DELETE_PENDING);
        return;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&queue->Lock, &oldIrql);
    if (queue->Aborting) {
        KeReleaseSpinLock(&queue->Lock, oldIrql);
        FinishUnstarted(extension, Irp, STATUS_DELETE_PENDING);
        return;
    }
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        /* Cancelled before it reached the queue, and nobody else owns the cancel. */
        KeReleaseSpinLock(&queue->Lock, oldIrql);
        FinishUnstarted(extension, Irp, STATUS_CANCELLED);
        return;
    }
    /* Also when IoCancelIrp has just taken the routine: its CancelRequest finds it here. */
    ListAppend(&queue->Waiting, &Irp->Tail.Overlay.ListEntry);
    if (CurrentOf(queue) != NULL) {
        KeReleaseSpinLock(&queue->Lock, oldIrql);
        return;
    }
    StartNextLocked(queue, Fdo, oldIrql);
}

VOID NTAPI StartNextPacket(PPACKET_QUEUE Queue, PDEVICE_OBJECT Fdo) {
    PQUEUE_STATE queue = QueueStateOf(Queue);
    KIRQL oldIrql;
    KeAcquireSpinLock(&queue->Lock, &oldIrql);
    StartNextLocked(queue, Fdo, oldIrql);
}

/* Takes Irp out of the queue if it waits there. */
static BOOLEAN UnlinkIfWaiting(PQUEUE_STATE Queue, PIRP Irp) {
    BOOLEAN found = FALSE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&Queue->Lock, &oldIrql);
    for (PLIST_ENTRY entry = Queue->Waiting.Flink; entry != &Queue->Waiting; entry = entry->Flink) {
        if (entry == &Irp->Tail.Overlay.ListEntry) {
            ListUnlink(entry);
            found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&Queue->Lock, oldIrql);
    return found;
}

VOID NTAPI CancelRequest(PPACKET_QUEUE Queue, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PQUEUE_STATE queue = QueueStateOf(Queue);
    PGENERIC_EXTENSION extension = queue->Owner;
    /* The driver names the queue the request waits in; should it name another queue of the same
       device, the request is still found, since only this routine can end it now. */
    BOOLEAN found = UnlinkIfWaiting(queue, Irp);
    for (ULONG i = 0; !found && i < extension->QueueCount; ++i) {
        if (extension->Queues[i] != queue) {
            found = UnlinkIfWaiting(extension->Queues[i], Irp);
        }
    }
    if (found) {
        FinishUnstarted(extension, Irp, STATUS_CANCELLED);
    } else {
        CompleteWithStatus(Irp, STATUS_CANCELLED);
    }
}

VOID StallQueues(PGENERIC_EXTENSION Extension) {
    for (ULONG i = 0; i < Extension->QueueCount; ++i) {
        PQUEUE_STATE queue = Extension->Queues[i];
        KIRQL oldIrql;
        KeAcquireSpinLock(&queue->Lock, &oldIrql);
        queue->Stalled = TRUE;
        KeReleaseSpinLock(&queue->Lock, oldIrql);
    }
}

VOID ResumeQueues(PGENERIC_EXTENSION Extension) {
    for (ULONG i = 0; i < Extension->QueueCount; ++i) {
        PQUEUE_STATE queue = Extension->Queues[i];
        KIRQL oldIrql;
        KeAcquireSpinLock(&queue->Lock, &oldIrql);
        queue->Stalled = FALSE;
        if (CurrentOf(queue) != NULL) {
            KeReleaseSpinLock(&queue->Lock, oldIrql);
            continue;
        }
        StartNextLocked(queue, Extension->Fdo, oldIrql);
    }
}

VOID AbortQueues(PGENERIC_EXTENSION Extension, NTSTATUS Status) {
    for (ULONG i = 0; i < Extension->QueueCount; ++i) {
        PQUEUE_STATE queue = Extension->Queues[i];
        LIST_ENTRY aborted;
        ListInit(&aborted);
        KIRQL oldIrql;
        KeAcquireSpinLock(&queue->Lock, &oldIrql);
        queue->Aborting = TRUE;
        PLIST_ENTRY entry = queue->Waiting.Flink;
        while (entry != &queue->Waiting) {
            PLIST_ENTRY following = entry->Flink;
            if (IoSetCancelRoutine(IrpOfEntry(entry), NULL) != NULL) {
                ListUnlink(entry);
                ListAppend(&aborted, entry);
            }
            entry = following;
        }
        KeReleaseSpinLock(&queue->Lock, oldIrql);
        /* Completed outside the lock: completion runs the application's side. */
        while (aborted.Flink != &aborted) {
            PLIST_ENTRY first = aborted.Flink;
            ListUnlink(first);
            FinishUnstarted(Extension, IrpOfEntry(first), Status);
        }
    }
}

/*
 * Cancels the request the queue carries out, if any. That request belongs to the driver and the
 * driver below it, and may complete on another processor at any moment, so IoCancelIrp could be
 * handed a request that is already freed. The queue's lock closes that window: the driver calls
 * StartNextPacket before it lets the request complete, so while the lock is held the request
 * lives. Under it the request is marked cancelled and its cancel routine claimed, as IoCancelIrp
 * does. Without a routine, whoever holds the request now sees the mark when it next queues it;
 * with one, the request cannot complete but through that routine, which is then called as
 * IoCancelIrp calls it, after the queue's lock is given up (the routine may complete the request
 * and so come back to StartNextPacket). The queue's lock is taken before the system cancel spin
 * lock, never after it.
 */
static VOID CancelCurrentRequest(PQUEUE_STATE Queue) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Queue->Lock, &oldIrql);
    PIRP irp = CurrentOf(Queue);
    if (irp == NULL) {
        KeReleaseSpinLock(&Queue->Lock, oldIrql);
        return;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
    KeReleaseSpinLockFromDpcLevel(&Queue->Lock);
    if (routine == NULL) {
        IoReleaseCancelSpinLock(cancelIrql);
    } else {
        irp->CancelIrql = cancelIrql;
        routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    }
    KeLowerIrql(oldIrql);
}

VOID FinishRunningRequests(PGENERIC_EXTENSION Extension) {
    for (ULONG i = 0; i < Extension->QueueCount; ++i) {
        CancelCurrentRequest(Extension->Queues[i]);
    }
    for (ULONG i = 0; i < Extension->QueueCount; ++i) {
        KeWaitForSingleObject(&Extension->Queues[i]->Idle, Executive, KernelMode, FALSE, NULL);
    }
}
