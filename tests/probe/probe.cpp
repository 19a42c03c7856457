// VaVeduProbe: a small function driver that exercises the model's loader, the Plug and Play
// manager's side and the application calls. Kernel code: it builds for the host model and for
// Windows from this one source.
#include <wdm.h>

#include "tests/probe/probe_ioctl.h"

#define PROBE_TAG 0x626F7250u /* "Prob" */

typedef struct _PROBE_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceEnabled;
    PIRP Held; /* the held request; guarded by the cancel spin lock */
} PROBE_EXTENSION, *PPROBE_EXTENSION;

/* The file name a handle was opened with, kept in its FsContext. */
typedef struct _PROBE_FILE_CONTEXT {
    USHORT Length; /* bytes */
    WCHAR Name[1];
} PROBE_FILE_CONTEXT, *PPROBE_FILE_CONTEXT;

static ULONG g_LoadCount;
static ULONG g_InitialisedData = 0x50524F42u;
static ULONG g_RegistryValue;
static ULONG g_FailEntry;
static ULONG g_LeakOnUnload;
static UNICODE_STRING g_RegistryPath;

static PPROBE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return (PPROBE_EXTENSION)DeviceObject->DeviceExtension;
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* ------------------------------------------------------------------ held requests */

static VOID NTAPI CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPROBE_EXTENSION ext = ExtensionOf(DeviceObject);
    if (ext->Held == Irp) {
        ext->Held = NULL;
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

/* Takes the held request (of `File`, or any when File is null) away from its cancel routine.
   Returns null when none is held or its cancel routine is about to run. */
static PIRP TakeHeld(PPROBE_EXTENSION ext, PFILE_OBJECT File) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = ext->Held;
    if (irp != NULL && File != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != File) {
        irp = NULL;
    }
    if (irp != NULL) {
        ext->Held = NULL;
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            irp = NULL; /* being cancelled: the cancel routine completes it */
        }
    }
    IoReleaseCancelSpinLock(irql);
    return irp;
}

static NTSTATUS Hold(PPROBE_EXTENSION ext, PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (ext->Held != NULL) {
        IoReleaseCancelSpinLock(irql);
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY, 0);
    }
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelHeld);
    ext->Held = Irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

/* ------------------------------------------------------------------ application requests */

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    USHORT length = file->FileName.Length;
    PPROBE_FILE_CONTEXT context = (PPROBE_FILE_CONTEXT)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(PROBE_FILE_CONTEXT) + length, PROBE_TAG);
    if (context == NULL) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    context->Length = length;
    if (length != 0) {
        memcpy(context->Name, file->FileName.Buffer, length);
    }
    file->FsContext = context;
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIRP held = TakeHeld(ExtensionOf(DeviceObject), IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (held != NULL) {
        CompleteRequest(held, STATUS_CANCELLED, 0);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file->FsContext != NULL) {
        ExFreePool(file->FsContext);
        file->FsContext = NULL;
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    PUCHAR buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    if (buffer == NULL) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    ULONG count = length < PROBE_READ_PATTERN_LENGTH ? length : PROBE_READ_PATTERN_LENGTH;
    memcpy(buffer, PROBE_READ_PATTERN, count);
    return CompleteRequest(Irp, STATUS_SUCCESS, count);
}

static NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS,
                           IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length);
}

static NTSTATUS GetFileName(PIRP Irp, ULONG outputLength) {
    PPROBE_FILE_CONTEXT context =
        (PPROBE_FILE_CONTEXT)IoGetCurrentIrpStackLocation(Irp)->FileObject->FsContext;
    if (outputLength < context->Length) {
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    if (context->Length != 0) {
        memcpy(Irp->AssociatedIrp.SystemBuffer, context->Name, context->Length);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, context->Length);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPROBE_EXTENSION ext = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_PROBE_GET_INFO: {
            if (outputLength < sizeof(PROBE_INFO)) {
                return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            PROBE_INFO* info = (PROBE_INFO*)Irp->AssociatedIrp.SystemBuffer;
            info->LoadCount = g_LoadCount;
            info->DataWasFresh = g_InitialisedData == 0x50524F43u;
            info->RegistryValue = g_RegistryValue;
            return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(PROBE_INFO));
        }
        case IOCTL_PROBE_GET_FILE_NAME:
            return GetFileName(Irp, outputLength);
        case IOCTL_PROBE_HOLD:
            return Hold(ext, Irp);
        case IOCTL_PROBE_RELEASE: {
            PIRP held = TakeHeld(ext, NULL);
            if (held == NULL) {
                return CompleteRequest(Irp, STATUS_NOT_FOUND, 0);
            }
            CompleteRequest(held, STATUS_SUCCESS, 0);
            return CompleteRequest(Irp, STATUS_SUCCESS, 0);
        }
        default:
            return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ------------------------------------------------------------------ Plug and Play and power */

static NTSTATUS NTAPI OnLowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request down and waits until the lower drivers are done with it. */
static NTSTATUS ForwardAndWait(PPROBE_EXTENSION ext, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnLowerDone, &done, TRUE, TRUE, TRUE);
    if (IofCallDriver(ext->Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

static VOID SetInterface(PPROBE_EXTENSION ext, BOOLEAN enable) {
    if (ext->InterfaceEnabled != enable) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, enable);
        ext->InterfaceEnabled = enable;
    }
}

static NTSTATUS PassDown(PPROBE_EXTENSION ext, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(ext->Lower, Irp);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPROBE_EXTENSION ext = ExtensionOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(ext, Irp);
            if (NT_SUCCESS(status)) {
                SetInterface(ext, TRUE);
            }
            return CompleteRequest(Irp, status, 0);
        }
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            SetInterface(ext, FALSE);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext, Irp);
        case IRP_MN_REMOVE_DEVICE: {
            SetInterface(ext, FALSE);
            PIRP held = TakeHeld(ext, NULL);
            if (held != NULL) {
                CompleteRequest(held, STATUS_CANCELLED, 0);
            }
            Irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(ext, Irp);
            RtlFreeUnicodeString(&ext->InterfaceName);
            IoDetachDevice(ext->Lower);
            IoDeleteDevice(DeviceObject);
            return status;
        }
        default:
            return PassDown(ext, Irp);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ExtensionOf(DeviceObject)->Lower, Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PROBE_EXTENSION), NULL,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PPROBE_EXTENSION ext = ExtensionOf(fdo);
    ext->Self = fdo;
    ext->Pdo = Pdo;
    fdo->Flags |= DO_DIRECT_IO;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (ext->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    status =
        IoRegisterDeviceInterface(Pdo, &GUID_VAVEDU_PROBE_INTERFACE, NULL, &ext->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ load and unload */

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    DbgPrint("VaVeduProbe: DriverUnload\n");
    if (g_LeakOnUnload == 0) {
        RtlFreeUnicodeString(&g_RegistryPath);
    }
}

/* Reads the probe's REG_DWORD values directly under its service key. */
static VOID ReadSettings(VOID) {
    ULONG defaultValue = 7;
    ULONG zero = 0;
    RTL_QUERY_REGISTRY_TABLE table[4];
    memset(table, 0, sizeof(table));
    PWSTR names[3] = {(PWSTR)PROBE_VALUE_NAME, (PWSTR)PROBE_FAIL_ENTRY_NAME,
                      (PWSTR)PROBE_LEAK_NAME};
    PVOID targets[3] = {&g_RegistryValue, &g_FailEntry, &g_LeakOnUnload};
    for (int i = 0; i < 3; ++i) {
        table[i].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[i].Name = names[i];
        table[i].EntryContext = targets[i];
        table[i].DefaultType = REG_DWORD;
        table[i].DefaultData = i == 0 ? &defaultValue : &zero;
        table[i].DefaultLength = sizeof(ULONG);
    }
    g_RegistryValue = defaultValue;
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, g_RegistryPath.Buffer,
                           table, NULL, NULL);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DbgPrint("VaVeduProbe: DriverEntry\n");
    ++g_LoadCount;
    ++g_InitialisedData;
    DbgPrint("VaVeduProbe: load %d\n", (int)g_LoadCount);

    /* The path is not NUL-terminated and lives only for this call: keep a terminated copy. */
    USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    g_RegistryPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, PROBE_TAG);
    if (g_RegistryPath.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_RegistryPath.Length = 0;
    g_RegistryPath.MaximumLength = size;
    RtlCopyUnicodeString(&g_RegistryPath, RegistryPath);
    g_RegistryPath.Buffer[RegistryPath->Length / sizeof(WCHAR)] = 0;

    ReadSettings();
    DbgPrint("VaVeduProbe: ProbeValue %d\n", (int)g_RegistryValue);
    if (g_FailEntry != 0) {
        RtlFreeUnicodeString(&g_RegistryPath);
        return (NTSTATUS)g_FailEntry;
    }

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}
