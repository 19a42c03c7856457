// Bad on purpose: a global whose initial value is computed by code at load time. mingw links the
// initialiser into the image, but nothing in the kernel runs it, so the driver would see zero.
#include <wdm.h>

static ULONG g_Processors = KeQueryActiveProcessorCount(NULL);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return g_Processors != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
