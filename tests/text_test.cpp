#include "text.h"

#include <gtest/gtest.h>

#include <random>

namespace vorn {
namespace {

WideString units(std::initializer_list<unsigned> values) {
    WideString out;
    for (const unsigned v : values) out += static_cast<WideChar>(v);
    return out;
}

struct RoundTrip {
    const char* utf8;
    WideString utf16;
};

TEST(Text, ConvertsBothWaysForEveryEncodingLength) {
    const RoundTrip cases[] = {
        {"", units({})},
        {"abc", units({'a', 'b', 'c'})},
        {"\u00E9", units({0xE9})},                              // two bytes
        {"下载星岚", units({0x4E0B, 0x8F7D, 0x661F, 0x5C9A})},  // three bytes
        {"\U0001F600", units({0xD83D, 0xDE00})},                // four bytes, a surrogate pair
        {"\uFFFF\U0010FFFF", units({0xFFFF, 0xDBFF, 0xDFFF})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_wide(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(from_wide(c.utf16), c.utf8) << c.utf8;
        EXPECT_EQ(from_wide_strict(c.utf16), std::optional<std::string>(c.utf8)) << c.utf8;
    }
}

TEST(Text, UnpairedSurrogatesAreReplacedOrRefused) {
    const WideString cases[] = {
        units({0xD800}),                  // lone high at the end
        units({0xDC00, 'a'}),             // lone low
        units({'a', 0xD83D, 'b'}),        // high followed by a non-surrogate
        units({0xDE00, 0xD83D}),          // a pair in the wrong order
        units({0xD83D, 0xD83D, 0xDE00}),  // high, then a complete pair
    };
    const std::string expected[] = {
        "\uFFFD", "\uFFFDa", "a\uFFFDb", "\uFFFD\uFFFD", "\uFFFD\U0001F600",
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(from_wide(cases[i]), expected[i]) << i;
        EXPECT_EQ(from_wide_strict(cases[i]), std::nullopt) << i;
    }
}

TEST(Text, EmbeddedNulIsKeptInTheTextAndEndsItForThePlatform) {
    const std::string with_nul("ab\0cd", 5);
    const WideString wide = to_wide(with_nul);
    ASSERT_EQ(wide.size(), 5u);
    EXPECT_EQ(wide[2], WideChar{0});
    EXPECT_EQ(WideStringView(wide.c_str()), WideStringView(units({'a', 'b'})));
    EXPECT_EQ(from_wide(wide), with_nul);
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
    const std::pair<std::string, WideString> cases[] = {
        {"\xC3", units({0xFFFD})},                                      // truncated
        {"\x80x", units({0xFFFD, 'x'})},                                // stray continuation
        {"\xC0\xAF", units({0xFFFD, 0xFFFD})},                          // overlong "/"
        {"\xED\xA0\x80", units({0xFFFD, 0xFFFD, 0xFFFD})},              // encoded surrogate
        {"\xF4\x90\x80\x80", units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})},  // above U+10FFFF
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(to_wide(input), expected);
}

TEST(Text, RandomValidUtf16SurvivesTheRoundTrip) {
    std::mt19937 random(7);
    std::uniform_int_distribution<unsigned> code_point(0, 0x10FFFF);
    for (int round = 0; round < 2000; ++round) {
        WideString text;
        for (int i = 0; i < 12; ++i) {
            unsigned cp = code_point(random);
            if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;
            if (cp < 0x10000) {
                text += static_cast<WideChar>(cp);
            } else {
                text += static_cast<WideChar>(0xD800 + ((cp - 0x10000) >> 10));
                text += static_cast<WideChar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
        }
        const auto utf8 = from_wide_strict(text);
        ASSERT_TRUE(utf8.has_value());
        ASSERT_EQ(to_wide(*utf8), text);
    }
}

TEST(Text, CodesAreEightUpperCaseHexDigits) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "00000000"},          {0x10, "00000010"},       {0x10000, "00010000"},
        {0x800B0100, "800B0100"}, {0x80096010, "80096010"}, {0xABCDEF12, "ABCDEF12"},
        {0xFFFFFFFF, "FFFFFFFF"}, {0x01234567, "01234567"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(hex8(value), text) << value;
}

}  // namespace
}  // namespace vorn
