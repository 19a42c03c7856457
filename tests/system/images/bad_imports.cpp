// A kernel image that breaks every rule the import check enforces; built only to be rejected.
#include <wdm.h>

extern "C" void* malloc(size_t size);
extern "C" void free(void* block);
extern "C" unsigned long pthread_self();
extern "C" int CompanionLoad();

static void* volatile g_Block;

static int Compute() {
    return (int)pthread_self();
}
static int g_Computed = Compute();  // a static constructor

extern "C" int ExtraExport() {
    return CompanionLoad();
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    int* counter = new int(g_Computed);
    g_Block = malloc(16);
    free(g_Block);
    return *counter;
}
