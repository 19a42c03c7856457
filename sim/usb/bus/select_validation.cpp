// The checks of the selection URBs, beyond their header length (the URB table's own rules): the
// configuration or interface setting must be one the device has, each interface record long
// enough for the pipes of its setting, and no pipe's MaximumTransferSize above what the controller
// moves in one transfer. Carrying a selection out is selection.cpp's.
#include "sim/usb/bus/bus_state.hpp"

#include <algorithm>

namespace sim::usb::detail {

namespace {

// An interface record with room for `pipes` pipes.
size_t recordLength(size_t pipes) {
    return kInterfaceRecordHead + sizeof(USBD_PIPE_INFORMATION) * pipes;
}

bool pipesFit(const USBD_INTERFACE_INFORMATION& record, size_t pipes) {
    for (size_t j = 0; j < pipes; ++j) {
        if (record.Pipes[j].MaximumTransferSize > UsbBus::kMaxTransferSize)
            return false;
    }
    return true;
}

// The configuration with the value; the last one when the device has several. -1 when none.
int configurationIndex(const Port& port, uint8_t value) {
    int index = -1;
    for (size_t i = 0; i < port.infos.size(); ++i) {
        if (port.infos[i].value == value)
            index = static_cast<int>(i);
    }
    return index;
}

// The interface records after the select-configuration head: at most one per interface of the
// configuration, each within the URB and long enough for its setting's pipes, none twice, at
// least one. Counts them in `records`.
std::optional<USBD_STATUS> checkInterfaceRecords(const ConfigurationInfo& info, PURB urb,
                                                 size_t& records) {
    const size_t length = urb->UrbHeader.Length;
    const size_t expected = std::min<size_t>(info.interfaceCount, info.interfaceNumbers().size());
    size_t offset = kSelectConfigurationHead;
    std::set<uint8_t> seen;
    records = 0;
    while (records < expected && offset + kInterfaceRecordHead <= length) {
        const auto* record = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(
            reinterpret_cast<const uint8_t*>(urb) + offset);
        if (record->Length < kInterfaceRecordHead || offset + record->Length > length)
            return USBD_STATUS_INVALID_PARAMETER;
        const InterfaceSetting* setting =
            info.find(record->InterfaceNumber, record->AlternateSetting);
        if (setting == nullptr)
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        if (!seen.insert(setting->number).second)
            return USBD_STATUS_INVALID_PARAMETER;
        const size_t pipes = setting->endpoints.size();
        if (record->Length < recordLength(pipes) || !pipesFit(*record, pipes))
            return USBD_STATUS_INVALID_PARAMETER;
        ++records;
        offset += record->Length;
    }
    if (records == 0)
        return USBD_STATUS_INVALID_PARAMETER;
    return std::nullopt;
}

}  // namespace

std::optional<USBD_STATUS> checkSelectConfiguration(Port& port, PURB urb, Transfer& t) {
    const auto& select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) {
        // The unconfigure form is a whole URB.
        if (urb->UrbHeader.Length < sizeof(URB))
            return USBD_STATUS_INVALID_PARAMETER;
        return std::nullopt;
    }
    const uint8_t value = select.ConfigurationDescriptor->bConfigurationValue;
    const int index = configurationIndex(port, value);
    if (index < 0 || value == 0)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    size_t records = 0;
    if (auto status = checkInterfaceRecords(port.infos[static_cast<size_t>(index)], urb, records))
        return status;
    t.configIndex = index;
    t.records = records;
    return std::nullopt;
}

std::optional<USBD_STATUS> checkSelectInterface(Port& port, PURB urb, Transfer&) {
    const auto& select = urb->UrbSelectInterface;
    const auto& record = select.Interface;
    if (port.active() == nullptr || select.ConfigurationHandle != port.configHandle)
        return USBD_STATUS_INVALID_PARAMETER;
    const InterfaceSetting* setting =
        port.active()->find(record.InterfaceNumber, record.AlternateSetting);
    if (setting == nullptr)
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    const size_t pipes = setting->endpoints.size();
    if (urb->UrbHeader.Length < kSelectInterfaceHead + recordLength(pipes) ||
        record.Length < recordLength(pipes) || !pipesFit(record, pipes)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return std::nullopt;
}

}  // namespace sim::usb::detail
