// The folder to unpack already exists before extraction: the question on the
// console, the answer read from standard input, removal with /D, and the
// cases that leave the folder alone.
#include <windows.h>

#include <gtest/gtest.h>

#include "setup/setup_bench.h"
#include "support/text.h"

namespace harwtest::setup {
namespace {

namespace fs = std::filesystem;

const char kQuestion[] = "Folder \"Disk1\" is exist, delete folder(Yes/No)? ";

struct Answer {
  const char* name;
  std::optional<std::string> input;  // absent: standard input is at its end at once
  std::string logged;                // the text after "ans=" up to the closing parenthesis
  bool yes;
};

// A refusal ends the run right after the answer's line, the folder untouched.
void ExpectRefused(const Bench& bench, const RunResult& result, const std::vector<Expected>& asked) {
  EXPECT_EQ(result.exit_code, 1u);
  Log log = bench.ReadRunLog();
  EXPECT_EQ(LevelsAndTexts(log), asked);
  // The answer's line is the last one, written whole: no line break of the
  // input may stand in the log.
  const std::string last = asked.back().text + "\n";
  ASSERT_GE(log.raw.size(), last.size());
  EXPECT_EQ(log.raw.substr(log.raw.size() - last.size()), last);
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
  EXPECT_FALSE(fs::exists(bench.ExtractorRecordPath())) << "the extractor ran";
  EXPECT_FALSE(fs::exists(bench.work() / bench.ArcName()));
}

// A yes removes the folder before the extractor starts, and the run goes on.
void ExpectRemovedFirst(const Bench& bench, const RunResult& result, std::vector<Expected> asked) {
  EXPECT_EQ(result.exit_code, 0u);
  asked.insert(asked.end(), {{0x04, "DeleteFolder(\"Disk1\")"},
                             {0x04, "DeleteFile(\"Disk1\\old.txt\")"},
                             {0x04, "RemoveDirectory(\"Disk1\")"}});
  std::vector<Expected> extract = bench.ExtractLines();
  asked.insert(asked.end(), extract.begin(), extract.end());
  EXPECT_TRUE(HasBlock(LevelsAndTexts(bench.ReadRunLog()), asked));
  std::optional<Record> extractor = ReadRecord(bench.ExtractorRecordPath());
  ASSERT_TRUE(extractor);
  EXPECT_EQ((*extractor)["check_path_existed"], "0");
  EXPECT_TRUE(fs::exists(bench.SetupRecordPath())) << "the setup did not run";
}

TEST(ExistingFolder, FirstCharacterOfTheAnswerDecides) {
  const Answer answers[] = {
      {"y", "y\n", "y", true},
      {"Yes", "Yes\n", "Y", true},
      {"n", "n\n", "n", false},
      {"blank before y", " y\n", " ", false},
      // The character logged is 0, which ends the message right after "ans=".
      {"empty line", "\n", "", false},
      {"end of input", std::nullopt, "", false},
  };
  for (const Answer& answer : answers) {
    SCOPED_TRACE(answer.name);
    Bench bench;
    MakeFile(bench.work() / L"Disk1" / L"old.txt");
    RunOptions options = bench.Options();
    SetEnv(options, L"HARW_FAKE_CHECK_PATH", L"Disk1\\old.txt");
    if (answer.input) {
      options.input = Input::kText;
      options.input_text = *answer.input;
    }
    RunResult result = bench.Run(options);
    EXPECT_EQ(ConsoleText(result), kQuestion);
    std::vector<Expected> asked = bench.StartLines();
    asked.push_back({0x04, "No-Setup-Path is NOT found"});
    asked.push_back({0x04, "Folder already exists (\"Disk1\", ans=" + answer.logged});
    if (answer.logged != "") asked.back().text += ")";
    if (answer.yes) {
      ExpectRemovedFirst(bench, result, asked);
    } else {
      ExpectRefused(bench, result, asked);
    }
  }
}

TEST(ExistingFolder, SwitchDRemovesWithoutAsking) {
  Bench bench;
  MakeFile(bench.work() / L"Disk1" / L"old.txt");
  RunOptions options = bench.Options({L"/D"});
  SetEnv(options, L"HARW_FAKE_CHECK_PATH", L"Disk1\\old.txt");
  options.input = Input::kText;
  options.input_text = "n\n";  // would refuse, were it read
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  std::vector<Expected> expected = bench.StartLines();
  expected.insert(expected.end(), {{0x04, "Parameter /D"},
                                   {0x04, "No-Setup-Path is NOT found"},
                                   {0x04, "DeleteFolder(\"Disk1\")"},
                                   {0x04, "DeleteFile(\"Disk1\\old.txt\")"},
                                   {0x04, "RemoveDirectory(\"Disk1\")"}});
  std::vector<Expected> extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  EXPECT_TRUE(HasBlock(LevelsAndTexts(bench.ReadRunLog()), expected));
  std::optional<Record> extractor = ReadRecord(bench.ExtractorRecordPath());
  ASSERT_TRUE(extractor);
  EXPECT_EQ((*extractor)["check_path_existed"], "0");
}

TEST(ExistingFolder, SwitchXNeitherAsksNorRemoves) {
  Bench bench;
  MakeFile(bench.work() / L"Disk1" / L"old.txt");
  RunOptions options = bench.Options({L"/X"});
  SetEnv(options, L"HARW_FAKE_CHECK_PATH", L"Disk1\\old.txt");
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  std::vector<Expected> expected = bench.StartLines();
  expected.push_back({0x04, "Parameter /X"});
  std::vector<Expected> extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  EXPECT_EQ(LevelsAndTexts(bench.ReadRunLog()), expected);
  std::optional<Record> extractor = ReadRecord(bench.ExtractorRecordPath());
  ASSERT_TRUE(extractor);
  EXPECT_EQ((*extractor)["check_path_existed"], "1");
  EXPECT_EQ(Entries(bench.work() / L"Disk1"), (std::vector<std::wstring>{L"Setup.exe", L"old.txt"}));
  EXPECT_FALSE(fs::exists(bench.SetupRecordPath())) << "the setup ran";
}

TEST(ExistingFolder, NoQuestionWhereTheSetupMayNotRun) {
  Bench bench(L"BRAVELDUNES");
  MakeFile(bench.work() / L"Disk1" / L"old.txt");
  RunResult result = bench.RunWith();
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  std::vector<Expected> expected = bench.StartLines();
  expected.push_back({0x04, "No-Setup-Path is found \"\\BRAVELDUNES\""});
  std::vector<Expected> extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  expected.push_back({0x04, "No-Setup-Path is found \"\\BRAVELDUNES\""});
  EXPECT_EQ(LevelsAndTexts(bench.ReadRunLog()), expected);
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
}

TEST(ExistingFolder, FileInPlaceOfTheFolderIsAskedAboutAndKept) {
  Bench bench;
  MakeFile(bench.work() / L"Disk1");
  DWORD attributes = GetFileAttributesW((bench.work() / L"Disk1").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  // The archive unpacks elsewhere, so the run can go on past the refused removal.
  RunOptions options = bench.Options({L"/S", L"Other\\Setup.exe"});
  SetEnv(options, L"HARW_FAKE_FOLDER", L"Other");
  options.input = Input::kText;
  options.input_text = "y\n";
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), kQuestion);
  std::vector<Expected> lines = LevelsAndTexts(bench.ReadRunLog());
  const std::string invalid = "Folder name is invalid (\"Disk1\", attr=0x" + Hex8(attributes) + ")";
  EXPECT_TRUE(HasBlock(lines, {{0x04, "No-Setup-Path is NOT found"},
                               {0x04, "Folder already exists (\"Disk1\", ans=y)"},
                               {0x04, "DeleteFolder(\"Disk1\")"},
                               {0x01, invalid},
                               bench.ExtractLines().front()}));
  EXPECT_TRUE(fs::is_regular_file(bench.work() / L"Disk1"));
  EXPECT_TRUE(fs::exists(bench.SetupRecordPath())) << "the setup did not run";
}

}  // namespace
}  // namespace harwtest::setup
