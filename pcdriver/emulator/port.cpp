/*
 * The port: the instrument's physical device object, its identity for the Plug and Play manager,
 * its Plug and Play and power requests, and the hub's internal requests (request blocks, port
 * reset, port cycle, port status).
 */
#include "pcdriver/emulator/emulator.h"

/* The serial number of every emulated instrument (and so its instance ID). */
static const WCHAR* const SerialNumber = (const WCHAR*)u"VV0001";
#define SERIAL_CHARACTERS 6

/* ------------------------------------------------------------------ creation and deletion */

/* A device object name unique to this instrument: \Device\VaVeduEmuPort<generation>. */
static NTSTATUS CreatePdo(PEMU_BUS Bus, ULONG Generation, PDEVICE_OBJECT* Pdo) {
    WCHAR buffer[48];
    UNICODE_STRING name;
    name.Buffer = buffer;
    name.Length = 0;
    name.MaximumLength = sizeof(buffer);
    WCHAR digits[12];
    UNICODE_STRING number;
    number.Buffer = digits;
    number.Length = 0;
    number.MaximumLength = sizeof(digits);
    NTSTATUS status = RtlAppendUnicodeToString(&name, (PCWSTR)u"\\Device\\VaVeduEmuPort");
    if (NT_SUCCESS(status))
        status = RtlIntegerToUnicodeString(Generation, 10, &number);
    if (NT_SUCCESS(status))
        status = RtlAppendUnicodeStringToString(&name, &number);
    if (!NT_SUCCESS(status))
        return status;
    return IoCreateDevice(Bus->Fdo->DriverObject, sizeof(EMU_PORT), &name, FILE_DEVICE_UNKNOWN,
                          FILE_DEVICE_SECURE_OPEN, FALSE, Pdo);
}

/*
 * Plugs a new instrument, just powered up, into the empty port and tells the Plug and Play
 * manager. Null when the port is taken (another instrument got there first) or out of memory.
 */
PEMU_PORT EmuCreatePort(PEMU_BUS Bus) {
    PUCHAR storage =
        (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, EMU_LOOPBACK_CAPACITY, EMU_POOL_TAG);
    if (storage == NULL)
        return NULL;
    ULONG generation = (ULONG)InterlockedIncrement((volatile LONG*)&Bus->Generation);
    PDEVICE_OBJECT pdo = NULL;
    if (!NT_SUCCESS(CreatePdo(Bus, generation, &pdo))) {
        ExFreePool(storage);
        return NULL;
    }
    PEMU_PORT port = (PEMU_PORT)pdo->DeviceExtension;
    RtlZeroMemory(port, sizeof(*port));
    port->Kind = EmuPortObject;
    port->Bus = Bus;
    port->Pdo = pdo;
    port->Generation = generation;
    port->Connected = TRUE;
    port->ConfigIndex = 0xFF;
    port->LoopbackStorage = storage;
    for (ULONG i = 0; i < EMU_ENDPOINTS; i++)
        InitializeListHead(&port->Queues[i]);
    InstrumentInitialize(&port->Instrument, storage, EMU_LOOPBACK_CAPACITY, SerialNumber,
                         SERIAL_CHARACTERS);
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    BOOLEAN taken;
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    taken = Bus->Port != NULL;
    if (!taken) {
        Bus->Port = port;
        Bus->Counters.Generation = generation;
        EmuRequestRelations(Bus);
    }
    KeReleaseSpinLock(&Bus->Lock, irql);
    if (taken) {
        EmuDeletePort(port);
        return NULL;
    }
    return port;
}

/* Frees the port's record and deletes its device object; nothing may wait at it any more. */
VOID EmuDeletePort(PEMU_PORT Port) {
    ExFreePool(Port->LoopbackStorage);
    IoDeleteDevice(Port->Pdo);
}

/* The instrument leaves the port: whatever waits at it fails as at a device that is gone. */
VOID EmuUnplugLocked(PEMU_PORT Port, PLIST_ENTRY Done) {
    if (!Port->Connected)
        return;
    Port->Connected = FALSE;
    for (ULONG i = 0; i < EMU_ENDPOINTS; i++)
        EmuFailPendingLocked(Port, i, USBD_STATUS_DEVICE_GONE, Done);
    EmuRequestRelations(Port->Bus);
}

static BOOLEAN QueuesEmpty(PEMU_PORT Port) {
    BOOLEAN empty = TRUE;
    KIRQL irql;
    KeAcquireSpinLock(&Port->Bus->Lock, &irql);
    for (ULONG i = 0; i < EMU_ENDPOINTS && empty; i++)
        empty = IsListEmpty(&Port->Queues[i]);
    KeReleaseSpinLock(&Port->Bus->Lock, irql);
    return empty;
}

/* A transfer whose cancel routine had already begun stays queued until that routine takes it:
   the record must outlive it. */
static VOID WaitForQueuesToEmpty(PEMU_PORT Port) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * 1000; /* 1 ms */
    for (ULONG i = 0; i < 5000 && !QueuesEmpty(Port); i++)
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* ------------------------------------------------------------------ identity */

static VOID AppendText(PWCHAR Buffer, PULONG Used, const char* Text) {
    while (*Text != 0)
        Buffer[(*Used)++] = (WCHAR)*Text++;
}

static VOID AppendHex(PWCHAR Buffer, PULONG Used, ULONG Value, ULONG Digits) {
    static const char hex[] = "0123456789ABCDEF";
    for (ULONG i = Digits; i-- > 0;)
        Buffer[(*Used)++] = (WCHAR)hex[(Value >> (4 * i)) & 0xF];
}

/*
 * The identifiers a USB hub gives its devices, from the device descriptor: the device ID
 * USB\VID_vvvv&PID_pppp, the hardware IDs with and without the revision, the compatible IDs by
 * class, and the serial number as instance ID. Each is a string list ending in an empty string.
 */
static ULONG BuildId(BUS_QUERY_ID_TYPE Type, PWCHAR Buffer) {
    const UCHAR* d = InstrumentDeviceDescriptor;
    ULONG vendor = d[8] | (d[9] << 8), product = d[10] | (d[11] << 8);
    ULONG revision = d[12] | (d[13] << 8);
    ULONG used = 0;
    switch (Type) {
        case BusQueryDeviceID:
        case BusQueryHardwareIDs:
            for (ULONG pass = 0; pass < (Type == BusQueryDeviceID ? 1u : 2u); pass++) {
                AppendText(Buffer, &used, "USB\\VID_");
                AppendHex(Buffer, &used, vendor, 4);
                AppendText(Buffer, &used, "&PID_");
                AppendHex(Buffer, &used, product, 4);
                if (Type == BusQueryHardwareIDs && pass == 0) {
                    AppendText(Buffer, &used, "&REV_");
                    AppendHex(Buffer, &used, revision, 4);
                }
                Buffer[used++] = 0;
            }
            break;
        case BusQueryCompatibleIDs:
            for (ULONG parts = 3; parts > 0; parts--) {
                AppendText(Buffer, &used, "USB\\Class_");
                AppendHex(Buffer, &used, d[4], 2);
                if (parts > 1) {
                    AppendText(Buffer, &used, "&SubClass_");
                    AppendHex(Buffer, &used, d[5], 2);
                }
                if (parts > 2) {
                    AppendText(Buffer, &used, "&Prot_");
                    AppendHex(Buffer, &used, d[6], 2);
                }
                Buffer[used++] = 0;
            }
            break;
        case BusQueryInstanceID:
            for (ULONG i = 0; SerialNumber[i] != 0; i++)
                Buffer[used++] = SerialNumber[i];
            Buffer[used++] = 0;
            return used; /* a single string */
        default:
            return 0;
    }
    Buffer[used++] = 0;
    return used;
}

static NTSTATUS QueryId(PIRP Irp) {
    WCHAR id[160];
    ULONG characters = BuildId(IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType, id);
    if (characters == 0)
        return EmuCompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    PWCHAR copy =
        (PWCHAR)ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), EMU_POOL_TAG);
    if (copy == NULL)
        return EmuCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlCopyMemory(copy, id, characters * sizeof(WCHAR));
    return EmuCompleteRequest(Irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

static NTSTATUS QueryDeviceText(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
        return EmuCompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    static const char text[] = "VaVedu measurement instrument (emulated)";
    PWCHAR copy =
        (PWCHAR)ExAllocatePoolWithTag(PagedPool, sizeof(text) * sizeof(WCHAR), EMU_POOL_TAG);
    if (copy == NULL)
        return EmuCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    ULONG used = 0;
    AppendText(copy, &used, text);
    copy[used] = 0;
    return EmuCompleteRequest(Irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

static NTSTATUS QueryCapabilities(PEMU_PORT Port, PIRP Irp) {
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    capabilities->Removable = TRUE;
    capabilities->SurpriseRemovalOK = TRUE;
    capabilities->UniqueID = TRUE; /* the serial number */
    capabilities->Address = 1;     /* the port */
    capabilities->UINumber = Port->Generation;
    return EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS QueryTargetRelation(PEMU_PORT Port, PIRP Irp) {
    PDEVICE_RELATIONS relations =
        (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), EMU_POOL_TAG);
    if (relations == NULL)
        return EmuCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    ObReferenceObject(Port->Pdo);
    relations->Count = 1;
    relations->Objects[0] = Port->Pdo;
    return EmuCompleteRequest(Irp, STATUS_SUCCESS, (ULONG_PTR)relations);
}

/* ------------------------------------------------------------------ Plug and Play */

/*
 * The function driver is gone. An instrument still on the port keeps its device object, left
 * unconfigured; one that has left loses it now, and a new one waiting to be plugged in (after a
 * port cycle) takes the port.
 */
static NTSTATUS RemovePort(PEMU_PORT Port, PIRP Irp) {
    PEMU_BUS bus = Port->Bus;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&bus->Lock, &irql);
    for (ULONG i = 0; i < EMU_ENDPOINTS; i++)
        EmuFailPendingLocked(Port, i, USBD_STATUS_CANCELED, &done);
    Port->Started = FALSE;
    BOOLEAN gone = !Port->Connected;
    BOOLEAN plug = FALSE;
    if (gone) {
        if (bus->Port == Port)
            bus->Port = NULL;
        plug = bus->PlugWanted;
        bus->PlugWanted = FALSE;
    } else {
        EmuUnconfigureLocked(Port);
    }
    KeReleaseSpinLock(&bus->Lock, irql);
    EmuFinishTransfers(&done);
    NTSTATUS status = EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);
    if (gone) {
        WaitForQueuesToEmpty(Port);
        EmuDeletePort(Port);
        if (plug)
            (VOID) EmuCreatePort(bus);
    }
    return status;
}

static NTSTATUS DispatchPortPnp(PEMU_PORT Port, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = Port->Connected ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
            Port->Started = NT_SUCCESS(status);
            return EmuCompleteRequest(Irp, status, 0);
        }
        case IRP_MN_QUERY_ID:
            return QueryId(Irp);
        case IRP_MN_QUERY_DEVICE_TEXT:
            return QueryDeviceText(Irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return QueryCapabilities(Port, Irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
                return QueryTargetRelation(Port, Irp);
            return EmuCompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        case IRP_MN_REMOVE_DEVICE:
            return RemovePort(Port, Irp);
        case IRP_MN_SURPRISE_REMOVAL:
            Port->Started = FALSE;
            return EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);
        default:
            /* not ours: the status stays as it came */
            return EmuCompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

/* ------------------------------------------------------------------ the hub's requests */

/*
 * A port reset in place: the device is reset and gets its address and configuration back, so the
 * client's configuration, interface and pipe handles stay valid; halts are cleared and transfers
 * in flight are cancelled.
 */
static NTSTATUS ResetPort(PEMU_PORT Port, PIRP Irp) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&Port->Bus->Lock, &irql);
    if (!Port->Connected) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        for (ULONG i = 0; i < EMU_ENDPOINTS; i++) {
            EmuFailPendingLocked(Port, i, USBD_STATUS_CANCELED, &done);
            Port->Halted[i] = FALSE;
        }
        Port->RemoteWakeup = FALSE;
        PINSTRUMENT instrument = &Port->Instrument;
        InstrumentReset(instrument);
        if (Port->ConfigIndex != 0xFF) {
            ULONG length = 0;
            const UCHAR* config = InstrumentConfigurationDescriptor(Port->ConfigIndex, &length);
            InstrumentConfigurationChanged(instrument, config[5]);
            for (UCHAR number = 0; number < 4; number++) {
                if (Port->Alternates[number] != 0)
                    InstrumentInterfaceChanged(instrument, number, Port->Alternates[number]);
            }
        }
        Port->Bus->Counters.PortResets++;
    }
    KeReleaseSpinLock(&Port->Bus->Lock, irql);
    EmuFinishTransfers(&done);
    return EmuCompleteRequest(Irp, status, 0);
}

/*
 * A port cycle: the request completes, then the instrument leaves the port (its device is
 * surprise-removed and removed) and a new one is plugged in, which the Plug and Play manager
 * enumerates as a new device.
 */
static NTSTATUS CyclePort(PEMU_PORT Port, PIRP Irp) {
    PEMU_BUS bus = Port->Bus;
    KIRQL irql;
    KeAcquireSpinLock(&bus->Lock, &irql);
    BOOLEAN connected = Port->Connected;
    KeReleaseSpinLock(&bus->Lock, irql);
    if (!connected)
        return EmuCompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);

    LIST_ENTRY done;
    InitializeListHead(&done);
    KeAcquireSpinLock(&bus->Lock, &irql);
    bus->Counters.PortCycles++;
    if (Port->Connected && bus->Port == Port) {
        EmuUnplugLocked(Port, &done);
        bus->PlugWanted = TRUE;
    }
    KeReleaseSpinLock(&bus->Lock, irql);
    EmuFinishTransfers(&done);
    return STATUS_SUCCESS;
}

static NTSTATUS PortStatus(PEMU_PORT Port, PIRP Irp) {
    PULONG out = (PULONG)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    if (out == NULL)
        return EmuCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    *out = Port->Connected ? (USBD_PORT_CONNECTED | USBD_PORT_ENABLED) : 0;
    return EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchPortInternal(PEMU_PORT Port, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return EmuSubmitUrb(Port, Irp, (PURB)stack->Parameters.Others.Argument1);
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return ResetPort(Port, Irp);
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            return CyclePort(Port, Irp);
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            return PortStatus(Port, Irp);
        default:
            return EmuCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS EmuDispatchPort(PEMU_PORT Port, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchPortPnp(Port, Irp);
        case IRP_MJ_POWER: {
            UCHAR minor = stack->MinorFunction;
            NTSTATUS status = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER
                                  ? STATUS_SUCCESS
                                  : Irp->IoStatus.Status;
            PoStartNextPowerIrp(Irp);
            return EmuCompleteRequest(Irp, status, 0);
        }
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return DispatchPortInternal(Port, Irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return EmuCompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        default:
            return EmuCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
