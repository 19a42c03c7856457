// The entry point of an export driver. The kernel loads ZaDar.EDI as a module the drivers that use
// it import from, and does not call this; a kernel image still needs an entry point. Linked from an
// archive, so the support library's own DriverEntry, if it has one, takes precedence.
#include <wdm.h>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}
