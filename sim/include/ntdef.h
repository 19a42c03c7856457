/*
 * Basic types of the kernel, for the host build.
 *
 * The host is LP64 (long is 64 bits), the platform is LLP64 (LONG and ULONG are 32 bits), so the
 * 32-bit types are spelled with fixed-width integers. WCHAR is a 16-bit code unit, as on the
 * platform, never the host's 32-bit wchar_t.
 */
#ifndef VAVEDU_SIM_NTDEF_H
#define VAVEDU_SIM_NTDEF_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
#define SIM_EXTERN_C extern "C"
#define SIM_EXTERN_C_BEGIN extern "C" {
#define SIM_EXTERN_C_END }
#else
#define SIM_EXTERN_C extern
#define SIM_EXTERN_C_BEGIN
#define SIM_EXTERN_C_END
#endif

/* Routines exported by a host image carry default visibility; images build with -fvisibility=hidden. */
#define SIM_EXPORT __attribute__((visibility("default")))

#define NTAPI
#define NTSYSAPI SIM_EXTERN_C SIM_EXPORT
#define NTKERNELAPI SIM_EXTERN_C SIM_EXPORT
#define NTHALAPI SIM_EXTERN_C SIM_EXPORT
#define DECLSPEC_IMPORT
#define FASTCALL
#define __cdecl
#define __stdcall
#define FORCEINLINE static inline __attribute__((always_inline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))

#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#define VOID void
typedef void* PVOID;
typedef void** PPVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef signed char SCHAR;
typedef CHAR CCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int16_t CSHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef int64_t LONG64;
typedef uint32_t ULONG32;
typedef int32_t LONG32;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef UCHAR BOOLEAN;
typedef INT BOOL;
typedef UCHAR BYTE;
typedef USHORT WORD;
typedef ULONG DWORD;
typedef ULONG_PTR DWORD_PTR;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef CHAR* PSZ;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef SHORT* PSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* PCWCH;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif
#define MAXULONG 0xFFFFFFFFu
#define MAXUSHORT 0xFFFFu
#define MAXUCHAR 0xFFu
#define MAXLONG 0x7FFFFFFF

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without any terminator */
    USHORT MaximumLength; /* bytes of Buffer */
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
#endif
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID* PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID&
#else
#define REFGUID const GUID*
#endif

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
// offsetof rather than the member address of a null pointer, which the undefined-behaviour
// sanitizer reports.
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARRAYSIZE(A) (sizeof(A) / sizeof((A)[0]))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ALIGN_UP_BY(Length, Alignment) (((ULONG_PTR)(Length) + (Alignment)-1) & ~((ULONG_PTR)(Alignment)-1))

#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s)}

#endif
