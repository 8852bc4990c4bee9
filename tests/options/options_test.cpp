// Options from the embedded parameter string and the command line: how the
// string is split, which source wins, missing and oversized values, help,
// and the console echo of /V.
#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

class OptionsTest : public PackageTest {};

// The help text as the program prints it, with `notice` as its second line.
std::string HelpText(const std::string& notice) {
  return "HarwUpdater.exe (1.0.0.6)\n" + notice + "\n" +
         "\n"
         "Command Line Parameters:\n"
         "  /A \"<setup-parameter>\"   Parameters for Setup.exe\n"
         "  /S \"<setup-file-name>\"   Specify other Setup.exe\n"
         "  /X                       NOT execute Setup.exe\n"
         "  /F \"<folder-name>\"       Deleted Folder Name\n"
         "  /D                       delete folder before extraction\n"
         "  /W                       NOT wait termination for Setup.exe\n"
         "  /H                       NOT hide command-prompt window\n"
         "  /V                       Show Detail Information\n"
         "  /?                       Show This Help\n";
}

// If `console` ends with the help text, the text before it; else nullopt.
// The maker's notice (the help's second line) may be any non-empty line.
std::optional<std::string> TextBeforeHelp(const std::string& console) {
  const std::string head = "HarwUpdater.exe (1.0.0.6)\n";
  std::size_t start = console.rfind(head);
  if (start == std::string::npos) return std::nullopt;
  std::size_t notice_end = console.find('\n', start + head.size());
  if (notice_end == std::string::npos || notice_end == start + head.size()) return std::nullopt;
  std::string notice = console.substr(start + head.size(), notice_end - start - head.size());
  if (console.substr(start) != HelpText(notice)) return std::nullopt;
  return console.substr(0, start);
}

struct SplitCase {
  const char* name;
  std::wstring embedded;
  std::vector<std::string> tokens;      ///< MakeParameter lines, in order
  std::vector<std::string> parameters;  ///< "Parameter" lines of the embedded entries
};
void PrintTo(const SplitCase& c, std::ostream* out) { *out << c.name; }

class EmbeddedSplit : public PackageTest, public testing::WithParamInterface<SplitCase> {};

// Lines between "Parameters ..." and "CreateFile(...)" must be exactly the
// tokens, then the options seen (values after /S /A /F are not), then the
// command line's /X.
TEST_P(EmbeddedSplit, StringIsSplitIntoTokensAndApplied) {
  const SplitCase& c = GetParam();
  Pack(L"Split.exe", c.embedded);
  RunResult result = Run(Options({L"/X"}));
  EXPECT_EQ(result.exit_code, 0u) << result.err;

  std::optional<Log> log = ReadLog(work() / L"SPLIT.log");
  ASSERT_TRUE(log);
  // Written whole, even when the string holds line breaks.
  EXPECT_NE(log->raw.find(", 0x01, Parameters \"" + ToUtf8(c.embedded) + "\"\n"), std::string::npos);
  std::vector<Expected> expected;
  for (const auto& token : c.tokens) expected.push_back({4, "MakeParameter \"" + token + "\""});
  for (const auto& entry : c.parameters) expected.push_back({4, "Parameter " + entry});
  expected.push_back({4, "Parameter /X"});
  std::vector<Expected> between;
  bool inside = false;
  for (const auto& line : LevelsAndTexts(*log)) {
    if (line.text.rfind("CreateFile(", 0) == 0) break;
    if (inside) between.push_back(line);
    if (line.text.rfind("Parameters size=", 0) == 0) inside = true;
  }
  // The "Parameters ..." line itself is skipped: only its first part parses
  // when the string holds a line break.
  if (!between.empty() && between.front().text.rfind("Parameters \"", 0) == 0) between.erase(between.begin());
  EXPECT_EQ(between, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, EmbeddedSplit,
    testing::Values(
        SplitCase{"empty", L"", {}, {}},
        SplitCase{"blanks_only", L"    ", {}, {}},
        SplitCase{"blanks_around", L"  /W  ", {"/W"}, {"/W"}},
        SplitCase{"tab_and_line_breaks", L"/W\t/H\r\n/D\n/W", {"/W", "/H", "/D", "/W"}, {"/W", "/H", "/D", "/W"}},
        SplitCase{"control_characters", L"\x01/W\x7f/H\x1b", {"/W", "/H"}, {"/W", "/H"}},
        SplitCase{"quoted_value", L"/S \"Disk 1\\Setup.exe\" /H", {"/S", "Disk 1\\Setup.exe", "/H"}, {"/S", "/H"}},
        SplitCase{"empty_quotes", L"\"\" /W", {"", "/W"}, {"", "/W"}},
        SplitCase{"quote_inside_token", L"ab\"cd ef\"", {"ab\"cd", "ef\""}, {"ab\"cd", "ef\""}},
        SplitCase{"open_quote_takes_the_rest", L"/W \"rest  of /H", {"/W", "rest  of /H"}, {"/W", "rest  of /H"}},
        SplitCase{"value_that_looks_like_an_option", L"/A /W /H", {"/A", "/W", "/H"}, {"/A", "/H"}},
        // Letters of Latin-1: the C runtime classes them as printable on every
        // system (above U+00FF Wine's classification differs from Windows').
        SplitCase{"non_ascii", L"/A \u00c4\u00e9", {"/A", "\xC3\x84\xC3\xA9"}, {"/A"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST_F(OptionsTest, EmbeddedSwitchStaysSetWhileTheCommandLineReplacesTheFolder) {
  Pack(L"Prec.exe", L"/X /F Temp1");
  fs::create_directory(work() / L"Temp1");
  fs::create_directory(work() / L"Temp2");
  RunResult result = Run(Options({L"/F", L"Temp2"}));

  // /X still holds: no question about Temp2 and no setup program.
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(ConsoleText(result), "");
  Log log = ReadRunLog();
  EXPECT_TRUE(HasLines(log, {
      {4, "MakeParameter \"/X\""}, {4, "MakeParameter \"/F\""}, {4, "MakeParameter \"Temp1\""},
      {4, "Parameter /X"}, {4, "Parameter /F"}, {4, "Parameter /F"}, {4, "CreateFile(\"___PREC___.exe\")"}}));
  EXPECT_EQ(log.lines.back().text, "DeleteFile(\"___PREC___.exe\")");
  EXPECT_TRUE(fs::is_directory(work() / L"Temp1"));
  EXPECT_TRUE(fs::is_directory(work() / L"Temp2"));
}

TEST_F(OptionsTest, CommandLineFolderReplacesTheEmbeddedOne) {
  Pack(L"Prec.exe", L"/F Temp1");
  fs::create_directory(work() / L"Temp1");
  fs::create_directory(work() / L"Temp2");
  RunOptions options = Options({L"/F", L"Temp2"});
  options.input = Input::kText;
  options.input_text = "n\n";
  RunResult result = Run(options);

  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_EQ(ConsoleText(result), "Folder \"Temp2\" is exist, delete folder(Yes/No)? ");
  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{4, "Folder already exists (\"Temp2\", ans=n)"}));
}

struct SetupArgsCase {
  const char* name;
  std::optional<std::wstring> embedded;
  std::vector<std::wstring> command_line;
  std::string passed;                  ///< the parameters logged for the setup program
  std::vector<std::string> setup_args;  ///< what the setup program received
};
void PrintTo(const SetupArgsCase& c, std::ostream* out) { *out << c.name; }

class SetupArguments : public PackageTest, public testing::WithParamInterface<SetupArgsCase> {};

TEST_P(SetupArguments, ValueOfAReachesTheSetupProgram) {
  const SetupArgsCase& c = GetParam();
  Pack(L"Args.exe", c.embedded);
  RunOptions options = Options(c.command_line);
  AddSetup(options);
  RunResult result = Run(options);

  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_TRUE(HasLines(ReadRunLog(), {{4, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"" + c.passed + "\")"}}));
  std::optional<Record> setup = SetupRecord();
  ASSERT_TRUE(setup) << "the setup program did not run";
  EXPECT_EQ((*setup)["argc"], std::to_string(c.setup_args.size() + 1));
  for (std::size_t i = 0; i < c.setup_args.size(); ++i) {
    EXPECT_EQ((*setup)["arg" + std::to_string(i + 1)], c.setup_args[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SetupArguments,
    testing::Values(
        SetupArgsCase{"lower_case_on_command_line", std::nullopt, {L"/a", L"one two"}, "one two", {"one", "two"}},
        SetupArgsCase{"lower_case_embedded", L"/a \"one two\"", {}, "one two", {"one", "two"}},
        SetupArgsCase{"command_line_wins", L"/A first", {L"/A", L"second"}, "second", {"second"}},
        SetupArgsCase{"value_like_an_option", std::nullopt, {L"/A", L"/X"}, "/X", {"/X"}},
        SetupArgsCase{"empty_value", L"/A \"\"", {}, "", {}},
        SetupArgsCase{"no_value_given", std::nullopt, {}, "", {}}),
    [](const testing::TestParamInfo<SetupArgsCase>& info) { return std::string(info.param.name); });

struct MissingCase {
  const char* name;
  std::optional<std::wstring> embedded;
  std::vector<std::wstring> command_line;
  const char* message;
};
void PrintTo(const MissingCase& c, std::ostream* out) { *out << c.name; }

class MissingValue : public PackageTest, public testing::WithParamInterface<MissingCase> {};

TEST_P(MissingValue, IsReportedThenHelpIsShown) {
  const MissingCase& c = GetParam();
  Pack(L"Miss.exe", c.embedded);
  RunResult result = Run(Options(c.command_line));

  EXPECT_EQ(result.exit_code, 1u);
  std::optional<std::string> before = TextBeforeHelp(ConsoleText(result));
  ASSERT_TRUE(before) << "no help text at the end of:\n" << ConsoleText(result);
  EXPECT_EQ(*before, std::string(c.message) + "\n\n");
  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{1, c.message}));
  EXPECT_FALSE(ExtractorRecord().has_value());
  EXPECT_FALSE(fs::exists(work() / L"___MISS___.exe"));
}

INSTANTIATE_TEST_SUITE_P(
    Options, MissingValue,
    testing::Values(
        MissingCase{"a_last_on_command_line", std::nullopt, {L"/X", L"/A"}, "Error: Parameter /A <NOT-FOUND>"},
        MissingCase{"lower_case_s", std::nullopt, {L"/s"}, "Error: Parameter /S <NOT-FOUND>"},
        MissingCase{"f_last_embedded", L"/X /F", {}, "Error: Parameter /F <NOT-FOUND>"},
        // The embedded string is applied first, so the command line never counts.
        MissingCase{"embedded_before_command_line", L"/A", {L"/V"}, "Error: Parameter /A <NOT-FOUND>"}),
    [](const testing::TestParamInfo<MissingCase>& info) { return std::string(info.param.name); });

struct HelpCase {
  const char* name;
  std::optional<std::wstring> embedded;
  std::vector<std::wstring> command_line;
  bool help;
};
void PrintTo(const HelpCase& c, std::ostream* out) { *out << c.name; }

class Help : public PackageTest, public testing::WithParamInterface<HelpCase> {};

TEST_P(Help, QuestionMarkPrintsHelpAndEndsWithExitCode1) {
  const HelpCase& c = GetParam();
  Pack(L"Help.exe", c.embedded);
  RunResult result = Run(Options(c.command_line));

  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  if (c.help) {
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(TextBeforeHelp(ConsoleText(result)), std::optional<std::string>("")) << ConsoleText(result);
    EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{4, "Parameter /?"})) << "nothing after /? is applied";
    EXPECT_FALSE(ExtractorRecord().has_value());
  } else {
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(ConsoleText(result), "");
    EXPECT_TRUE(ExtractorRecord().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Help,
    testing::Values(HelpCase{"embedded", L"/?", {}, true},
                    HelpCase{"command_line", std::nullopt, {L"/?"}, true},
                    HelpCase{"embedded_wins_over_command_line", L"/X /?", {L"/V"}, true},
                    HelpCase{"later_options_not_applied", std::nullopt, {L"/X", L"/?", L"/V"}, true},
                    HelpCase{"as_a_value", L"/S /?", {L"/X"}, false},
                    HelpCase{"not_a_whole_entry", std::nullopt, {L"/X", L"/??", L"-?"}, false}),
    [](const testing::TestParamInfo<HelpCase>& info) { return std::string(info.param.name); });

struct SwitchCase {
  const char* name;
  std::wstring entry;
  bool extract_only;
};
void PrintTo(const SwitchCase& c, std::ostream* out) { *out << c.name; }

class SwitchSpelling : public PackageTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchSpelling, OnlyTheWholeEntryInEitherCaseIsTheOption) {
  const SwitchCase& c = GetParam();
  Pack(L"Spell.exe");
  RunOptions options = Options({c.entry});
  AddSetup(options);
  RunResult result = Run(options);

  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(SetupRecord().has_value(), !c.extract_only);
  EXPECT_EQ(fs::exists(work() / L"Disk1"), c.extract_only) << "the folder stays only when the setup is skipped";
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SwitchSpelling,
    testing::Values(SwitchCase{"upper", L"/X", true}, SwitchCase{"lower", L"/x", true},
                    SwitchCase{"with_suffix", L"/X1", false}, SwitchCase{"dash", L"-X", false},
                    SwitchCase{"no_slash", L"X", false}, SwitchCase{"blank_after", L"/X ", false}),
    [](const testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST_F(OptionsTest, FirstVerboseSwitchEchoesFromItsOwnMaskLineOn) {
  Pack(L"Echo.exe", L"/X");
  RunResult result = Run(Options({L"/V"}));
  EXPECT_EQ(result.exit_code, 0u) << result.err;

  Log log = ReadRunLog();
  std::vector<Expected> lines = LevelsAndTexts(log);
  auto mask = std::find(lines.begin(), lines.end(), Expected{4, "SetMask mask=0x00000007->0x00000087"});
  ASSERT_NE(mask, lines.end());
  ASSERT_NE(mask, lines.begin());
  EXPECT_EQ(*(mask - 1), (Expected{4, "Parameter /V"}));
  // From the mask line on, the console shows the file's lines byte for byte.
  std::size_t from = log.raw.find("SetMask mask=");
  ASSERT_NE(from, std::string::npos);
  from -= kLogPrefixLength;
  EXPECT_EQ(ConsoleText(result), log.raw.substr(from));
}

TEST_F(OptionsTest, VerboseInBothSourcesLogsTwoMaskLines) {
  Pack(L"Echo.exe", L"/X /V");
  RunResult result = Run(Options({L"/V"}));
  EXPECT_EQ(result.exit_code, 0u) << result.err;

  Log log = ReadRunLog();
  std::vector<Expected> masks;
  for (const auto& line : LevelsAndTexts(log)) {
    if (line.text.rfind("SetMask", 0) == 0) masks.push_back(line);
  }
  EXPECT_EQ(masks, (std::vector<Expected>{{4, "SetMask mask=0x00000007->0x00000087"},
                                          {4, "SetMask mask=0x00000087->0x00000087"}}));
  std::size_t from = log.raw.find("SetMask mask=");
  ASSERT_NE(from, std::string::npos);
  EXPECT_EQ(ConsoleText(result), log.raw.substr(from - kLogPrefixLength));
}

struct LengthCase {
  const char* name;
  bool embedded;
  const wchar_t* option;  ///< as written, in either letter case
  std::size_t length;
  bool accepted;
};
void PrintTo(const LengthCase& c, std::ostream* out) { *out << c.name; }

class ValueLength : public PackageTest, public testing::WithParamInterface<LengthCase> {};

// A value of exactly the row's length; for /S an absolute path to a setup
// program that the run unpacks, so that an accepted value can be started.
std::wstring ValueOfLength(const LengthCase& row, const fs::path& work) {
  if (AsciiUpper(ToUtf8(row.option)) != "/S") return MarkedText(row.length);
  std::wstring folder = (work / L"Disk1").wstring() + L"\\";
  return folder + MarkedText(row.length - folder.size() - 4) + L".exe";
}

// The value of an accepted option arrives whole where it is used.
void ExpectValueUsed(const std::string& option, const std::wstring& value, const Log& log,
                     const std::optional<Record>& setup) {
  ASSERT_TRUE(setup.has_value()) << "the setup program did not run";
  if (option == "/F") {
    EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFolder(\"" + ToUtf8(value) + "\")"}}));
  } else if (option == "/S") {
    EXPECT_TRUE(HasLines(log, {{0x04, "ShellExecuteEx(\"" + ToUtf8(value) + "\",\"\")"}}));
  } else {
    EXPECT_EQ(setup->count("arg1") ? setup->at("arg1") : "", ToUtf8(value));
  }
}

// FolderName and SetupPath hold 259 characters, SetupParameters 1,023. A
// value that does not fit is refused, never cut.
TEST_P(ValueLength, ValueUpToItsCapacityIsUsedWholeALongerOneRefused) {
  const LengthCase& c = GetParam();
  const std::string option = AsciiUpper(ToUtf8(c.option));
  const std::wstring value = ValueOfLength(c, work());
  if (c.embedded) {
    Pack(L"Len.exe", std::wstring(c.option) + L" \"" + value + L"\"");
  } else {
    Pack(L"Len.exe");
  }
  RunOptions options = Options(c.embedded ? std::vector<std::wstring>{} : std::vector<std::wstring>{c.option, value});
  AddSetup(options);
  SetEnv(options, L"HARW_FAKE_COPY_TO", option == "/S" ? fs::path(value).filename().wstring() : L"Setup.exe");
  RunResult result = Run(options);

  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  if (c.accepted) {
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_TRUE(ExtractorRecord().has_value());
    ExpectValueUsed(option, value, log, SetupRecord());
  } else {
    const std::string refusal = "Error: Parameter " + option + " is too long (" + std::to_string(c.length) +
                                " characters, at most " + std::to_string(c.length - 1) + ")";
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{1, refusal}));
    EXPECT_EQ(ConsoleText(result), refusal + "\n\n");
    EXPECT_FALSE(ExtractorRecord().has_value()) << "a refused value was used";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ValueLength,
    testing::Values(LengthCase{"folder_259", false, L"/F", 259, true},
                    LengthCase{"folder_260", false, L"/F", 260, false},
                    LengthCase{"setup_path_259", false, L"/S", 259, true},
                    LengthCase{"setup_path_260", false, L"/S", 260, false},
                    LengthCase{"lower_case_setup_path_260", false, L"/s", 260, false},
                    LengthCase{"setup_parameters_1023", false, L"/A", 1023, true},
                    LengthCase{"setup_parameters_1024", false, L"/A", 1024, false},
                    LengthCase{"embedded_setup_parameters_1023", true, L"/A", 1023, true},
                    LengthCase{"embedded_setup_parameters_1024", true, L"/A", 1024, false},
                    LengthCase{"embedded_folder_260", true, L"/F", 260, false}),
    [](const testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.name); });

class TokenCount : public PackageTest, public testing::WithParamInterface<int> {};

// The vector has room for 62 tokens between its unused entry 0 and its end
// mark; a longer string is refused whole.
TEST_P(TokenCount, AtMost62EmbeddedTokens) {
  const int count = GetParam();
  std::wstring embedded = L"/X";
  for (int i = 2; i <= count; ++i) embedded += L" t" + std::to_wstring(i);
  Pack(L"Many.exe", embedded);
  RunResult result = Run(Options());

  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  const std::size_t tokens = LinesStartingWith(log, "MakeParameter \"").size();
  const std::size_t applied = LinesStartingWith(log, "Parameter ").size();
  if (count <= 62) {
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(tokens, static_cast<std::size_t>(count));
    EXPECT_EQ(applied, static_cast<std::size_t>(count));
    EXPECT_TRUE(HasLines(log, {{0x04, "Parameter t" + std::to_string(count)}}));
    EXPECT_TRUE(ExtractorRecord().has_value());
  } else {
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{1, "MakeParameter: more than 62 parameters"}));
    EXPECT_EQ(applied, 0u) << "no token of an oversized string is applied";
    EXPECT_FALSE(ExtractorRecord().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, TokenCount, testing::Values(61, 62, 63, 100),
                         [](const testing::TestParamInfo<int>& info) {
                           return "tokens_" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace harwtest
