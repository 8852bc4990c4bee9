// UTF-8 to UTF-16 conversion, which decides the bytes of the parameter string.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "packer/platform/text.h"

namespace {

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::optional<std::u16string> utf16;  // nullopt: must be rejected
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, DecodesOrRejects) {
  const Utf8Case& c = GetParam();
  const std::optional<std::u16string> got = harwpack::Utf8ToUtf16(c.utf8);
  ASSERT_EQ(got.has_value(), c.utf16.has_value());
  if (!got) return;
  EXPECT_TRUE(*got == *c.utf16);
  EXPECT_EQ(harwpack::Utf16ToUtf8(*got), c.utf8) << "round trip";
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(
        Utf8Case{"empty", "", std::u16string()},
        Utf8Case{"ascii", "/A \"x y\"", std::u16string(u"/A \"x y\"")},
        Utf8Case{"two_byte", "\xC3\xA9", std::u16string(u"\u00E9")},
        Utf8Case{"three_byte", "\xE2\x82\xAC", std::u16string(u"\u20AC")},
        Utf8Case{"four_byte_to_surrogates", "\xF0\x9F\x98\x80", std::u16string(u"\U0001F600")},
        Utf8Case{"highest", "\xF4\x8F\xBF\xBF", std::u16string(u"\U0010FFFF")},
        Utf8Case{"lone_continuation", "\x80", std::nullopt},
        Utf8Case{"truncated_at_end", "a\xE2\x82", std::nullopt},
        Utf8Case{"bad_continuation", "\xE2\x28\xA1", std::nullopt},
        Utf8Case{"overlong_slash", "\xC0\xAF", std::nullopt},
        Utf8Case{"overlong_three_byte", "\xE0\x80\xAF", std::nullopt},
        Utf8Case{"encoded_surrogate", "\xED\xA0\x80", std::nullopt},
        Utf8Case{"above_unicode", "\xF4\x90\x80\x80", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf16Test, UnpairedSurrogateBecomesReplacementCharacter) {
  EXPECT_EQ(harwpack::Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(harwpack::Utf16ToUtf8(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
}

}  // namespace
