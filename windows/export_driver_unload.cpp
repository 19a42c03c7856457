// Called by the kernel before it unloads an export driver that exports it (through its .def), once
// the last driver importing from it has unloaded; without it the export driver stays loaded until
// the system restarts. Nothing to release. Linked from an archive, so a DllUnload of the support
// library's own takes precedence.
#include <wdm.h>

extern "C" NTSTATUS NTAPI DllUnload(VOID) {
    return STATUS_SUCCESS;
}
