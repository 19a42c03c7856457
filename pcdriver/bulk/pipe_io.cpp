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
 * Every stage of a request is sent by one sending loop (SendStages), from StartIo or from the
 * completion routine of a stage that completed after its sender had returned. A stage that
 * completes while its sender is still inside IofCallDriver (the bus completed it there, on that
 * thread or on another) only records that it finished; the sender goes on with the next stage
 * once IofCallDriver returns. So the stack never grows with the number of stages, whatever the
 * bus does. StageState decides, per stage, which of the two goes on.
 */
#define STAGE_SENDING 0           /* the sender is inside IofCallDriver */
#define STAGE_COMPLETED_IN_SEND 1 /* the stage completed meanwhile: the sender goes on */
#define STAGE_SENDER_RETURNED 2   /* the stage is in flight: its completion routine goes on */

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

/* What the request still held: the queue goes on, the context goes, the remove lock goes. */
static VOID FinishTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (Context->PartialMdl != NULL)
        IoFreeMdl(Context->PartialMdl);
    /* The queue the request was admitted to goes on, whatever the table says now. */
    StartNextPacket(&extension->Queues[ADMISSION_QUEUE(Context->Admission)], DeviceObject);
    ExFreePool(Context);
    GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
}

/*
 * Takes in the stage that just completed. Returns TRUE with the next stage prepared in the
 * context, or FALSE once the transfer is finished: the request's status and byte count are final
 * and FinishTransfer has run, so the caller only lets the request complete.
 */
static BOOLEAN TakeCompletedStage(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  PTRANSFER_CONTEXT Context) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Context->Urb.UrbBulkOrInterruptTransfer;
    extension->LastUsbdStatus = bulk->Hdr.Status;
    Context->BytesTransferred += bulk->TransferBufferLength;

    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        BOOLEAN out = (bulk->TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0;
        BOOLEAN moreData =
            bulk->TransferBufferLength == Context->ChunkSize && Context->BytesRemaining != 0;
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
    FinishTransfer(DeviceObject, Irp, Context);
    return FALSE;
}

/*
 * Sends the stage prepared in the context, then every stage after it for as long as each one
 * completes inside its send. Returns TRUE when it finished the transfer (the caller completes the
 * request), FALSE when a stage is in flight: the request and the context then belong to that
 * stage's completion routine and must not be touched.
 */
static BOOLEAN SendStages(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    for (;;) {
        InterlockedExchange(&Context->StageState, STAGE_SENDING);
        SendStage(DeviceObject, Irp, Context);
        if (InterlockedCompareExchange(&Context->StageState, STAGE_SENDER_RETURNED,
                                       STAGE_SENDING) == STAGE_SENDING) {
            return FALSE;
        }
        if (!TakeCompletedStage(DeviceObject, Irp, Context))
            return TRUE;
    }
}

/* Sends the first stage from StartIo; a transfer the sending loop finished completes here. */
static VOID StartStages(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    if (SendStages(DeviceObject, Irp, Context))
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID SendZeroLengthPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context) {
    PrepareZeroLengthPacket(Context);
    StartStages(DeviceObject, Irp, Context);
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
    StartStages(DeviceObject, Irp, context);
}

NTSTATUS OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextPointer) {
    PTRANSFER_CONTEXT context = (PTRANSFER_CONTEXT)ContextPointer;
    /* Completed inside its send: the sending loop takes it in when IofCallDriver returns. */
    if (InterlockedCompareExchange(&context->StageState, STAGE_COMPLETED_IN_SEND, STAGE_SENDING) ==
        STAGE_SENDING) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (!TakeCompletedStage(DeviceObject, Irp, context)) {
        /* Finished: the I/O manager goes on completing the request. */
        return Irp->IoStatus.Status;
    }
    /* Another stage: the request is ours again, and a transfer the loop finishes is completed
       here. */
    if (SendStages(DeviceObject, Irp, context))
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
