#include "tools/vavedu/text.hpp"

#include "client/status.hpp"

#include <charconv>
#include <cstdio>
#include <utility>

namespace vavedu::tool {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

uint64_t requireNumber(std::string_view what, std::string_view text, uint64_t max) {
    if (auto value = parseNumber(text, max))
        return *value;
    if (parseNumber(text)) {
        throw UsageError(std::string(what) + ": " + std::string(text) + " is too large (at most " +
                         std::to_string(max) + ")");
    }
    throw UsageError(std::string(what) + ": '" + std::string(text) +
                     "' is not a number (decimal or 0x hex)");
}

std::optional<std::vector<uint8_t>> parseHex(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == ',' || c == '\t') {
            if (high >= 0)
                return std::nullopt;  // a separator splits a byte in two
            continue;
        }
        const int digit = hexDigit(c);
        if (digit < 0)
            return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
}

std::string toHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::vector<std::string> hexDump(std::span<const uint8_t> bytes, size_t limit) {
    std::vector<std::string> lines;
    const size_t shown = bytes.size() < limit ? bytes.size() : limit;
    for (size_t offset = 0; offset < shown; offset += 16) {
        char head[24];
        std::snprintf(head, sizeof head, "%04zx:", offset);
        std::string line = head;
        std::string ascii;
        for (size_t i = offset; i < offset + 16; ++i) {
            if (i < shown) {
                char cell[4];
                std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
                line += cell;
                ascii += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
            } else {
                line += "   ";
            }
        }
        line.append("  |").append(ascii).append("|");
        lines.push_back(std::move(line));
    }
    if (shown < bytes.size()) {
        lines.push_back("... " + std::to_string(bytes.size() - shown) + " more bytes");
    }
    return lines;
}

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;  // a word has started (even an empty quoted one)
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (isBlank(c)) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            ++i;
        } else if (c == '#' && !inWord) {
            break;  // a comment runs to the end of the line
        } else if (c == '\'') {
            const size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos)
                throw UsageError("unterminated single quote");
            word.append(line.substr(i + 1, close - i - 1));
            inWord = true;
            i = close + 1;
        } else if (c == '"') {
            inWord = true;
            ++i;
            for (;;) {
                if (i >= line.size())
                    throw UsageError("unterminated double quote");
                const char d = line[i];
                if (d == '"')
                    break;
                if (d == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    if (next == '$' || next == '`' || next == '"' || next == '\\') {
                        word += next;
                        i += 2;
                        continue;
                    }
                    if (next == '\n') {
                        i += 2;
                        continue;
                    }
                }
                word += d;
                ++i;
            }
            ++i;
        } else if (c == '\\') {
            if (i + 1 >= line.size())
                throw UsageError("backslash at the end of the line");
            if (line[i + 1] != '\n')
                word += line[i + 1];
            inWord = true;
            i += 2;
        } else {
            word += c;
            inWord = true;
            ++i;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::string humanBytes(uint64_t bytes) {
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    char text[32];
    if (bytes >= kMiB && bytes % kMiB == 0) {
        std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
    } else if (bytes >= kMiB) {
        std::snprintf(text, sizeof text, "%.1f MiB",
                      static_cast<double>(bytes) / (1024.0 * 1024.0));
    } else if (bytes >= 1024 && bytes % 1024 == 0) {
        std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes >> 10));
    } else {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return text;
}

std::string hex8(uint32_t value) {
    return hexStatus(value);  // the same width as a status
}

std::string hex4(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

std::string hex2(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

std::string bcd(uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
    return text;
}

}  // namespace vavedu::tool
