// Counted strings, and RtlUnicodeStringToInteger with the platform's parsing rules.
#include "tests/kernel/kernel_test.hpp"

#include <memory>

using namespace ktest;

namespace {

class StringsTest : public KernelTest {};
using StringsDeathTest = StringsTest;

// A counted string over a heap copy of exactly its characters, no terminator.
struct Counted {
    explicit Counted(std::u16string_view text) : chars(new WCHAR[text.size() + 1]) {
        memcpy(chars.get(), text.data(), text.size() * sizeof(WCHAR));
        string.Buffer = text.empty() ? nullptr : chars.get();
        string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    }
    std::unique_ptr<WCHAR[]> chars;
    UNICODE_STRING string{};
};

TEST_F(StringsTest, UnicodeStringToInteger) {
    struct Case {
        const char16_t* text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {u"1234", 10, STATUS_SUCCESS, 1234},
        {u"  \t\n42", 10, STATUS_SUCCESS, 42},   // whitespace skipped
        {u"\x01\x1f 7", 10, STATUS_SUCCESS, 7},  // every character up to the space
        {u"+15", 10, STATUS_SUCCESS, 15},
        {u"-1", 10, STATUS_SUCCESS, 0xFFFFFFFF},  // minus negates modulo 2^32
        {u"0x1F", 0, STATUS_SUCCESS, 0x1F},
        {u"0xfF", 0, STATUS_SUCCESS, 0xFF},  // hex letters of either case
        {u"0o17", 0, STATUS_SUCCESS, 017},
        {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"0X1F", 0, STATUS_SUCCESS, 0},  // prefixes are lower case only
        {u"017", 0, STATUS_SUCCESS, 17},  // no octal by leading zero
        {u"0x", 0, STATUS_SUCCESS, 0},    // a prefix without digits
        {u"0xg", 0, STATUS_SUCCESS, 0},
        {u"-0x10", 0, STATUS_SUCCESS, 0xFFFFFFF0},
        {u"12ab", 10, STATUS_SUCCESS, 12},  // digits up to the first non-digit
        {u"1010", 2, STATUS_SUCCESS, 10},
        {u"12", 2, STATUS_SUCCESS, 1},
        {u"777", 8, STATUS_SUCCESS, 0777},
        {u"ffffffff", 16, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"4294967296", 10, STATUS_SUCCESS, 0},  // wraps modulo 2^32
        {u"4294967301", 10, STATUS_SUCCESS, 5},
        {u"abc", 10, STATUS_SUCCESS, 0},  // no number: 0 with success
        {u"   ", 10, STATUS_SUCCESS, 0},
        {u"-", 10, STATUS_SUCCESS, 0},
        {u"", 10, STATUS_INVALID_PARAMETER, 0xDEAD},   // empty fails, value untouched
        {u"12", 3, STATUS_INVALID_PARAMETER, 0xDEAD},  // bad base
        {u"12", 17, STATUS_INVALID_PARAMETER, 0xDEAD},
    };
    for (const Case& c : cases) {
        Counted s(c.text);
        ULONG value = 0xDEAD;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s.string, c.base, &value), c.status)
            << sim::toUtf8(c.text) << " base " << c.base;
        EXPECT_EQ(value, c.value) << sim::toUtf8(c.text) << " base " << c.base;
    }
}

TEST_F(StringsTest, UnicodeStringToIntegerReadsOnlyLength) {
    WCHAR chars[] = {u'1', u'2', u'3', u'4'};
    UNICODE_STRING s{4, 4, chars};  // "12", the rest lies beyond Length
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    s.Length = 3;  // no whole number of characters
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(StringsTest, CopyAppendCompare) {
    WCHAR storage[8];
    UNICODE_STRING destination{0, sizeof storage, storage};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, (PCWSTR)u"Hello");
    EXPECT_EQ(source.Length, 10);
    EXPECT_EQ(source.MaximumLength, 12);
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 10);
    EXPECT_EQ(storage[5], 0) << "terminated when there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, (PCWSTR)u"!!"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, (PCWSTR)u"!!"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Length, 14);
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, (PCWSTR)u"hello!!");
    EXPECT_FALSE(RtlEqualUnicodeString(&destination, &other, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&destination, &other, TRUE));
    WCHAR small[3];
    UNICODE_STRING truncated{0, sizeof small, small};
    RtlCopyUnicodeString(&truncated, &source);
    EXPECT_EQ(truncated.Length, 6) << "copies what fits";
    char a[] = "abcdef", b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
}

TEST_F(StringsTest, IntegerAndGuidToString) {
    WCHAR storage[12];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(s.Buffer), s.Length / 2), u"BEEF");
    EXPECT_EQ(RtlIntegerToUnicodeString(4000000000u, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(s.Buffer), s.Length / 2), u"4000000000");
    UNICODE_STRING tiny{0, 4, storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(100, 10, &tiny), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
    GUID guid = {0x7D2E4C91, 0x3A58, 0x4F06, {0xB1, 0xC7, 0x29, 0xE8, 0xD0, 0x5A, 0x6F, 0x34}};
    UNICODE_STRING text{};
    ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(text.Buffer), text.Length / 2),
              u"{7D2E4C91-3A58-4F06-B1C7-29E8D05A6F34}");
    RtlFreeUnicodeString(&text);
    EXPECT_EQ(text.Buffer, nullptr);
}

TEST_F(StringsDeathTest, FreeingAStringThatIsNotPool) {
    EXPECT_DEATH(
        {
            UNICODE_STRING s;
            RtlInitUnicodeString(&s, (PCWSTR)u"constant");
            RtlFreeUnicodeString(&s);
        },
        "STOP: 0x000000C2.*RtlFreeUnicodeString on a string whose buffer .* is not a pool block");
}

}  // namespace
