/*
 * The support library as it is, except that it takes no device in: InitializeGenericExtension
 * refuses every device with STATUS_INSUFFICIENT_RESOURCES, as a library that cannot set up its
 * per-device state does. Loaded beside the driver by the tests of AddDevice's failure path.
 */
#define InitializeGenericExtension AcceptingInitializeGenericExtension
#include "pcdriver/support/extension.cpp"
#undef InitializeGenericExtension

extern "C" NTSTATUS NTAPI InitializeGenericExtension(PVOID Extension, PGENERIC_INIT_BLOCK Block) {
    UNREFERENCED_PARAMETER(Extension);
    UNREFERENCED_PARAMETER(Block);
    return STATUS_INSUFFICIENT_RESOURCES;
}
