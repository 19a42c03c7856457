/*
 * The per-device extension of the support library: taking a device in, its remove lock and its
 * device interface.
 */
#include <wdm.h>
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

#include "pcdriver/platform_layout.h"
#include "pcdriver/support/generic_extension.h"

static_assert(sizeof(IO_REMOVE_LOCK) == 32, "the driver reserves 32 bytes for the remove lock");

ULONG NTAPI GetSizeofGenericExtension(VOID) {
    return sizeof(GENERIC_EXTENSION);
}

static BOOLEAN InitBlockIsValid(PVOID Extension, const GENERIC_INIT_BLOCK* Block) {
    if (Extension == NULL || ((ULONG_PTR)Extension % sizeof(PVOID)) != 0 || Block == NULL) {
        return FALSE;
    }
    if (Block->Size != GENERIC_INIT_BLOCK_SIZE || Block->NumberOfQueues > GENERIC_MAX_QUEUES) {
        return FALSE;
    }
    if (Block->DeviceObject == NULL || Block->Pdo == NULL || Block->LowerDeviceObject == NULL ||
        Block->RemoveLock == NULL) {
        return FALSE;
    }
    for (ULONG i = 0; i < Block->NumberOfQueues; ++i) {
        if (Block->Queues[i].Queue == NULL || Block->Queues[i].StartIo == NULL) {
            return FALSE;
        }
    }
    return TRUE;
}

NTSTATUS NTAPI InitializeGenericExtension(PVOID Extension, PGENERIC_INIT_BLOCK Block) {
    if (!InitBlockIsValid(Extension, Block)) {
        return STATUS_INVALID_PARAMETER;
    }
    PGENERIC_EXTENSION extension = GenericExtensionOf(Extension);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Fdo = Block->DeviceObject;
    extension->Pdo = Block->Pdo;
    extension->LowerDevice = Block->LowerDeviceObject;
    extension->RemoveLock = (PIO_REMOVE_LOCK)Block->RemoveLock;
    extension->StartDevice = Block->StartDevice;
    extension->StopDevice = Block->StopDevice;
    extension->RemoveDevice = Block->RemoveDevice;
    extension->QueueCount = Block->NumberOfQueues;
    extension->PnpState = GenericNotStarted;
    IoInitializeRemoveLock(extension->RemoveLock, GENERIC_REMOVE_LOCK_TAG, 0, 0);
    for (ULONG i = 0; i < extension->QueueCount; ++i) {
        extension->Queues[i] = QueueStateOf(Block->Queues[i].Queue);
        InitializeQueueState(extension->Queues[i], extension, Block->Queues[i].StartIo);
    }
    extension->Signature = GENERIC_SIGNATURE;
    return STATUS_SUCCESS;
}

VOID NTAPI CleanupGenericExtension(PVOID Extension) {
    PGENERIC_EXTENSION extension = GenericExtensionOf(Extension);
    if (extension == NULL || extension->Signature != GENERIC_SIGNATURE) {
        return;
    }
    DisableInterface(extension);
    ForgetInterface(extension);
    extension->Signature = 0;
}

static NTSTATUS RegisterInterface(PGENERIC_EXTENSION Extension) {
    NTSTATUS status = IoRegisterDeviceInterface(Extension->Pdo, &Extension->InterfaceClass, NULL,
                                                &Extension->InterfaceName);
    if (NT_SUCCESS(status)) {
        Extension->InterfaceRegistered = TRUE;
    }
    return status;
}

NTSTATUS NTAPI GenericRegisterInterface(PVOID Extension, const GUID* InterfaceClassGuid) {
    PGENERIC_EXTENSION extension = GenericExtensionOf(Extension);
    if (extension == NULL || extension->Signature != GENERIC_SIGNATURE ||
        InterfaceClassGuid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (extension->InterfaceRegistered) {
        return STATUS_OBJECT_NAME_COLLISION; /* one interface per device */
    }
    extension->InterfaceClass = *InterfaceClassGuid;
    extension->InterfaceClassKnown = TRUE;
    NTSTATUS status = RegisterInterface(extension);
    if (NT_SUCCESS(status) && extension->PnpState == GenericStarted) {
        EnableInterface(extension);
    }
    return status;
}

/*
 * A registration that failed (low memory while the device was taken in) is tried again when the
 * device starts, so the device does not stay invisible to applications until it is plugged in
 * again.
 */
VOID EnableInterface(PGENERIC_EXTENSION Extension) {
    if (!Extension->InterfaceRegistered && Extension->InterfaceClassKnown) {
        (VOID) RegisterInterface(Extension);
    }
    if (Extension->InterfaceRegistered && !Extension->InterfaceEnabled &&
        NT_SUCCESS(IoSetDeviceInterfaceState(&Extension->InterfaceName, TRUE))) {
        Extension->InterfaceEnabled = TRUE;
    }
}

VOID DisableInterface(PGENERIC_EXTENSION Extension) {
    if (Extension->InterfaceEnabled) {
        IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
        Extension->InterfaceEnabled = FALSE;
    }
}

VOID ForgetInterface(PGENERIC_EXTENSION Extension) {
    if (Extension->InterfaceRegistered) {
        RtlFreeUnicodeString(&Extension->InterfaceName);
        Extension->InterfaceRegistered = FALSE;
    }
}

NTSTATUS NTAPI GenericAcquireRemoveLock(PVOID RemoveLock, PVOID Tag) {
    return IoAcquireRemoveLock((PIO_REMOVE_LOCK)RemoveLock, Tag);
}

VOID NTAPI GenericReleaseRemoveLock(PVOID RemoveLock, PVOID Tag) {
    IoReleaseRemoveLock((PIO_REMOVE_LOCK)RemoveLock, Tag);
}
