// DbgPrint: the platform's format rules and the line-by-line log.
#include "tests/kernel/kernel_test.hpp"

#include <vector>

using namespace ktest;

namespace {

class DebugPrintTest : public KernelTest {
  protected:
    std::string last() {
        auto lines = kernel_->debugOutput();
        return lines.empty() ? "<none>" : lines.back();
    }
};

TEST_F(DebugPrintTest, PlatformFormatRules) {
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, (PCWSTR)u"Pipe");
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "ansi");
    DbgPrint("%ld %lu %lx\n", (LONG)-1, (ULONG)0xFFFFFFFF, (ULONG)0xABCD);
    EXPECT_EQ(last(), "-1 4294967295 abcd") << "l is 32 bits";
    DbgPrint("%lld %I64x %llX\n", (LONGLONG)-5, (ULONGLONG)0x123456789AULL, (ULONGLONG)0xFFULL);
    EXPECT_EQ(last(), "-5 123456789a FF");
    DbgPrint("%Ix %hx %hhx\n", (ULONG_PTR)0x1122334455ULL, 0x12345, 0x1FF);
    EXPECT_EQ(last(), "1122334455 2345 ff");
    DbgPrint("[%wZ] [%Z] [%ws] [%S] [%s]\n", &unicode, &ansi, (PCWSTR)u"wide", (PCWSTR)u"Wide",
             "narrow");
    EXPECT_EQ(last(), "[Pipe] [ansi] [wide] [Wide] [narrow]");
    DbgPrint("%04X|%-4d|%5s|%c|%%|%p\n", 0xAB, 7, "ab", 'z', reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(last(), "00AB|7   |   ab|z|%|0000000000001234");
    DbgPrint("%s %wZ\n", static_cast<char*>(nullptr), static_cast<PUNICODE_STRING>(nullptr));
    EXPECT_EQ(last(), "(null) (null)");
}

TEST_F(DebugPrintTest, LinesAreSplitAndPartialLinesWait) {
    std::vector<std::string> sunk;
    kernel_->onDebugLine([&](std::string_view line) { sunk.emplace_back(line); });
    DbgPrint("VaVedu: ");
    EXPECT_TRUE(kernel_->debugOutput().empty()) << "a partial line waits for its end";
    DbgPrint("DriverEntry()\nsecond\n\nthird");
    EXPECT_EQ(kernel_->debugOutput(),
              (std::vector<std::string>{"VaVedu: DriverEntry()", "second", ""}));
    EXPECT_EQ(sunk, kernel_->debugOutput());
    kernel_->clearDebugOutput();
    EXPECT_TRUE(kernel_->debugOutput().empty());
}

using DebugPrintDeathTest = DebugPrintTest;

TEST_F(DebugPrintDeathTest, BreakPointStopsTheMachine) {
    EXPECT_DEATH(DbgBreakPoint(), "STOP: 0x000000E2.*DbgBreakPoint called by");
}

TEST_F(DebugPrintDeathTest, KeBugCheckExPrintsItsParameters) {
    EXPECT_DEATH(KeBugCheckEx(0x1234, 1, 2, 3, 4),
                 "STOP: 0x00001234 \\(0x0000000000000001, 0x0000000000000002, 0x0000000000000003, "
                 "0x0000000000000004\\)");
}

}  // namespace
