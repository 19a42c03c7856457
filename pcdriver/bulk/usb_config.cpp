/*
 * USB configuration: synchronous request blocks, the descriptor cache filled at start, and
 * configuration and interface selection with the interface table they fill.
 */
#include "pcdriver/bulk/vavedu.h"

/* ------------------------------------------------------------------ synchronous requests */

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Fdo, PURB Urb) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject,
                                      NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    extension->LastUsbdStatus = Urb->UrbHeader.Status;
    return status;
}

/* ------------------------------------------------------------------ the interface table */

/* Nonzero while a request of the queue is being processed: the word at byte 40 of its area. The
   support library changes it under the queue's lock, which this test does not take: it reads the
   word with an interlocked operation (a snapshot; a request that starts afterwards is checked
   against the table again when its start routine runs). */
BOOLEAN QueueBusy(PDEVICE_EXTENSION Extension, ULONG QueueIndex) {
    PVOID volatile* busy = (PVOID volatile*)((PUCHAR)&Extension->Queues[QueueIndex] + 40);
    return InterlockedCompareExchangePointer(busy, NULL, NULL) != NULL;
}

static BOOLEAN AnyQueueBusy(PDEVICE_EXTENSION Extension) {
    for (ULONG i = 0; i < VAVEDU_QUEUE_COUNT; i++) {
        if (QueueBusy(Extension, i))
            return TRUE;
    }
    return FALSE;
}

PIPE_LOOKUP LookupPipe(PDEVICE_EXTENSION Extension, ULONG InterfaceIndex, ULONG PipeIndex,
                       PIPE_SNAPSHOT* Pipe) {
    if (InterfaceIndex >= VAVEDU_MAX_INTERFACES)
        return PipeNoInterface;
    PIPE_LOOKUP result = PipeNoInterface;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->InterfaceLock, &irql);
    PUSBD_INTERFACE_INFORMATION info = Extension->Interfaces[InterfaceIndex];
    if (info != NULL) {
        Pipe->NumberOfPipes = info->NumberOfPipes;
        result = PipeOutOfRange;
        if (PipeIndex < info->NumberOfPipes) {
            const USBD_PIPE_INFORMATION* pipe = &info->Pipes[PipeIndex];
            Pipe->PipeHandle = pipe->PipeHandle;
            Pipe->MaximumTransferSize = pipe->MaximumTransferSize;
            Pipe->MaximumPacketSize = pipe->MaximumPacketSize;
            Pipe->EndpointAddress = pipe->EndpointAddress;
            result = PipeFound;
        }
    }
    KeReleaseSpinLock(&Extension->InterfaceLock, irql);
    return result;
}

/* Takes an entry out of the table; the caller frees what it returns. */
static PUSBD_INTERFACE_INFORMATION TakeInterface(PDEVICE_EXTENSION Extension, ULONG Index) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->InterfaceLock, &irql);
    PUSBD_INTERFACE_INFORMATION old = (PUSBD_INTERFACE_INFORMATION)InterlockedExchangePointer(
        (PVOID volatile*)&Extension->Interfaces[Index], NULL);
    KeReleaseSpinLock(&Extension->InterfaceLock, irql);
    return old;
}

static VOID FreeInterface(PDEVICE_EXTENSION Extension, ULONG Index) {
    PUSBD_INTERFACE_INFORMATION old = TakeInterface(Extension, Index);
    if (old != NULL)
        ExFreePool(old);
}

/* Puts a new copy into an entry; whatever another path stored there meanwhile is freed. */
static VOID StoreInterface(PDEVICE_EXTENSION Extension, ULONG Index,
                           PUSBD_INTERFACE_INFORMATION Copy) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->InterfaceLock, &irql);
    PUSBD_INTERFACE_INFORMATION old = (PUSBD_INTERFACE_INFORMATION)InterlockedExchangePointer(
        (PVOID volatile*)&Extension->Interfaces[Index], Copy);
    KeReleaseSpinLock(&Extension->InterfaceLock, irql);
    if (old != NULL)
        ExFreePool(old);
}

static PUSBD_INTERFACE_INFORMATION CopyInterface(const USBD_INTERFACE_INFORMATION* Info) {
    PUSBD_INTERFACE_INFORMATION copy =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePool(NonPagedPool, Info->Length);
    if (copy != NULL)
        RtlCopyMemory(copy, Info, Info->Length);
    return copy;
}

/*
 * The selection lock is held inside a critical region: an application's thread that holds it
 * while it waits for the device cannot be suspended there (SuspendThread is a normal kernel APC),
 * so a stop or a surprise removal that needs the lock never waits on a suspended application.
 */
static VOID AcquireSelectionLock(PDEVICE_EXTENSION Extension) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&Extension->SelectionLock, Executive, KernelMode, FALSE, NULL);
}

static VOID ReleaseSelectionLock(PDEVICE_EXTENSION Extension) {
    KeSetEvent(&Extension->SelectionLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

/* ------------------------------------------------------------------ start and stop */

static ULONG CachedConfigurationCount(PDEVICE_EXTENSION Extension) {
    ULONG count = Extension->DeviceDescriptor.bNumConfigurations;
    return count < VAVEDU_MAX_CONFIGURATIONS ? count : VAVEDU_MAX_CONFIGURATIONS;
}

static NTSTATUS ReadDescriptor(PDEVICE_OBJECT Fdo, UCHAR Type, UCHAR Index, PVOID Buffer,
                               ULONG Length, PULONG Returned) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.TransferBuffer = Buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = Length;
    urb.UrbControlDescriptorRequest.TransferBufferMDL = NULL;
    urb.UrbControlDescriptorRequest.UrbLink = NULL;
    urb.UrbControlDescriptorRequest.DescriptorType = Type;
    urb.UrbControlDescriptorRequest.Index = Index;
    urb.UrbControlDescriptorRequest.LanguageId = 0;
    NTSTATUS status = SubmitUrbSync(Fdo, &urb);
    *Returned = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

/* A configuration descriptor whose own length lies inside the set it heads: the interface walk
   starts right behind it. */
static BOOLEAN ConfigurationHeaderIsSound(const USB_CONFIGURATION_DESCRIPTOR* Header) {
    return Header->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
           Header->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           Header->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           Header->bLength <= Header->wTotalLength;
}

/*
 * Reads configuration i whole into a new block. A device that returns less than it announced,
 * or a header that is no configuration descriptor, fails the start: everything later parses
 * these blocks and must never read beyond what the device returned.
 */
static NTSTATUS CacheConfiguration(PDEVICE_OBJECT Fdo, UCHAR Index,
                                   PUSB_CONFIGURATION_DESCRIPTOR* Block) {
    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof(header));
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(Fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, &header,
                                     sizeof(header), &returned);
    if (!NT_SUCCESS(status))
        return status;
    if (returned < sizeof(header) || !ConfigurationHeaderIsSound(&header)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    ULONG total = header.wTotalLength;
    PUSB_CONFIGURATION_DESCRIPTOR block =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, total);
    if (block == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = ReadDescriptor(Fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, block, total, &returned);
    if (NT_SUCCESS(status) &&
        (returned < total || !ConfigurationHeaderIsSound(block) || block->wTotalLength != total)) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(block);
        return status;
    }
    *Block = block;
    return STATUS_SUCCESS;
}

static NTSTATUS SelectConfigurationLocked(PDEVICE_OBJECT Fdo, UCHAR ConfigurationValue);

/* Fills the descriptor cache and selects the first configuration; selection lock held, so that
   a selection asked for meanwhile never reads a cache being filled. */
static NTSTATUS StartDeviceLocked(PDEVICE_OBJECT Fdo) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    ULONG returned = 0;
    NTSTATUS status =
        ReadDescriptor(Fdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, &extension->DeviceDescriptor,
                       sizeof(extension->DeviceDescriptor), &returned);
    if (!NT_SUCCESS(status))
        return status;
    if (returned < sizeof(USB_DEVICE_DESCRIPTOR))
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    /* Only the first ten configurations are cached; a device announcing none cannot start. */
    for (ULONG i = 0; i < CachedConfigurationCount(extension); i++) {
        status = CacheConfiguration(Fdo, (UCHAR)i, &extension->ConfigDescriptors[i]);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (extension->ConfigDescriptors[0] == NULL)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    return SelectConfigurationLocked(Fdo, extension->ConfigDescriptors[0]->bConfigurationValue);
}

NTSTATUS StartDevice(PDEVICE_OBJECT Fdo) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    AcquireSelectionLock(extension);
    NTSTATUS status = StartDeviceLocked(Fdo);
    ReleaseSelectionLock(extension);
    return status;
}

VOID StopDevice(PDEVICE_OBJECT Fdo) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    /* A selection still running uses a cached descriptor: it finishes first. */
    AcquireSelectionLock(extension);
    /* Forget the selection first, so SelectedConfig never points at a freed block. */
    ReleaseConfiguration(Fdo);

    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (ULONG i = 0; i < CachedConfigurationCount(extension); i++) {
        if (extension->ConfigDescriptors[i] != NULL) {
            PVOID old =
                InterlockedExchangePointer((PVOID volatile*)&extension->ConfigDescriptors[i], NULL);
            if (old != NULL)
                ExFreePool(old);
        }
    }
    KeLowerIrql(irql);
    ReleaseSelectionLock(extension);
}

/* ------------------------------------------------------------------ configuration selection */

VOID ReleaseConfiguration(PDEVICE_OBJECT Fdo) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    extension->InterfaceCount = 0;
    extension->SelectedConfig = NULL;
    extension->ConfigurationHandle = NULL;
    for (ULONG i = 0; i < VAVEDU_MAX_INTERFACES; i++)
        FreeInterface(extension, i);
    KeLowerIrql(irql);
}

static NTSTATUS Unconfigure(PDEVICE_OBJECT Fdo) {
    ReleaseConfiguration(Fdo);
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(URB);
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    return SubmitUrbSync(Fdo, &urb);
}

static PUSB_CONFIGURATION_DESCRIPTOR FindConfiguration(PDEVICE_EXTENSION Extension, UCHAR Value) {
    for (ULONG i = 0; i < CachedConfigurationCount(Extension); i++) {
        PUSB_CONFIGURATION_DESCRIPTOR config = Extension->ConfigDescriptors[i];
        if (config != NULL && config->bConfigurationValue == Value)
            return config;
    }
    return NULL;
}

/* True when Found is a whole interface descriptor inside the configuration's wTotalLength. The
   driver reads its fields and steps over it by its bLength, so it checks both itself. */
static BOOLEAN InterfaceDescriptorIsSound(PUSB_CONFIGURATION_DESCRIPTOR Config,
                                          PUSB_INTERFACE_DESCRIPTOR Found) {
    ULONG_PTR offset = (ULONG_PTR)((PUCHAR)Found - (PUCHAR)Config);
    if ((PUCHAR)Found < (PUCHAR)Config || offset >= Config->wTotalLength)
        return FALSE;
    ULONG room = Config->wTotalLength - (ULONG)offset;
    return room >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           Found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && Found->bLength <= room &&
           Found->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

/*
 * Collects alternate setting 0 of every interface the configuration announces, in descriptor
 * order, into the list (room for bNumInterfaces entries and the zeroed one that ends it): the
 * select request names every interface, also beyond what the table keeps. Returns the count.
 */
static ULONG CollectInterfaces(PUSB_CONFIGURATION_DESCRIPTOR Config,
                               PUSBD_INTERFACE_LIST_ENTRY List) {
    ULONG count = 0;
    PUCHAR position = (PUCHAR)Config + Config->bLength; /* checked when it was cached */
    while (count < Config->bNumInterfaces) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(Config, position, -1, 0, -1, -1, -1);
        if (found == NULL || !InterfaceDescriptorIsSound(Config, found))
            break;
        List[count++].InterfaceDescriptor = found;
        position = (PUCHAR)found + found->bLength;
    }
    return count;
}

/*
 * Replaces the interface table with copies of what the completed request returned: interface n
 * in entry n; interface numbers of 10 and above are not kept. Entries of no interface of the
 * request are emptied, so none keeps dead pipes of an earlier configuration. InterfaceCount
 * becomes one more than the highest number kept: the number of interfaces for a device numbered
 * 0, 1, 2 and so on. Each record is found through the list the request was built from, never by
 * walking the records by their Length: the stack writes back the length the setting's pipes
 * need, shorter than the room made when a descriptor announced more endpoints than it has.
 */
static NTSTATUS StoreInterfaces(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_LIST_ENTRY List,
                                ULONG Count) {
    BOOLEAN kept[VAVEDU_MAX_INTERFACES] = {FALSE};
    ULONG span = 0;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (ULONG k = 0; k < Count; k++) {
        PUSBD_INTERFACE_INFORMATION info = List[k].Interface;
        ULONG number = info->InterfaceNumber;
        if (number >= VAVEDU_MAX_INTERFACES)
            continue;
        FreeInterface(Extension, number);
        PUSBD_INTERFACE_INFORMATION copy = CopyInterface(info);
        if (copy == NULL) {
            KeLowerIrql(irql);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        StoreInterface(Extension, number, copy);
        kept[number] = TRUE;
        span = number + 1 > span ? number + 1 : span;
    }
    for (ULONG n = 0; n < VAVEDU_MAX_INTERFACES; n++) {
        if (!kept[n])
            FreeInterface(Extension, n);
    }
    Extension->InterfaceCount = span;
    KeLowerIrql(irql);
    return STATUS_SUCCESS;
}

static NTSTATUS SelectConfigurationLocked(PDEVICE_OBJECT Fdo, UCHAR ConfigurationValue) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    if (AnyQueueBusy(extension))
        return STATUS_INVALID_DEVICE_STATE;
    if (ConfigurationValue == 0)
        return Unconfigure(Fdo);

    PUSB_CONFIGURATION_DESCRIPTOR config = FindConfiguration(extension, ConfigurationValue);
    if (config == NULL)
        return STATUS_INVALID_PARAMETER;

    NTSTATUS status = STATUS_SUCCESS;
    PURB urb = NULL;
    ULONG count = 0;
    SIZE_T listSize = (SIZE_T)(config->bNumInterfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list =
        (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePool(NonPagedPool, listSize);
    if (list == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(list, listSize);
        count = CollectInterfaces(config, list);
        urb = USBD_CreateConfigurationRequestEx(config, list);
        if (urb == NULL)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }

    if (NT_SUCCESS(status)) {
        for (ULONG k = 0; k < count; k++) {
            PUSBD_INTERFACE_INFORMATION info = list[k].Interface;
            for (ULONG j = 0; j < info->NumberOfPipes; j++) {
                info->Pipes[j].MaximumTransferSize = g_MaxTransferSize;
            }
        }
        status = SubmitUrbSync(Fdo, urb);
        if (NT_SUCCESS(status)) {
            NTSTATUS stored = StoreInterfaces(extension, list, count);
            if (!NT_SUCCESS(stored))
                status = stored;
        }
    }

    /* Clean-up on every way out after the look-up: a failed selection leaves the driver
       unconfigured rather than half-changed. */
    if (NT_SUCCESS(status)) {
        extension->SelectedConfig = config;
        extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    } else {
        ReleaseConfiguration(Fdo);
    }
    if (urb != NULL)
        ExFreePool(urb);
    if (list != NULL)
        ExFreePool(list);
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT Fdo, UCHAR ConfigurationValue) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    AcquireSelectionLock(extension);
    NTSTATUS status = SelectConfigurationLocked(Fdo, ConfigurationValue);
    ReleaseSelectionLock(extension);
    return status;
}

/* ------------------------------------------------------------------ interface selection */

/* True when a request is being processed on a pipe of the interface's current setting. */
static BOOLEAN InterfaceBusy(PDEVICE_EXTENSION Extension, ULONG InterfaceNumber) {
    BOOLEAN busy = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->InterfaceLock, &irql);
    PUSBD_INTERFACE_INFORMATION info = Extension->Interfaces[InterfaceNumber];
    for (ULONG j = 0; info != NULL && j < info->NumberOfPipes && !busy; j++) {
        busy = QueueBusy(Extension, QueueIndexOfEndpoint(info->Pipes[j].EndpointAddress));
    }
    KeReleaseSpinLock(&Extension->InterfaceLock, irql);
    return busy;
}

static NTSTATUS SelectInterfaceLocked(PDEVICE_OBJECT Fdo, UCHAR InterfaceNumber,
                                      UCHAR AlternateSetting) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    PUSB_CONFIGURATION_DESCRIPTOR config = extension->SelectedConfig;
    if (config == NULL)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    /* The table has ten entries; a larger number names no entry. */
    if (InterfaceNumber >= VAVEDU_MAX_INTERFACES)
        return STATUS_INVALID_PARAMETER;
    if (InterfaceBusy(extension, InterfaceNumber))
        return STATUS_INVALID_DEVICE_STATE;

    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
        config, config, InterfaceNumber, AlternateSetting, -1, -1, -1);
    if (found == NULL || !InterfaceDescriptorIsSound(config, found))
        return STATUS_INVALID_PARAMETER;

    ULONG endpoints = found->bNumEndpoints;
    ULONG urbLength = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                      FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                      endpoints * sizeof(USBD_PIPE_INFORMATION);
    PURB urb = (PURB)ExAllocatePool(NonPagedPool, urbLength);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, urbLength);
    urb->UrbHeader.Length = (USHORT)urbLength;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = extension->ConfigurationHandle;
    urb->UrbSelectInterface.Interface.Length =
        (USHORT)(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                 endpoints * sizeof(USBD_PIPE_INFORMATION));
    urb->UrbSelectInterface.Interface.InterfaceNumber = InterfaceNumber;
    urb->UrbSelectInterface.Interface.AlternateSetting = AlternateSetting;
    for (ULONG j = 0; j < endpoints; j++) {
        urb->UrbSelectInterface.Interface.Pipes[j].MaximumTransferSize = g_MaxTransferSize;
    }

    /* From here until the request succeeds the interface has no entry. */
    FreeInterface(extension, InterfaceNumber);

    NTSTATUS status = SubmitUrbSync(Fdo, urb);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION copy = CopyInterface(&urb->UrbSelectInterface.Interface);
        if (copy == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            StoreInterface(extension, InterfaceNumber, copy);
        }
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT Fdo, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    PDEVICE_EXTENSION extension = DeviceExtensionOf(Fdo);
    AcquireSelectionLock(extension);
    NTSTATUS status = SelectInterfaceLocked(Fdo, InterfaceNumber, AlternateSetting);
    ReleaseSelectionLock(extension);
    return status;
}
