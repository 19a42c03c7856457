// Pool: tracking, leak reports with their sites, and the rules that stop the machine.
#include "tests/kernel/kernel_test.hpp"

using namespace ktest;

namespace {

class PoolTest : public KernelTest {};

__attribute__((noinline)) void* allocateForgottenBlock() {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 40, poolTag("Leak"));
    asm volatile("" ::: "memory");  // not a tail call: the site is this routine
    return block;
}

TEST_F(PoolTest, FreedBlocksLeaveNothingBehind) {
    void* a = ExAllocatePool(NonPagedPool, 100);
    void* b = ExAllocatePoolWithTag(PagedPool, 0, poolTag("Test"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(kernel_->counters().outstandingOf(sim::AllocationKind::Pool), 2u);
    ExFreePool(a);
    ExFreePoolWithTag(b, poolTag("Test"));
    EXPECT_EQ(kernel_->counters().allocatedOf(sim::AllocationKind::Pool), 2u);
    EXPECT_EQ(kernel_->counters().outstandingOf(sim::AllocationKind::Pool), 0u);
    EXPECT_EQ(kernel_->leakReport(), "");
}

TEST_F(PoolTest, LeakedBlockIsReportedWithItsSite) {
    void* block = allocateForgottenBlock();
    auto leaks = kernel_->leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].size, 40u);
    EXPECT_EQ(leaks[0].tag, static_cast<ULONG>(poolTag("Leak")));
    std::string report = kernel_->checkClean();
    EXPECT_NE(report.find("40 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("allocateForgottenBlock"), std::string::npos) << report;
    EXPECT_NE(report.find("'Leak'"), std::string::npos) << report;
    ExFreePool(block);
    EXPECT_EQ(kernel_->checkClean(), "");
}

TEST_F(PoolTest, AllocationsFromTheModelAreChargedToTheirKind) {
    void* usbd =
        kernel_->allocatePool(NonPagedPool, 24, poolTag("USBD"), sim::AllocationKind::UsbdRequest,
                              __builtin_return_address(0));
    ASSERT_NE(usbd, nullptr);
    EXPECT_EQ(kernel_->counters().outstandingOf(sim::AllocationKind::UsbdRequest), 1u);
    EXPECT_EQ(kernel_->counters().outstandingOf(sim::AllocationKind::Pool), 0u);
    ExFreePool(usbd);
    EXPECT_EQ(kernel_->counters().outstandingOf(sim::AllocationKind::UsbdRequest), 0u);
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, DoubleFree) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePool(NonPagedPool, 8);
            ExFreePool(p);
            ExFreePool(p);
        },
        "STOP: 0x000000C2.*\n.*BAD_POOL_CALLER\n.*double free");
}

TEST_F(PoolDeathTest, FreeOfForeignPointer) {
    static char notPool[16];
    EXPECT_DEATH(ExFreePool(notPool), "STOP: 0x000000C2.*not a pool block");
}

TEST_F(PoolDeathTest, TagMismatch) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 8, poolTag("AAAA"));
            ExFreePoolWithTag(p, poolTag("BBBB"));
        },
        "STOP: 0x000000C2.*ExFreePoolWithTag with tag");
}

TEST_F(PoolDeathTest, PagedPoolAtDispatchLevel) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePool(PagedPool, 8);
        },
        "STOP: 0x000000C2.*PagedPool allocation of 8 bytes at DISPATCH_LEVEL");
}

TEST_F(PoolDeathTest, WritingPastTheEndOfABlock) {
#ifdef VAVEDU_SANITIZED
    const char* expected = "heap-buffer-overflow";
#else
    const char* expected = "STOP: 0x000000C5.*written past its end";
#endif
    EXPECT_DEATH(
        {
            auto* p = static_cast<volatile char*>(ExAllocatePool(NonPagedPool, 10));
            p[10] = 1;
            ExFreePool(const_cast<char*>(p));
        },
        expected);
}

TEST_F(PoolDeathTest, MustSucceedPoolIsRefused) {
    EXPECT_DEATH(ExAllocatePool(NonPagedPoolMustSucceed, 8), "STOP: 0x000000C2.*may not use");
}

}  // namespace
