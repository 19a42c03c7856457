// Counted strings of the run-time library. They read only Length bytes of a buffer: a counted
// string need not be NUL-terminated.
#include "sim/kernel/internal.hpp"

namespace sim {
namespace {

constexpr USHORT kMaxStringBytes = 0xFFFC;

WCHAR upcaseChar(WCHAR c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    return c;
}

void terminateIfRoom(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength)
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

void checkString(PCUNICODE_STRING s, const char* routine, const void* caller) {
    if (!s)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 std::string(routine) + " with a null string, called by " + describeCode(caller));
    if (s->Length > s->MaximumLength || (s->Length && !s->Buffer))
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject,
                 reinterpret_cast<ULONG_PTR>(s), s->Length, s->MaximumLength,
                 std::string(routine) + " with a malformed UNICODE_STRING (Length " +
                     std::to_string(s->Length) + ", MaximumLength " +
                     std::to_string(s->MaximumLength) + "), called by " + describeCode(caller));
}

// A PagedPool string of `text` plus a NUL, as the routines that allocate strings return them.
NTSTATUS allocateString(PUNICODE_STRING out, std::u16string_view text, const void* caller) {
    size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes > kMaxStringBytes)
        return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWSTR>(
        kernelImpl().poolAllocate(PagedPool, bytes + sizeof(WCHAR), 0x69727453 /* 'Stri' */,
                                  AllocationKind::Pool, caller, true));
    if (!buffer)
        return STATUS_NO_MEMORY;
    memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS allocateUnicodeString(PUNICODE_STRING out, std::u16string_view text, const void* caller) {
    return allocateString(out, text, caller);
}

}  // namespace sim

using namespace sim;

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const uint8_t*>(Source1);
    auto* b = static_cast<const uint8_t*>(Source2);
    SIZE_T n = 0;
    while (n < Length && a[n] == b[n])
        ++n;
    return n;
}

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (SourceString[n])
        ++n;
    size_t bytes = n * sizeof(WCHAR);
    if (bytes > kMaxStringBytes)
        bytes = kMaxStringBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = strlen(SourceString);
    if (n > 0xFFFE)
        n = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString) {
    const void* caller = __builtin_return_address(0);
    checkString(DestinationString, "RtlCopyUnicodeString", caller);
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    checkString(SourceString, "RtlCopyUnicodeString", caller);
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength)
        n = DestinationString->MaximumLength & ~1;
    if (n)
        memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    terminateIfRoom(DestinationString);
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    const void* caller = __builtin_return_address(0);
    requirePassive("RtlFreeUnicodeString", caller);
    if (!UnicodeString)
        return;
    if (UnicodeString->Buffer) {
        Kernel::Impl& impl = kernelImpl();
        bool isPool;
        {
            std::lock_guard lock(impl.mutex);
            isPool = impl.isPoolBlock(UnicodeString->Buffer);
        }
        if (!isPool)
            bugCheck(BAD_POOL_CALLER, 0x46, reinterpret_cast<ULONG_PTR>(UnicodeString->Buffer), 0,
                     0,
                     "RtlFreeUnicodeString on a string whose buffer " +
                         hex(reinterpret_cast<ULONG_PTR>(UnicodeString->Buffer)) +
                         " is not a pool block, called by " + describeCode(caller));
        impl.poolFree(UnicodeString->Buffer, std::nullopt, caller);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                         PCUNICODE_STRING Source) {
    const void* caller = __builtin_return_address(0);
    checkString(Destination, "RtlAppendUnicodeStringToString", caller);
    checkString(Source, "RtlAppendUnicodeStringToString", caller);
    if (!Source->Length)
        return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<uint8_t*>(Destination->Buffer) + Destination->Length, Source->Buffer,
            Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    terminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    checkString(Destination, "RtlAppendUnicodeToString", __builtin_return_address(0));
    if (!Source)
        return STATUS_SUCCESS;
    size_t n = 0;
    while (Source[n])
        ++n;
    size_t bytes = n * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<uint8_t*>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    terminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
    const void* caller = __builtin_return_address(0);
    checkString(String1, "RtlEqualUnicodeString", caller);
    checkString(String2, "RtlEqualUnicodeString", caller);
    if (String1->Length != String2->Length)
        return FALSE;
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = upcaseChar(a);
            b = upcaseChar(b);
        }
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

// Leading characters up to and including the space are skipped, then an optional sign, then for
// base 0 a lower-case prefix 0x, 0o or 0b (else decimal); digits run to the first character that
// is not a digit of the base. The value wraps modulo 2^32; a minus negates it.
extern "C" NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base,
                                                    PULONG Value) {
    const void* caller = __builtin_return_address(0);
    requirePassive("RtlUnicodeStringToInteger", caller);
    checkString(String, "RtlUnicodeStringToInteger", caller);
    const WCHAR* p = String->Buffer;
    size_t left = String->Length / sizeof(WCHAR);
    // An empty string, and a length that is no whole number of characters, are refused (the
    // platform since Windows Vista).
    if (left == 0 || String->Length % sizeof(WCHAR) != 0)
        return STATUS_INVALID_PARAMETER;
    while (left > 0 && *p <= u' ') {
        ++p;
        --left;
    }
    bool minus = false;
    if (left > 0 && (*p == u'+' || *p == u'-')) {
        minus = *p == u'-';
        ++p;
        --left;
    }
    if (Base == 0) {
        Base = 10;
        if (left >= 2 && p[0] == u'0') {
            ULONG prefixed = p[1] == u'x' ? 16 : p[1] == u'o' ? 8 : p[1] == u'b' ? 2 : 0;
            if (prefixed) {
                Base = prefixed;
                p += 2;
                left -= 2;
            }
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Value)
        return STATUS_ACCESS_VIOLATION;
    ULONG total = 0;
    for (; left > 0; ++p, --left) {
        WCHAR c = *p;
        ULONG digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'z')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'Z')
            digit = c - u'A' + 10;
        else
            break;
        if (digit >= Base)
            break;
        total = total * Base + digit;
    }
    *Value = minus ? 0u - total : total;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base,
                                                    PUNICODE_STRING String) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value);
    size_t bytes = n * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    return allocateString(GuidString, toU16(guidText(Guid)), __builtin_return_address(0));
}
