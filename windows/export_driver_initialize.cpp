// Called by the kernel when it loads an export driver that exports it (through its .def), before
// any importing driver runs. The support library keeps no global state to set up. Linked from an
// archive, so a DllInitialize of the support library's own takes precedence.
#include <wdm.h>

extern "C" NTSTATUS NTAPI DllInitialize(PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}
