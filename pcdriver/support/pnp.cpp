/*
 * Plug and Play and power for the driver's device.
 *
 * Every request passed down holds the remove lock while it is in flight; IRP_MN_REMOVE_DEVICE
 * gives the lock up and waits for every other holder before it goes down. The driver's callbacks
 * run at PASSIVE_LEVEL: StartDevice once the lower driver has started, StopDevice before a stop
 * goes down, at surprise removal, at removal of a device still started, and after a failing
 * StartDevice so that whatever it set up is undone; RemoveDevice last, after which the device
 * object and this extension are gone.
 */
#include <wdm.h>

#include "pcdriver/support/generic_extension.h"

static NTSTATUS NTAPI OnLowerDriverDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED; /* the request comes back to us */
}

/* Sends the request down and waits until the lower driver is done with it; returns its status.
   The request is ours again afterwards. */
static NTSTATUS ForwardAndWait(PGENERIC_EXTENSION Extension, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnLowerDriverDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

static NTSTATUS PassDown(PGENERIC_EXTENSION Extension, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

/* A request the function driver acts on: it succeeds at this level, then goes down. */
static NTSTATUS SucceedAndPassDown(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Extension, Irp);
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static VOID StopIfStarted(PGENERIC_EXTENSION Extension) {
    if (Extension->DeviceStarted) {
        Extension->DeviceStarted = FALSE;
        if (Extension->StopDevice != NULL) {
            Extension->StopDevice(Extension->Fdo);
        }
    }
}

static NTSTATUS StartDriverPart(PGENERIC_EXTENSION Extension) {
    if (Extension->DeviceStarted || Extension->StartDevice == NULL) {
        Extension->DeviceStarted = TRUE;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = Extension->StartDevice(Extension->Fdo);
    if (NT_SUCCESS(status)) {
        Extension->DeviceStarted = TRUE;
    } else if (Extension->StopDevice != NULL) {
        Extension->StopDevice(Extension->Fdo);
    }
    return status;
}

static NTSTATUS OnStart(PGENERIC_EXTENSION Extension, PIRP Irp) {
    NTSTATUS status = ForwardAndWait(Extension, Irp);
    if (NT_SUCCESS(status)) {
        /* A request still running from before a stop went down on what the stop released, and
           keeps its queue busy, so the driver could not set the device up again: it is
           cancelled and waited for. Requests waiting in the stalled queues stay for the start. */
        FinishRunningRequests(Extension);
        status = StartDriverPart(Extension);
    }
    if (NT_SUCCESS(status)) {
        Extension->PnpState = GenericStarted;
        EnableInterface(Extension);
        ResumeQueues(Extension);
    } else if (Extension->PnpState != GenericNotStarted) {
        Extension->PnpState = GenericStopped;
    }
    return Complete(Irp, status);
}

static NTSTATUS OnQueryStop(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Extension->StateBeforeQuery = Extension->PnpState;
    Extension->PnpState = GenericStopPending;
    StallQueues(Extension);
    return SucceedAndPassDown(Extension, Irp);
}

static NTSTATUS OnCancelStop(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(Extension, Irp);
    if (Extension->PnpState == GenericStopPending) {
        Extension->PnpState = Extension->StateBeforeQuery;
        if (Extension->PnpState == GenericStarted) {
            ResumeQueues(Extension);
        }
    }
    return Complete(Irp, status);
}

static NTSTATUS OnStop(PGENERIC_EXTENSION Extension, PIRP Irp) {
    StallQueues(Extension);
    StopIfStarted(Extension);
    Extension->PnpState = GenericStopped;
    /* The interface stays: open handles and new opens go on while the device is stopped. */
    return SucceedAndPassDown(Extension, Irp);
}

static NTSTATUS OnQueryRemove(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Extension->StateBeforeQuery = Extension->PnpState;
    Extension->PnpState = GenericRemovePending;
    return SucceedAndPassDown(Extension, Irp);
}

static NTSTATUS OnCancelRemove(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(Extension, Irp);
    if (Extension->PnpState == GenericRemovePending) {
        Extension->PnpState = Extension->StateBeforeQuery;
    }
    return Complete(Irp, status);
}

static NTSTATUS OnSurpriseRemoval(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Extension->PnpState = GenericSurpriseRemoved;
    AbortQueues(Extension, STATUS_DELETE_PENDING);
    DisableInterface(Extension);
    StopIfStarted(Extension);
    return SucceedAndPassDown(Extension, Irp);
}

/* Called holding the remove lock once for Irp; gives it up. The extension is gone on return. */
static NTSTATUS OnRemove(PGENERIC_EXTENSION Extension, PIRP Irp) {
    Extension->PnpState = GenericRemoved;
    /* Waiting requests first: they hold the remove lock, and none may start from now on. */
    AbortQueues(Extension, STATUS_DELETE_PENDING);
    IoReleaseRemoveLockAndWait(Extension->RemoveLock, Irp);
    StopIfStarted(Extension);
    DisableInterface(Extension);
    ForgetInterface(Extension);
    Extension->Signature = 0;

    PDEVICE_OBJECT fdo = Extension->Fdo;
    PGENERIC_REMOVE_DEVICE removeDevice = Extension->RemoveDevice;
    NTSTATUS status = SucceedAndPassDown(Extension, Irp);
    if (removeDevice != NULL) {
        removeDevice(fdo); /* deletes the device object, and with it this extension */
    }
    return status;
}

NTSTATUS NTAPI GenericDispatchPnp(PVOID Extension, PIRP Irp) {
    PGENERIC_EXTENSION extension = GenericExtensionOf(Extension);
    if (extension == NULL || extension->Signature != GENERIC_SIGNATURE) {
        return Complete(Irp, STATUS_INVALID_DEVICE_STATE);
    }
    PIO_REMOVE_LOCK lock = extension->RemoveLock;
    NTSTATUS status = IoAcquireRemoveLock(lock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        return Complete(Irp, status);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = OnStart(extension, Irp);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            status = OnQueryStop(extension, Irp);
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = OnCancelStop(extension, Irp);
            break;
        case IRP_MN_STOP_DEVICE:
            status = OnStop(extension, Irp);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            status = OnQueryRemove(extension, Irp);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = OnCancelRemove(extension, Irp);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            status = OnSurpriseRemoval(extension, Irp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            return OnRemove(extension, Irp);
        default:
            status = PassDown(extension, Irp);
            break;
    }
    IoReleaseRemoveLock(lock, Irp);
    return status;
}

NTSTATUS NTAPI GenericDispatchPower(PVOID Extension, PIRP Irp) {
    PGENERIC_EXTENSION extension = GenericExtensionOf(Extension);
    PoStartNextPowerIrp(Irp);
    if (extension == NULL || extension->Signature != GENERIC_SIGNATURE) {
        return Complete(Irp, STATUS_INVALID_DEVICE_STATE);
    }
    PIO_REMOVE_LOCK lock = extension->RemoveLock;
    NTSTATUS status = IoAcquireRemoveLock(lock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        return Complete(Irp, status);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(lock, Irp);
    return status;
}
