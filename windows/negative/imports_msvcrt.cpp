// Bad on purpose: a driver that allocates with the application C library instead of the pool.
#include <wdm.h>

extern "C" __declspec(dllimport) void* __cdecl malloc(size_t Size);
extern "C" __declspec(dllimport) void __cdecl free(void* Block);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    void* block = malloc(sizeof(*DriverObject));
    free(block);
    return block != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
