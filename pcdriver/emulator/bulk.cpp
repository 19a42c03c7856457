/*
 * Bulk transfers: one queue per endpoint, carried out packet by packet by the host controller
 * thread as the instrument takes or gives data. A transfer the instrument cannot serve yet (an IN
 * endpoint with nothing to send, a loopback that is full) waits, cancellable, until it can.
 */
#include "pcdriver/emulator/emulator.h"

static DRIVER_CANCEL CancelTransfer;

ULONG EmuEndpointIndex(UCHAR EndpointAddress) {
    return (EndpointAddress & 0x80) ? 16u + (EndpointAddress & 0x0F) : (EndpointAddress & 0x0Fu);
}

/* Takes a transfer out of its queue with its outcome, into Done; counted once here. */
static VOID EndTransferLocked(PEMU_PORT Port, PEMU_TRANSFER T, USBD_STATUS Status,
                              PLIST_ENTRY Done) {
    VAVEDU_EMU_COUNTERS* counters = &Port->Bus->Counters;
    RemoveEntryList(&T->Link);
    T->Status = Status;
    InsertTailList(Done, &T->Link);
    counters->BulkPending--;
    counters->BulkTransfers++;
    counters->LastUsbdStatus = (ULONG)Status;
    if (Status == USBD_STATUS_CANCELED)
        counters->BulkCancelled++;
    if (Status == USBD_STATUS_STALL_PID)
        counters->BulkStalled++;
    if (T->In)
        counters->BulkBytesIn += T->Moved;
    else
        counters->BulkBytesOut += T->Moved;
}

VOID EmuQueueBulkLocked(PEMU_PORT Port, PEMU_TRANSFER Transfer, PLIST_ENTRY Done) {
    VAVEDU_EMU_COUNTERS* counters = &Port->Bus->Counters;
    counters->Recent[counters->RecentCount % VAVEDU_EMU_RECENT_COUNT] =
        Transfer->Length | (Transfer->In ? VAVEDU_EMU_RECENT_IN : 0);
    counters->RecentCount++;
    counters->BulkPending++;
    InsertTailList(&Port->Queues[EmuEndpointIndex(Transfer->Endpoint)], &Transfer->Link);
    PIRP irp = Transfer->Irp;
    IoSetCancelRoutine(irp, CancelTransfer);
    /* Cancelled before the cancel routine was in place: ours to finish. */
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL)
        EndTransferLocked(Port, Transfer, USBD_STATUS_CANCELED, Done);
}

VOID EmuFailPendingLocked(PEMU_PORT Port, ULONG EndpointIndex, USBD_STATUS Status,
                          PLIST_ENTRY Done) {
    PLIST_ENTRY queue = &Port->Queues[EndpointIndex];
    for (PLIST_ENTRY entry = queue->Flink; entry != queue;) {
        PEMU_TRANSFER t = CONTAINING_RECORD(entry, EMU_TRANSFER, Link);
        entry = entry->Flink;
        /* One whose cancel routine has begun is left to it. */
        if (IoSetCancelRoutine(t->Irp, NULL) != NULL)
            EndTransferLocked(Port, t, Status, Done);
    }
}

VOID EmuFinishTransfers(PLIST_ENTRY Done) {
    while (!IsListEmpty(Done)) {
        PEMU_TRANSFER t = CONTAINING_RECORD(RemoveHeadList(Done), EMU_TRANSFER, Link);
        PIRP irp = t->Irp;
        t->Urb->UrbHeader.Status = t->Status;
        t->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->Moved;
        NTSTATUS status = EmuNtStatusForUsbd(t->Status);
        ExFreePool(t);
        EmuCompleteRequest(irp, status, 0);
    }
}

static VOID CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PEMU_PORT port = (PEMU_PORT)DeviceObject->DeviceExtension;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&port->Bus->Lock, &irql);
    for (ULONG i = 0; i < EMU_ENDPOINTS && IsListEmpty(&done); i++) {
        PLIST_ENTRY queue = &port->Queues[i];
        for (PLIST_ENTRY entry = queue->Flink; entry != queue; entry = entry->Flink) {
            PEMU_TRANSFER t = CONTAINING_RECORD(entry, EMU_TRANSFER, Link);
            if (t->Irp == Irp) {
                EndTransferLocked(port, t, USBD_STATUS_CANCELED, &done);
                break;
            }
        }
    }
    KeReleaseSpinLock(&port->Bus->Lock, irql);
    EmuFinishTransfers(&done);
}

/* ------------------------------------------------------------------ the packets */

static VOID Hash(uint32_t* Value, const UCHAR* Bytes, ULONG Length) {
    for (ULONG i = 0; i < Length; i++)
        *Value = (*Value ^ Bytes[i]) * VAVEDU_EMU_HASH_PRIME;
}

/* OUT: packets of the endpoint's size (one zero-length packet for a length of 0) until all went
   or the instrument refuses one (it is full), which the transfer waits out. */
static BOOLEAN RunOut(PEMU_PORT Port, PEMU_TRANSFER T) {
    if (T->Length == 0)
        return InstrumentBulkOut(&Port->Instrument, T->Endpoint, NULL, 0);
    while (T->Moved < T->Length) {
        ULONG n = T->Length - T->Moved < T->MaxPacket ? T->Length - T->Moved : T->MaxPacket;
        if (!InstrumentBulkOut(&Port->Instrument, T->Endpoint, T->Buffer + T->Moved, n))
            return FALSE;
        Hash(&Port->Bus->Counters.BulkOutHash, T->Buffer + T->Moved, n);
        T->Moved += n;
    }
    return TRUE;
}

/* IN: packets until the buffer is full or a short packet ends the transfer; FALSE when the
   instrument has nothing yet (it NAKs), which the transfer waits out. */
static BOOLEAN RunIn(PEMU_PORT Port, PEMU_TRANSFER T, USBD_STATUS* Status) {
    UCHAR packet[1024];
    *Status = USBD_STATUS_SUCCESS;
    if (T->MaxPacket > sizeof(packet)) {
        *Status = USBD_STATUS_BABBLE_DETECTED;
        return TRUE;
    }
    while (T->Moved < T->Length) {
        LONG size =
            InstrumentBulkIn(&Port->Instrument, T->Endpoint, T->MaxPacket, T->Moved > 0, packet);
        if (size == INSTRUMENT_NAK)
            return FALSE;
        ULONG room = T->Length - T->Moved;
        if ((ULONG)size > T->MaxPacket) {
            *Status = USBD_STATUS_BABBLE_DETECTED;
            break;
        }
        Hash(&Port->Bus->Counters.BulkInHash, packet, (ULONG)size < room ? (ULONG)size : room);
        if ((ULONG)size > room) { /* the device sent more than the buffer holds */
            RtlCopyMemory(T->Buffer + T->Moved, packet, room);
            T->Moved += room;
            *Status = USBD_STATUS_DATA_OVERRUN;
            break;
        }
        if (size != 0)
            RtlCopyMemory(T->Buffer + T->Moved, packet, size);
        T->Moved += size;
        if ((ULONG)size < T->MaxPacket) {
            if (!T->ShortOk && T->Moved < T->Length)
                *Status = USBD_STATUS_ERROR_SHORT_TRANSFER;
            break;
        }
    }
    return TRUE;
}

/* Carries a transfer as far as the instrument lets it; TRUE when it has ended. */
static BOOLEAN RunTransfer(PEMU_PORT Port, PEMU_TRANSFER T, USBD_STATUS* Status) {
    ULONG index = EmuEndpointIndex(T->Endpoint);
    *Status = USBD_STATUS_SUCCESS;
    if (!Port->Connected) {
        *Status = USBD_STATUS_DEVICE_GONE;
        return TRUE;
    }
    if (Port->Pipes[index].Handle != T->PipeHandle) { /* its setting was replaced */
        *Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return TRUE;
    }
    if (Port->Halted[index]) {
        *Status = USBD_STATUS_STALL_PID;
        return TRUE;
    }
    return T->In ? RunIn(Port, T, Status) : RunOut(Port, T);
}

/*
 * Passes over the queues until no transfer moves: data written to the loopback may let a read
 * on another endpoint go on, and a read may make room for a write that waits.
 */
VOID EmuRunTransfersLocked(PEMU_BUS Bus, PLIST_ENTRY Done) {
    PEMU_PORT port = Bus->Port;
    if (port == NULL)
        return;
    BOOLEAN progress;
    do {
        progress = FALSE;
        for (ULONG i = 0; i < EMU_ENDPOINTS; i++) {
            if (IsListEmpty(&port->Queues[i]))
                continue;
            PEMU_TRANSFER t = CONTAINING_RECORD(port->Queues[i].Flink, EMU_TRANSFER, Link);
            /* One whose cancel routine has begun is left to it. */
            if (IoSetCancelRoutine(t->Irp, NULL) == NULL)
                continue;
            ULONG before = t->Moved;
            USBD_STATUS status;
            if (RunTransfer(port, t, &status)) {
                EndTransferLocked(port, t, status, Done);
                progress = TRUE;
                continue;
            }
            progress = progress || t->Moved != before;
            IoSetCancelRoutine(t->Irp, CancelTransfer);
            if (t->Irp->Cancel && IoSetCancelRoutine(t->Irp, NULL) != NULL) {
                EndTransferLocked(port, t, USBD_STATUS_CANCELED, Done);
                progress = TRUE;
            }
        }
        if (InstrumentTakeDataAvailable(&port->Instrument))
            progress = TRUE;
    } while (progress);
}
