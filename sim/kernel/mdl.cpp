// Memory descriptor lists with a real page array: 4 KiB pages, the page number of a host page is
// its address shifted right by 12. A mapping is the host address itself, so a mapping is only
// possible when the pages are contiguous host pages (always true for what one buffer spans).
#include "sim/kernel/internal.hpp"

#include <cstdlib>

namespace sim {

namespace {

// The MDL's Size field is 16 bits wide and read as unsigned, so one MDL describes at most
// (65535 - sizeof(MDL)) / 8 pages: a little under 32 MiB.
// Windows 7 and later describe a buffer of up to 4 GB less a page with one MDL.
constexpr uint64_t kMaxMdlLength = 0x100000000ull - PAGE_SIZE;

std::string mdlText(PMDL mdl) {
    return "MDL " + hex(reinterpret_cast<ULONG_PTR>(mdl));
}

ULONG pagesOf(PMDL mdl) {
    return ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
}

// The pages an MDL has room for: what the model allocated for it (the Size field is 16 bits
// wide and cannot hold the size of a large MDL), or its Size for one in a driver's memory.
ULONG capacityOf(PMDL mdl) {
    size_t size = static_cast<USHORT>(mdl->Size);
    Kernel::Impl& impl = kernelImpl();
    {
        std::lock_guard lock(impl.mutex);
        if (auto it = impl.mdls.find(mdl); it != impl.mdls.end())
            size = it->second.bytes;
    }
    return size > sizeof(MDL) ? static_cast<ULONG>((size - sizeof(MDL)) / sizeof(PFN_NUMBER)) : 0;
}

void fillPages(PMDL mdl) {
    PPFN_NUMBER pages = MmGetMdlPfnArray(mdl);
    ULONG_PTR first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
    ULONG n = pagesOf(mdl);
    for (ULONG i = 0; i < n; ++i)
        pages[i] = first + i;
}

[[noreturn]] void mdlViolation(ULONG_PTR sub, PMDL mdl, const std::string& why) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, sub, reinterpret_cast<ULONG_PTR>(mdl), 0, 0, why);
}

void requireMdl(Kernel::Impl& impl, PMDL mdl, const char* routine, const void* caller) {
    std::unique_lock lock(impl.mutex);
    if (mdl && impl.mdls.count(mdl))
        return;
    bool freed = mdl && impl.wasFreedRecently(mdl);
    lock.unlock();
    mdlViolation(kModelCheckInvalidObject, mdl,
        std::string(routine) + " by " + describeCode(caller) + " on " + mdlText(mdl) +
            (freed ? ", which was already freed" : ", which is not an MDL from IoAllocateMdl"));
}

void unmap(PMDL mdl) {
    mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

}  // namespace

PMDL Kernel::Impl::allocateMdl(PVOID va, ULONG length, const void* caller, bool counted) {
    if (length > kMaxMdlLength)
        return nullptr;  // more than one MDL can describe
    size_t bytes = sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length) * sizeof(PFN_NUMBER);
    if (counted) {
        std::lock_guard lock(mutex);
        if (decideFailure(AllocationKind::Mdl, caller))
            return nullptr;
    }
    auto mdl = static_cast<PMDL>(calloc(1, bytes));
    if (!mdl)
        return nullptr;
    mdl->Size = static_cast<CSHORT>(bytes > 0x7FFF ? 0x7FFF : bytes);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
    std::lock_guard lock(mutex);
    mdls[mdl] = MdlRecord{caller, counted, bytes};
    noteAllocated(AllocationKind::Mdl, counted);
    return mdl;
}

void Kernel::Impl::freeMdl(PMDL mdl) {
    unmap(mdl);
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
    std::lock_guard lock(mutex);
    auto it = mdls.find(mdl);
    if (it == mdls.end())
        return;
    noteFreed(AllocationKind::Mdl, it->second.counted);
    size_t bytes = it->second.bytes;
    mdls.erase(it);
    memset(mdl, 0xDD, bytes);
    retire(mdl, mdl);
}

}  // namespace sim

using namespace sim;

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN, PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    if (currentIrql() > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), 0, 0, 0,
                 "IoAllocateMdl above DISPATCH_LEVEL by " + describeCode(caller));
    Kernel::Impl& impl = kernelImpl();
    PMDL mdl = impl.allocateMdl(VirtualAddress, Length, caller, true);
    if (mdl && Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &Irp->MdlAddress;
            while (*tail)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    requireMdl(impl, Mdl, "IoFreeMdl", caller);
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) && !(Mdl->MdlFlags & MDL_PARTIAL))
        bugCheck(DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, reinterpret_cast<ULONG_PTR>(Mdl), 0, 0, 0,
                 "IoFreeMdl by " + describeCode(caller) + " on " + mdlText(Mdl) +
                     " whose pages are still locked (MmUnlockPages first)");
    // A mapped partial MDL is unmapped first, as the platform does.
    if (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED)
        unmap(Mdl);
    impl.freeMdl(Mdl);
}

extern "C" SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
    return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(PFN_NUMBER);
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE, LOCK_OPERATION Operation) {
    const void* caller = __builtin_return_address(0);
    if (currentIrql() > DISPATCH_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), 0, 0, 0,
                 "MmProbeAndLockPages above DISPATCH_LEVEL by " + describeCode(caller));
    requireMdl(kernelImpl(), Mdl, "MmProbeAndLockPages", caller);
    if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL))
        mdlViolation(kVerifierProbeMdlFlags, Mdl,
                     "MmProbeAndLockPages by " + describeCode(caller) + " on " + mdlText(Mdl) +
                         (Mdl->MdlFlags & MDL_PAGES_LOCKED ? ", whose pages are already locked"
                                                           : ", which is a partial or non-paged "
                                                             "MDL (nothing to lock)"));
    if (Mdl->ByteCount) {
        // Probing touches the buffer, so a bad one shows up here as it would on the platform.
        auto* first = static_cast<volatile uint8_t*>(MmGetMdlVirtualAddress(Mdl));
        (void)first[0];
        (void)first[Mdl->ByteCount - 1];
    }
    fillPages(Mdl);
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess)
        Mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL Mdl) {
    const void* caller = __builtin_return_address(0);
    requireMdl(kernelImpl(), Mdl, "MmUnlockPages", caller);
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        mdlViolation(kVerifierUnlockNeverLocked, Mdl,
                     "MmUnlockPages by " + describeCode(caller) + " on " + mdlText(Mdl) +
                         ", whose pages are not locked");
    unmap(Mdl);
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl) {
    const void* caller = __builtin_return_address(0);
    requireMdl(kernelImpl(), Mdl, "MmBuildMdlForNonPagedPool", caller);
    if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA))
        mdlViolation(kModelCheckMisuse, Mdl,
                     "MmBuildMdlForNonPagedPool by " + describeCode(caller) + " on " +
                         mdlText(Mdl) + ", which is locked, partial or mapped");
    fillPages(Mdl);
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

extern "C" VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                        ULONG Length) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    requireMdl(impl, SourceMdl, "IoBuildPartialMdl (source)", caller);
    requireMdl(impl, TargetMdl, "IoBuildPartialMdl (target)", caller);
    // The message is built only when a check fails: these routines run for every chunk.
    auto where = [caller] { return "IoBuildPartialMdl by " + describeCode(caller) + ": "; };
    auto start = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(SourceMdl));
    auto va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    if (va < start || va - start > SourceMdl->ByteCount)
        mdlViolation(kModelCheckMemoryCorruption, SourceMdl,
                     where() + "address " + hex(va) + " lies outside source " + mdlText(SourceMdl) +
                         " (" + hex(start) + ", " + std::to_string(SourceMdl->ByteCount) +
                         " bytes)");
    ULONG offset = static_cast<ULONG>(va - start);
    if (Length == 0)
        Length = SourceMdl->ByteCount - offset;
    if (static_cast<uint64_t>(offset) + Length > SourceMdl->ByteCount)
        mdlViolation(kModelCheckMemoryCorruption, SourceMdl,
                     where() + std::to_string(Length) + " bytes at offset " +
                         std::to_string(offset) + " run past the " +
                         std::to_string(SourceMdl->ByteCount) + " bytes of source " +
                         mdlText(SourceMdl));
    if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
        mdlViolation(kModelCheckMisuse, SourceMdl,
                     where() + "source " + mdlText(SourceMdl) +
                         " has no pages (neither locked nor built for non-paged pool)");
    // A partial MDL is built again and again over one source. A mapping it made of its own would
    // be lost (and its system address space with it); one it inherited from its source is not
    // its own.
    if (TargetMdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED)
        mdlViolation(kModelCheckMisuse, TargetMdl,
                     where() + "target " + mdlText(TargetMdl) +
                         " still has a mapping of its own (MmUnmapLockedPages or "
                         "MmPrepareMdlForReuse before building it again)");
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    if (pages > capacityOf(TargetMdl))
        mdlViolation(kModelCheckMemoryCorruption, TargetMdl,
                     where() + "target " + mdlText(TargetMdl) + " has room for " +
                         std::to_string(capacityOf(TargetMdl)) + " pages, " +
                         std::to_string(Length) + " bytes at " + hex(va) + " span " +
                         std::to_string(pages));
    ULONG_PTR firstSourcePage = (reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(VirtualAddress)) -
                                 reinterpret_cast<ULONG_PTR>(SourceMdl->StartVa)) >>
                                PAGE_SHIFT;
    memcpy(MmGetMdlPfnArray(TargetMdl), MmGetMdlPfnArray(SourceMdl) + firstSourcePage,
           pages * sizeof(PFN_NUMBER));
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;
    TargetMdl->MdlFlags &= (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
    // The partial MDL shares its source's system mapping, if the source has one.
    TargetMdl->MdlFlags |=
        MDL_PARTIAL | (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_WRITE_OPERATION |
                                              MDL_IO_PAGE_READ | MDL_IO_SPACE |
                                              MDL_MAPPED_TO_SYSTEM_VA));
    if (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))
        TargetMdl->MappedSystemVa = static_cast<PCHAR>(SourceMdl->MappedSystemVa) + offset;
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
    const void* caller = __builtin_return_address(0);
    requireMdl(kernelImpl(), Mdl, "MmMapLockedPagesSpecifyCache", caller);
    auto where = [caller, Mdl] {
        return "MmMapLockedPagesSpecifyCache by " + describeCode(caller) + " on " + mdlText(Mdl);
    };
    if (AccessMode != KernelMode)
        mdlViolation(kModelCheckMisuse, Mdl, where() + ": user-mode mappings are not modelled");
    if (Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
        return MmGetMdlVirtualAddress(Mdl);
    if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
        mdlViolation(kVerifierMapMdlFlags, Mdl, where() + ", which is already mapped");
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL)))
        mdlViolation(kVerifierMapMdlMissingFlags, Mdl,
                     where() + ", whose pages are not locked (MmProbeAndLockPages first)");
    ULONG pages = pagesOf(Mdl);
    PPFN_NUMBER pfn = MmGetMdlPfnArray(Mdl);
    for (ULONG i = 0; i < pages; ++i)
        if (pfn[i] == 0 || pfn[i] != pfn[0] + i)
            mdlViolation(kModelCheckMemoryCorruption, Mdl,
                         where() + ": page " + std::to_string(i) + " of the page array (" +
                             hex(pfn[i]) + ") does not follow page 0 (" + hex(pfn[0]) + ")");
    PVOID address = pages ? reinterpret_cast<PVOID>((pfn[0] << PAGE_SHIFT) + Mdl->ByteOffset)
                          : MmGetMdlVirtualAddress(Mdl);
    Mdl->MappedSystemVa = address;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (Mdl->MdlFlags & MDL_PARTIAL)
        Mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return address;
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl) {
    const void* caller = __builtin_return_address(0);
    requireMdl(kernelImpl(), Mdl, "MmUnmapLockedPages", caller);
    auto where = [caller, Mdl] {
        return "MmUnmapLockedPages by " + describeCode(caller) + " on " + mdlText(Mdl);
    };
    if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA))
        mdlViolation(kModelCheckMisuse, Mdl, where() + ", which is not mapped");
    if (BaseAddress != Mdl->MappedSystemVa)
        mdlViolation(kModelCheckMisuse, Mdl,
                     where() + ": address " + hex(reinterpret_cast<ULONG_PTR>(BaseAddress)) +
                         " is not its mapping " +
                         hex(reinterpret_cast<ULONG_PTR>(Mdl->MappedSystemVa)));
    unmap(Mdl);
}
