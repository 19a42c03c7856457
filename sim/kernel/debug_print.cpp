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

// Formats `format` with the platform's conventions.
std::string formatPlatform(const char* format, va_list args) {
    std::string out;
    if (!format)
        return "(null)";
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        std::string flags;
        while (*p && strchr("-+ #0", *p))
            flags.push_back(*p++);
        int width = -1;
        if (*p == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                flags.push_back('-');
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    precision = precision * 10 + (*p++ - '0');
            }
        }
        Size size = Size::Default;
        bool wide = false;
        for (bool more = true; more && *p;) {
            switch (*p) {
                case 'h':
                    size = size == Size::Short ? Size::Char : Size::Short;
                    ++p;
                    break;
                case 'l':
                    size = size == Size::Long32 ? Size::Long64 : Size::Long32;
                    wide = true;  // %ls, %lc: 16-bit characters
                    ++p;
                    break;
                case 'L':
                    size = Size::LongDouble;
                    ++p;
                    break;
                case 'w':
                    wide = true;
                    ++p;
                    break;
                case 'z':
                case 't':
                case 'j':
                    size = Size::Pointer;
                    ++p;
                    break;
                case 'I':
                    if (p[1] == '6' && p[2] == '4') {
                        size = Size::Long64;
                        p += 3;
                    } else if (p[1] == '3' && p[2] == '2') {
                        size = Size::Long32;
                        p += 3;
                    } else {
                        size = Size::Pointer;
                        ++p;
                    }
                    break;
                default:
                    more = false;
            }
        }
        char conv = *p;
        if (!conv) {
            out.append(start, p);
            break;
        }
        ++p;
        bool left = flags.find('-') != std::string::npos;
        std::string pattern = "%" + flags;
        if (width >= 0)
            pattern += std::to_string(width);
        if (precision >= 0)
            pattern += "." + std::to_string(precision);
        char buffer[512];
        switch (conv) {
            case '%':
                out.push_back('%');
                break;
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                bool isSigned = conv == 'd' || conv == 'i';
                long long value;
                switch (size) {
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
                        value = isSigned ? static_cast<long long>(va_arg(args, int))
                                         : static_cast<long long>(va_arg(args, unsigned int));
                }
                std::string s = pattern + "ll" + conv;
                snprintf(buffer, sizeof buffer, s.c_str(), value);
                out += buffer;
                break;
            }
            case 'p': {
                void* value = va_arg(args, void*);
                snprintf(buffer, sizeof buffer, "%016llX",
                         static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
                pad(out, buffer, width, left);
                break;
            }
            case 'c':
            case 'C': {
                int value = va_arg(args, int);
                std::string text;
                if (wide || conv == 'C') {
                    WCHAR c = static_cast<WCHAR>(value);
                    text = wideToText(&c, 1);
                } else {
                    text.push_back(static_cast<char>(value));
                }
                pad(out, text, width, left);
                break;
            }
            case 's':
            case 'S': {
                void* value = va_arg(args, void*);
                std::string text;
                if (!value) {
                    text = "(null)";
                } else if (wide || conv == 'S') {
                    auto* w = static_cast<const WCHAR*>(value);
                    text = wideToText(w, wideLength(w, precision));
                } else {
                    auto* s = static_cast<const char*>(value);
                    size_t n = 0;
                    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n])
                        ++n;
                    text.assign(s, n);
                }
                pad(out, text, width, left);
                break;
            }
            case 'Z': {
                void* value = va_arg(args, void*);
                std::string text;
                if (!value) {
                    text = "(null)";
                } else if (wide) {
                    auto* u = static_cast<PCUNICODE_STRING>(value);
                    text = u->Buffer ? wideToText(u->Buffer, u->Length / sizeof(WCHAR)) : "(null)";
                } else {
                    auto* a = static_cast<const ANSI_STRING*>(value);
                    text = a->Buffer ? std::string(a->Buffer, a->Length) : "(null)";
                }
                if (precision >= 0 && text.size() > static_cast<size_t>(precision))
                    text.resize(precision);
                pad(out, text, width, left);
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                std::string s = pattern + conv;
                if (size == Size::LongDouble)
                    snprintf(buffer, sizeof buffer, (pattern + "L" + conv).c_str(),
                             va_arg(args, long double));
                else
                    snprintf(buffer, sizeof buffer, s.c_str(), va_arg(args, double));
                out += buffer;
                break;
            }
            case 'n':
                (void)va_arg(args, void*);  // the platform ignores %n
                break;
            default:
                out.append(start, p);  // not a conversion: printed as written
        }
    }
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
