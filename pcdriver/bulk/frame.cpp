/*
 * Driver frame: load-time set-up and the driver-wide settings, the dispatch table, the device
 * object and its record, and the requests that only pass through.
 */
#include "pcdriver/bulk/vavedu.h"

#include <stdio.h>

CHAR g_Banner[256];
UNICODE_STRING g_RegistryPath;
ULONG g_MaxTransferSize = VAVEDU_DEFAULT_MAX_TRANSFER_SIZE;

static const GUID InterfaceClassGuid = VAVEDU_INTERFACE_GUID_INIT;

/*
 * A stored "MaximumTransferSize" of 0 would make every chunk empty, so a transfer would never
 * end; one above what high-speed host controllers take in one bulk request would only fail at
 * the bus. Keep the default for 0 and cap the rest.
 */
static ULONG SaneMaxTransferSize(ULONG Stored) {
    if (Stored == 0)
        return VAVEDU_DEFAULT_MAX_TRANSFER_SIZE;
    if (Stored > VAVEDU_MAX_TRANSFER_SIZE_LIMIT)
        return VAVEDU_MAX_TRANSFER_SIZE_LIMIT;
    return Stored;
}

/*
 * The registry's type check (the platform's values; not every set of headers names them): a
 * direct query writes the stored value only when its type is the one in the top byte of
 * DefaultType. Without it a value of another type is written by its own type: a REG_SZ as a
 * UNICODE_STRING, a longer REG_BINARY with a length header, over g_MaxTransferSize and whatever
 * lies beyond it.
 */
#define VAVEDU_QUERY_REGISTRY_TYPECHECK 0x00000100
#define VAVEDU_QUERY_REGISTRY_TYPECHECK_SHIFT 24

/* Reads "MaximumTransferSize" (REG_DWORD) directly under the service key; whatever happens,
   g_MaxTransferSize ends with the stored value or the default. A value of another type fails
   the type check and leaves the default. */
static VOID ReadRegistrySettings(VOID) {
    ULONG defaultValue = g_MaxTransferSize;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = NULL;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | VAVEDU_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = (PWSTR)u"MaximumTransferSize";
    table[0].EntryContext = &g_MaxTransferSize;
    table[0].DefaultType = (REG_DWORD << VAVEDU_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    table[0].DefaultData = &defaultValue;
    table[0].DefaultLength = sizeof(ULONG);
    (VOID) RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                  g_RegistryPath.Buffer, table, NULL, NULL);
    g_MaxTransferSize = SaneMaxTransferSize(g_MaxTransferSize);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    sprintf(g_Banner, "VaVedu.SYS version %4.4X.%4.4X built " __DATE__ " " __TIME__ "\n",
            VAVEDU_DRIVER_VERSION_MAJOR, VAVEDU_DRIVER_VERSION_MINOR);
    DbgPrint("VaVedu: DriverEntry()\n");
    DbgPrint(g_Banner);

    if (!IoIsWdmVersionAvailable(1, 0))
        return STATUS_UNSUCCESSFUL;

    USHORT copyLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    PWSTR copy = (PWSTR)ExAllocatePool(PagedPool, copyLength);
    if (copy == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    g_RegistryPath.Buffer = copy;
    g_RegistryPath.Length = 0;
    g_RegistryPath.MaximumLength = copyLength;
    RtlCopyUnicodeString(&g_RegistryPath, RegistryPath);
    /* The copy is next used as a plain wide string: the two spare bytes hold its terminator. */
    g_RegistryPath.Buffer[g_RegistryPath.Length / sizeof(WCHAR)] = 0;

    ReadRegistrySettings();

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    RtlFreeUnicodeString(&g_RegistryPath);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static VOID FillInitBlock(PDEVICE_EXTENSION Extension, PGENERIC_INIT_BLOCK Block) {
    RtlZeroMemory(Block, sizeof(*Block));
    Block->Size = sizeof(GENERIC_INIT_BLOCK);
    Block->DeviceObject = Extension->DeviceObject;
    Block->Pdo = Extension->Pdo;
    Block->LowerDeviceObject = Extension->LowerDeviceObject;
    Block->RemoveLock = &Extension->RemoveLock;
    Block->StartDevice = StartDevice;
    Block->StopDevice = StopDevice;
    Block->RemoveDevice = RemoveDevice;
    RtlInitUnicodeString(&Block->DebugName, (PCWSTR)u"VaVedu");
    Block->Options = 0x20;
    Block->NumberOfQueues = VAVEDU_QUEUE_COUNT;
    for (ULONG i = 0; i < VAVEDU_QUEUE_COUNT; i++) {
        Block->Queues[i].Queue = &Extension->Queues[i];
        Block->Queues[i].StartIo = StartIo;
    }
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    ULONG genericSize = GetSizeofGenericExtension();
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION) + genericSize, NULL,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_EXTENSION extension = DeviceExtensionOf(fdo);
    extension->DeviceObject = fdo;
    extension->Pdo = Pdo;
    KeInitializeSpinLock(&extension->InterfaceLock);
    KeInitializeEvent(&extension->SelectionLock, SynchronizationEvent, TRUE);
    fdo->Flags |= DO_DIRECT_IO;

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (extension->LowerDeviceObject == NULL) {
        status = STATUS_DEVICE_REMOVED;
    } else {
        fdo->Flags |= DO_POWER_PAGABLE;
        extension->GenericExtension = (PUCHAR)extension + sizeof(DEVICE_EXTENSION);
        GENERIC_INIT_BLOCK block;
        FillInitBlock(extension, &block);
        status = InitializeGenericExtension(extension->GenericExtension, &block);
    }

    if (NT_SUCCESS(status)) {
        (VOID) GenericRegisterInterface(extension->GenericExtension, &InterfaceClassGuid);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }

    /* Nothing of the support library to undo: it keeps nothing of a device it refuses. */
    if (extension->LowerDeviceObject != NULL)
        IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(fdo);
    return status;
}

VOID RemoveDevice(PDEVICE_OBJECT Fdo) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    /* No close request goes to a device that is gone. */
    InterlockedExchange(&extension->CloseRequestSent, 1);
    if (extension->LowerDeviceObject != NULL)
        IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(Fdo);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return GenericDispatchPnp(DeviceExtensionOf(DeviceObject)->GenericExtension, Irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return GenericDispatchPower(DeviceExtensionOf(DeviceObject)->GenericExtension, Irp);
}

/* Internal device control and system control requests go down the stack unchanged. */
static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    NTSTATUS status = GenericAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IofCallDriver(extension->LowerDeviceObject, Irp);
    GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDown(DeviceObject, Irp);
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDown(DeviceObject, Irp);
}
