/*
 * The support library as an export driver. The kernel calls DllInitialize when it loads the library
 * for the first driver that imports from it, and DllUnload once the last such driver has unloaded,
 * before it unloads the library; exporting DllUnload is what lets the library be unloaded at all.
 * The library keeps all its state in the extensions of the devices it serves, so there is nothing
 * to set up or to release here.
 */
#include <wdm.h>

extern "C" {

NTSTATUS NTAPI DllInitialize(PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DllUnload(VOID) {
    return STATUS_SUCCESS;
}

}  // extern "C"
