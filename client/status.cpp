#include "client/status.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace vavedu {

namespace {

// What the driver, the I/O manager and the USB stack report to applications, and a few
// neighbours a maintainer meets in the debug log.
const std::vector<StatusEntry> kNtStatuses = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x00000105, "STATUS_MORE_ENTRIES"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0x8000001A, "STATUS_NO_MORE_ENTRIES"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000004, "STATUS_INFO_LENGTH_MISMATCH"},
    {0xC0000005, "STATUS_ACCESS_VIOLATION"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC000000F, "STATUS_NO_SUCH_FILE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000011, "STATUS_END_OF_FILE"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009C, "STATUS_DEVICE_DATA_ERROR"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC000009E, "STATUS_DEVICE_POWER_FAILURE"},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC00000E8, "STATUS_INVALID_USER_BUFFER"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000182, "STATUS_DEVICE_CONFIGURATION_ERROR"},
    {0xC0000183, "STATUS_DRIVER_INTERNAL_ERROR"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
    {0xC0000186, "STATUS_DEVICE_PROTOCOL_ERROR"},
    {0xC0000206, "STATUS_INVALID_BUFFER_SIZE"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC000026C, "STATUS_DRIVER_UNABLE_TO_LOAD"},
    {0xC00002B6, "STATUS_DEVICE_REMOVED"},
    {0xC00002B9, "STATUS_NOINTERFACE"},
    {0xC00002D3, "STATUS_POWER_STATE_INVALID"},
};

const std::vector<StatusEntry> kUsbdStatuses = {
    {0x00000000, "USBD_STATUS_SUCCESS"},
    {0x40000000, "USBD_STATUS_PENDING"},
    {0xC0000001, "USBD_STATUS_CRC"},
    {0xC0000002, "USBD_STATUS_BTSTUFF"},
    {0xC0000003, "USBD_STATUS_DATA_TOGGLE_MISMATCH"},
    {0xC0000004, "USBD_STATUS_STALL_PID"},
    {0xC0000005, "USBD_STATUS_DEV_NOT_RESPONDING"},
    {0xC0000006, "USBD_STATUS_PID_CHECK_FAILURE"},
    {0xC0000007, "USBD_STATUS_UNEXPECTED_PID"},
    {0xC0000008, "USBD_STATUS_DATA_OVERRUN"},
    {0xC0000009, "USBD_STATUS_DATA_UNDERRUN"},
    {0xC000000C, "USBD_STATUS_BUFFER_OVERRUN"},
    {0xC000000D, "USBD_STATUS_BUFFER_UNDERRUN"},
    {0xC000000F, "USBD_STATUS_NOT_ACCESSED"},
    {0xC0000010, "USBD_STATUS_FIFO"},
    {0xC0000011, "USBD_STATUS_XACT_ERROR"},
    {0xC0000012, "USBD_STATUS_BABBLE_DETECTED"},
    {0xC0000013, "USBD_STATUS_DATA_BUFFER_ERROR"},
    {0xC0000030, "USBD_STATUS_ENDPOINT_HALTED"},
    {0x80000200, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {0x80000300, "USBD_STATUS_INVALID_PARAMETER"},
    {0x80000400, "USBD_STATUS_ERROR_BUSY"},
    {0x80000600, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {0x80000700, "USBD_STATUS_NO_BANDWIDTH"},
    {0x80000800, "USBD_STATUS_INTERNAL_HC_ERROR"},
    {0x80000900, "USBD_STATUS_ERROR_SHORT_TRANSFER"},
    {0xC0000A00, "USBD_STATUS_BAD_START_FRAME"},
    {0xC0000B00, "USBD_STATUS_ISOCH_REQUEST_FAILED"},
    {0xC0000C00, "USBD_STATUS_FRAME_CONTROL_OWNED"},
    {0xC0000D00, "USBD_STATUS_FRAME_CONTROL_NOT_OWNED"},
    {0xC0000E00, "USBD_STATUS_NOT_SUPPORTED"},
    {0xC0000F00, "USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR"},
    {0xC0001000, "USBD_STATUS_INSUFFICIENT_RESOURCES"},
    {0xC0002000, "USBD_STATUS_SET_CONFIG_FAILED"},
    {0xC0003000, "USBD_STATUS_BUFFER_TOO_SMALL"},
    {0xC0004000, "USBD_STATUS_INTERFACE_NOT_FOUND"},
    {0xC0005000, "USBD_STATUS_INAVLID_PIPE_FLAGS"},
    {0xC0006000, "USBD_STATUS_TIMEOUT"},
    {0xC0007000, "USBD_STATUS_DEVICE_GONE"},
    {0xC0008000, "USBD_STATUS_STATUS_NOT_MAPPED"},
    {0xC0009000, "USBD_STATUS_HUB_INTERNAL_ERROR"},
    {0xC0010000, "USBD_STATUS_CANCELED"},
    {0xC0020000, "USBD_STATUS_ISO_NOT_ACCESSED_BY_HW"},
    {0xC0100000, "USBD_STATUS_BAD_DESCRIPTOR"},
    {0xC0100001, "USBD_STATUS_BAD_DESCRIPTOR_BLEN"},
    {0xC0100006, "USBD_STATUS_BAD_CONFIG_DESC_LENGTH"},
};

const char* find(const std::vector<StatusEntry>& table, uint32_t value) {
    for (const StatusEntry& entry : table) {
        if (entry.value == value)
            return entry.name;
    }
    return nullptr;
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::replace(result.begin(), result.end(), '-', '_');
    return result;
}

std::optional<uint32_t> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// By name (with or without the table's prefix, any case) or by number.
std::optional<uint32_t> parseIn(const std::vector<StatusEntry>& table, std::string_view prefix,
                                std::string_view text) {
    if (auto number = parseNumber(text))
        return number;
    const std::string wanted = upper(text);
    for (const StatusEntry& entry : table) {
        const std::string_view name(entry.name);
        if (name == wanted)
            return entry.value;
        if (name.substr(prefix.size()) == wanted)
            return entry.value;
    }
    return std::nullopt;
}

}  // namespace

const char* ntStatusName(NtStatus status) {
    return find(kNtStatuses, static_cast<uint32_t>(status));
}

std::string hexStatus(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

std::string ntStatusText(NtStatus status) {
    const char* name = ntStatusName(status);
    return name ? name : hexStatus(static_cast<uint32_t>(status));
}

const char* usbdStatusName(uint32_t status) {
    return find(kUsbdStatuses, status);
}

std::string usbdStatusText(uint32_t status) {
    const char* name = usbdStatusName(status);
    return name ? name : hexStatus(status);
}

std::optional<NtStatus> parseNtStatus(std::string_view text) {
    auto value = parseIn(kNtStatuses, "STATUS_", text);
    if (!value)
        return std::nullopt;
    return static_cast<NtStatus>(*value);
}

std::optional<uint32_t> parseUsbdStatus(std::string_view text) {
    return parseIn(kUsbdStatuses, "USBD_STATUS_", text);
}

const std::vector<StatusEntry>& ntStatusTable() {
    return kNtStatuses;
}
const std::vector<StatusEntry>& usbdStatusTable() {
    return kUsbdStatuses;
}

}  // namespace vavedu
