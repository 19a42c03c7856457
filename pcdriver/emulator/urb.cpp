/*
 * Request blocks: every kind is checked as the USB stack checks it (function, header length,
 * handles of the current configuration, a buffer or MDL for the length) and carried out against
 * the instrument: standard requests from its descriptors and state, vendor and class requests by
 * the instrument itself, selections, pipe requests. Bulk transfers go to their endpoint's queue
 * (bulk.cpp); everything else completes before the submission returns.
 */
#include "pcdriver/emulator/emulator.h"

NTSTATUS EmuNtStatusForUsbd(USBD_STATUS Status) {
    switch (Status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_TIMEOUT:
            return STATUS_IO_TIMEOUT;
        case USBD_STATUS_NOT_SUPPORTED:
            return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_ERROR_BUSY:
            return STATUS_DEVICE_BUSY;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

/* ------------------------------------------------------------------ descriptors and state */

#define SELECT_CONFIGURATION_HEAD FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface)
#define SELECT_INTERFACE_HEAD FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface)
#define INTERFACE_RECORD_HEAD FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)

/* One interface setting of a configuration: its descriptor and where its endpoints end. */
typedef struct _SETTING {
    const UCHAR* Interface;
    const UCHAR* End;
} SETTING;

/* Finds interface Number, alternate setting Alternate, in a configuration's descriptor set. */
static BOOLEAN FindSetting(UCHAR ConfigIndex, UCHAR Number, UCHAR Alternate, SETTING* Setting) {
    ULONG length = 0;
    const UCHAR* config = InstrumentConfigurationDescriptor(ConfigIndex, &length);
    const UCHAR* end = config + length;
    Setting->Interface = NULL;
    for (const UCHAR* d = config; d != NULL && d + 2 <= end && d[0] >= 2; d += d[0]) {
        if (d[1] != USB_INTERFACE_DESCRIPTOR_TYPE)
            continue;
        if (Setting->Interface != NULL) {
            Setting->End = d;
            return TRUE;
        }
        if (d[2] == Number && d[3] == Alternate)
            Setting->Interface = d;
    }
    Setting->End = end;
    return Setting->Interface != NULL;
}

/* The endpoint descriptors of a setting, one after the other; null after the last. */
static const UCHAR* NextEndpoint(const SETTING* Setting, const UCHAR* After) {
    const UCHAR* d = After == NULL ? Setting->Interface : After;
    for (d += d[0]; d + 7 <= Setting->End && d[0] >= 2; d += d[0]) {
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
            return d;
    }
    return NULL;
}

static ULONG EndpointCount(const SETTING* Setting) {
    return Setting->Interface[4];
}

static UCHAR ConfigurationValue(PEMU_PORT Port) {
    if (Port->ConfigIndex == 0xFF)
        return 0;
    ULONG length = 0;
    return InstrumentConfigurationDescriptor(Port->ConfigIndex, &length)[5];
}

static BOOLEAN InterfaceExists(PEMU_PORT Port, USHORT Number) {
    SETTING setting;
    return Port->ConfigIndex != 0xFF && Number < 4 &&
           FindSetting(Port->ConfigIndex, (UCHAR)Number, Port->Alternates[Number], &setting);
}

static BOOLEAN EndpointExists(PEMU_PORT Port, USHORT Address) {
    if ((Address & 0x0F) == 0)
        return TRUE;
    return Port->Pipes[EmuEndpointIndex((UCHAR)Address)].Handle != 0 && (Address & 0x70) == 0;
}

static ULONG_PTR NewHandle(PEMU_PORT Port) {
    Port->Bus->NextHandle += 0x10;
    return Port->Bus->NextHandle;
}

/* ------------------------------------------------------------------ selections */

VOID EmuUnconfigureLocked(PEMU_PORT Port) {
    Port->ConfigIndex = 0xFF;
    Port->ConfigurationHandle = 0;
    RtlZeroMemory(Port->Alternates, sizeof(Port->Alternates));
    RtlZeroMemory(Port->InterfaceHandles, sizeof(Port->InterfaceHandles));
    RtlZeroMemory(Port->Pipes, sizeof(Port->Pipes));
    RtlZeroMemory(Port->Halted, sizeof(Port->Halted));
    InstrumentConfigurationChanged(&Port->Instrument, 0);
}

/* Opens the pipes of a setting into the interface record the client gave. */
static VOID OpenSetting(PEMU_PORT Port, const SETTING* Setting, PUSBD_INTERFACE_INFORMATION Info) {
    UCHAR number = Setting->Interface[2];
    Port->InterfaceHandles[number] = NewHandle(Port);
    Info->InterfaceHandle = (USBD_INTERFACE_HANDLE)Port->InterfaceHandles[number];
    Info->Class = Setting->Interface[5];
    Info->SubClass = Setting->Interface[6];
    Info->Protocol = Setting->Interface[7];
    Info->NumberOfPipes = EndpointCount(Setting);
    const UCHAR* e = NULL;
    for (ULONG j = 0; j < Info->NumberOfPipes && (e = NextEndpoint(Setting, e)) != NULL; j++) {
        PUSBD_PIPE_INFORMATION pipe = &Info->Pipes[j];
        EMU_PIPE* open = &Port->Pipes[EmuEndpointIndex(e[2])];
        open->Handle = NewHandle(Port);
        open->EndpointAddress = e[2];
        open->InterfaceNumber = number;
        open->Type = e[3] & 3;
        open->MaxPacket = (USHORT)((e[4] | (e[5] << 8)) & 0x7FF);
        open->MaxTransfer = pipe->MaximumTransferSize;
        pipe->MaximumPacketSize = open->MaxPacket;
        pipe->EndpointAddress = e[2];
        pipe->Interval = e[6];
        pipe->PipeType = (USBD_PIPE_TYPE)open->Type;
        pipe->PipeHandle = (USBD_PIPE_HANDLE)open->Handle;
    }
}

/* A record the client gave for a setting: long enough for its pipes, within the request, no
   pipe asking for more than the controller moves at once. */
static USBD_STATUS CheckRecord(PUSBD_INTERFACE_INFORMATION Info, ULONG Room,
                               const SETTING* Setting) {
    ULONG needed = INTERFACE_RECORD_HEAD + EndpointCount(Setting) * sizeof(USBD_PIPE_INFORMATION);
    if (Info->Length < needed || Info->Length > Room)
        return USBD_STATUS_INVALID_PARAMETER;
    for (ULONG j = 0; j < EndpointCount(Setting); j++) {
        if (Info->Pipes[j].MaximumTransferSize > EMU_MAX_TRANSFER_SIZE)
            return USBD_STATUS_INVALID_PARAMETER;
    }
    return USBD_STATUS_SUCCESS;
}

static UCHAR ConfigIndexOf(UCHAR Value) {
    ULONG length = 0;
    for (UCHAR index = 0;; index++) {
        const UCHAR* config = InstrumentConfigurationDescriptor(index, &length);
        if (config == NULL)
            return 0xFF;
        if (config[5] == Value && Value != 0)
            return index;
    }
}

/* Checks every interface record of the request; each interface of the configuration once. */
static USBD_STATUS CheckConfigurationRecords(PURB Urb, UCHAR Index, PULONG Records) {
    ULONG length = 0;
    ULONG expected = InstrumentConfigurationDescriptor(Index, &length)[4];
    ULONG offset = SELECT_CONFIGURATION_HEAD;
    ULONG seen = 0;
    *Records = 0;
    while (*Records < expected && offset + INTERFACE_RECORD_HEAD <= Urb->UrbHeader.Length) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Urb + offset);
        SETTING setting;
        if (info->Length < INTERFACE_RECORD_HEAD)
            return USBD_STATUS_INVALID_PARAMETER;
        if (!FindSetting(Index, info->InterfaceNumber, info->AlternateSetting, &setting))
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        if (info->InterfaceNumber >= 4 || (seen & (1u << info->InterfaceNumber)) != 0)
            return USBD_STATUS_INVALID_PARAMETER;
        seen |= 1u << info->InterfaceNumber;
        USBD_STATUS status = CheckRecord(info, Urb->UrbHeader.Length - offset, &setting);
        if (!USBD_SUCCESS(status))
            return status;
        (*Records)++;
        offset += info->Length;
    }
    return *Records == 0 ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
}

static USBD_STATUS SelectConfiguration(PEMU_PORT Port, PURB Urb) {
    struct _URB_SELECT_CONFIGURATION* select = &Urb->UrbSelectConfiguration;
    if (Urb->UrbHeader.Length < SELECT_CONFIGURATION_HEAD + INTERFACE_RECORD_HEAD)
        return USBD_STATUS_INVALID_PARAMETER;
    Port->Bus->Counters.SelectConfigurations++;
    if (select->ConfigurationDescriptor == NULL) {
        /* the unconfigure form is a whole request block */
        if (Urb->UrbHeader.Length < sizeof(URB))
            return USBD_STATUS_INVALID_PARAMETER;
        EmuUnconfigureLocked(Port);
        return USBD_STATUS_SUCCESS;
    }
    UCHAR index = ConfigIndexOf(select->ConfigurationDescriptor->bConfigurationValue);
    if (index == 0xFF)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    ULONG records = 0;
    USBD_STATUS status = CheckConfigurationRecords(Urb, index, &records);
    if (!USBD_SUCCESS(status))
        return status;

    EmuUnconfigureLocked(Port);
    Port->ConfigIndex = index;
    Port->ConfigurationHandle = NewHandle(Port);
    select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)Port->ConfigurationHandle;
    InstrumentConfigurationChanged(&Port->Instrument, ConfigurationValue(Port));
    PUSBD_INTERFACE_INFORMATION info = &select->Interface;
    for (ULONG i = 0; i < records; i++) {
        SETTING setting;
        FindSetting(index, info->InterfaceNumber, info->AlternateSetting, &setting);
        Port->Alternates[info->InterfaceNumber] = info->AlternateSetting;
        if (info->AlternateSetting != 0) {
            InstrumentInterfaceChanged(&Port->Instrument, info->InterfaceNumber,
                                       info->AlternateSetting);
        }
        OpenSetting(Port, &setting, info);
        info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)info + info->Length);
    }
    return USBD_STATUS_SUCCESS;
}

static USBD_STATUS SelectInterface(PEMU_PORT Port, PURB Urb) {
    struct _URB_SELECT_INTERFACE* select = &Urb->UrbSelectInterface;
    PUSBD_INTERFACE_INFORMATION info = &select->Interface;
    if (Urb->UrbHeader.Length < SELECT_INTERFACE_HEAD + INTERFACE_RECORD_HEAD)
        return USBD_STATUS_INVALID_PARAMETER;
    Port->Bus->Counters.SelectInterfaces++;
    if (Port->ConfigIndex == 0xFF ||
        (ULONG_PTR)select->ConfigurationHandle != Port->ConfigurationHandle) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    SETTING setting;
    if (info->InterfaceNumber >= 4 ||
        !FindSetting(Port->ConfigIndex, info->InterfaceNumber, info->AlternateSetting, &setting)) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    USBD_STATUS status = CheckRecord(info, Urb->UrbHeader.Length - SELECT_INTERFACE_HEAD, &setting);
    if (!USBD_SUCCESS(status))
        return status;
    /* The old setting's pipes close: their handles are invalid from now on. */
    for (ULONG i = 0; i < EMU_ENDPOINTS; i++) {
        if (Port->Pipes[i].Handle != 0 && Port->Pipes[i].InterfaceNumber == info->InterfaceNumber) {
            RtlZeroMemory(&Port->Pipes[i], sizeof(Port->Pipes[i]));
            Port->Halted[i] = FALSE;
        }
    }
    Port->Alternates[info->InterfaceNumber] = info->AlternateSetting;
    InstrumentInterfaceChanged(&Port->Instrument, info->InterfaceNumber, info->AlternateSetting);
    OpenSetting(Port, &setting, info);
    return USBD_STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ control transfers */

/* A control transfer on the default pipe: its setup stage and data stage. */
typedef struct _CONTROL_REQUEST {
    UCHAR Setup[8];
    BOOLEAN In;
    BOOLEAN HasData;
    ULONG Length;
    PVOID Buffer;
    PMDL Mdl;
    PUCHAR Data; /* resolved */
} CONTROL_REQUEST;

static USHORT SetupWord(const CONTROL_REQUEST* C, ULONG At) {
    return (USHORT)(C->Setup[At] | (C->Setup[At + 1] << 8));
}

static VOID SetSetup(CONTROL_REQUEST* C, UCHAR RequestType, UCHAR Request, USHORT Value,
                     USHORT Index, USHORT Length) {
    C->Setup[0] = RequestType;
    C->Setup[1] = Request;
    C->Setup[2] = (UCHAR)Value;
    C->Setup[3] = (UCHAR)(Value >> 8);
    C->Setup[4] = (UCHAR)Index;
    C->Setup[5] = (UCHAR)(Index >> 8);
    C->Setup[6] = (UCHAR)Length;
    C->Setup[7] = (UCHAR)(Length >> 8);
}

/* The standard requests the instrument's device answers, from its descriptors and state.
   FALSE: a stall. For IN requests the reply goes to Reply, *ReplyLength its size. */
static BOOLEAN StandardRequest(PEMU_PORT Port, const CONTROL_REQUEST* C, PUCHAR Reply,
                               PULONG ReplyLength) {
    UCHAR recipient = C->Setup[0] & 0x1F;
    USHORT value = SetupWord(C, 2), index = SetupWord(C, 4);
    *ReplyLength = 0;
    switch (C->Setup[1]) {
        case USB_REQUEST_GET_STATUS: {
            USHORT bits = 0;
            if (recipient == BMREQUEST_TO_DEVICE) {
                ULONG length = 0;
                BOOLEAN selfPowered =
                    Port->ConfigIndex != 0xFF &&
                    (InstrumentConfigurationDescriptor(Port->ConfigIndex, &length)[7] & 0x40);
                bits = (USHORT)((selfPowered ? 1 : 0) | (Port->RemoteWakeup ? 2 : 0));
            } else if (recipient == BMREQUEST_TO_INTERFACE) {
                if (!InterfaceExists(Port, index))
                    return FALSE;
            } else if (recipient == BMREQUEST_TO_ENDPOINT) {
                if (!EndpointExists(Port, index))
                    return FALSE;
                bits = Port->Halted[EmuEndpointIndex((UCHAR)index)] ? 1 : 0;
            } else {
                return FALSE;
            }
            Reply[0] = (UCHAR)bits;
            Reply[1] = (UCHAR)(bits >> 8);
            *ReplyLength = 2;
            return TRUE;
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            BOOLEAN set = C->Setup[1] == USB_REQUEST_SET_FEATURE;
            if (recipient == BMREQUEST_TO_DEVICE) {
                if (value == USB_FEATURE_REMOTE_WAKEUP)
                    Port->RemoteWakeup = set;
                else if (!(set && value == USB_FEATURE_TEST_MODE))
                    return FALSE;
                return TRUE;
            }
            if (recipient != BMREQUEST_TO_ENDPOINT || value != USB_FEATURE_ENDPOINT_STALL ||
                !EndpointExists(Port, index)) {
                return FALSE; /* interfaces have no standard features */
            }
            if ((index & 0x0F) != 0)
                Port->Halted[EmuEndpointIndex((UCHAR)index)] = set;
            return TRUE;
        }
        case USB_REQUEST_GET_DESCRIPTOR: {
            UCHAR type = (UCHAR)(value >> 8), which = (UCHAR)value;
            const UCHAR* d = InstrumentDeviceDescriptor;
            if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
                RtlCopyMemory(Reply, d, 18);
                *ReplyLength = 18;
            } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                const UCHAR* config = InstrumentConfigurationDescriptor(which, ReplyLength);
                if (config == NULL)
                    return FALSE;
                RtlCopyMemory(Reply, config, *ReplyLength);
            } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
                *ReplyLength = InstrumentStringDescriptor(&Port->Instrument, which, Reply);
                return *ReplyLength != 0;
            } else if (type == USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE && d[3] >= 2) {
                const UCHAR qualifier[10] = {10,    USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE,
                                             d[2],  d[3],
                                             d[4],  d[5],
                                             d[6],  d[7],
                                             d[17], 0};
                RtlCopyMemory(Reply, qualifier, sizeof(qualifier));
                *ReplyLength = sizeof(qualifier);
            } else {
                return FALSE;
            }
            return TRUE;
        }
        case USB_REQUEST_GET_CONFIGURATION:
            Reply[0] = ConfigurationValue(Port);
            *ReplyLength = 1;
            return TRUE;
        case USB_REQUEST_GET_INTERFACE:
            if (!InterfaceExists(Port, index))
                return FALSE;
            Reply[0] = Port->Alternates[index];
            *ReplyLength = 1;
            return TRUE;
        default:
            return FALSE; /* SET_DESCRIPTOR, SYNCH_FRAME: the device has neither */
    }
}

/* Carries out a checked control transfer; *Moved the bytes of its data stage. */
static USBD_STATUS RunControl(PEMU_PORT Port, const CONTROL_REQUEST* C, PULONG Moved) {
    UCHAR reply[INSTRUMENT_MAX_STRING_DESCRIPTOR + 2];
    ULONG replyLength = 0;
    USHORT wLength = SetupWord(C, 6);
    BOOLEAN accepted;
    *Moved = 0;
    Port->Bus->Counters.ControlTransfers++;
    if (((C->Setup[0] >> 5) & 3) == 0) {
        accepted = StandardRequest(Port, C, reply, &replyLength);
        if (accepted && C->In) {
            *Moved = replyLength < wLength ? replyLength : wLength;
            if (*Moved > C->Length)
                *Moved = C->Length;
            if (*Moved != 0)
                RtlCopyMemory(C->Data, reply, *Moved);
        }
    } else {
        Port->Bus->Counters.VendorRequests++;
        ULONG returned = 0;
        accepted = InstrumentControlRequest(&Port->Instrument, C->Setup, C->Data,
                                            C->In ? C->Length : 0, &returned);
        if (accepted)
            *Moved = C->In ? returned : C->Length;
    }
    if (!accepted) {
        *Moved = 0;
        return USBD_STATUS_STALL_PID;
    }
    return USBD_STATUS_SUCCESS;
}

/* Resolves the data stage's buffer: the MDL's when there is one. */
static USBD_STATUS ResolveBuffer(PVOID Buffer, PMDL Mdl, ULONG Length, PUCHAR* Data) {
    *Data = NULL;
    if (Length == 0)
        return USBD_STATUS_SUCCESS;
    if (Mdl != NULL) {
        if (MmGetMdlByteCount(Mdl) < Length)
            return USBD_STATUS_INVALID_PARAMETER;
        *Data = (PUCHAR)EmuMdlAddress(Mdl);
        return *Data != NULL ? USBD_STATUS_SUCCESS : USBD_STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Buffer == NULL)
        return USBD_STATUS_INVALID_PARAMETER;
    *Data = (PUCHAR)Buffer;
    return USBD_STATUS_SUCCESS;
}

/* The recipient of a control kind: device, interface, endpoint or other, by its place in its
   family of four function codes. */
static UCHAR RecipientOf(USHORT Function, USHORT Device, USHORT Interface, USHORT Endpoint) {
    if (Function == Device)
        return BMREQUEST_TO_DEVICE;
    if (Function == Interface)
        return BMREQUEST_TO_INTERFACE;
    if (Function == Endpoint)
        return BMREQUEST_TO_ENDPOINT;
    return BMREQUEST_TO_OTHER;
}

/* The setup stage a descriptor request block stands for. */
static BOOLEAN DescriptorKind(PURB Urb, CONTROL_REQUEST* C) {
    USHORT f = Urb->UrbHeader.Function;
    const struct _URB_CONTROL_DESCRIPTOR_REQUEST* d = &Urb->UrbControlDescriptorRequest;
    UCHAR recipient;
    if (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
        f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
        f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) {
        C->In = TRUE;
        recipient = RecipientOf(f, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                                URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT);
    } else if (f == URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE ||
               f == URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE ||
               f == URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT) {
        recipient = RecipientOf(f, URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE,
                                URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE,
                                URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT);
    } else {
        return FALSE;
    }
    SetSetup(C, (UCHAR)((C->In ? 0x80 : 0) | recipient),
             C->In ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR,
             (USHORT)((d->DescriptorType << 8) | d->Index), d->LanguageId, 0);
    C->Length = d->TransferBufferLength;
    C->Buffer = d->TransferBuffer;
    C->Mdl = d->TransferBufferMDL;
    return TRUE;
}

/* The setup stage of the feature, status, vendor, class, configuration and interface kinds. */
static VOID OtherKind(PURB Urb, CONTROL_REQUEST* C) {
    USHORT f = Urb->UrbHeader.Function;
    const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* v = &Urb->UrbControlVendorClassRequest;
    switch (f) {
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
            /* Each family's codes are device, interface, endpoint in a row. */
            BOOLEAN set = f <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
            USHORT device =
                set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE;
            SetSetup(C, RecipientOf(f, device, (USHORT)(device + 1), (USHORT)(device + 2)),
                     set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE,
                     Urb->UrbControlFeatureRequest.FeatureSelector,
                     Urb->UrbControlFeatureRequest.Index, 0);
            C->HasData = FALSE;
            return;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
            C->In = TRUE;
            SetSetup(C,
                     (UCHAR)(0x80 | RecipientOf(f, URB_FUNCTION_GET_STATUS_FROM_DEVICE,
                                                URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                                                URB_FUNCTION_GET_STATUS_FROM_ENDPOINT)),
                     USB_REQUEST_GET_STATUS, 0, Urb->UrbControlGetStatusRequest.Index, 2);
            break;
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER: {
            BOOLEAN vendor = f == URB_FUNCTION_VENDOR_DEVICE ||
                             f == URB_FUNCTION_VENDOR_INTERFACE ||
                             f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
            UCHAR recipient =
                vendor ? RecipientOf(f, URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                     URB_FUNCTION_VENDOR_ENDPOINT)
                       : RecipientOf(f, URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                     URB_FUNCTION_CLASS_ENDPOINT);
            C->In = (v->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            /* Direction from the flags, type and recipient from the kind; the reserved bits the
               client gives are or-ed in, as the stack does. */
            SetSetup(
                C,
                (UCHAR)((C->In ? 0x80 : 0) | ((vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) << 5) |
                        recipient | v->RequestTypeReservedBits),
                v->Request, v->Value, v->Index, 0);
            break;
        }
        case URB_FUNCTION_GET_CONFIGURATION:
            C->In = TRUE;
            SetSetup(C, 0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 0);
            break;
        case URB_FUNCTION_GET_INTERFACE:
            C->In = TRUE;
            SetSetup(C, 0x81, USB_REQUEST_GET_INTERFACE, 0,
                     Urb->UrbControlGetInterfaceRequest.Interface, 0);
            break;
        default:
            return;
    }
    /* These kinds keep their buffer where the vendor request keeps it. */
    C->Length = v->TransferBufferLength;
    C->Buffer = v->TransferBuffer;
    C->Mdl = v->TransferBufferMDL;
}

/* A raw control transfer: the setup packet as the client wrote it, on the default pipe only. */
static USBD_STATUS ControlTransferKind(PURB Urb, CONTROL_REQUEST* C) {
    const struct _URB_CONTROL_TRANSFER* t = &Urb->UrbControlTransfer;
    if (Urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER))
        return USBD_STATUS_INVALID_PARAMETER;
    RtlCopyMemory(C->Setup, t->SetupPacket, 8);
    C->In = (t->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if ((t->TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) == 0 && t->PipeHandle != NULL)
        return USBD_STATUS_INVALID_PIPE_HANDLE; /* the device has no other control pipe */
    if (((C->Setup[0] & 0x80) != 0) != C->In)
        return USBD_STATUS_INVALID_PARAMETER;
    /* Address, configuration and interface belong to the stack, not to a raw transfer. */
    UCHAR request = C->Setup[1];
    if ((C->Setup[0] & 0x60) == 0 &&
        (request == USB_REQUEST_SET_ADDRESS || request == USB_REQUEST_SET_CONFIGURATION ||
         request == USB_REQUEST_SET_INTERFACE)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    C->Length =
        t->TransferBufferLength < SetupWord(C, 6) ? t->TransferBufferLength : SetupWord(C, 6);
    C->Buffer = t->TransferBuffer;
    C->Mdl = t->TransferBufferMDL;
    return USBD_STATUS_SUCCESS;
}

/* The kinds that are control transfers on the default pipe. */
static BOOLEAN IsControlKind(USHORT Function) {
    switch (Function) {
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_GET_CONFIGURATION:
        case URB_FUNCTION_GET_INTERFACE:
            return TRUE;
        default:
            return FALSE;
    }
}

/* Checks a control kind and forms its setup stage. */
static USBD_STATUS CheckControl(PURB Urb, CONTROL_REQUEST* C) {
    RtlZeroMemory(C, sizeof(*C));
    C->HasData = TRUE;
    if (!IsControlKind(Urb->UrbHeader.Function))
        return USBD_STATUS_INVALID_URB_FUNCTION;
    /* Every control kind is 136 bytes; nothing past the header is read before that is known. */
    if (Urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    if (Urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER) {
        USBD_STATUS status = ControlTransferKind(Urb, C);
        if (!USBD_SUCCESS(status))
            return status;
    } else {
        if (!DescriptorKind(Urb, C))
            OtherKind(Urb, C);
        if (!C->HasData)
            C->Length = 0;
        if (SetupWord(C, 6) == 0) {
            USHORT length = C->Length < 0xFFFF ? (USHORT)C->Length : 0xFFFF;
            C->Setup[6] = (UCHAR)length;
            C->Setup[7] = (UCHAR)(length >> 8);
        }
        if (C->Length > 0xFFFF)
            return USBD_STATUS_INVALID_PARAMETER;
        if (C->Setup[1] == USB_REQUEST_GET_STATUS && (C->Setup[0] & 0x60) == 0 && C->Length < 2)
            return USBD_STATUS_INVALID_PARAMETER; /* the status is 2 bytes */
    }
    return ResolveBuffer(C->Buffer, C->Mdl, C->Length, &C->Data);
}

/* ------------------------------------------------------------------ pipe requests */

static EMU_PIPE* PipeOf(PEMU_PORT Port, PVOID Handle) {
    for (ULONG i = 0; i < EMU_ENDPOINTS; i++) {
        if (Port->Pipes[i].Handle != 0 && Port->Pipes[i].Handle == (ULONG_PTR)Handle)
            return &Port->Pipes[i];
    }
    return NULL;
}

static USBD_STATUS PipeRequest(PEMU_PORT Port, PURB Urb, PLIST_ENTRY Done) {
    if (Urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    EMU_PIPE* pipe = PipeOf(Port, Urb->UrbPipeRequest.PipeHandle);
    if (pipe == NULL)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    ULONG index = EmuEndpointIndex(pipe->EndpointAddress);
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        Port->Bus->Counters.PipeAborts++;
        EmuFailPendingLocked(Port, index, USBD_STATUS_CANCELED, Done);
    } else {
        /* the reset-pipe requests clear the halt (and the data toggle) */
        Port->Bus->Counters.PipeResets++;
        Port->Halted[index] = FALSE;
    }
    return USBD_STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ bulk transfers */

static USBD_STATUS CheckBulk(PEMU_PORT Port, PURB Urb, PEMU_TRANSFER T) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* bulk = &Urb->UrbBulkOrInterruptTransfer;
    /* Nothing past the header is read (or written back) before its length is known. */
    if (Urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return USBD_STATUS_INVALID_PARAMETER;
    EMU_PIPE* pipe = PipeOf(Port, bulk->PipeHandle);
    if (pipe == NULL ||
        (pipe->Type != USB_ENDPOINT_TYPE_BULK && pipe->Type != USB_ENDPOINT_TYPE_INTERRUPT) ||
        pipe->MaxPacket == 0) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    T->In = (bulk->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    T->ShortOk = (bulk->TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    T->Length = bulk->TransferBufferLength;
    T->Endpoint = pipe->EndpointAddress;
    T->MaxPacket = pipe->MaxPacket;
    T->PipeHandle = pipe->Handle;
    if (T->In != ((pipe->EndpointAddress & 0x80) != 0) || T->Length > pipe->MaxTransfer)
        return USBD_STATUS_INVALID_PARAMETER;
    return ResolveBuffer(bulk->TransferBuffer, bulk->TransferBufferMDL, T->Length, &T->Buffer);
}

/* ------------------------------------------------------------------ submission */

/* Carries out a request block that completes at once, with the lock held. *Moved: the bytes of
   a control transfer's data stage, ~0 for kinds that report none. */
static USBD_STATUS RunUrbLocked(PEMU_PORT Port, PURB Urb, PLIST_ENTRY Done, PULONG Moved) {
    *Moved = ~0u;
    switch (Urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectConfiguration(Port, Urb);
        case URB_FUNCTION_SELECT_INTERFACE:
            return SelectInterface(Port, Urb);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_ABORT_PIPE:
            return PipeRequest(Port, Urb, Done);
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (Urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
                return USBD_STATUS_INVALID_PARAMETER;
            Urb->UrbGetCurrentFrameNumber.FrameNumber = Port->Bus->Counters.UrbsSubmitted * 8;
            return USBD_STATUS_SUCCESS;
        default: {
            CONTROL_REQUEST control;
            USBD_STATUS status = CheckControl(Urb, &control);
            *Moved = 0;
            if (!USBD_SUCCESS(status))
                return status;
            return RunControl(Port, &control, Moved);
        }
    }
}

static NTSTATUS SubmitBulk(PEMU_PORT Port, PIRP Irp, PURB Urb) {
    PEMU_BUS bus = Port->Bus;
    PEMU_TRANSFER t =
        (PEMU_TRANSFER)ExAllocatePoolWithTag(NonPagedPool, sizeof(EMU_TRANSFER), EMU_POOL_TAG);
    if (t == NULL) {
        Urb->UrbHeader.Status = USBD_STATUS_INSUFFICIENT_RESOURCES;
        return EmuCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(t, sizeof(*t));
    t->Irp = Irp;
    t->Urb = Urb;
    LIST_ENTRY done;
    InitializeListHead(&done);
    IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&bus->Lock, &irql);
    bus->Counters.UrbsSubmitted++;
    USBD_STATUS status = Port->Connected ? CheckBulk(Port, Urb, t) : USBD_STATUS_DEVICE_GONE;
    if (USBD_SUCCESS(status)) {
        EmuQueueBulkLocked(Port, t, &done);
    } else {
        bus->Counters.UrbsRejected++;
        bus->Counters.LastUsbdStatus = (ULONG)status;
        t->Status = status;
        InsertTailList(&done, &t->Link);
    }
    KeReleaseSpinLock(&bus->Lock, irql);
    EmuFinishTransfers(&done);
    EmuKickController(bus);
    return STATUS_PENDING;
}

NTSTATUS EmuSubmitUrb(PEMU_PORT Port, PIRP Irp, PURB Urb) {
    if (Urb == NULL)
        return EmuCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    if (Urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return SubmitBulk(Port, Irp, Urb);

    PEMU_BUS bus = Port->Bus;
    LIST_ENTRY done;
    InitializeListHead(&done);
    ULONG moved = 0;
    USBD_STATUS status;
    KIRQL irql;
    KeAcquireSpinLock(&bus->Lock, &irql);
    bus->Counters.UrbsSubmitted++;
    status = Port->Connected ? RunUrbLocked(Port, Urb, &done, &moved) : USBD_STATUS_DEVICE_GONE;
    if (!USBD_SUCCESS(status) && status != USBD_STATUS_STALL_PID)
        bus->Counters.UrbsRejected++;
    bus->Counters.LastUsbdStatus = (ULONG)status;
    KeReleaseSpinLock(&bus->Lock, irql);
    EmuFinishTransfers(&done);
    /* A selection or a start request may let waiting transfers go on (or end). */
    EmuKickController(bus);

    Urb->UrbHeader.Status = status;
    if (moved != ~0u)
        Urb->UrbControlTransfer.TransferBufferLength = moved;
    return EmuCompleteRequest(Irp, EmuNtStatusForUsbd(status), 0);
}
