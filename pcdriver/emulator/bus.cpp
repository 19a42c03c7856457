/*
 * The bus: load and unload, the root device's functional device object, its Plug and Play
 * requests (start plugs the instrument in; the bus relations report it while it is on the port),
 * and the host controller thread.
 */
#include "pcdriver/emulator/emulator.h"

/* Declared by the file-system kit's headers, which kernel code of this kind does not include. */
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                         PLARGE_INTEGER Timeout);

static DRIVER_UNLOAD EmuUnload;
static DRIVER_ADD_DEVICE EmuAddDevice;
static DRIVER_DISPATCH EmuDispatch;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DbgPrint("VaVeduEmu: instrument emulator loaded\n");
    EmuInstallWineSupport();
    DriverObject->DriverUnload = EmuUnload;
    DriverObject->DriverExtension->AddDevice = EmuAddDevice;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = EmuDispatch;
    return STATUS_SUCCESS;
}

static VOID EmuUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    EmuRemoveWineSupport();
}

NTSTATUS EmuCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* One emulator per machine: the control device's name is unique, so a second root device fails
   here. */
static NTSTATUS EmuAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(EMU_BUS), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    PEMU_BUS bus = (PEMU_BUS)fdo->DeviceExtension;
    RtlZeroMemory(bus, sizeof(*bus));
    bus->Kind = EmuBusObject;
    bus->Fdo = fdo;
    bus->PhysicalDeviceObject = Pdo;
    bus->NextHandle = 0x10000;
    bus->Counters.Size = sizeof(VAVEDU_EMU_COUNTERS);
    bus->Counters.BulkOutHash = VAVEDU_EMU_HASH_START;
    bus->Counters.BulkInHash = VAVEDU_EMU_HASH_START;
    KeInitializeSpinLock(&bus->Lock);
    KeInitializeEvent(&bus->Work, SynchronizationEvent, FALSE);

    bus->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, Pdo);
    status = bus->LowerDeviceObject != NULL ? EmuCreateControlDevice(bus) : STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(status)) {
        if (bus->LowerDeviceObject != NULL)
            IoDetachDevice(bus->LowerDeviceObject);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ the host controller */

VOID EmuKickController(PEMU_BUS Bus) {
    KeSetEvent(&Bus->Work, IO_NO_INCREMENT, FALSE);
}

VOID EmuRequestRelations(PEMU_BUS Bus) {
    Bus->RelationsChanged = TRUE;
    KeSetEvent(&Bus->Work, IO_NO_INCREMENT, FALSE);
}

/*
 * Carries out bulk transfers as the instrument can take or give data, and tells the Plug and
 * Play manager when the port changed. Port changes are reported from here, never from the
 * request that caused them: a kernel that handles the report at once (Wine's does) removes the
 * instrument's device while that request would still hold it.
 */
static VOID EmuController(PVOID Context) {
    PEMU_BUS bus = (PEMU_BUS)Context;
    for (;;) {
        KeWaitForSingleObject(&bus->Work, Executive, KernelMode, FALSE, NULL);
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&bus->Lock, &irql);
        BOOLEAN stopping = bus->Stopping;
        if (!stopping)
            EmuRunTransfersLocked(bus, &done);
        BOOLEAN relations = bus->RelationsChanged && !stopping;
        bus->RelationsChanged = FALSE;
        KeReleaseSpinLock(&bus->Lock, irql);
        EmuFinishTransfers(&done);
        if (stopping)
            break;
        if (relations)
            IoInvalidateDeviceRelations(bus->PhysicalDeviceObject, BusRelations);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* The thread is waited for through its kernel handle, kept until it has ended. */
static NTSTATUS StartController(PEMU_BUS Bus) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return PsCreateSystemThread(&Bus->Controller, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                EmuController, Bus);
}

static VOID StopController(PEMU_BUS Bus) {
    if (Bus->Controller == NULL)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    Bus->Stopping = TRUE;
    KeReleaseSpinLock(&Bus->Lock, irql);
    EmuKickController(Bus);
    ZwWaitForSingleObject(Bus->Controller, FALSE, NULL);
    ZwClose(Bus->Controller);
    Bus->Controller = NULL;
}

/* ------------------------------------------------------------------ Plug and Play */

static NTSTATUS OnStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(PEMU_BUS Bus, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnStartCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Bus->LowerDeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

static NTSTATUS PassDown(PEMU_BUS Bus, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->LowerDeviceObject, Irp);
}

/* The start plugs the instrument in, as a hub reports a device present at power-up. */
static NTSTATUS StartBus(PEMU_BUS Bus, PIRP Irp) {
    NTSTATUS status = ForwardAndWait(Bus, Irp);
    if (NT_SUCCESS(status) && !Bus->Started) {
        status = StartController(Bus);
        if (NT_SUCCESS(status)) {
            Bus->Started = TRUE;
            if (EmuCreatePort(Bus) == NULL)
                DbgPrint("VaVeduEmu: no instrument: its device object could not be created\n");
        }
    }
    return EmuCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

/* The bus relations: the instrument's device while it is on the port, after those of any filter
   above. */
static NTSTATUS ReportChildren(PEMU_BUS Bus, PIRP Irp) {
    PDEVICE_RELATIONS old = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG oldCount = old != NULL ? old->Count : 0;
    SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (oldCount + 1) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations =
        (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, size, EMU_POOL_TAG);
    if (relations == NULL)
        return EmuCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    relations->Count = oldCount;
    for (ULONG i = 0; i < oldCount; i++)
        relations->Objects[i] = old->Objects[i];
    if (old != NULL)
        ExFreePool(old);

    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    PEMU_PORT port = Bus->Port;
    if (port != NULL && port->Connected) {
        ObReferenceObject(port->Pdo);
        relations->Objects[relations->Count++] = port->Pdo;
    }
    KeReleaseSpinLock(&Bus->Lock, irql);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return PassDown(Bus, Irp);
}

/* The root device goes: the instrument's device goes with it. */
static NTSTATUS RemoveBus(PEMU_BUS Bus, PIRP Irp) {
    StopController(Bus);
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    PEMU_PORT port = Bus->Port;
    Bus->PlugWanted = FALSE;
    if (port != NULL)
        EmuUnplugLocked(port, &done);
    KeReleaseSpinLock(&Bus->Lock, irql);
    EmuFinishTransfers(&done);
    if (port != NULL)
        EmuDeletePort(port);
    EmuDeleteControlDevice(Bus);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(Bus, Irp);
    IoDetachDevice(Bus->LowerDeviceObject);
    IoDeleteDevice(Bus->Fdo);
    return status;
}

static NTSTATUS EmuDispatchBusPnp(PEMU_BUS Bus, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartBus(Bus, Irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
                return ReportChildren(Bus, Irp);
            return PassDown(Bus, Irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveBus(Bus, Irp);
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(Bus, Irp);
        default:
            return PassDown(Bus, Irp);
    }
}

static NTSTATUS DispatchBus(PEMU_BUS Bus, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return EmuDispatchBusPnp(Bus, Irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(Bus->LowerDeviceObject, Irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return PassDown(Bus, Irp);
        default:
            return EmuCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* Every device object of the emulator starts its extension with its kind. */
static NTSTATUS EmuDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PVOID extension = DeviceObject->DeviceExtension;
    switch (*(EMU_OBJECT_KIND*)extension) {
        case EmuBusObject:
            return DispatchBus((PEMU_BUS)extension, Irp);
        case EmuPortObject:
            return EmuDispatchPort((PEMU_PORT)extension, Irp);
        case EmuControlObject:
            return EmuDispatchControl((PEMU_CONTROL)extension, Irp);
        default:
            return EmuCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
