// Pool: every block is tracked with its type, size, tag and allocating site (the return address
// into the caller; named only when reported, so allocation stays cheap). Freeing checks the
// pointer, the tag and the guard bytes behind the block. The sanitizer build gives blocks of
// exactly the asked size straight from malloc, so AddressSanitizer sees every overrun.
#include "sim/kernel/internal.hpp"

#include <cstdlib>

namespace sim {

namespace {

#ifdef VAVEDU_SANITIZED
constexpr size_t kGuardBytes = 0;
#else
constexpr size_t kGuardBytes = 16;
#endif
constexpr uint8_t kGuardFill = 0xFD;
constexpr uint8_t kNewFill = 0xCD;  // fresh pool is not zeroed on the platform either
constexpr uint8_t kFreedFill = 0xDD;
constexpr ULONG kDefaultTag = 0x656E6F4E;  // 'None', the tag of ExAllocatePool

bool isPaged(POOL_TYPE type) {
    return (static_cast<int>(type) & 1) != 0;
}

std::string poolTypeName(POOL_TYPE type) {
    return isPaged(type) ? "PagedPool" : "NonPagedPool";
}

void checkPoolType(POOL_TYPE type, const void* caller) {
    int base = static_cast<int>(type) & ~static_cast<int>(NonPagedPoolNx);
    if (base == NonPagedPoolMustSucceed || base == NonPagedPoolCacheAlignedMustS ||
        base == DontUseThisType || base >= MaxPoolType)
        bugCheck(BAD_POOL_CALLER, 0x9B, static_cast<ULONG_PTR>(type), 0, 0,
                 "pool allocation of a type drivers may not use (" + std::to_string(type) +
                     ") by " + describeCode(caller));
}

void checkGuard(void* p, const PoolBlock& block, const void* caller) {
    auto* guard = static_cast<uint8_t*>(p) + block.size;
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (guard[i] != kGuardFill)
            bugCheck(DRIVER_CORRUPTED_EXPOOL, reinterpret_cast<ULONG_PTR>(p), block.size, i, 0,
                     "pool block " + hex(reinterpret_cast<ULONG_PTR>(p)) + " of " +
                         std::to_string(block.size) + " bytes allocated at " +
                         describeCode(block.caller) + " was written past its end (byte " +
                         std::to_string(block.size + i) + "); found when freed by " +
                         describeCode(caller));
}

}  // namespace

void* Kernel::Impl::poolAllocate(POOL_TYPE type, size_t bytes, ULONG tag, AllocationKind kind,
                                 const void* caller, bool counted) {
    KIRQL irql = currentIrql();
    checkPoolType(type, caller);
    if (irql > DISPATCH_LEVEL || (isPaged(type) && irql >= DISPATCH_LEVEL))
        bugCheck(BAD_POOL_CALLER, 0x08, irql, static_cast<ULONG_PTR>(type), bytes,
                 poolTypeName(type) + " allocation of " + std::to_string(bytes) + " bytes at " +
                     describeIrql(irql) + " by " + describeCode(caller));
    if (counted) {
        std::lock_guard lock(mutex);
        if (decideFailure(kind, caller))
            return nullptr;
    }
    void* host = malloc(bytes + kGuardBytes == 0 ? 1 : bytes + kGuardBytes);
    if (!host)
        return nullptr;
    memset(host, kNewFill, bytes);
    memset(static_cast<uint8_t*>(host) + bytes, kGuardFill, kGuardBytes);
    std::lock_guard lock(mutex);
    pool.emplace(host, PoolBlock{bytes, type, tag, kind, caller, counted, host});
    noteAllocated(kind, counted);
    return host;
}

std::optional<std::pair<const void*, size_t>> Kernel::Impl::poolBlockContaining(
    const void* p) const {
    auto address = reinterpret_cast<uintptr_t>(p);
    for (const auto& [start, block] : pool) {
        auto first = reinterpret_cast<uintptr_t>(start);
        if (address >= first && address < first + block.size)
            return std::make_pair(static_cast<const void*>(start), block.size);
    }
    return std::nullopt;
}

bool Kernel::Impl::isPoolBlock(void* p) const {
    return pool.count(p) != 0;
}

void Kernel::Impl::poolFree(void* p, std::optional<ULONG> tag, const void* caller) {
    KIRQL irql = currentIrql();
    std::unique_lock lock(mutex);
    auto it = pool.find(p);
    if (it == pool.end()) {
        bool twice = wasFreedRecently(p);
        lock.unlock();
        bugCheck(BAD_POOL_CALLER, twice ? 0x07 : 0x46, reinterpret_cast<ULONG_PTR>(p), 0, 0,
                 std::string(twice ? "double free: ExFreePool of pool block "
                                   : "ExFreePool of an address that is not a pool block: ") +
                     hex(reinterpret_cast<ULONG_PTR>(p)) +
                     (twice ? " that was already freed" : "") + ", by " + describeCode(caller));
    }
    PoolBlock block = it->second;
    if (irql > DISPATCH_LEVEL || (isPaged(block.type) && irql > APC_LEVEL)) {
        lock.unlock();
        bugCheck(BAD_POOL_CALLER, 0x09, irql, static_cast<ULONG_PTR>(block.type),
                 reinterpret_cast<ULONG_PTR>(p),
                 "freeing " + poolTypeName(block.type) + " block " +
                     hex(reinterpret_cast<ULONG_PTR>(p)) + " at " + describeIrql(irql) + " by " +
                     describeCode(caller));
    }
    if (tag && *tag != block.tag) {
        lock.unlock();
        bugCheck(BAD_POOL_CALLER, 0x0A, reinterpret_cast<ULONG_PTR>(p), block.tag, *tag,
                 "ExFreePoolWithTag with tag " + hex(*tag) + " on block " +
                     hex(reinterpret_cast<ULONG_PTR>(p)) + " allocated with tag " + hex(block.tag) +
                     ", by " + describeCode(caller));
    }
    checkGuard(p, block, caller);
    pool.erase(it);
    noteFreed(block.kind, block.counted);
    // An IRP a driver built in this block (IoInitializeIrp) goes with it.
    if (auto irp = irps.find(static_cast<PIRP>(p));
        irp != irps.end() && irp->second->origin == IrpOrigin::External) {
        delete irp->second;
        irps.erase(irp);
    }
    memset(p, kFreedFill, block.size);
    retire(p, block.hostBlock);
}

}  // namespace sim

using namespace sim;

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return kernelImpl().poolAllocate(PoolType, NumberOfBytes, kDefaultTag, AllocationKind::Pool,
                                     __builtin_return_address(0), true);
}

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return kernelImpl().poolAllocate(PoolType, NumberOfBytes, Tag, AllocationKind::Pool,
                                     __builtin_return_address(0), true);
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    kernelImpl().poolFree(P, std::nullopt, __builtin_return_address(0));
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    kernelImpl().poolFree(P, Tag, __builtin_return_address(0));
}
