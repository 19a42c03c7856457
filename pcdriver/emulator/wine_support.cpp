/*
 * What Wine's kernel lacks, supplied by the emulator while it runs there (and only there).
 *
 * Wine 8.0's ntoskrnl.exe exports IoBuildPartialMdl as a stub: the first call ends the device
 * host, so the first non-empty read or write of VaVedu.SYS would. Wine loads every driver of the
 * device into one process, and calls the image-load notification routines as each image loads,
 * after its imports are bound and before its DriverEntry: the emulator's routine points the
 * image's import of IoBuildPartialMdl at the emulator's own implementation, which builds the
 * partial MDL as Windows does.
 *
 * Wine's MmMapLockedPagesSpecifyCache returns NULL, so MDLs are never mapped there; since the
 * buffers of every request live in the one device host process, an MDL's own virtual address is
 * valid, and EmuMdlAddress uses it when mapping fails on Wine.
 */
#include "pcdriver/emulator/emulator.h"

#include <ntimage.h>

static BOOLEAN g_OnWine;
static BOOLEAN g_NotifyInstalled;

/* Wine's kernel exports its own main loop; Windows' has no such routine. */
static BOOLEAN RunningOnWine(VOID) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, (PCWSTR)u"wine_ntoskrnl_main_loop");
    return MmGetSystemRoutineAddress(&name) != NULL;
}

/* How many page entries an MDL has room for, from its recorded size. */
static ULONG PageEntries(PMDL Mdl) {
    LONG size = Mdl->Size;
    return size > (LONG)sizeof(MDL) ? (ULONG)((size - sizeof(MDL)) / sizeof(PFN_NUMBER)) : 0;
}

/*
 * IoBuildPartialMdl as Windows does it: the target describes Length bytes at VirtualAddress inside
 * the source (all the rest of the source for a length of 0), with the source's page entries for
 * them, and is mapped wherever the source's pages are mapped as non-paged pool.
 */
static VOID NTAPI EmuBuildPartialMdl(PMDL Source, PMDL Target, PVOID VirtualAddress, ULONG Length) {
    ULONG_PTR offset = (ULONG_PTR)VirtualAddress - (ULONG_PTR)MmGetMdlVirtualAddress(Source);
    if (Length == 0)
        Length = MmGetMdlByteCount(Source) - (ULONG)offset;
    Target->MdlFlags &= (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
    Target->MdlFlags |=
        (CSHORT)(Source->MdlFlags & (MDL_IO_PAGE_READ | MDL_SOURCE_IS_NONPAGED_POOL | MDL_IO_SPACE |
                                     MDL_PAGES_LOCKED));
    Target->MdlFlags |= MDL_PARTIAL;
    Target->Process = Source->Process;
    Target->StartVa = PAGE_ALIGN(VirtualAddress);
    Target->ByteOffset = BYTE_OFFSET(VirtualAddress);
    Target->ByteCount = Length;
    if (Source->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
        Target->MappedSystemVa = (PUCHAR)Source->MappedSystemVa + offset;

    /* The page entries, as far as both arrays reach. */
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    ULONG first = (ULONG)((Source->ByteOffset + offset) >> PAGE_SHIFT);
    ULONG sourcePages = PageEntries(Source);
    ULONG targetPages = PageEntries(Target);
    if (pages > targetPages)
        pages = targetPages;
    if (first + pages > sourcePages)
        pages = first < sourcePages ? sourcePages - first : 0;
    PPFN_NUMBER from = MmGetMdlPfnArray(Source) + first;
    RtlCopyMemory(MmGetMdlPfnArray(Target), from, pages * sizeof(PFN_NUMBER));
}

static BOOLEAN SameName(const char* A, const char* B) {
    for (; *A != 0 && *B != 0; A++, B++) {
        char a = (*A >= 'A' && *A <= 'Z') ? (char)(*A + 32) : *A;
        char b = (*B >= 'A' && *B <= 'Z') ? (char)(*B + 32) : *B;
        if (a != b)
            return FALSE;
    }
    return *A == *B;
}

/* Points the image's imports of ntoskrnl.exe's IoBuildPartialMdl at the emulator's. */
static VOID PatchImports(PUCHAR Base) {
    PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)Base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return;
    PIMAGE_NT_HEADERS64 nt = (PIMAGE_NT_HEADERS64)(Base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) {
        return;
    }
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0 || directory.Size == 0)
        return;
    for (PIMAGE_IMPORT_DESCRIPTOR d = (PIMAGE_IMPORT_DESCRIPTOR)(Base + directory.VirtualAddress);
         d->Name != 0; d++) {
        if (!SameName((const char*)(Base + d->Name), "ntoskrnl.exe"))
            continue;
        ULONG names = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
        PIMAGE_THUNK_DATA64 name = (PIMAGE_THUNK_DATA64)(Base + names);
        PIMAGE_THUNK_DATA64 address = (PIMAGE_THUNK_DATA64)(Base + d->FirstThunk);
        for (; name->u1.AddressOfData != 0; name++, address++) {
            if (IMAGE_SNAP_BY_ORDINAL64(name->u1.Ordinal))
                continue;
            PIMAGE_IMPORT_BY_NAME byName = (PIMAGE_IMPORT_BY_NAME)(Base + name->u1.AddressOfData);
            if (SameName((const char*)byName->Name, "IoBuildPartialMdl")) {
                address->u1.Function = (ULONGLONG)(ULONG_PTR)EmuBuildPartialMdl;
                DbgPrint(
                    "VaVeduEmu: Wine: IoBuildPartialMdl of the image at %p is the emulator's\n",
                    Base);
            }
        }
    }
}

static VOID NTAPI OnImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId,
                              PIMAGE_INFO ImageInfo) {
    UNREFERENCED_PARAMETER(FullImageName);
    UNREFERENCED_PARAMETER(ProcessId);
    if (ImageInfo != NULL && ImageInfo->ImageBase != NULL)
        PatchImports((PUCHAR)ImageInfo->ImageBase);
}

VOID EmuInstallWineSupport(VOID) {
    g_OnWine = RunningOnWine();
    if (!g_OnWine)
        return;
    g_NotifyInstalled = NT_SUCCESS(PsSetLoadImageNotifyRoutine(OnImageLoad));
    DbgPrint("VaVeduEmu: running on Wine: IoBuildPartialMdl %s\n",
             g_NotifyInstalled ? "supplied to drivers loaded from now on" : "NOT supplied");
}

VOID EmuRemoveWineSupport(VOID) {
    if (g_NotifyInstalled)
        PsRemoveLoadImageNotifyRoutine(OnImageLoad);
    g_NotifyInstalled = FALSE;
}

PVOID EmuMdlAddress(PMDL Mdl) {
    PVOID address = MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
    if (address == NULL && g_OnWine)
        address = MmGetMdlVirtualAddress(Mdl);
    return address;
}
