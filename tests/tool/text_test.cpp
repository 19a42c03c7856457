#include "tools/vavedu/json.hpp"
#include "tools/vavedu/plot.hpp"
#include "tools/vavedu/progress.hpp"
#include "tools/vavedu/text.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace vavedu::tool {
namespace {

TEST(Numbers, DecimalAndHexAreAccepted) {
    struct Case {
        const char* text;
        uint64_t max;
        std::optional<uint64_t> expected;
    };
    const Case cases[] = {
        {"0", UINT64_MAX, 0},
        {"64", UINT64_MAX, 64},
        {"0x40", UINT64_MAX, 64},
        {"0X1f", UINT64_MAX, 31},
        {"0xFFFFFFFFFFFFFFFF", UINT64_MAX, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, std::nullopt},  // overflow
        {"256", 255, std::nullopt},
        {"255", 255, 255},
        {"0x", UINT64_MAX, std::nullopt},
        {"", UINT64_MAX, std::nullopt},
        {"-1", UINT64_MAX, std::nullopt},
        {"+1", UINT64_MAX, std::nullopt},
        {" 1", UINT64_MAX, std::nullopt},
        {"1k", UINT64_MAX, std::nullopt},
        {"0b101", UINT64_MAX, std::nullopt},
        {"0x0x1", UINT64_MAX, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseNumber(c.text, c.max), c.expected);
    }
}

TEST(Numbers, UsageErrorsNameTheOptionAndTheProblem) {
    try {
        requireNumber("--bytes", "ten");
        FAIL();
    } catch (const UsageError& e) {
        EXPECT_STREQ(e.what(), "--bytes: 'ten' is not a number (decimal or 0x hex)");
    }
    try {
        requireNumber("--pipe", "0x100", 255);
        FAIL();
    } catch (const UsageError& e) {
        EXPECT_STREQ(e.what(), "--pipe: 0x100 is too large (at most 255)");
    }
}

TEST(HexData, PairsWithOrWithoutSeparators) {
    using B = std::vector<uint8_t>;
    struct Case {
        const char* text;
        std::optional<B> expected;
    };
    const Case cases[] = {
        {"", B{}},
        {"00ff10", B{0x00, 0xFF, 0x10}},
        {"0x0102", B{0x01, 0x02}},
        {"01 02:0A-0b,0C", B{1, 2, 10, 11, 12}},
        {"abc", std::nullopt},
        {"0 1", std::nullopt},
        {"zz", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseHex(c.text), c.expected);
    }
    EXPECT_EQ(toHex(B{0x00, 0xAB, 0x7F}), "00ab7f");
}

TEST(HexData, DumpShowsOffsetsBytesAndText) {
    std::vector<uint8_t> data(20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>('A' + i);
    const auto lines = hexDump(data);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 12), "0000: 41 42 ");
    EXPECT_NE(lines[0].find("|ABCDEFGHIJKLMNOP|"), std::string::npos);
    EXPECT_EQ(lines[1].substr(0, 5), "0010:");
    const auto limited = hexDump(data, 16);
    ASSERT_EQ(limited.size(), 2u);
    EXPECT_EQ(limited[1], "... 4 more bytes");
}

TEST(Words, SplitAsAPosixShellDoes) {
    using W = std::vector<std::string>;
    struct Case {
        const char* line;
        W expected;
    };
    const Case cases[] = {
        {"", W{}},
        {"   \t ", W{}},
        {"read --bytes 64", W{"read", "--bytes", "64"}},
        {"read --name '\\PIPE_2\\INTERFACE_1' --bytes 64",
         W{"read", "--name", "\\PIPE_2\\INTERFACE_1", "--bytes", "64"}},
        {"a \"b c\" d", W{"a", "b c", "d"}},
        {"\"a\\\"b\\\\c\\d\"", W{"a\"b\\c\\d"}},
        {"'$HOME' \"$HOME\"", W{"$HOME", "$HOME"}},
        {"a\\ b c", W{"a b", "c"}},
        {"x'y'\"z\"", W{"xyz"}},
        {"'' \"\"", W{"", ""}},
        {"# a comment", W{}},
        {"zlp on # turn them on", W{"zlp", "on"}},
        {"a#b", W{"a#b"}},
        {"'#' x", W{"#", "x"}},
        {"\\#x", W{"#x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(splitWords(c.line), c.expected);
    }
}

TEST(Words, UnterminatedQuotesAreUsageErrors) {
    for (const char* line : {"read 'abc", "read \"abc", "read abc\\", "\"a\\\""}) {
        SCOPED_TRACE(line);
        EXPECT_THROW(splitWords(line), UsageError);
    }
}

TEST(Json, ObjectsKeepOrderAndEscapeText) {
    JsonObject inner;
    inner.add("n", 1).add("ok", true);
    JsonArray list;
    list.push("a").push(uint64_t{2}).push(inner);
    JsonObject o;
    o.add("text", "a\"b\\c\n\x01").add("neg", -5).add("big", uint64_t{1} << 40).add("list", list);
    o.add("rate", 12.5);
    EXPECT_EQ(o.str(),
              "{\"text\":\"a\\\"b\\\\c\\n\\u0001\",\"neg\":-5,\"big\":1099511627776,"
              "\"list\":[\"a\",2,{\"n\":1,\"ok\":true}],\"rate\":12.500}");
    JsonObject merged;
    merged.add("a", 1).merge(JsonObject().add("b", 2)).merge(JsonObject());
    EXPECT_EQ(merged.str(), "{\"a\":1,\"b\":2}");
}

TEST(Json, TextThatIsNotUtf8GetsReplacementCharacters) {
    // A file name or a device's string may be any bytes; the line stays valid JSON.
    EXPECT_EQ(JsonObject().add("out", "a\xFF\xC3(b").str(),
              "{\"out\":\"a\xEF\xBF\xBD\xEF\xBF\xBD(b\"}");
    EXPECT_EQ(JsonObject().add("t", "\xC3\xA9").str(), "{\"t\":\"\xC3\xA9\"}");  // UTF-8 passes
}

TEST(Plot, TriangleFillsTheGridFromTopToBottom) {
    std::vector<int16_t> samples;
    for (int i = 0; i < 256; ++i)
        samples.push_back(static_cast<int16_t>(i < 128 ? i : 255 - i));
    const auto lines = plotWaveform(samples, 64, 8);
    ASSERT_EQ(lines.size(), 9u);  // 8 rows and the axis
    EXPECT_NE(lines[0].find("127"), std::string::npos);
    EXPECT_NE(lines[7].find("0"), std::string::npos);
    // The peak is in the middle columns of the top row, the ends at the bottom row.
    const std::string& top = lines[0];
    const std::string& bottom = lines[7];
    const size_t origin = top.find('|') + 1;
    EXPECT_EQ(top[origin], ' ');
    EXPECT_EQ(top[origin + 32], '*');
    EXPECT_EQ(bottom[origin], '*');
    EXPECT_EQ(bottom[origin + 63], '*');
    for (const auto& line : lines)
        EXPECT_LE(line.size(), 8u + 64u);
}

TEST(Plot, DegenerateInputGivesNoPlotOrAFlatLine) {
    EXPECT_TRUE(plotWaveform({}, 40, 8).empty());
    const std::vector<int16_t> flat(10, 7);
    EXPECT_TRUE(plotWaveform(flat, 1, 8).empty());
    const auto lines = plotWaveform(flat, 40, 4);
    ASSERT_EQ(lines.size(), 5u);
    size_t stars = 0;
    for (const auto& line : lines)
        stars += std::count(line.begin(), line.end(), '*');
    EXPECT_EQ(stars, 10u);  // one column per sample, fewer samples than columns
    EXPECT_EQ(samplesFromBytes(std::vector<uint8_t>{0x01, 0x80, 0xFF}),
              std::vector<int16_t>{static_cast<int16_t>(0x8001)});
}

TEST(Progress, LineShowsFractionAndSizes) {
    EXPECT_EQ(progressLine(512 * 1024, 1024 * 1024, 10), "[#####-----]  50%  512 KiB / 1 MiB");
    EXPECT_EQ(progressLine(5, 0, 4), "[####] 100%  0 bytes / 0 bytes");
    EXPECT_EQ(progressLine(300, 100, 4), "[####] 100%  100 bytes / 100 bytes");
}

TEST(Progress, DisabledBarWritesNothing) {
    std::ostringstream out;
    {
        ProgressBar bar(out, false, "read", 100);
        bar.update(50);
        bar.finish();
    }
    EXPECT_EQ(out.str(), "");
    {
        ProgressBar bar(out, true, "read", 100);
        bar.update(50);
        bar.update(50);  // unchanged: not redrawn
        bar.finish();
    }
    const std::string drawn = out.str();
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\r'), 2);
    EXPECT_EQ(drawn.back(), '\n');
}

}  // namespace
}  // namespace vavedu::tool
