/*
 * Pipe I/O: handles on one pipe of one interface, admission of reads and writes into the queue
 * of their endpoint, and the bulk transfer engine that moves them in chunks.
 */
#include "pcdriver/bulk/vavedu.h"

/* ------------------------------------------------------------------ handles */

/* Number of characters of a name: up to its first NUL, never beyond its recorded length. */
static ULONG NameCharacters(PCUNICODE_STRING Name) {
    ULONG limit = Name->Buffer != NULL ? Name->Length / sizeof(WCHAR) : 0;
    ULONG count = 0;
    while (count < limit && Name->Buffer[count] != 0)
        count++;
    return count;
}

static BOOLEAN PrefixAt(PCUNICODE_STRING Name, ULONG Position, PCUNICODE_STRING Prefix,
                        ULONG PrefixCharacters) {
    for (ULONG i = 0; i < PrefixCharacters; i++) {
        if (Name->Buffer[Position + i] != Prefix->Buffer[i])
            return FALSE;
    }
    return TRUE;
}

/*
 * Finds Prefix in Name (a plain substring search, exact UTF-16 units) followed by a number, and
 * reads the number with the platform's conversion, base 0. The first occurrence whose tail
 * converts wins; a name that ends with the prefix does not match there.
 */
BOOLEAN ParseNameNumber(PCUNICODE_STRING Name, PCUNICODE_STRING Prefix, PULONG Number) {
    ULONG nameCharacters = NameCharacters(Name);
    ULONG prefixCharacters = Prefix->Length / sizeof(WCHAR);
    for (ULONG position = 0;
         nameCharacters - position > prefixCharacters && position < nameCharacters; position++) {
        if (!PrefixAt(Name, position, Prefix, prefixCharacters))
            continue;
        UNICODE_STRING tail;
        tail.Buffer = Name->Buffer + position + prefixCharacters;
        tail.Length = (USHORT)((nameCharacters - position - prefixCharacters) * sizeof(WCHAR));
        tail.MaximumLength = tail.Length;
        ULONG value = 0;
        if (NT_SUCCESS(RtlUnicodeStringToInteger(&tail, 0, &value))) {
            *Number = value;
            return TRUE;
        }
    }
    *Number = 0;
    return FALSE;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PUNICODE_STRING name = &file->FileName;
    if (name->Length == 0)
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);

    UNICODE_STRING pipePrefix;
    UNICODE_STRING interfacePrefix;
    RtlInitUnicodeString(&pipePrefix, (PCWSTR)u"\\PIPE_");
    RtlInitUnicodeString(&interfacePrefix, (PCWSTR)u"\\INTERFACE_");
    ULONG pipe = 0;
    ULONG interface = 0;
    if (!ParseNameNumber(name, &pipePrefix, &pipe)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    (VOID) ParseNameNumber(name, &interfacePrefix, &interface);
    if (pipe >= VAVEDU_MAX_PIPES || interface >= VAVEDU_MAX_INTERFACES) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    file->FsContext = (PVOID)((ULONG_PTR)file->FsContext | ((ULONG_PTR)interface << 8) | pipe);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/* The vendor request the instrument gets once in the life of a device object. */
static VOID SendCloseRequest(PDEVICE_OBJECT DeviceObject) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb.UrbControlVendorClassRequest.TransferFlags = USBD_SHORT_TRANSFER_OK;
    urb.UrbControlVendorClassRequest.TransferBufferLength = 0;
    urb.UrbControlVendorClassRequest.TransferBuffer = NULL;
    urb.UrbControlVendorClassRequest.TransferBufferMDL = NULL;
    urb.UrbControlVendorClassRequest.UrbLink = NULL;
    urb.UrbControlVendorClassRequest.RequestTypeReservedBits = 0x40;
    urb.UrbControlVendorClassRequest.Request = 0;
    urb.UrbControlVendorClassRequest.Value = 0;
    urb.UrbControlVendorClassRequest.Index = 0;
    (VOID) SubmitUrbSync(DeviceObject, &urb);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    /* The first close claims the request before sending it: a close running at the same time
       finds it claimed and sends none, whatever becomes of the request. */
    if (InterlockedExchange(&extension->CloseRequestSent, 1) == 0) {
        /* The remove lock keeps the lower device valid while the request is out; once removal
           has begun the request would go to a device that is going away, so none is sent. */
        if (NT_SUCCESS(GenericAcquireRemoveLock(&extension->RemoveLock, Irp))) {
            SendCloseRequest(DeviceObject);
            GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
        }
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/* ------------------------------------------------------------------ admission */

static BOOLEAN IsRead(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ;
}

/* The admission record lives in the request's DriverContext while the request is ours. */
static ULONG_PTR AdmissionOf(PIRP Irp) {
    return (ULONG_PTR)Irp->Tail.Overlay.DriverContext[0];
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN read = IsRead(Irp);
    /* A handle opened without a name reads pipe 1 and writes pipe 0 of interface 0. The choice
       is the request's own: the handle's selector is shared by every request on it, and a read
       and a write may be admitted on it at the same time. */
    ULONG_PTR selector =
        file->FileName.Length == 0 ? (ULONG_PTR)(read ? 1 : 0) : (ULONG_PTR)file->FsContext;
    ULONG pipeIndex = (ULONG)(selector & 0xFF);
    ULONG interfaceIndex = (ULONG)((selector >> 8) & 0xFF);

    PIPE_SNAPSHOT pipe;
    switch (LookupPipe(extension, interfaceIndex, pipeIndex, &pipe)) {
        case PipeNoInterface:
            return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        case PipeOutOfRange:
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        case PipeFound:
            break;
    }
    BOOLEAN inEndpoint = (pipe.EndpointAddress & 0x80) != 0;
    if (inEndpoint != read)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    /* With a zero chunk size no chunk would move a byte; with a zero packet size the
       zero-length-packet rule would divide by zero. */
    if (pipe.MaximumTransferSize == 0 || pipe.MaximumPacketSize == 0) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }

    ULONG queue = QueueIndexOfEndpoint(pipe.EndpointAddress);
    Irp->Tail.Overlay.DriverContext[0] = (PVOID)ADMISSION_RECORD(pipeIndex, interfaceIndex, queue);
    IoMarkIrpPending(Irp);
    StartPacket(&extension->Queues[queue], DeviceObject, Irp, CancelQueuedIrp);
    return STATUS_PENDING;
}

VOID CancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    /* The queue the request waits in, whatever the interface table says by now. The index is
       checked all the same before it picks a queue: the request must reach CancelRequest in any
       case, since only that releases the cancel spin lock and ends the request. */
    ULONG queue = ADMISSION_QUEUE(AdmissionOf(Irp));
    if (queue >= VAVEDU_QUEUE_COUNT)
        queue = 0;
    CancelRequest(&DeviceExtensionOf(DeviceObject)->Queues[queue], Irp);
}

/* ------------------------------------------------------------------ the transfer engine */

/*
 * The stages of a request are sent by one sending loop (SendStages), from StartIo or from the
 * completion routine of a stage that completed after its sender had returned. The completion
 * routine of every stage takes the stage in and prepares the next one, or finishes the transfer.
 * When the stage completed while its sender was still inside IofCallDriver (the bus completed it
 * there, on that thread or on another), the completion routine sends nothing: the sender sends
 * the prepared stage once IofCallDriver returns, so the stack never grows with the number of
 * stages, whatever the bus does. A transfer finished meanwhile completes at once; the sender
 * then frees the context and releases the remove lock, since it still reads the context when
 * IofCallDriver returns. StageState decides, per stage, which of the two goes on.
 */
#define STAGE_SENDING 0    /* the sender is inside IofCallDriver */
#define STAGE_NEXT_READY 1 /* completed meanwhile, the next stage prepared: the sender sends */
#define STAGE_FINISHED 2   /* completed meanwhile and the transfer finished: the sender frees */
#define STAGE_SENDER_RETURNED 3 /* in flight: its completion routine goes on alone */

/* Sends the context's request block down on the application's own request. */
static VOID SendStage(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(next, sizeof(*next));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &Context->Urb;
    next->CompletionRoutine = OnTransferComplete;
    next->Context = Context;
    next->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    (VOID) IofCallDriver(DeviceExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

static VOID FillBulkUrb(PTRANSFER_CONTEXT Context, ULONG TransferFlags, ULONG Length, PMDL Mdl) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Context->Urb.UrbBulkOrInterruptTransfer;
    bulk->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk->PipeHandle = Context->PipeHandle;
    bulk->TransferFlags = TransferFlags;
    bulk->TransferBufferLength = Length;
    bulk->TransferBuffer = NULL;
    bulk->TransferBufferMDL = Mdl;
    bulk->UrbLink = NULL;
}

/* The pipe a request was admitted for, if it still is the endpoint of the admitted queue. */
static BOOLEAN AdmittedPipe(PDEVICE_EXTENSION Extension, ULONG_PTR Admission, PIPE_SNAPSHOT* Pipe) {
    return LookupPipe(Extension, ADMISSION_INTERFACE(Admission), ADMISSION_PIPE(Admission), Pipe) ==
               PipeFound &&
           QueueIndexOfEndpoint(Pipe->EndpointAddress) == ADMISSION_QUEUE(Admission) &&
           Pipe->MaximumTransferSize != 0 && Pipe->MaximumPacketSize != 0;
}

/*
 * The chunk size of a request: the pipe's MaximumTransferSize rounded down to a whole number of
 * its packets, at least one packet. A device that sends full packets then never meets an IN
 * stage that ends inside a packet, which would overrun it and lose data.
 */
static ULONG ChunkSizeOf(const PIPE_SNAPSHOT* Pipe) {
    ULONG chunk = Pipe->MaximumTransferSize - Pipe->MaximumTransferSize % Pipe->MaximumPacketSize;
    return chunk != 0 ? chunk : Pipe->MaximumPacketSize;
}

/* Makes the context's request block the zero-length OUT packet. */
static VOID PrepareZeroLengthPacket(PTRANSFER_CONTEXT Context) {
    FillBulkUrb(Context, 0, 0, NULL);
}

/* Makes the context's request block and MDL the next chunk of the request. */
static VOID PrepareNextChunk(PIRP Irp, PTRANSFER_CONTEXT Context) {
    ULONG next =
        Context->BytesRemaining < Context->ChunkSize ? Context->BytesRemaining : Context->ChunkSize;
    PMDL mdl = Context->PartialMdl;
    if (mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED)
        MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
    IoBuildPartialMdl(Irp->MdlAddress, mdl, (PVOID)Context->NextAddress, next);
    Context->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength = next;
    Context->BytesRemaining -= next;
    Context->NextAddress += next;
}

/* The transfer is over: its MDL goes and the queue goes on. */
static VOID EndTransfer(PDEVICE_OBJECT DeviceObject, PTRANSFER_CONTEXT Context) {
    if (Context->PartialMdl != NULL) {
        IoFreeMdl(Context->PartialMdl);
        Context->PartialMdl = NULL;
    }
    /* The queue the request was admitted to goes on, whatever the table says now. */
    StartNextPacket(&DeviceExtensionOf(DeviceObject)->Queues[ADMISSION_QUEUE(Context->Admission)],
                    DeviceObject);
}

/* The last of a request's transfer: the context goes, then the remove lock. */
static VOID ReleaseTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    ExFreePool(Context);
    GenericReleaseRemoveLock(&DeviceExtensionOf(DeviceObject)->RemoveLock, Irp);
}

/*
 * Takes in the stage that just completed. Returns TRUE with the next stage prepared in the
 * context, or FALSE once the transfer is finished: the request's status and byte count are final
 * and EndTransfer has run; what is left is ReleaseTransfer.
 */
static BOOLEAN TakeCompletedStage(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  PTRANSFER_CONTEXT Context) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Context->Urb.UrbBulkOrInterruptTransfer;
    extension->LastUsbdStatus = bulk->Hdr.Status;
    Context->BytesTransferred += bulk->TransferBufferLength;

    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        BOOLEAN out = (bulk->TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0;
        /* Data stages move through the partial MDL; the zero-length packet has none. */
        BOOLEAN moreData = bulk->TransferBufferLength == Context->ChunkSize &&
                           Context->BytesRemaining != 0 && Context->PartialMdl != NULL;
        BOOLEAN zeroLengthPacketDue =
            out && Context->BytesTransferred % Context->MaximumPacketSize == 0 &&
            extension->ZeroLengthPacketMode != 0 && Context->PartialMdl != NULL;
        PIPE_SNAPSHOT pipe;
        if (AdmittedPipe(extension, Context->Admission, &pipe)) {
            if (moreData) {
                PrepareNextChunk(Irp, Context);
                return TRUE;
            }
            if (zeroLengthPacketDue) {
                IoFreeMdl(Context->PartialMdl);
                Context->PartialMdl = NULL;
                PrepareZeroLengthPacket(Context);
                return TRUE;
            }
            Irp->IoStatus.Information = Context->BytesTransferred;
        } else if (out && (moreData || zeroLengthPacketDue)) {
            /* The pipe went away (stop, or another configuration) with part of the write, or
               its zero-length packet, never sent: the write did not happen as asked. */
            Irp->IoStatus.Status = STATUS_NOINTERFACE;
            Irp->IoStatus.Information = 0;
        } else {
            /* A read keeps what arrived; a write whose every byte went out is done. */
            Irp->IoStatus.Information = Context->BytesTransferred;
        }
    }
    /* A failed stage leaves Information as the bus driver set it. */
    EndTransfer(DeviceObject, Context);
    return FALSE;
}

/*
 * Sends the stage prepared in the context, and each next stage that the completion routine of
 * the last one prepared while this loop was still inside IofCallDriver. Returns once a stage is
 * in flight (the request and the context then belong to its completion routine and must not be
 * touched) or once the transfer finished inside the send (after ReleaseTransfer).
 */
static VOID SendStages(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    for (;;) {
        InterlockedExchange(&Context->StageState, STAGE_SENDING);
        SendStage(DeviceObject, Irp, Context);
        LONG state =
            InterlockedCompareExchange(&Context->StageState, STAGE_SENDER_RETURNED, STAGE_SENDING);
        if (state == STAGE_SENDING)
            return;
        if (state == STAGE_FINISHED) {
            ReleaseTransfer(DeviceObject, Irp, Context);
            return;
        }
    }
}

VOID SendZeroLengthPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    PrepareZeroLengthPacket(Context);
    SendStages(DeviceObject, Irp, Context);
}

/* Ends a request StartIo cannot carry out: the queue goes on, then the request completes. */
static VOID FinishEarly(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Queue, NTSTATUS Status) {
    StartNextPacket(&DeviceExtensionOf(DeviceObject)->Queues[Queue], DeviceObject);
    CompleteRequest(Irp, Status, 0);
}

VOID StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ULONG_PTR admission = AdmissionOf(Irp);
    ULONG queue = ADMISSION_QUEUE(admission);

    /* The table may have changed since admission: the pipe must still be there and still be
       the endpoint whose queue the request waits in. */
    PIPE_SNAPSHOT pipe;
    if (!AdmittedPipe(extension, admission, &pipe)) {
        FinishEarly(DeviceObject, Irp, queue, STATUS_NOINTERFACE);
        return;
    }

    NTSTATUS status = GenericAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        FinishEarly(DeviceObject, Irp, queue, status);
        return;
    }

    PTRANSFER_CONTEXT context =
        (PTRANSFER_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(TRANSFER_CONTEXT));
    if (context == NULL) {
        FinishEarly(DeviceObject, Irp, queue, STATUS_INSUFFICIENT_RESOURCES);
        GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
        return;
    }
    RtlZeroMemory(context, sizeof(*context));
    context->Admission = admission;
    context->PipeHandle = pipe.PipeHandle;
    context->ChunkSize = ChunkSizeOf(&pipe);
    context->MaximumPacketSize = pipe.MaximumPacketSize;

    ULONG length = Irp->MdlAddress != NULL ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    BOOLEAN read = IsRead(Irp);
    if (length == 0) {
        if (!read) {
            /* A write of length 0 is one zero-length packet, whatever the mode. */
            SendZeroLengthPacket(DeviceObject, Irp, context);
            return;
        }
        FinishEarly(DeviceObject, Irp, queue, STATUS_SUCCESS);
        ExFreePool(context);
        GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
        return;
    }

    ULONG chunk = length < context->ChunkSize ? length : context->ChunkSize;
    PVOID address = MmGetMdlVirtualAddress(Irp->MdlAddress);
    /* Later chunks reuse this MDL and may span one page more than the first: size it so. */
    PMDL mdl = IoAllocateMdl(address, chunk + PAGE_SIZE, FALSE, FALSE, NULL);
    if (mdl == NULL) {
        ExFreePool(context);
        FinishEarly(DeviceObject, Irp, queue, STATUS_INSUFFICIENT_RESOURCES);
        GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
        return;
    }
    IoBuildPartialMdl(Irp->MdlAddress, mdl, address, chunk);
    FillBulkUrb(context, USBD_SHORT_TRANSFER_OK | (read ? USBD_TRANSFER_DIRECTION_IN : 0), chunk,
                mdl);
    context->PartialMdl = mdl;
    context->BytesTransferred = 0;
    context->BytesRemaining = length - chunk;
    context->NextAddress = (ULONG_PTR)address + chunk;
    SendStages(DeviceObject, Irp, context);
}

NTSTATUS OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextPointer) {
    PTRANSFER_CONTEXT context = (PTRANSFER_CONTEXT)ContextPointer;
    if (TakeCompletedStage(DeviceObject, Irp, context)) {
        /* A sender still inside IofCallDriver sends the next stage once that returns; else this
           routine becomes its sender. Either way the request is the driver's again. */
        if (InterlockedCompareExchange(&context->StageState, STAGE_NEXT_READY, STAGE_SENDING) !=
            STAGE_SENDING) {
            SendStages(DeviceObject, Irp, context);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    /* Finished: the I/O manager goes on completing the request. A sender still inside
       IofCallDriver releases the rest once that returns. */
    NTSTATUS status = Irp->IoStatus.Status;
    if (InterlockedCompareExchange(&context->StageState, STAGE_FINISHED, STAGE_SENDING) !=
        STAGE_SENDING) {
        ReleaseTransfer(DeviceObject, Irp, context);
    }
    return status;
}
