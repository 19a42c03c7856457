// Status values an application of the instrument meets: the NTSTATUS of every request (the
// driver's own, the I/O manager's and those the USB stack maps device errors to) and the USBD
// status the driver keeps of the last request block it sent. Names and numbers both ways.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vavedu {

// An NTSTATUS as the platform defines it: negative values (bit 31 set) are errors, values with
// bits 31 and 30 clear are success or information, 0x80000000 to 0xBFFFFFFF are warnings.
using NtStatus = int32_t;

inline constexpr NtStatus kStatusSuccess = 0;
inline constexpr NtStatus kStatusPending = 0x103;
inline constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001u);
inline constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000Du);
inline constexpr NtStatus kStatusCancelled = static_cast<NtStatus>(0xC0000120u);
inline constexpr NtStatus kStatusInvalidBufferSize = static_cast<NtStatus>(0xC0000206u);
inline constexpr NtStatus kStatusObjectNameNotFound = static_cast<NtStatus>(0xC0000034u);
inline constexpr NtStatus kStatusNoSuchDevice = static_cast<NtStatus>(0xC000000Eu);

inline bool succeeded(NtStatus status) {
    return status >= 0;
}

// "STATUS_INVALID_PARAMETER"; null for a value the table does not know.
const char* ntStatusName(NtStatus status);
// The name, or "0x%08X" for a value the table does not know.
std::string ntStatusText(NtStatus status);
// "0xC000000D" for any value.
std::string hexStatus(uint32_t status);

// "USBD_STATUS_STALL_PID"; null for a value the table does not know.
const char* usbdStatusName(uint32_t status);
std::string usbdStatusText(uint32_t status);

// A status written by a user: a name of either table ("STATUS_CANCELLED", also without the
// "STATUS_" prefix and in any case: "cancelled") or a number (decimal or 0x hex). Nullopt when it
// is neither.
std::optional<NtStatus> parseNtStatus(std::string_view text);
std::optional<uint32_t> parseUsbdStatus(std::string_view text);

struct StatusEntry {
    uint32_t value;
    const char* name;
};
// The tables, for listings and tests.
const std::vector<StatusEntry>& ntStatusTable();
const std::vector<StatusEntry>& usbdStatusTable();

}  // namespace vavedu
