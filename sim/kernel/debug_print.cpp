// DbgPrint: formats with the platform's printf rules (LLP64: `l` is 32 bits; `ll`, `I64` 64 bits;
// `I` pointer size; `h` 16 bits; `%wZ` a UNICODE_STRING, `%Z` an ANSI_STRING, `%ws`/`%S` a
// 16-bit string), then appends to the kernel's debug log line by line.
#include "sim/kernel/internal.hpp"

#include <cstdio>

namespace sim {

namespace {

enum class Size { Default, Char, Short, Long32, Long64, Pointer, LongDouble };

std::string wideToText(const WCHAR* text, size_t count) {
    return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), count));
}

size_t wideLength(const WCHAR* text, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n])
        ++n;
    return n;
}

void pad(std::string& out, const std::string& text, int width, bool left) {
    int fill = width - static_cast<int>(text.size());
    if (fill > 0 && !left)
        out.append(fill, ' ');
    out += text;
    if (fill > 0 && left)
        out.append(fill, ' ');
}

}  // namespace

// One conversion of a format: "%-08.3lx".
struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
    bool wide = false;  // 16-bit characters: %ls, %lc, %ws, %wZ
    char conv = 0;
    bool left() const { return flags.find('-') != std::string::npos; }
    // The host printf pattern of the flags, width and precision ("%-08.3").
    std::string pattern() const {
        std::string text = "%" + flags;
        if (width >= 0)
            text += std::to_string(width);
        if (precision >= 0)
            text += "." + std::to_string(precision);
        return text;
    }
};

int parseNumber(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9')
        value = value * 10 + (*p++ - '0');
    return value;
}

void parseWidthAndPrecision(const char*& p, va_list& args, Conversion& c) {
    while (*p && strchr("-+ #0", *p))
        c.flags.push_back(*p++);
    if (*p == '*') {
        c.width = va_arg(args, int);
        if (c.width < 0) {
            c.flags.push_back('-');
            c.width = -c.width;
        }
        ++p;
    } else if (*p >= '0' && *p <= '9') {
        c.width = parseNumber(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            c.precision = va_arg(args, int);
            ++p;
        } else {
            c.precision = parseNumber(p);
        }
    }
}

// The size prefixes, with the platform's LLP64 meanings. False at the first character that is
// not one.
bool parseSizePrefix(const char*& p, Conversion& c) {
    switch (*p) {
        case 'h':
            c.size = c.size == Size::Short ? Size::Char : Size::Short;
            break;
        case 'l':
            c.size = c.size == Size::Long32 ? Size::Long64 : Size::Long32;
            c.wide = true;  // %ls, %lc: 16-bit characters
            break;
        case 'L':
            c.size = Size::LongDouble;
            break;
        case 'w':
            c.wide = true;
            break;
        case 'z':
        case 't':
        case 'j':
            c.size = Size::Pointer;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                c.size = Size::Long64;
                p += 2;
            } else if (p[1] == '3' && p[2] == '2') {
                c.size = Size::Long32;
                p += 2;
            } else {
                c.size = Size::Pointer;
            }
            break;
        default:
            return false;
    }
    ++p;
    return true;
}

void formatInteger(std::string& out, const Conversion& c, va_list& args) {
    bool isSigned = c.conv == 'd' || c.conv == 'i';
    long long value;
    switch (c.size) {
        case Size::Char:
            value = isSigned ? static_cast<signed char>(va_arg(args, int))
                             : static_cast<unsigned char>(va_arg(args, int));
            break;
        case Size::Short:
            value = isSigned ? static_cast<short>(va_arg(args, int))
                             : static_cast<unsigned short>(va_arg(args, int));
            break;
        case Size::Long64:
        case Size::Pointer:
            value = va_arg(args, long long);
            break;
        default:
            if (isSigned) {
                const int narrow = va_arg(args, int);
                value = narrow;
            } else {
                const unsigned int narrow = va_arg(args, unsigned int);
                value = narrow;
            }
    }
    char buffer[512];
    snprintf(buffer, sizeof buffer, (c.pattern() + "ll" + c.conv).c_str(), value);
    out += buffer;
}

void formatFloat(std::string& out, const Conversion& c, va_list& args) {
    char buffer[512];
    if (c.size == Size::LongDouble)
        snprintf(buffer, sizeof buffer, (c.pattern() + "L" + c.conv).c_str(),
                 va_arg(args, long double));
    else
        snprintf(buffer, sizeof buffer, (c.pattern() + c.conv).c_str(), va_arg(args, double));
    out += buffer;
}

std::string characterText(const Conversion& c, va_list& args) {
    int value = va_arg(args, int);
    if (c.wide || c.conv == 'C') {
        WCHAR character = static_cast<WCHAR>(value);
        return wideToText(&character, 1);
    }
    return std::string(1, static_cast<char>(value));
}

std::string stringText(const Conversion& c, va_list& args) {
    void* value = va_arg(args, void*);
    if (!value)
        return "(null)";
    if (c.wide || c.conv == 'S') {
        auto* w = static_cast<const WCHAR*>(value);
        return wideToText(w, wideLength(w, c.precision));
    }
    auto* text = static_cast<const char*>(value);
    size_t n = 0;
    while ((c.precision < 0 || n < static_cast<size_t>(c.precision)) && text[n])
        ++n;
    return std::string(text, n);
}

// %Z: an ANSI_STRING, %wZ: a UNICODE_STRING, each by its counted length.
std::string countedText(const Conversion& c, va_list& args) {
    void* value = va_arg(args, void*);
    std::string text;
    if (!value) {
        text = "(null)";
    } else if (c.wide) {
        auto* u = static_cast<PCUNICODE_STRING>(value);
        text = u->Buffer ? wideToText(u->Buffer, u->Length / sizeof(WCHAR)) : "(null)";
    } else {
        auto* a = static_cast<const ANSI_STRING*>(value);
        text = a->Buffer ? std::string(a->Buffer, a->Length) : "(null)";
    }
    if (c.precision >= 0 && text.size() > static_cast<size_t>(c.precision))
        text.resize(c.precision);
    return text;
}

// Appends one conversion's text; false for a character that is no conversion.
bool formatConversion(std::string& out, const Conversion& c, va_list& args) {
    switch (c.conv) {
        case '%':
            out.push_back('%');
            return true;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            formatInteger(out, c, args);
            return true;
        case 'p': {
            char buffer[32];
            snprintf(
                buffer, sizeof buffer, "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            pad(out, buffer, c.width, c.left());
            return true;
        }
        case 'c':
        case 'C':
            pad(out, characterText(c, args), c.width, c.left());
            return true;
        case 's':
        case 'S':
            pad(out, stringText(c, args), c.width, c.left());
            return true;
        case 'Z':
            pad(out, countedText(c, args), c.width, c.left());
            return true;
        case 'n':
            (void)va_arg(args, void*);  // the platform ignores %n
            return true;
        default:
            if (strchr("eEfFgGaA", c.conv)) {
                formatFloat(out, c, args);
                return true;
            }
            return false;
    }
}

// Formats `format` with the platform's conventions.
std::string formatPlatform(const char* format, va_list incoming) {
    if (!format)
        return "(null)";
    va_list args;  // a list of its own, which the steps below take by reference
    va_copy(args, incoming);
    std::string out;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        Conversion c;
        parseWidthAndPrecision(p, args, c);
        while (*p && parseSizePrefix(p, c)) {
        }
        c.conv = *p;
        if (!c.conv) {
            out.append(start, p);
            break;
        }
        ++p;
        if (!formatConversion(out, c, args))
            out.append(start, p);  // not a conversion: printed as written
    }
    va_end(args);
    return out;
}

void appendDebugText(Kernel::Impl& impl, const std::string& text) {
    std::lock_guard lock(impl.debugMutex);
    for (char c : text) {
        if (c != '\n') {
            impl.partialLine.push_back(c);
            continue;
        }
        std::string line = std::move(impl.partialLine);
        impl.partialLine.clear();
        if (impl.options.echoDebugOutput)
            fprintf(stderr, "%s\n", line.c_str());
        for (auto& sink : impl.debugSinks)
            sink(line);
        impl.debugLines.push_back(std::move(line));
    }
}

}  // namespace sim

using namespace sim;

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = formatPlatform(Format, args);
    va_end(args);
    if (Kernel::Impl* impl = kernelImplOrNull())
        appendDebugText(*impl, text);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI DbgBreakPoint(VOID) {
    bugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             "DbgBreakPoint called by " + describeCode(__builtin_return_address(0)) +
                 " (a breakpoint with no debugger attached stops the machine)");
}
