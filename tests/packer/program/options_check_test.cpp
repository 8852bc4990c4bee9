// The parameter string as the program splits and applies it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "packer/program/options_check.h"

namespace {

using harwpack::CheckParameters;
using harwpack::ParameterReport;
using harwpack::Severity;
using harwpack::TokenRole;
using harwpack::UpdaterSettings;

struct TokenCase {
  const char* name;
  std::u16string text;
  std::vector<std::u16string> tokens;
};

void PrintTo(const TokenCase& c, std::ostream* os) { *os << c.name; }

class TokenizeTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenizeTest, SplitsLikeTheProgram) {
  EXPECT_EQ(harwpack::Tokenize(GetParam().text), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, TokenizeTest,
    ::testing::Values(
        TokenCase{"empty", u"", {}},
        TokenCase{"only_blanks", u"  \t\r\n  ", {}},
        TokenCase{"plain", u"/X /F Temp1", {u"/X", u"/F", u"Temp1"}},
        TokenCase{"runs_of_blanks", u"  /X\t\t/D  ", {u"/X", u"/D"}},
        TokenCase{"quoted_value", u"/A \"-s -f1 x\" /D", {u"/A", u"-s -f1 x", u"/D"}},
        TokenCase{"quotes_give_empty_token", u"\"\" /X", {u"", u"/X"}},
        TokenCase{"quote_inside_token_is_kept", u"ab\"cd ef", {u"ab\"cd", u"ef"}},
        TokenCase{"unclosed_quote_takes_the_rest", u"/A \"a b  c", {u"/A", u"a b  c"}},
        TokenCase{"closing_quote_ends_token", u"\"a\"b", {u"a", u"b"}},
        TokenCase{"tab_inside_quotes_kept", u"\"a\tb\"", {u"a\tb"}},
        TokenCase{"control_character_separates", u"/X\u0001/D", {u"/X", u"/D"}},
        TokenCase{"delete_and_c1_controls_separate", u"a\u007Fb\u0085c", {u"a", u"b", u"c"}},
        TokenCase{"no_break_space_separates", u"a\u00A0b", {u"a", u"b"}},
        TokenCase{"latin1_letters_are_printable", u"\u00C9t\u00E9 \u00FF", {u"\u00C9t\u00E9", u"\u00FF"}},
        TokenCase{"ideographic_space_separates", u"a\u3000b", {u"a", u"b"}},
        TokenCase{"surrogates_separate", u"a\U0001F600b", {u"a", u"b"}},
        TokenCase{"zero_ends_the_string", std::u16string(u"/X\0/D", 5), {u"/X"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ApplyCase {
  const char* name;
  std::u16string text;
  std::function<void(UpdaterSettings&)> expect;  // turns the defaults into the expected settings
  std::vector<std::string> errors;               // a part of each expected error, in order
  std::size_t warnings;
};

void PrintTo(const ApplyCase& c, std::ostream* os) { *os << c.name; }

class ApplyTest : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyTest, SettingsAndMessages) {
  const ApplyCase& c = GetParam();
  const ParameterReport report = CheckParameters(c.text);
  UpdaterSettings expected;
  c.expect(expected);
  const UpdaterSettings& got = report.settings;
  EXPECT_TRUE(got.folder_name == expected.folder_name);
  EXPECT_TRUE(got.setup_path == expected.setup_path);
  EXPECT_TRUE(got.setup_parameters == expected.setup_parameters);
  EXPECT_EQ(got.no_execute_setup, expected.no_execute_setup);
  EXPECT_EQ(got.delete_without_asking, expected.delete_without_asking);
  EXPECT_EQ(got.wait_for_setup, expected.wait_for_setup);
  EXPECT_EQ(got.hide_console, expected.hide_console);
  EXPECT_EQ(got.show_details, expected.show_details);
  std::vector<std::string> errors;
  std::size_t warnings = 0;
  for (const auto& m : report.messages) {
    if (m.severity == Severity::kError) errors.push_back(m.text);
    if (m.severity == Severity::kWarning) ++warnings;
  }
  ASSERT_EQ(errors.size(), c.errors.size());
  for (std::size_t i = 0; i < errors.size(); ++i) {
    EXPECT_NE(errors[i].find(c.errors[i]), std::string::npos) << errors[i];
  }
  EXPECT_EQ(warnings, c.warnings);
  EXPECT_EQ(report.HasErrors(), !c.errors.empty());
}

std::u16string Repeat(std::size_t n) { return std::u16string(n, u'a'); }

const auto kDefaults = [](UpdaterSettings&) {};

INSTANTIATE_TEST_SUITE_P(
    Strings, ApplyTest,
    ::testing::Values(
        ApplyCase{"nothing", u"", kDefaults, {}, 0},
        ApplyCase{"switch_and_folder", u"/X /F Temp1",
                  [](UpdaterSettings& s) { s.no_execute_setup = true; s.folder_name = u"Temp1"; }, {}, 0},
        ApplyCase{"lower_case_options", u"/x /f temp /a \"-q\"",
                  [](UpdaterSettings& s) {
                    s.no_execute_setup = true;
                    s.folder_name = u"temp";
                    s.setup_parameters = u"-q";
                  }, {}, 0},
        ApplyCase{"flags_move_from_defaults", u"/W /H /D /V",
                  [](UpdaterSettings& s) {
                    s.wait_for_setup = false;
                    s.hide_console = false;
                    s.delete_without_asking = true;
                    s.show_details = true;
                  }, {}, 0},
        ApplyCase{"value_is_taken_whatever_it_looks_like", u"/S /X",
                  [](UpdaterSettings& s) { s.setup_path = u"/X"; }, {}, 0},
        ApplyCase{"help_as_a_value_is_harmless", u"/A /?",
                  [](UpdaterSettings& s) { s.setup_parameters = u"/?"; }, {}, 0},
        ApplyCase{"empty_value", u"/A \"\"", kDefaults, {}, 0},
        ApplyCase{"later_value_wins", u"/F a /F b", [](UpdaterSettings& s) { s.folder_name = u"b"; }, {}, 0},
        ApplyCase{"missing_value", u"/X /A", [](UpdaterSettings& s) { s.no_execute_setup = true; },
                  {"/A at token 2 has no value"}, 0},
        ApplyCase{"missing_folder_value", u"/F", kDefaults, {"Error: Parameter /F <NOT-FOUND>"}, 0},
        ApplyCase{"help_stops_the_run", u"/X /? /D", [](UpdaterSettings& s) { s.no_execute_setup = true; },
                  {"token 2 \"/?\" is /?"}, 0},
        ApplyCase{"unmatched_entries_are_ignored", u"-X /X1 \"\" /Q",
                  kDefaults, {}, 4},
        ApplyCase{"longest_folder_fits", u"/F " + Repeat(259),
                  [](UpdaterSettings& s) { s.folder_name = Repeat(259); }, {}, 0},
        ApplyCase{"folder_too_long", u"/F " + Repeat(260), kDefaults, {"260 UTF-16 units long; at most 259"}, 0},
        ApplyCase{"setup_path_too_long", u"/S " + Repeat(260), kDefaults, {"at most 259"}, 0},
        ApplyCase{"longest_setup_parameters_fit", u"/A " + Repeat(1023),
                  [](UpdaterSettings& s) { s.setup_parameters = Repeat(1023); }, {}, 0},
        ApplyCase{"setup_parameters_too_long", u"/A " + Repeat(1024), kDefaults, {"at most 1023"}, 0},
        ApplyCase{"astral_character_counts_two_units", u"/F \"" + Repeat(258) + u"\U0001F600\"",
                  kDefaults, {"260 UTF-16 units"}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

std::u16string Tokens(std::size_t count) {
  std::u16string text;
  for (std::size_t i = 0; i < count; ++i) text += u"/D ";
  return text;
}

TEST(ApplyLimitTest, SixtyTwoTokensFitAndOneMoreIsRefused) {
  const ParameterReport fits = CheckParameters(Tokens(62));
  EXPECT_FALSE(fits.HasErrors());
  EXPECT_TRUE(fits.settings.delete_without_asking);

  const ParameterReport over = CheckParameters(Tokens(63));
  ASSERT_TRUE(over.HasErrors());
  EXPECT_NE(over.messages.back().text.find("63 tokens"), std::string::npos);
  EXPECT_FALSE(over.settings.delete_without_asking) << "the program applies none of them";
  EXPECT_EQ(over.tokens.size(), 63u);
}

TEST(ApplyRolesTest, EachTokenKnowsItsPart) {
  const ParameterReport report = CheckParameters(u"/s Setup2.exe /Q /? /X");
  const std::vector<TokenRole> roles = {TokenRole::kOption, TokenRole::kValue, TokenRole::kUnmatched,
                                        TokenRole::kOption, TokenRole::kNotApplied};
  ASSERT_EQ(report.tokens.size(), roles.size());
  for (std::size_t i = 0; i < roles.size(); ++i) EXPECT_EQ(report.tokens[i].role, roles[i]) << i;
  EXPECT_TRUE(report.tokens[0].option == u"/S") << "canonical spelling";
  EXPECT_TRUE(report.tokens[1].option == u"/S");
}

TEST(MatchesOptionTest, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(harwpack::MatchesOption(u"/x", u"/X"));
  EXPECT_FALSE(harwpack::MatchesOption(u"/X1", u"/X"));
  EXPECT_FALSE(harwpack::MatchesOption(u"/", u"/X"));
  EXPECT_FALSE(harwpack::MatchesOption(u"\uFF0FX", u"/X")) << "full-width solidus";
  EXPECT_FALSE(harwpack::MatchesOption(u"/\u0445", u"/X")) << "Cyrillic kha";
}

#ifndef _WIN32
TEST(EstimateWarningTest, OnlyUnquotedCharactersBeyondLatin1AreFlagged) {
  const auto warnings = [](const std::u16string& text) {
    std::size_t count = 0;
    for (const auto& m : CheckParameters(text).messages) count += m.severity == Severity::kWarning;
    return count;
  };
  EXPECT_EQ(warnings(u"/F Price\u20AC"), 1u);
  EXPECT_EQ(warnings(u"/F \"Price\u20AC\""), 0u);
  EXPECT_EQ(warnings(u"/F Pr\u00FCfung"), 0u);
}
#endif

}  // namespace
