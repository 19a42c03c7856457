// Bad on purpose: a driver that calls a user-mode routine of kernel32.dll.
#include <wdm.h>

extern "C" __declspec(dllimport) ULONG __stdcall GetTickCount(VOID);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return GetTickCount() != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
