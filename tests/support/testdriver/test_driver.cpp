/*
 * SupportTestDriver: a function driver that leans on the support library the way VaVedu does
 * (device extension with a remove lock area and 32 packet queues, the library's extension
 * directly behind it, Plug and Play and power handed over), so the library's behaviour can be
 * watched from applications. Kernel code: it builds for the host model and for Windows.
 *
 * Its callbacks print one line each ("SupportTest: StartDevice", ...), and so does its start
 * routine ("SupportTest: StartIo <queue> <tag>"), so the order of events can be read back.
 */
#include <wdm.h>

#include "pcdriver/bulk/outside/support_library.h"
#include "tests/support/testdriver/support_test_ioctl.h"

#define TEST_TAG 0x54707553u /* "SupT" */

typedef struct _TEST_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    ULONG_PTR RemoveLock[4]; /* 32 bytes, the library's */
    PVOID GenericExtension;
    ULONG QueueCount;
    PACKET_QUEUE Queues[SUPPORT_TEST_QUEUES];
    PIRP volatile Held[SUPPORT_TEST_QUEUES];    /* the request each start routine keeps */
    LONG volatile Running[SUPPORT_TEST_QUEUES]; /* calls of each start routine under way */
    PVOID volatile StartBlock;                  /* allocated by StartDevice, freed by StopDevice */
    LONG volatile LockKept;
    KSPIN_LOCK StackLock;
    ULONG_PTR StackLow;
    ULONG_PTR StackHigh;
    ULONG Starts;
    BOOLEAN DeletesItself; /* no remove callback, or a device the library refused */
} TEST_EXTENSION, *PTEST_EXTENSION;

static UNICODE_STRING g_RegistryPath;

static PTEST_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return (PTEST_EXTENSION)DeviceObject->DeviceExtension;
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* A REG_DWORD directly under the service key, 0 when absent. */
static ULONG ReadSetting(PCWSTR Name) {
    ULONG value = 0;
    ULONG zero = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    memset(table, 0, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = (PWSTR)Name;
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &zero;
    table[0].DefaultLength = sizeof(ULONG);
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, g_RegistryPath.Buffer,
                           table, NULL, NULL);
    return value;
}

/* ------------------------------------------------------------------ start routine and cancel */

static const SUPPORT_TEST_PACKET* PacketOf(PIRP Irp) {
    return (const SUPPORT_TEST_PACKET*)Irp->AssociatedIrp.SystemBuffer;
}

static VOID NoteStackDepth(PTEST_EXTENSION Ext) {
    ULONG_PTR frame = (ULONG_PTR)__builtin_frame_address(0);
    KIRQL irql;
    KeAcquireSpinLock(&Ext->StackLock, &irql);
    if (Ext->Starts == 0 || frame < Ext->StackLow) {
        Ext->StackLow = frame;
    }
    if (Ext->Starts == 0 || frame > Ext->StackHigh) {
        Ext->StackHigh = frame;
    }
    ++Ext->Starts;
    KeReleaseSpinLock(&Ext->StackLock, irql);
}

static VOID NTAPI CancelQueued(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTEST_EXTENSION ext = ExtensionOf(DeviceObject);
    ULONG queue = PacketOf(Irp)->Queue;
    if (PacketOf(Irp)->Mode == SUPPORT_TEST_CANCEL_NAMES_NEXT_QUEUE) {
        queue = (queue + 1) % ext->QueueCount;
    }
    if (PacketOf(Irp)->Mode == SUPPORT_TEST_SLOW_CANCEL) {
        DbgPrint("SupportTest: slow cancel\n");
        for (ULONG waited = 0; waited < 300; ++waited) {
            KeStallExecutionProcessor(1000);
        }
    }
    CancelRequest(&ext->Queues[queue], Irp);
}

/* Stays until the held request of the queue has been released; the request may be gone then. */
static VOID WaitForRelease(PTEST_EXTENSION Ext, ULONG Queue) {
    for (ULONG waited = 0; Ext->Held[Queue] != NULL && waited < 20 * 1000 * 1000; waited += 10) {
        KeStallExecutionProcessor(10);
    }
}

static VOID CarryOut(PTEST_EXTENSION Ext, PIRP Irp, const SUPPORT_TEST_PACKET* Packet) {
    NTSTATUS status = GenericAcquireRemoveLock(Ext->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        StartNextPacket(&Ext->Queues[Packet->Queue], Ext->Self);
        CompleteRequest(Irp, status, 0);
        return;
    }
    if (Packet->Mode == SUPPORT_TEST_PARK) {
        /* The queue goes on; the request stays with the driver, cancellable. */
        StartNextPacket(&Ext->Queues[Packet->Queue], Ext->Self);
        GenericReleaseRemoveLock(Ext->RemoveLock, Irp);
        IoSetCancelRoutine(Irp, CancelQueued);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            CompleteRequest(Irp, STATUS_CANCELLED, 0);
        }
        return;
    }
    if (Packet->Mode != SUPPORT_TEST_COMPLETE &&
        Packet->Mode != SUPPORT_TEST_CANCEL_NAMES_NEXT_QUEUE &&
        Packet->Mode != SUPPORT_TEST_SLOW_CANCEL) {
        Ext->Held[Packet->Queue] = Irp;
        if (Packet->Mode == SUPPORT_TEST_HOLD_INSIDE) {
            WaitForRelease(Ext, Packet->Queue);
        }
        return;
    }
    StartNextPacket(&Ext->Queues[Packet->Queue], Ext->Self);
    *(ULONG*)Irp->AssociatedIrp.SystemBuffer = Packet->Tag;
    CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
    GenericReleaseRemoveLock(Ext->RemoveLock, Irp);
}

static VOID NTAPI StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTEST_EXTENSION ext = ExtensionOf(DeviceObject);
    SUPPORT_TEST_PACKET packet = *PacketOf(Irp);
    NoteStackDepth(ext);
    DbgPrint("SupportTest: StartIo %u %u\n", (unsigned)packet.Queue, (unsigned)packet.Tag);
    if (InterlockedIncrement(&ext->Running[packet.Queue]) != 1) {
        DbgPrint("SupportTest: StartIo overlap %u\n", (unsigned)packet.Queue);
    }
    CarryOut(ext, Irp, &packet);
    InterlockedDecrement(&ext->Running[packet.Queue]);
}

/* ------------------------------------------------------------------ device control */

static NTSTATUS QueuePacket(PTEST_EXTENSION Ext, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(SUPPORT_TEST_PACKET) ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG) ||
        PacketOf(Irp)->Queue >= Ext->QueueCount) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG mode = PacketOf(Irp)->Mode;
    IoMarkIrpPending(Irp);
    if (mode == SUPPORT_TEST_CANCELLED_FIRST) {
        IoCancelIrp(Irp); /* as an application's cancel that comes before the queue */
    }
    StartPacket(&Ext->Queues[PacketOf(Irp)->Queue], Ext->Self, Irp,
                mode == SUPPORT_TEST_NO_CANCEL_ROUTINE ? NULL : CancelQueued);
    return STATUS_PENDING;
}

static NTSTATUS ReleaseHeld(PTEST_EXTENSION Ext, PIRP Irp, PIO_STACK_LOCATION Stack) {
    const SUPPORT_TEST_RELEASE* release =
        (const SUPPORT_TEST_RELEASE*)Irp->AssociatedIrp.SystemBuffer;
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(*release) ||
        release->Queue >= Ext->QueueCount) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG queue = release->Queue;
    NTSTATUS status = release->Status;
    PIRP held = (PIRP)InterlockedExchangePointer((PVOID volatile*)&Ext->Held[queue], NULL);
    if (held == NULL) {
        return CompleteRequest(Irp, STATUS_NOT_FOUND, 0);
    }
    ULONG tag = PacketOf(held)->Tag;
    StartNextPacket(&Ext->Queues[queue], Ext->Self);
    *(ULONG*)held->AssociatedIrp.SystemBuffer = tag;
    CompleteRequest(held, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
    GenericReleaseRemoveLock(Ext->RemoveLock, held);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ReportBusy(PTEST_EXTENSION Ext, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(ULONG)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG busy = 0;
    for (ULONG i = 0; i < Ext->QueueCount; ++i) {
        /* The test VaVedu makes: the pointer-sized word at byte 40 of the queue. */
        if (*(PVOID volatile*)((PUCHAR)&Ext->Queues[i] + 40) != NULL) {
            busy |= 1u << i;
        }
    }
    *(ULONG*)Irp->AssociatedIrp.SystemBuffer = busy;
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

static NTSTATUS HoldLock(PTEST_EXTENSION Ext, PIRP Irp) {
    if (InterlockedCompareExchange(&Ext->LockKept, 1, 0) != 0) {
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY, 0);
    }
    NTSTATUS status = GenericAcquireRemoveLock(Ext->RemoveLock, (PVOID)&Ext->LockKept);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&Ext->LockKept, 0);
    }
    return CompleteRequest(Irp, status, 0);
}

static NTSTATUS DropLock(PTEST_EXTENSION Ext, PIRP Irp) {
    if (InterlockedCompareExchange(&Ext->LockKept, 0, 1) != 1) {
        return CompleteRequest(Irp, STATUS_NOT_FOUND, 0);
    }
    GenericReleaseRemoveLock(Ext->RemoveLock, (PVOID)&Ext->LockKept);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ProbeLock(PTEST_EXTENSION Ext, PIRP Irp) {
    NTSTATUS status = GenericAcquireRemoveLock(Ext->RemoveLock, Irp);
    if (NT_SUCCESS(status)) {
        GenericReleaseRemoveLock(Ext->RemoveLock, Irp);
    }
    return CompleteRequest(Irp, status, 0);
}

static NTSTATUS RegisterAgain(PTEST_EXTENSION Ext, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ULONG)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG how = *(const ULONG*)Irp->AssociatedIrp.SystemBuffer;
    if (how == SUPPORT_TEST_REGISTER_FOREIGN) {
        ULONG size = GetSizeofGenericExtension();
        PVOID foreign = ExAllocatePoolWithTag(NonPagedPool, size, TEST_TAG);
        if (foreign == NULL) {
            return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        memset(foreign, 0, size);
        NTSTATUS status = GenericRegisterInterface(foreign, &GUID_SUPPORT_TEST_INTERFACE);
        ExFreePool(foreign);
        return CompleteRequest(Irp, status, 0);
    }
    PVOID library = how == SUPPORT_TEST_REGISTER_NO_EXTENSION ? NULL : Ext->GenericExtension;
    const GUID* guid = how == SUPPORT_TEST_REGISTER_NO_CLASS ? NULL : &GUID_SUPPORT_TEST_INTERFACE;
    return CompleteRequest(Irp, GenericRegisterInterface(library, guid), 0);
}

static NTSTATUS ReportStack(PTEST_EXTENSION Ext, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(SUPPORT_TEST_STACK)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    SUPPORT_TEST_STACK* report = (SUPPORT_TEST_STACK*)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    KeAcquireSpinLock(&Ext->StackLock, &irql);
    report->Span = Ext->Starts == 0 ? 0 : Ext->StackHigh - Ext->StackLow;
    report->Starts = Ext->Starts;
    report->Reserved = 0;
    Ext->Starts = 0;
    KeReleaseSpinLock(&Ext->StackLock, irql);
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(*report));
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTEST_EXTENSION ext = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SUPPORT_TEST_QUEUE:
            return QueuePacket(ext, Irp, stack);
        case IOCTL_SUPPORT_TEST_RELEASE:
            return ReleaseHeld(ext, Irp, stack);
        case IOCTL_SUPPORT_TEST_BUSY:
            return ReportBusy(ext, Irp, stack);
        case IOCTL_SUPPORT_TEST_HOLD_LOCK:
            return HoldLock(ext, Irp);
        case IOCTL_SUPPORT_TEST_DROP_LOCK:
            return DropLock(ext, Irp);
        case IOCTL_SUPPORT_TEST_PROBE_LOCK:
            return ProbeLock(ext, Irp);
        case IOCTL_SUPPORT_TEST_STACK:
            return ReportStack(ext, Irp, stack);
        case IOCTL_SUPPORT_TEST_REGISTER:
            return RegisterAgain(ext, Irp, stack);
        default:
            return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/* What StartDevice left, when no StopDevice took it back. */
static VOID FreeStartBlock(PTEST_EXTENSION Ext) {
    PVOID block = InterlockedExchangePointer(&Ext->StartBlock, NULL);
    if (block != NULL) {
        ExFreePool(block);
    }
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTEST_EXTENSION ext = ExtensionOf(DeviceObject);
    BOOLEAN deleteHere = ext->DeletesItself &&
                         IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    PDEVICE_OBJECT lower = ext->Lower;
    NTSTATUS status = GenericDispatchPnp(ext->GenericExtension, Irp);
    if (deleteHere) {
        DbgPrint("SupportTest: device deleted by the driver\n");
        FreeStartBlock(ext);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return GenericDispatchPower(ExtensionOf(DeviceObject)->GenericExtension, Irp);
}

/* ------------------------------------------------------------------ callbacks of the library */

static NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT Fdo) {
    PTEST_EXTENSION ext = ExtensionOf(Fdo);
    /* Something to undo, so that a start that fails half-way shows whether it is undone. */
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 64, TEST_TAG);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID old = InterlockedExchangePointer(&ext->StartBlock, block);
    if (old != NULL) {
        ExFreePool(old);
    }
    NTSTATUS status = (NTSTATUS)ReadSetting((PCWSTR)SUPPORT_TEST_FAIL_START_NAME);
    if (!NT_SUCCESS(status)) {
        DbgPrint("SupportTest: StartDevice failed 0x%08X\n", (unsigned)status);
        return status;
    }
    DbgPrint("SupportTest: StartDevice\n");
    return STATUS_SUCCESS;
}

static VOID NTAPI StopDevice(PDEVICE_OBJECT Fdo) {
    DbgPrint("SupportTest: StopDevice\n");
    FreeStartBlock(ExtensionOf(Fdo));
}

static VOID NTAPI RemoveDevice(PDEVICE_OBJECT Fdo) {
    DbgPrint("SupportTest: RemoveDevice\n");
    FreeStartBlock(ExtensionOf(Fdo));
    IoDetachDevice(ExtensionOf(Fdo)->Lower);
    IoDeleteDevice(Fdo);
}

/* ------------------------------------------------------------------ device creation */

static const WCHAR g_DebugName[] = {'S', 'u', 'p', 'p', 'o', 'r', 't', 'T', 'e', 's', 't', 0};

static VOID DescribeDevice(PTEST_EXTENSION Ext, PGENERIC_INIT_BLOCK Block, ULONG Omitted) {
    memset(Block, 0, sizeof(*Block));
    Block->Size = GENERIC_INIT_BLOCK_SIZE;
    Block->DeviceObject = Ext->Self;
    Block->Pdo = Ext->Pdo;
    Block->LowerDeviceObject = Ext->Lower;
    Block->RemoveLock = Ext->RemoveLock;
    Block->StartDevice = (Omitted & SUPPORT_TEST_OMIT_START) ? NULL : StartDevice;
    Block->StopDevice = (Omitted & SUPPORT_TEST_OMIT_STOP) ? NULL : StopDevice;
    Block->RemoveDevice = (Omitted & SUPPORT_TEST_OMIT_REMOVE) ? NULL : RemoveDevice;
    RtlInitUnicodeString(&Block->DebugName, g_DebugName);
    Block->Options = 0x20;
    Block->NumberOfQueues = SUPPORT_TEST_QUEUES;
    for (ULONG i = 0; i < SUPPORT_TEST_QUEUES; ++i) {
        Block->Queues[i].Queue = &Ext->Queues[i];
        Block->Queues[i].StartIo = StartIo;
    }
}

/* Spoils the block as the service key asks, to see the library refuse it. */
static VOID SpoilBlock(PGENERIC_INIT_BLOCK Block, ULONG How) {
    switch (How) {
        case SUPPORT_TEST_BLOCK_SIZE_ZERO:
            Block->Size = 0;
            break;
        case SUPPORT_TEST_BLOCK_SIZE_SHORT:
            Block->Size = GENERIC_INIT_BLOCK_SIZE - 1;
            break;
        case SUPPORT_TEST_BLOCK_SIZE_LONG:
            Block->Size = GENERIC_INIT_BLOCK_SIZE + 1;
            break;
        case SUPPORT_TEST_BLOCK_33_QUEUES:
            Block->NumberOfQueues = 33;
            break;
        case SUPPORT_TEST_BLOCK_MANY_QUEUES:
            Block->NumberOfQueues = 0xFFFFFFFFu;
            break;
        case SUPPORT_TEST_BLOCK_NO_QUEUES:
            Block->NumberOfQueues = 0;
            break;
        case SUPPORT_TEST_BLOCK_NO_START_IO:
            Block->Queues[4].StartIo = NULL;
            break;
        case SUPPORT_TEST_BLOCK_NO_LOCK:
            Block->RemoveLock = NULL;
            break;
        case SUPPORT_TEST_BLOCK_NO_DEVICE:
            Block->DeviceObject = NULL;
            break;
        case SUPPORT_TEST_BLOCK_NO_PDO:
            Block->Pdo = NULL;
            break;
        case SUPPORT_TEST_BLOCK_NO_LOWER:
            Block->LowerDeviceObject = NULL;
            break;
        case SUPPORT_TEST_BLOCK_NO_QUEUE_AREA:
            Block->Queues[4].Queue = NULL;
            break;
        default:
            break;
    }
}

/* Hands the device to the library as the service key says; the status is the library's. */
static NTSTATUS TakeIntoLibrary(PTEST_EXTENSION Ext) {
    GENERIC_INIT_BLOCK block;
    ULONG spoil = ReadSetting((PCWSTR)SUPPORT_TEST_CORRUPT_BLOCK_NAME);
    DescribeDevice(Ext, &block, ReadSetting((PCWSTR)SUPPORT_TEST_OMIT_CALLBACKS_NAME));
    SpoilBlock(&block, spoil);
    Ext->QueueCount = block.NumberOfQueues;
    if (spoil == SUPPORT_TEST_BLOCK_NO_EXTENSION) {
        Ext->GenericExtension = NULL;
    }
    PVOID library = spoil == SUPPORT_TEST_BLOCK_MISALIGNED ? (PUCHAR)Ext->GenericExtension + 1
                                                           : Ext->GenericExtension;
    return InitializeGenericExtension(library, spoil == SUPPORT_TEST_BLOCK_NONE ? NULL : &block);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(TEST_EXTENSION) + GetSizeofGenericExtension(), NULL,
                       FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PTEST_EXTENSION ext = ExtensionOf(fdo);
    ext->Self = fdo;
    ext->Pdo = Pdo;
    KeInitializeSpinLock(&ext->StackLock);
    fdo->Flags |= DO_BUFFERED_IO;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (ext->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    ext->GenericExtension = ext + 1;
    ext->DeletesItself =
        (ReadSetting((PCWSTR)SUPPORT_TEST_OMIT_CALLBACKS_NAME) & SUPPORT_TEST_OMIT_REMOVE) != 0;

    status = TakeIntoLibrary(ext);
    if (!NT_SUCCESS(status)) {
        DbgPrint("SupportTest: InitializeGenericExtension failed 0x%08X\n", (unsigned)status);
        if (ReadSetting((PCWSTR)SUPPORT_TEST_KEEP_REFUSED_NAME) != 0) {
            ext->DeletesItself = TRUE;
            fdo->Flags &= ~DO_DEVICE_INITIALIZING;
            return STATUS_SUCCESS;
        }
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(fdo);
        return status;
    }
    if (ReadSetting((PCWSTR)SUPPORT_TEST_REGISTER_LATE_NAME) == 0) {
        GenericRegisterInterface(ext->GenericExtension, &GUID_SUPPORT_TEST_INTERFACE);
    }
    if (ReadSetting((PCWSTR)SUPPORT_TEST_GIVE_UP_NAME) != 0) {
        /* Cleaning up twice, or without an extension, must do no harm. */
        CleanupGenericExtension(ext->GenericExtension);
        CleanupGenericExtension(ext->GenericExtension);
        CleanupGenericExtension(NULL);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ driver */

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    RtlFreeUnicodeString(&g_RegistryPath);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    /* The path lives only for this call and is not NUL-terminated: keep a terminated copy. */
    USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    g_RegistryPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, TEST_TAG);
    if (g_RegistryPath.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_RegistryPath.Length = 0;
    g_RegistryPath.MaximumLength = size;
    RtlCopyUnicodeString(&g_RegistryPath, RegistryPath);
    g_RegistryPath.Buffer[RegistryPath->Length / sizeof(WCHAR)] = 0;

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}
