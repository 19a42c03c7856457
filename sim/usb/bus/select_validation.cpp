// The checks of the selection URBs, beyond their header length (the URB table's own rules), as the
// platform's stack makes them: a select-configuration URB names every interface of the
// configuration, one record each; every record names a setting the device has, is long enough
// for that setting's pipes (else the stack answers USBD_STATUS_BUFFER_TOO_SMALL and writes the
// length it needs into the record), and sets no pipe flag the stack does not know. Carrying a
// selection out is selection.cpp's.
#include "sim/usb/bus/bus_state.hpp"

namespace sim::usb::detail {

namespace {

// An interface record with room for `pipes` pipes.
USHORT recordLength(size_t pipes) {
    return static_cast<USHORT>(kInterfaceRecordHead + sizeof(USBD_PIPE_INFORMATION) * pipes);
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

// One interface record against the setting it names; `room` is what the URB holds from the
// record on (the model's own check: the stack would read and write the pipes beyond it).
std::optional<USBD_STATUS> checkRecord(const ConfigurationInfo& info,
                                       USBD_INTERFACE_INFORMATION& record, size_t room) {
    const InterfaceSetting* setting = info.find(record.InterfaceNumber, record.AlternateSetting);
    if (setting == nullptr)
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    const USHORT needed = recordLength(setting->endpoints.size());
    if (record.Length < needed) {
        record.Length = needed;  // the stack tells the client what it needs
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    if (room < record.Length)
        return USBD_STATUS_INVALID_PARAMETER;
    for (size_t j = 0; j < setting->endpoints.size(); ++j) {
        if ((record.Pipes[j].PipeFlags & ~ULONG{USBD_PF_VALID_MASK}) != 0)
            return USBD_STATUS_INAVLID_PIPE_FLAGS;
    }
    return std::nullopt;
}

// The interface records after the select-configuration head, walked by their Length up to the
// URB's: exactly as many as the configuration has interfaces, none twice, each checked. A record
// that would not advance the walk (the platform's walk would not end) or runs past the URB is
// refused as the model's own check. Keeps where each record starts in `offsets`: carrying the
// selection out rewrites each record's Length to what its pipes need, which is shorter than the
// client's when the client made room for more pipes than the setting has.
std::optional<USBD_STATUS> checkInterfaceRecords(const ConfigurationInfo& info, PURB urb,
                                                 std::vector<size_t>& offsets) {
    const size_t length = urb->UrbHeader.Length;
    std::vector<size_t> found;
    auto recordAt = [urb](size_t offset) {
        return reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(urb) +
                                                             offset);
    };
    for (size_t offset = kSelectConfigurationHead; offset < length;) {
        const USBD_INTERFACE_INFORMATION* record = recordAt(offset);
        if (offset + kInterfaceRecordHead > length || record->Length < kInterfaceRecordHead ||
            offset + record->Length > length) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        found.push_back(offset);
        offset += record->Length;
    }
    if (found.size() != info.interfaceCount)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    std::set<uint8_t> seen;
    for (size_t offset : found) {
        USBD_INTERFACE_INFORMATION* record = recordAt(offset);
        if (auto status = checkRecord(info, *record, record->Length))
            return status;
        if (!seen.insert(record->InterfaceNumber).second)
            return USBD_STATUS_INVALID_PARAMETER;
    }
    offsets = std::move(found);
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
    std::vector<size_t> offsets;
    if (auto status = checkInterfaceRecords(port.infos[static_cast<size_t>(index)], urb, offsets))
        return status;
    t.configIndex = index;
    t.recordOffsets = std::move(offsets);
    return std::nullopt;
}

std::optional<USBD_STATUS> checkSelectInterface(Port& port, PURB urb, Transfer&) {
    auto& select = urb->UrbSelectInterface;
    if (port.active() == nullptr || select.ConfigurationHandle != port.configHandle)
        return USBD_STATUS_INVALID_PARAMETER;
    const size_t room = urb->UrbHeader.Length - kSelectInterfaceHead;  // the table's size check
    return checkRecord(*port.active(), select.Interface, room);
}

}  // namespace sim::usb::detail
