// Text the tool reads and writes: numbers in decimal or 0x hex, hex data, hex dumps, and command
// lines split into words as a POSIX shell splits them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vavedu::tool {

// A mistake in what the user typed: the tool prints the message and exits with status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A non-negative number in decimal or with a 0x (0X) prefix in hex, at most `max`. Nullopt for
// anything else: signs, spaces, other bases, trailing characters, overflow.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max = UINT64_MAX);
// The same, throwing UsageError that names `what` ("--bytes: 'x' is not a number").
uint64_t requireNumber(std::string_view what, std::string_view text, uint64_t max = UINT64_MAX);

// Hex data: pairs of hex digits, optionally separated by spaces, ':', '-' or ',', with an
// optional leading 0x. Nullopt for an odd number of digits or another character.
std::optional<std::vector<uint8_t>> parseHex(std::string_view text);
std::string toHex(std::span<const uint8_t> bytes);  // "0a1b2c", lower case, no separators
// Lines of 16 bytes: "0000: 0a 1b ...  |..text..|"; at most `limit` bytes.
std::vector<std::string> hexDump(std::span<const uint8_t> bytes, size_t limit = SIZE_MAX);

// Splits a line into words as a POSIX shell does, without any expansion: blanks separate words;
// single quotes keep everything up to the next single quote; double quotes keep everything but
// a backslash before $ ` " \ or a newline; outside quotes a backslash keeps the next character;
// a # at the start of a word starts a comment. Throws UsageError for an unterminated quote or a
// trailing backslash.
std::vector<std::string> splitWords(std::string_view line);

// "1.5 MiB", "512 bytes".
std::string humanBytes(uint64_t bytes);

// Values the way descriptors and registers are written: "0x0C000000", "0x1209", "0x81", and a
// binary-coded decimal version (bcdUSB, bcdDevice) as "2.00".
std::string hex8(uint32_t value);
std::string hex4(uint32_t value);
std::string hex2(uint32_t value);
std::string bcd(uint16_t value);

}  // namespace vavedu::tool
