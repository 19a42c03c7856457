/*
 * Device control: the thirteen device-control requests, and control transfers on the default
 * pipe described by a stored 8-byte setup packet.
 */
#include "pcdriver/bulk/vavedu.h"

/* ------------------------------------------------------------------ setup packets */

/* Recipients and request codes of USB 2.0 standard requests the translation knows. */
enum {
    RecipientDevice = 0,
    RecipientInterface = 1,
    RecipientEndpoint = 2,
};

static VOID InitControlUrb(PURB Urb, USHORT Function) {
    RtlZeroMemory(Urb, sizeof(*Urb));
    Urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->UrbHeader.Function = Function;
}

static NTSTATUS BuildVendorOrClass(PURB Urb, USHORT Function, const SETUP_PACKET* Packet,
                                   PVOID Data) {
    InitControlUrb(Urb, Function);
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &Urb->UrbControlVendorClassRequest;
    request->TransferFlags =
        USBD_SHORT_TRANSFER_OK | ((Packet->bmRequestType & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
    request->TransferBufferLength = Packet->wLength;
    request->TransferBuffer = Data;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->RequestTypeReservedBits = Packet->bmRequestType & 0x1F;
    request->Request = Packet->bRequest;
    request->Value = Packet->wValue;
    request->Index = Packet->wIndex;
    return STATUS_SUCCESS;
}

static NTSTATUS BuildDescriptor(PURB Urb, USHORT Function, const SETUP_PACKET* Packet, PVOID Data) {
    InitControlUrb(Urb, Function);
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    request->TransferBufferLength = Packet->wLength;
    request->TransferBuffer = Data;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->DescriptorType = (UCHAR)(Packet->wValue >> 8);
    request->Index = (UCHAR)(Packet->wValue & 0xFF);
    request->LanguageId = Packet->wIndex;
    return STATUS_SUCCESS;
}

static NTSTATUS BuildFeature(PURB Urb, USHORT Function, const SETUP_PACKET* Packet) {
    InitControlUrb(Urb, Function);
    Urb->UrbControlFeatureRequest.UrbLink = NULL;
    Urb->UrbControlFeatureRequest.FeatureSelector = Packet->wValue;
    Urb->UrbControlFeatureRequest.Index = Packet->wIndex;
    return STATUS_SUCCESS;
}

/*
 * GET_STATUS always asks the bus for 2 bytes; with a data stage of 0 or 1 byte the bus would
 * write past the caller's buffer, so such a packet is refused.
 */
static NTSTATUS BuildStatus(PURB Urb, USHORT Function, const SETUP_PACKET* Packet, PVOID Data) {
    if (Packet->wLength < 2)
        return STATUS_INVALID_BUFFER_SIZE;
    InitControlUrb(Urb, Function);
    struct _URB_CONTROL_GET_STATUS_REQUEST* request = &Urb->UrbControlGetStatusRequest;
    request->TransferBufferLength = 2;
    request->TransferBuffer = Data;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->Index = Packet->wIndex;
    return STATUS_SUCCESS;
}

static NTSTATUS BuildGetConfiguration(PURB Urb, const SETUP_PACKET* Packet, PVOID Data) {
    InitControlUrb(Urb, URB_FUNCTION_GET_CONFIGURATION);
    struct _URB_CONTROL_GET_CONFIGURATION_REQUEST* request =
        &Urb->UrbControlGetConfigurationRequest;
    request->TransferBufferLength = Packet->wLength;
    request->TransferBuffer = Data;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    return STATUS_SUCCESS;
}

static NTSTATUS BuildGetInterface(PURB Urb, const SETUP_PACKET* Packet, PVOID Data) {
    InitControlUrb(Urb, URB_FUNCTION_GET_INTERFACE);
    struct _URB_CONTROL_GET_INTERFACE_REQUEST* request = &Urb->UrbControlGetInterfaceRequest;
    request->TransferBufferLength = Packet->wLength;
    request->TransferBuffer = Data;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->Interface = Packet->wIndex;
    return STATUS_SUCCESS;
}

/* A selection the driver carries out itself: its failure, or "handled, send nothing". */
static NTSTATUS Handled(NTSTATUS SelectionStatus) {
    return NT_SUCCESS(SelectionStatus) ? SETUP_REQUEST_HANDLED : SelectionStatus;
}

/* Standard requests from host to device, by recipient. */
static NTSTATUS TranslateStandardOut(PDEVICE_OBJECT DeviceObject, PURB Urb,
                                     const SETUP_PACKET* Packet, PVOID Data) {
    UCHAR recipient = Packet->bmRequestType & 0x1F;
    UCHAR request = Packet->bRequest;
    static const USHORT clearFeature[] = {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                                          URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
                                          URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT};
    static const USHORT setFeature[] = {URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                                        URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
                                        URB_FUNCTION_SET_FEATURE_TO_ENDPOINT};
    if (request == USB_REQUEST_CLEAR_FEATURE) {
        return BuildFeature(Urb, clearFeature[recipient], Packet);
    }
    if (request == USB_REQUEST_SET_FEATURE)
        return BuildFeature(Urb, setFeature[recipient], Packet);
    if (recipient == RecipientDevice && request == USB_REQUEST_SET_DESCRIPTOR) {
        return BuildDescriptor(Urb, URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, Packet, Data);
    }
    if (recipient == RecipientDevice && request == USB_REQUEST_SET_CONFIGURATION) {
        return Handled(SelectConfiguration(DeviceObject, (UCHAR)(Packet->wValue & 0xFF)));
    }
    if (recipient == RecipientInterface && request == USB_REQUEST_SET_INTERFACE) {
        return Handled(SelectInterface(DeviceObject, (UCHAR)(Packet->wIndex & 0xFF),
                                       (UCHAR)(Packet->wValue & 0xFF)));
    }
    return STATUS_INVALID_PARAMETER;
}

/* Standard requests from device to host; those the table does not name become vendor
   requests to the device, with the recipient in the reserved bits. */
static NTSTATUS TranslateStandardIn(PURB Urb, const SETUP_PACKET* Packet, PVOID Data) {
    UCHAR recipient = Packet->bmRequestType & 0x1F;
    static const USHORT getStatus[] = {URB_FUNCTION_GET_STATUS_FROM_DEVICE,
                                       URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                                       URB_FUNCTION_GET_STATUS_FROM_ENDPOINT};
    switch (Packet->bRequest) {
        case USB_REQUEST_GET_STATUS:
            return BuildStatus(Urb, getStatus[recipient], Packet, Data);
        case USB_REQUEST_GET_DESCRIPTOR:
            if (recipient == RecipientDevice) {
                return BuildDescriptor(Urb, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, Packet, Data);
            }
            break;
        case USB_REQUEST_GET_CONFIGURATION:
            if (recipient == RecipientDevice)
                return BuildGetConfiguration(Urb, Packet, Data);
            break;
        case USB_REQUEST_GET_INTERFACE:
            if (recipient != RecipientEndpoint)
                return BuildGetInterface(Urb, Packet, Data);
            break;
        default:
            break;
    }
    return BuildVendorOrClass(Urb, URB_FUNCTION_VENDOR_DEVICE, Packet, Data);
}

/* Translates a setup packet (a copy of the stored one, read once) into the request block. */
static NTSTATUS ParseSetupRequest(PDEVICE_OBJECT DeviceObject, const SETUP_PACKET* Packet, PURB Urb,
                                  PVOID DataBuffer) {
    switch (Packet->bmRequestType) {
        case 0x00:
        case 0x01:
        case 0x02:
            return TranslateStandardOut(DeviceObject, Urb, Packet, DataBuffer);
        case 0x20:
        case 0xA0:
            return BuildVendorOrClass(Urb, URB_FUNCTION_CLASS_DEVICE, Packet, DataBuffer);
        case 0x21:
            return BuildVendorOrClass(Urb, URB_FUNCTION_CLASS_INTERFACE, Packet, DataBuffer);
        case 0x40:
        case 0xC0:
            return BuildVendorOrClass(Urb, URB_FUNCTION_VENDOR_DEVICE, Packet, DataBuffer);
        case 0x80:
        case 0x81:
        case 0x82:
            return TranslateStandardIn(Urb, Packet, DataBuffer);
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

/*
 * The bytes a control block moved: its TransferBufferLength, which the bus driver rewrites when it
 * completes the block. Without a request packet the block never went down and still holds the
 * length asked for, of which nothing moved.
 */
static ULONG BytesMoved(PURB Urb, NTSTATUS SubmitStatus) {
    if (SubmitStatus == STATUS_INSUFFICIENT_RESOURCES)
        return 0;
    return Urb->UrbControlTransfer.TransferBufferLength;
}

NTSTATUS Ioctl_ControlReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG_PTR ByteCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    /* The stored packet is read once. Another thread may store a new one at any moment; checking
       the buffer against one packet and translating another would let the bus write beyond the
       request's buffer. */
    SETUP_PACKET stored;
    RtlCopyMemory(&stored, &DeviceExtensionOf(DeviceObject)->SetupPacket, sizeof(stored));
    const SETUP_PACKET* packet = &stored;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    BOOLEAN in = (packet->bmRequestType & 0x80) != 0;
    ULONG dataLength = in ? outputLength : stack->Parameters.DeviceIoControl.InputBufferLength;
    *ByteCount = 0;
    if (packet->wLength != dataLength)
        return STATUS_INVALID_BUFFER_SIZE;

    URB urb;
    NTSTATUS status =
        ParseSetupRequest(DeviceObject, packet, &urb, Irp->AssociatedIrp.SystemBuffer);
    if (status == SETUP_REQUEST_HANDLED)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        DbgPrint(
            "Ioctl_ControlReadWrite() (Free build): ParseSetupRequest(): NtStatus: %8.8x\n"
            " - Not submitting request to USBD\n",
            (ULONG)status);
        return status;
    }

    status = SubmitUrbSync(DeviceObject, &urb);
    ULONG moved = BytesMoved(&urb, status);
    /* The I/O manager copies the byte count back into the caller's output pointer whenever the
       caller gave one, even of length 0: for an OUT transfer it must never exceed that buffer. */
    if (!in && Irp->UserBuffer != NULL && moved > outputLength)
        moved = outputLength;
    *ByteCount = moved;
    return status;
}

/* ------------------------------------------------------------------ the dispatcher */

typedef struct _IOCTL_REQUEST {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PUCHAR Buffer; /* the system buffer: input at its start, output over it */
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;
} IOCTL_REQUEST;

static NTSTATUS WriteUlong(IOCTL_REQUEST* Request, ULONG Value) {
    if (Request->OutputLength != sizeof(ULONG))
        return STATUS_INVALID_BUFFER_SIZE;
    RtlCopyMemory(Request->Buffer, &Value, sizeof(Value));
    Request->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS GetDescriptor(IOCTL_REQUEST* Request) {
    if (Request->InputLength != sizeof(VAVEDU_GET_DESCRIPTOR_INPUT)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    VAVEDU_GET_DESCRIPTOR_INPUT input;
    RtlCopyMemory(&input, Request->Buffer, sizeof(input));
    URB urb;
    InitControlUrb(&urb, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    urb.UrbControlDescriptorRequest.DescriptorType = input.DescriptorType;
    urb.UrbControlDescriptorRequest.Index = input.DescriptorIndex;
    urb.UrbControlDescriptorRequest.LanguageId = input.LanguageId;
    urb.UrbControlDescriptorRequest.TransferBuffer = Request->Buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = Request->OutputLength;
    urb.UrbControlDescriptorRequest.TransferBufferMDL = NULL;
    urb.UrbControlDescriptorRequest.UrbLink = NULL;
    NTSTATUS status = SubmitUrbSync(Request->DeviceObject, &urb);
    Request->Information = BytesMoved(&urb, status);
    return status;
}

/*
 * IOCTL_BULK_RESET_PORT cycles the instrument's port: the instrument leaves and comes back as a
 * new device, so every handle open on this device object ends here, and reads and writes still
 * at the bus or queued fail as the device goes. The request is reported as done whatever became
 * of the cycle.
 */
static NTSTATUS CyclePort(IOCTL_REQUEST* Request) {
    PDEVICE_OBJECT lower = DeviceExtensionOf(Request->DeviceObject)->LowerDeviceObject;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, lower, NULL, 0, NULL, 0,
                                             TRUE, &event, &ioStatus);
    if (irp != NULL && IofCallDriver(lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return STATUS_SUCCESS;
}

/*
 * The bus resets a pipe only while none of its transfers is at the bus: otherwise it clears the
 * device's halt and data toggle but not its own, and the next packet is dropped as a repeat. A
 * pipe whose queue is processing a request is therefore not reset.
 */
static NTSTATUS ResetPipe(IOCTL_REQUEST* Request) {
    if (Request->InputLength != sizeof(VAVEDU_RESET_PIPE_INPUT))
        return STATUS_INVALID_BUFFER_SIZE;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Request->DeviceObject);
    ULONG pipeIndex = Request->Buffer[0];
    ULONG interfaceIndex = Request->Buffer[1];
    PIPE_SNAPSHOT pipe;
    if (interfaceIndex >= extension->InterfaceCount ||
        LookupPipe(extension, interfaceIndex, pipeIndex, &pipe) != PipeFound) {
        return STATUS_INVALID_PARAMETER;
    }
    if (QueueBusy(extension, QueueIndexOfEndpoint(pipe.EndpointAddress)))
        return STATUS_INVALID_DEVICE_STATE;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipe.PipeHandle;
    return SubmitUrbSync(Request->DeviceObject, &urb);
}

static NTSTATUS ZeroLengthPacketMode(IOCTL_REQUEST* Request) {
    if (Request->InputLength != sizeof(LONG))
        return STATUS_INVALID_BUFFER_SIZE;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Request->DeviceObject);
    LONG value;
    RtlCopyMemory(&value, Request->Buffer, sizeof(value));
    if (value < VAVEDU_ZLP_OFF || value > VAVEDU_ZLP_QUERY)
        return STATUS_INVALID_PARAMETER;
    if (value != VAVEDU_ZLP_QUERY)
        extension->ZeroLengthPacketMode = (UCHAR)value;
    if (Request->OutputLength >= sizeof(ULONG)) {
        ULONG mode = extension->ZeroLengthPacketMode;
        RtlCopyMemory(Request->Buffer, &mode, sizeof(mode));
        Request->Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    return value == VAVEDU_ZLP_QUERY ? STATUS_INVALID_BUFFER_SIZE : STATUS_SUCCESS;
}

static NTSTATUS GetBanner(IOCTL_REQUEST* Request) {
    ULONG length = (ULONG)strlen(g_Banner);
    if (length > Request->OutputLength)
        length = Request->OutputLength;
    if (length != 0)
        RtlCopyMemory(Request->Buffer, g_Banner, length);
    Request->Information = length;
    return STATUS_SUCCESS;
}

static NTSTATUS GetUsbdiVersion(IOCTL_REQUEST* Request) {
    if (Request->OutputLength < sizeof(USBD_VERSION_INFORMATION)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    USBD_GetUSBDIVersion((PUSBD_VERSION_INFORMATION)Request->Buffer);
    Request->Information = sizeof(USBD_VERSION_INFORMATION);
    return STATUS_SUCCESS;
}

static NTSTATUS SelectConfigurationIoctl(IOCTL_REQUEST* Request) {
    if (Request->InputLength != 1)
        return STATUS_INVALID_BUFFER_SIZE;
    return SelectConfiguration(Request->DeviceObject, Request->Buffer[0]);
}

static NTSTATUS SelectInterfaceIoctl(IOCTL_REQUEST* Request) {
    if (Request->InputLength != sizeof(VAVEDU_SELECT_INTERFACE_INPUT)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return SelectInterface(Request->DeviceObject, Request->Buffer[0], Request->Buffer[1]);
}

static NTSTATUS SetSetupPacket(IOCTL_REQUEST* Request) {
    if (Request->InputLength != sizeof(SETUP_PACKET))
        return STATUS_INVALID_BUFFER_SIZE;
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Request->DeviceObject);
    extension->SetupPacketValid = 1;
    RtlCopyMemory(&extension->SetupPacket, Request->Buffer, sizeof(SETUP_PACKET));
    return STATUS_SUCCESS;
}

/* Runs the stored packet once: every attempt consumes it, whatever its outcome. */
static NTSTATUS ControlTransfer(IOCTL_REQUEST* Request) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Request->DeviceObject);
    if (extension->SetupPacketValid != 1)
        return STATUS_UNSUCCESSFUL;
    ULONG_PTR byteCount = 0;
    NTSTATUS status = Ioctl_ControlReadWrite(Request->DeviceObject, Request->Irp, &byteCount);
    extension->SetupPacketValid = 0;
    Request->Information = byteCount;
    return status;
}

static NTSTATUS CarryOut(ULONG Code, IOCTL_REQUEST* Request) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Request->DeviceObject);
    switch (Code) {
        case IOCTL_BULK_GET_DRIVER_VERSION:
            return WriteUlong(Request, VAVEDU_DRIVER_VERSION);
        case IOCTL_BULK_GET_DESCRIPTOR:
            return GetDescriptor(Request);
        case IOCTL_BULK_RESET_PORT:
            return CyclePort(Request);
        case IOCTL_BULK_RESET_PIPE:
            return ResetPipe(Request);
        case IOCTL_BULK_GET_LAST_USBD_STATUS:
            return WriteUlong(Request, (ULONG)extension->LastUsbdStatus);
        case IOCTL_BULK_GET_RESERVED_VALUE:
            return WriteUlong(Request, 0);
        case IOCTL_BULK_ZERO_LENGTH_PACKET_MODE:
            return ZeroLengthPacketMode(Request);
        case IOCTL_BULK_GET_BANNER:
            return GetBanner(Request);
        case IOCTL_BULK_GET_USBDI_VERSION:
            return GetUsbdiVersion(Request);
        case IOCTL_BULK_SELECT_CONFIGURATION:
            return SelectConfigurationIoctl(Request);
        case IOCTL_BULK_SELECT_INTERFACE:
            return SelectInterfaceIoctl(Request);
        case IOCTL_BULK_SET_SETUP_PACKET:
            return SetSetupPacket(Request);
        case IOCTL_BULK_CONTROL_TRANSFER:
            return ControlTransfer(Request);
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    NTSTATUS status = GenericAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IOCTL_REQUEST request;
    request.DeviceObject = DeviceObject;
    request.Irp = Irp;
    request.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Information = 0;
    status = CarryOut(stack->Parameters.DeviceIoControl.IoControlCode, &request);

    GenericReleaseRemoveLock(&extension->RemoveLock, Irp);
    return CompleteRequest(Irp, status, request.Information);
}
