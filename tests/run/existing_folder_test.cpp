// The folder to unpack already exists before extraction: the question on the
// console, the answer read from standard input (only its first character
// counts, however long the line), removal with /D, and the cases that leave
// the folder alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

const char kQuestion[] = "Folder \"Disk1\" is exist, delete folder(Yes/No)? ";

struct AnswerCase {
  const char* name;
  std::vector<std::wstring> args;
  Input input;
  std::string typed;
  /// The answer's line after "ans=", closing parenthesis included (none when
  /// the answer is the end of the line or of the input); nullptr: no question.
  const char* logged;
  bool removed;  ///< the folder is removed before the extractor runs
};
void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

// Disk1 with old.txt and sub\ exists before the run of Ask.exe, a full run
// with the setup program; the extractor notes whether old.txt was still there.
class ExistingFolder : public PackageTest, public testing::WithParamInterface<AnswerCase> {
 protected:
  RunResult RunAsked(const AnswerCase& c) {
    Pack(L"Ask.exe");
    MakeFile(work() / L"Disk1" / L"old.txt");
    fs::create_directories(work() / L"Disk1" / L"sub");
    RunOptions options = Options(c.args);
    AddSetup(options);
    SetEnv(options, L"HARW_FAKE_CHECK_PATH", L"Disk1\\old.txt");
    options.input = c.input;
    options.input_text = c.typed;
    return Run(options);
  }

  // Start-up, the options given, and the question's place.
  Lines Before(const AnswerCase& c) const {
    Lines lines = StartLines();
    for (const std::wstring& arg : c.args) lines.push_back({0x04, "Parameter " + ToUtf8(arg)});
    return lines;
  }
};

// A refusal ends the run right after the answer's line, the folder untouched.
void ExpectRefused(const Bench& bench, const RunResult& result, Lines asked, const std::string& answer) {
  EXPECT_EQ(result.exit_code, 1u);
  asked.push_back({0x04, answer});
  const Log log = bench.ReadRunLog();
  EXPECT_TRUE(MatchesLines(log, asked));
  // The answer's line is the last one, written whole: no line break of the
  // input may stand in the log.
  const std::string last = answer + "\n";
  ASSERT_GE(log.raw.size(), last.size());
  EXPECT_EQ(log.raw.substr(log.raw.size() - last.size()), last);
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
  EXPECT_TRUE(fs::is_directory(bench.work() / L"Disk1" / L"sub"));
  EXPECT_FALSE(bench.ExtractorRecord().has_value()) << "the extractor ran";
  EXPECT_FALSE(fs::exists(bench.work() / bench.ArcName()));
}

// The folder goes, depth first, before the extractor starts; the run goes on.
void ExpectRemovedFirst(const Bench& bench, const RunResult& result, Lines before) {
  EXPECT_EQ(result.exit_code, 0u);
  before.push_back({0x04, "DeleteFolder(\"Disk1\")"});
  const LineCheck old_file{0x04, "DeleteFile(\"Disk1\\old.txt\")"};
  const LineCheck sub_folder{0x04, "RemoveDirectory(\"Disk1\\sub\")"};
  Lines after = {{0x04, "RemoveDirectory(\"Disk1\")"}};
  const Lines extract = bench.ExtractLines();
  after.insert(after.end(), extract.begin(), extract.end());
  // The entries come in the order the listing returns them.
  Lines one = before, other = before;
  one.insert(one.end(), {old_file, sub_folder});
  other.insert(other.end(), {sub_folder, old_file});
  one.insert(one.end(), after.begin(), after.end());
  other.insert(other.end(), after.begin(), after.end());
  const Log log = bench.ReadRunLog();
  EXPECT_TRUE(HasBlock(log, one) || HasBlock(log, other)) << HasBlock(log, one).message();
  EXPECT_FALSE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
  std::optional<Record> extractor = bench.ExtractorRecord();
  ASSERT_TRUE(extractor) << "the extractor did not run";
  EXPECT_EQ((*extractor)["check_path_existed"], "0");
  EXPECT_TRUE(bench.SetupRecord().has_value()) << "the setup did not run";
}

// With /X the folder is neither questioned nor removed, whatever /D says.
void ExpectKept(const Bench& bench, const RunResult& result, Lines before) {
  EXPECT_EQ(result.exit_code, 0u);
  const Lines extract = bench.ExtractLines();
  before.insert(before.end(), extract.begin(), extract.end());
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), before));
  std::optional<Record> extractor = bench.ExtractorRecord();
  ASSERT_TRUE(extractor) << "the extractor did not run";
  EXPECT_EQ((*extractor)["check_path_existed"], "1");
  EXPECT_EQ(Entries(bench.work() / L"Disk1"),
            (std::set<std::wstring>{L"Setup.exe", L"a.txt", L"old.txt", L"sub"}));
  EXPECT_FALSE(bench.SetupRecord().has_value()) << "the setup ran";
}

TEST_P(ExistingFolder, IsRemovedOnlyAfterAYesOrWithSwitchD) {
  const AnswerCase& c = GetParam();
  RunResult result = RunAsked(c);
  const bool asked = c.logged != nullptr;
  EXPECT_EQ(ConsoleText(result), asked ? kQuestion : "");
  Lines before = Before(c);
  const bool extract_only = std::find(c.args.begin(), c.args.end(), L"/X") != c.args.end();
  if (!extract_only) before.push_back({0x04, "No-Setup-Path is NOT found"});
  const std::string answer = asked ? "Folder already exists (\"Disk1\", ans=" + std::string(c.logged) : "";
  if (asked && !c.removed) {
    ExpectRefused(*this, result, before, answer);
    return;
  }
  if (asked) before.push_back({0x04, answer});
  if (c.removed) {
    ExpectRemovedFirst(*this, result, before);
  } else {
    ExpectKept(*this, result, before);
  }
}

const std::string kLong(150, 'x');

INSTANTIATE_TEST_SUITE_P(
    Answers, ExistingFolder,
    testing::Values(
        AnswerCase{"y", {}, Input::kText, "y\n", "y)", true},
        AnswerCase{"yes_upper", {}, Input::kText, "Yes please\n", "Y)", true},
        AnswerCase{"n", {}, Input::kText, "n\n", "n)", false},
        AnswerCase{"blank_before_y", {}, Input::kText, " y\n", " )", false},
        // The character logged is 0, which ends the message right after "ans=".
        AnswerCase{"empty_line", {}, Input::kText, "\n", "", false},
        AnswerCase{"end_of_input", {}, Input::kEmpty, "", "", false},
        AnswerCase{"no_input_handle", {}, Input::kClosed, "", "", false},
        // Only the first character counts, however long the line.
        AnswerCase{"long_yes", {}, Input::kText, "Y" + kLong + "\n", "Y)", true},
        AnswerCase{"long_no_full_of_yes", {}, Input::kText, "n" + std::string(150, 'Y') + "\n", "n)", false},
        AnswerCase{"yes_at_the_99th_character", {}, Input::kText, std::string(99, 'x') + "Y\n", "x)", false},
        AnswerCase{"yes_of_99_characters", {}, Input::kText, "y" + std::string(98, 'n') + "\n", "y)", true},
        AnswerCase{"yes_of_100_characters", {}, Input::kText, "y" + std::string(99, 'n') + "\n", "y)", true},
        AnswerCase{"yes_of_5001_characters_unended", {}, Input::kText, "Y" + std::string(5000, 'x'), "Y)", true},
        // An answer that would refuse, were it read.
        AnswerCase{"delete_without_asking", {L"/D"}, Input::kText, "n\n", nullptr, true},
        AnswerCase{"extract_only_keeps_it", {L"/X"}, Input::kText, "y\n", nullptr, false},
        AnswerCase{"extract_only_wins_over_d", {L"/D", L"/X"}, Input::kEmpty, "", nullptr, false}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST(ExistingFolderWhereTheSetupMayNotRun, IsNeitherQuestionedNorRemoved) {
  Bench bench;
  bench.Pack(L"BRAVELDUNES\\Ask.exe");
  MakeFile(bench.work() / L"Disk1" / L"old.txt");
  RunOptions options = bench.Options();
  bench.AddSetup(options);
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  Lines expected = bench.StartLines();
  expected.push_back({0x04, "No-Setup-Path is found \"\\BRAVELDUNES\""});
  const Lines extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  expected.push_back({0x04, "No-Setup-Path is found \"\\BRAVELDUNES\""});
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), expected));
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
}

// A file named like the folder is questioned, the removal refused with its
// attributes logged, and the run goes on: the archive unpacks elsewhere.
TEST(ExistingFolderThatIsAFile, IsQuestionedAndKept) {
  Bench bench;
  bench.Pack(L"Ask.exe");
  MakeFile(bench.work() / L"Disk1");
  DWORD attributes = GetFileAttributesW((bench.work() / L"Disk1").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  RunOptions options = bench.Options({L"/S", L"Other\\Setup.exe"});
  bench.AddSetup(options);
  SetEnv(options, L"HARW_FAKE_FOLDER", L"Other");
  options.input = Input::kText;
  options.input_text = "y\n";
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u) << Listing(bench.ReadRunLog());
  EXPECT_EQ(ConsoleText(result), kQuestion);
  const std::string invalid = "Folder name is invalid (\"Disk1\", attr=0x" + Hex8(attributes) + ")";
  EXPECT_TRUE(HasBlock(bench.ReadRunLog(), {{0x04, "No-Setup-Path is NOT found"},
                                            {0x04, "Folder already exists (\"Disk1\", ans=y)"},
                                            {0x04, "DeleteFolder(\"Disk1\")"},
                                            {0x01, invalid},
                                            bench.ExtractLines().front()}));
  EXPECT_TRUE(fs::is_regular_file(bench.work() / L"Disk1"));
  EXPECT_TRUE(bench.ExtractorRecord().has_value()) << "the extractor did not run";
  EXPECT_TRUE(bench.SetupRecord().has_value()) << "the setup did not run";
}

}  // namespace
}  // namespace harwtest
