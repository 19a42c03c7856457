// MDLs: page arrays, locking, partial MDLs and their mappings.
#include "tests/kernel/kernel_test.hpp"

#include <cstdlib>
#include <vector>

using namespace ktest;

namespace {

class MdlTest : public KernelTest {
  protected:
    MdlTest() : buffer_(static_cast<char*>(std::aligned_alloc(PAGE_SIZE, 4 * PAGE_SIZE))) {}
    ~MdlTest() override { std::free(buffer_); }
    char* buffer_;
};
using MdlDeathTest = MdlTest;

TEST_F(MdlTest, SizedForTheSpanOfItsRange) {
    struct Case {
        ULONG offset, length, pages;
    } cases[] = {{0, 1, 1},
                 {0, PAGE_SIZE, 1},
                 {1, PAGE_SIZE, 2},
                 {PAGE_SIZE - 1, 2, 2},
                 {100, 3 * PAGE_SIZE, 4},
                 {0, 0, 0}};
    for (const Case& c : cases) {
        PMDL mdl = IoAllocateMdl(buffer_ + c.offset, c.length, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        EXPECT_EQ(static_cast<size_t>(mdl->Size), sizeof(MDL) + c.pages * sizeof(PFN_NUMBER))
            << c.offset << "+" << c.length;
        EXPECT_EQ(MmSizeOfMdl(buffer_ + c.offset, c.length), static_cast<SIZE_T>(mdl->Size));
        EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer_ + c.offset);
        EXPECT_EQ(MmGetMdlByteCount(mdl), c.length);
        IoFreeMdl(mdl);
    }
}

TEST_F(MdlTest, AttachesToTheIrp) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(buffer_, 10, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer_ + 10, 10, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

TEST_F(MdlTest, LockingFillsThePageArray) {
    PMDL mdl = IoAllocateMdl(buffer_ + 10, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION),
              MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
    PPFN_NUMBER pages = MmGetMdlPfnArray(mdl);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pages[i], (reinterpret_cast<ULONG_PTR>(buffer_) >> PAGE_SHIFT) + i);
    auto* mapped = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    EXPECT_EQ(mapped, buffer_ + 10);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    IoFreeMdl(mdl);
}

TEST_F(MdlTest, PartialMdlMapsItsPartAndIsUnmappedWhenFreed) {
    PMDL source = IoAllocateMdl(buffer_, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(source, KernelMode, IoReadAccess);
    char* part = buffer_ + PAGE_SIZE + 100;
    PMDL partial = IoAllocateMdl(part, PAGE_SIZE, FALSE, FALSE, nullptr);  // room for 2 pages
    IoBuildPartialMdl(source, partial, part, PAGE_SIZE);
    EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL);
    EXPECT_EQ(MmGetMdlVirtualAddress(partial), part);
    EXPECT_EQ(MmGetMdlPfnArray(partial)[0], MmGetMdlPfnArray(source)[1]);
    EXPECT_EQ(MmGetMdlPfnArray(partial)[1], MmGetMdlPfnArray(source)[2]);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), part);
    EXPECT_EQ(partial->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED),
              MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    EXPECT_EQ(partial->MappedSystemVa, part);
    MmUnmapLockedPages(partial->MappedSystemVa, partial);
    EXPECT_EQ(partial->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED), 0);
    // Built again and mapped again, then freed while mapped: IoFreeMdl unmaps it.
    IoBuildPartialMdl(source, partial, buffer_, 0x10);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), buffer_);
    IoFreeMdl(partial);
    MmUnlockPages(source);
    IoFreeMdl(source);
}

TEST_F(MdlTest, NonPagedSourceNeedsNoMapping) {
    void* pool = ExAllocatePool(NonPagedPool, 200);
    PMDL source = IoAllocateMdl(pool, 200, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(source);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(source, NormalPagePriority), pool);
    PMDL partial = IoAllocateMdl(pool, 200, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, partial, static_cast<char*>(pool) + 50, 0);
    EXPECT_EQ(MmGetMdlByteCount(partial), 150u) << "length 0 takes the rest of the source";
    EXPECT_TRUE(partial->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority),
              static_cast<char*>(pool) + 50);
    EXPECT_FALSE(partial->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    IoFreeMdl(partial);
    IoFreeMdl(source);
    ExFreePool(pool);
}

// A partial MDL over a mapped source shares the source's mapping and is built again and again
// without unmapping; one MDL describes up to 4 GB less a page.
TEST_F(MdlTest, PartialOfAMappedSourceSharesItsMappingAndIsRebuilt) {
    PMDL source = IoAllocateMdl(buffer_, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(source, KernelMode, IoReadAccess);
    char* mapped = static_cast<char*>(MmGetSystemAddressForMdlSafe(source, NormalPagePriority));
    PMDL partial = IoAllocateMdl(buffer_, PAGE_SIZE, FALSE, FALSE, nullptr);
    for (size_t offset : {size_t{0}, size_t{100}, size_t{PAGE_SIZE}}) {
        IoBuildPartialMdl(source, partial, buffer_ + offset, 64);
        EXPECT_TRUE(partial->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
        EXPECT_FALSE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), mapped + offset);
    }
    IoFreeMdl(partial);
    MmUnlockPages(source);
    IoFreeMdl(source);
    PMDL largest = IoAllocateMdl(buffer_, 0xFFFFF000u - PAGE_SIZE, FALSE, FALSE, nullptr);
    EXPECT_NE(largest, nullptr);
    IoFreeMdl(largest);
    EXPECT_EQ(IoAllocateMdl(nullptr, 0xFFFFF001u, FALSE, FALSE, nullptr), nullptr);
}

TEST_F(MdlDeathTest, MdlRules) {
    struct Case {
        const char* name;
        std::function<void()> body;
        const char* expected;
    };
    auto lockedSource = [this] {
        PMDL source = IoAllocateMdl(buffer_, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(source, KernelMode, IoReadAccess);
        return source;
    };
    std::vector<Case> cases = {
        {"partial target too small",
         [&] {
             PMDL source = lockedSource();
             PMDL target = IoAllocateMdl(buffer_, 16, FALSE, FALSE, nullptr);
             IoBuildPartialMdl(source, target, buffer_ + 100, 2 * PAGE_SIZE);
         },
         "STOP: 0x000000C4.*has room for 1 pages.*span 3"},
        {"partial range outside the source",
         [&] {
             PMDL source = lockedSource();
             PMDL target = IoAllocateMdl(buffer_, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
             IoBuildPartialMdl(source, target, buffer_ + PAGE_SIZE, 3 * PAGE_SIZE);
         },
         "STOP: 0x000000C4.*run past the"},
        {"partial target still mapped",
         [&] {
             PMDL source = lockedSource();
             PMDL target = IoAllocateMdl(buffer_, PAGE_SIZE, FALSE, FALSE, nullptr);
             IoBuildPartialMdl(source, target, buffer_, 16);
             MmGetSystemAddressForMdlSafe(target, NormalPagePriority);
             IoBuildPartialMdl(source, target, buffer_ + 16, 16);
         },
         "STOP: 0x000000C4.*still has a mapping of its own"},
        {"unmapping what is not mapped",
         [&] {
             PMDL source = lockedSource();
             MmUnmapLockedPages(buffer_, source);
         },
         "STOP: 0x000000C4.*which is not mapped"},
        {"mapping pages that are not locked",
         [&] {
             PMDL mdl = IoAllocateMdl(buffer_, 16, FALSE, FALSE, nullptr);
             MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
         },
         "STOP: 0x000000C4.*pages are not locked"},
        {"freeing an MDL with locked pages", [&] { IoFreeMdl(lockedSource()); },
         "STOP: 0x000000CB.*still locked"},
        {"freeing an MDL twice",
         [&] {
             PMDL mdl = IoAllocateMdl(buffer_, 16, FALSE, FALSE, nullptr);
             IoFreeMdl(mdl);
             IoFreeMdl(mdl);
         },
         "STOP: 0x000000C4.*already freed"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(c.body(), c.expected) << c.name;
}

}  // namespace
