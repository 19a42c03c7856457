// The USB driver interface library (libusbd.so, the platform's USBD.SYS): descriptor parsing and
// configuration requests. Every walk over descriptors is bounded by the buffer it is given
// (wTotalLength of a configuration descriptor is the caller's promise of its size) and stops at
// a descriptor whose bLength is below 2, so malformed descriptors from a device can neither hang
// it nor make it read out of bounds. The interface search returns what Windows' returns (short
// descriptors, or one running past the end, included): checking them is its caller's work.
#include <wdm.h>

#include <usbdlib.h>

#include <utility>

#include "sim/kernel/kernel.hpp"

namespace {

constexpr ULONG kUsbdiVersion = 0x600;
constexpr ULONG kSupportedUsbVersion = 0x200;
constexpr ULONG kPoolTag = 0x44425355;  // 'USBD'
constexpr size_t kInterfaceRecordHead = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
constexpr size_t kSelectConfigurationHead =
    FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);

// The descriptor at `position` if it lies whole inside [begin, end) and has a usable length.
const USB_COMMON_DESCRIPTOR* descriptorAt(const UCHAR* position, const UCHAR* begin,
                                          const UCHAR* end) {
    if (position < begin || position >= end || end - position < 2)
        return nullptr;
    const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(position);
    if (d->bLength < 2 || d->bLength > end - position)
        return nullptr;
    return d;
}

// The descriptor whose two-byte header lies at `position` inside [begin, end), whatever its
// bLength says, as Windows' parser walks; a bLength below 2 ends the walk (it would never move).
const USB_COMMON_DESCRIPTOR* headerAt(const UCHAR* position, const UCHAR* begin,
                                      const UCHAR* end) {
    if (position < begin || position >= end || end - position < 2)
        return nullptr;
    const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(position);
    return d->bLength < 2 ? nullptr : d;
}

const UCHAR* configurationEnd(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
}

bool interfaceInside(PUSB_INTERFACE_DESCRIPTOR iface, PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    const auto* begin = reinterpret_cast<const UCHAR*>(configuration);
    const auto* p = reinterpret_cast<const UCHAR*>(iface);
    const auto* d = descriptorAt(p, begin, configurationEnd(configuration));
    return d != nullptr && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

}  // namespace

extern "C" {

SIM_EXPORT VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr)
        return;
    VersionInformation->USBDI_Version = kUsbdiVersion;
    VersionInformation->Supported_USB_Version = kSupportedUsbVersion;
}

SIM_EXPORT PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                        PVOID StartPosition, LONG DescriptorType) {
    if (DescriptorBuffer == nullptr || StartPosition == nullptr)
        return nullptr;
    const auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const auto* end = begin + TotalLength;
    const auto* position = static_cast<const UCHAR*>(StartPosition);
    while (const auto* d = descriptorAt(position, begin, end)) {
        if (d->bDescriptorType == DescriptorType)
            return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
        position += d->bLength;
    }
    return nullptr;
}

// Windows' parser returns every descriptor of the interface type whose two-byte header lies in
// the configuration, whatever its bLength and even when it runs past wTotalLength: the caller
// checks what it uses. A criterion whose byte lies beyond wTotalLength (Windows would read
// whatever follows the buffer) matches only the wildcard -1 here.
SIM_EXPORT PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr)
        return nullptr;
    const auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const auto* end = configurationEnd(ConfigurationDescriptor);
    const auto* position =
        StartPosition != nullptr ? static_cast<const UCHAR*>(StartPosition) : begin;
    const std::pair<LONG, size_t> criteria[] = {
        {InterfaceNumber, FIELD_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber)},
        {AlternateSetting, FIELD_OFFSET(USB_INTERFACE_DESCRIPTOR, bAlternateSetting)},
        {InterfaceClass, FIELD_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceClass)},
        {InterfaceSubClass, FIELD_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceSubClass)},
        {InterfaceProtocol, FIELD_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceProtocol)}};
    auto matches = [&](const UCHAR* d) {
        for (const auto& [wanted, offset] : criteria) {
            if (wanted != -1 && (offset >= static_cast<size_t>(end - d) || d[offset] != wanted))
                return false;
        }
        return true;
    };
    while (const auto* d = headerAt(position, begin, end)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && matches(position)) {
            return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(position));
        }
        position += d->bLength;
    }
    return nullptr;
}

// The bytes of an interface descriptor and everything after it up to the next interface
// descriptor or BufferEnd; 0 when the descriptor itself does not fit.
SIM_EXPORT ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                         PUCHAR BufferEnd) {
    if (InterfaceDescriptor == nullptr || BufferEnd == nullptr)
        return 0;
    const auto* begin = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    const auto* first = descriptorAt(begin, begin, BufferEnd);
    if (first == nullptr)
        return 0;
    const auto* position = begin + first->bLength;
    while (const auto* d = descriptorAt(position, begin, BufferEnd)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        position += d->bLength;
    }
    return static_cast<ULONG>(position - begin);
}

// A select-configuration URB for the interfaces of InterfaceList (up to its first entry without
// an interface descriptor): records back to back, each 24 bytes plus 24 per endpoint, with the
// pipes' MaximumTransferSize preset. Null when an interface descriptor does not lie inside the
// configuration, when the list is empty, or when the pool refuses.
SIM_EXPORT PURB
USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr)
        return nullptr;
    size_t size = kSelectConfigurationHead;
    ULONG interfaces = 0;
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        if (!interfaceInside(entry->InterfaceDescriptor, ConfigurationDescriptor))
            return nullptr;
        size += kInterfaceRecordHead +
                sizeof(USBD_PIPE_INFORMATION) * entry->InterfaceDescriptor->bNumEndpoints;
        ++interfaces;
    }
    if (interfaces == 0 || size > 0xFFFF)
        return nullptr;

    auto* urb = static_cast<PURB>(sim::Kernel::current().allocatePool(
        NonPagedPool, size, kPoolTag, sim::AllocationKind::UsbdRequest,
        __builtin_return_address(0)));
    if (urb == nullptr)
        return nullptr;
    memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const auto* descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        const ULONG pipes = descriptor->bNumEndpoints;
        info->Length =
            static_cast<USHORT>(kInterfaceRecordHead + sizeof(USBD_PIPE_INFORMATION) * pipes);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->Class = descriptor->bInterfaceClass;
        info->SubClass = descriptor->bInterfaceSubClass;
        info->Protocol = descriptor->bInterfaceProtocol;
        info->NumberOfPipes = pipes;
        for (ULONG j = 0; j < pipes; ++j) {
            info->Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = info;
        record += info->Length;
    }
    return urb;
}

}  // extern "C"
