/*
 * The control device (\Device\VaVeduEmu, \\.\VaVeduEmu for applications): plug the instrument in
 * and out, halt an endpoint, read the counters.
 */
#include "pcdriver/emulator/emulator.h"

#define CONTROL_DEVICE_NAME u"\\Device\\VaVeduEmu"
#define CONTROL_LINK_NAME u"\\DosDevices\\VaVeduEmu"

NTSTATUS EmuCreateControlDevice(PEMU_BUS Bus) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, (PCWSTR)CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, (PCWSTR)CONTROL_LINK_NAME);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(Bus->Fdo->DriverObject, sizeof(EMU_CONTROL), &name,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    PEMU_CONTROL control = (PEMU_CONTROL)device->DeviceExtension;
    control->Kind = EmuControlObject;
    control->Bus = Bus;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus->ControlDevice = device;
    return STATUS_SUCCESS;
}

VOID EmuDeleteControlDevice(PEMU_BUS Bus) {
    if (Bus->ControlDevice == NULL)
        return;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, (PCWSTR)CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(Bus->ControlDevice);
    Bus->ControlDevice = NULL;
}

static NTSTATUS Unplug(PEMU_BUS Bus) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    Bus->PlugWanted = FALSE;
    if (Bus->Port != NULL)
        EmuUnplugLocked(Bus->Port, &done);
    KeReleaseSpinLock(&Bus->Lock, irql);
    EmuFinishTransfers(&done);
    return STATUS_SUCCESS;
}

/* A new instrument on the empty port; while the last one's device is still being removed, the new
   one comes once it is gone. */
static NTSTATUS Plug(PEMU_BUS Bus) {
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    BOOLEAN empty = Bus->Port == NULL;
    if (!empty && !Bus->Port->Connected)
        Bus->PlugWanted = TRUE;
    KeReleaseSpinLock(&Bus->Lock, irql);
    if (empty)
        (VOID) EmuCreatePort(Bus);
    return STATUS_SUCCESS;
}

static NTSTATUS Stall(PEMU_BUS Bus, PIRP Irp, ULONG InputLength) {
    if (InputLength != 1)
        return STATUS_INVALID_BUFFER_SIZE;
    UCHAR endpoint = *(PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if ((endpoint & 0x0F) == 0 || (endpoint & 0x70) != 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    if (Bus->Port != NULL && Bus->Port->Connected) {
        Bus->Port->Halted[EmuEndpointIndex(endpoint)] = TRUE;
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Bus->Lock, irql);
    EmuKickController(Bus); /* a transfer waiting there fails now */
    return status;
}

static VOID FillCounters(PEMU_BUS Bus, VAVEDU_EMU_COUNTERS* Out) {
    KIRQL irql;
    KeAcquireSpinLock(&Bus->Lock, &irql);
    *Out = Bus->Counters;
    PEMU_PORT port = Bus->Port;
    Out->ChildExists = port != NULL;
    if (port != NULL) {
        const INSTRUMENT* instrument = &port->Instrument;
        Out->Plugged = port->Connected;
        Out->ChildStarted = port->Started;
        Out->Configuration = instrument->Configuration;
        RtlCopyMemory(Out->AlternateSettings, port->Alternates, sizeof(Out->AlternateSettings));
        for (ULONG i = 0; i < EMU_ENDPOINTS; i++)
            Out->HaltedEndpoints |= port->Halted[i] ? 1u << i : 0;
        Out->CloseRequests = instrument->CloseRequests;
        Out->ZeroLengthPacketsReceived = instrument->ZeroLengthPacketsReceived;
        Out->LoopbackWaiting = (ULONG)instrument->Loopback.Count;
        Out->Acquiring = instrument->Acquiring;
        Out->BytesSunk = instrument->BytesSunk;
        Out->SamplesSent = instrument->NextSample;
    }
    KeReleaseSpinLock(&Bus->Lock, irql);
}

static NTSTATUS DeviceControl(PEMU_BUS Bus, PIRP Irp, PULONG_PTR Information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    *Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_VAVEDU_EMU_UNPLUG:
            return Unplug(Bus);
        case IOCTL_VAVEDU_EMU_PLUG:
            return Plug(Bus);
        case IOCTL_VAVEDU_EMU_STALL:
            return Stall(Bus, Irp, inputLength);
        case IOCTL_VAVEDU_EMU_GET_COUNTERS:
            if (outputLength < sizeof(VAVEDU_EMU_COUNTERS))
                return STATUS_BUFFER_TOO_SMALL;
            FillCounters(Bus, (VAVEDU_EMU_COUNTERS*)Irp->AssociatedIrp.SystemBuffer);
            *Information = sizeof(VAVEDU_EMU_COUNTERS);
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS EmuDispatchControl(PEMU_CONTROL Control, PIRP Irp) {
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return EmuCompleteRequest(Irp, STATUS_SUCCESS, 0);
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG_PTR information = 0;
            NTSTATUS status = DeviceControl(Control->Bus, Irp, &information);
            return EmuCompleteRequest(Irp, status, information);
        }
        default:
            return EmuCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
