// The folder to unpack already exists before extraction: the question on the
// console, the answer read from standard input, removal with /D, and the
// cases that leave the folder alone.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

const char kQuestion[] = "Folder \"Disk1\" is exist, delete folder(Yes/No)? ";

struct Answer {
  const char* name;
  std::optional<std::string> input;  // absent: standard input is at its end at once
  std::string logged;                // the text after "ans=" up to the closing parenthesis
  bool yes;
};

// The package Ask.exe in the work folder, with Disk1\old.txt already there.
void PrepareAsk(Bench& bench) {
  bench.Pack(L"Ask.exe");
  MakeFile(bench.work() / L"Disk1" / L"old.txt");
}

// The run's options: the fake setup included, the extractor noting whether
// Disk1\old.txt was still there when it started.
RunOptions AskOptions(const Bench& bench, std::vector<std::wstring> args = {}) {
  RunOptions options = bench.Options(std::move(args));
  bench.AddSetup(options);
  SetEnv(options, L"HARW_FAKE_CHECK_PATH", L"Disk1\\old.txt");
  return options;
}

// A refusal ends the run right after the answer's line, the folder untouched.
void ExpectRefused(const Bench& bench, const RunResult& result, const Lines& asked,
                   const std::string& answer_line) {
  EXPECT_EQ(result.exit_code, 1u);
  Log log = bench.ReadRunLog();
  EXPECT_TRUE(MatchesLines(log, asked));
  // The answer's line is the last one, written whole: no line break of the
  // input may stand in the log.
  const std::string last = answer_line + "\n";
  ASSERT_GE(log.raw.size(), last.size());
  EXPECT_EQ(log.raw.substr(log.raw.size() - last.size()), last);
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
  EXPECT_FALSE(fs::exists(bench.ExtractorRecordPath())) << "the extractor ran";
  EXPECT_FALSE(fs::exists(bench.work() / bench.ArcName()));
}

// A yes removes the folder before the extractor starts, and the run goes on.
void ExpectRemovedFirst(const Bench& bench, const RunResult& result, Lines asked) {
  EXPECT_EQ(result.exit_code, 0u);
  asked.insert(asked.end(), {{0x04, "DeleteFolder(\"Disk1\")"},
                             {0x04, "DeleteFile(\"Disk1\\old.txt\")"},
                             {0x04, "RemoveDirectory(\"Disk1\")"}});
  Lines extract = bench.ExtractLines();
  asked.insert(asked.end(), extract.begin(), extract.end());
  EXPECT_TRUE(HasBlock(bench.ReadRunLog(), asked));
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
    PrepareAsk(bench);
    RunOptions options = AskOptions(bench);
    if (answer.input) {
      options.input = Input::kText;
      options.input_text = *answer.input;
    }
    RunResult result = bench.Run(options);
    EXPECT_EQ(ConsoleText(result), kQuestion);
    Lines asked = bench.StartLines();
    asked.push_back({0x04, "No-Setup-Path is NOT found"});
    const std::string answer_line = "Folder already exists (\"Disk1\", ans=" + answer.logged +
                                    (answer.logged != "" ? ")" : "");
    asked.push_back({0x04, answer_line});
    if (answer.yes) {
      ExpectRemovedFirst(bench, result, asked);
    } else {
      ExpectRefused(bench, result, asked, answer_line);
    }
  }
}

TEST(ExistingFolder, SwitchDRemovesWithoutAsking) {
  Bench bench;
  PrepareAsk(bench);
  RunOptions options = AskOptions(bench, {L"/D"});
  options.input = Input::kText;
  options.input_text = "n\n";  // would refuse, were it read
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  Lines expected = bench.StartLines();
  expected.insert(expected.end(), {{0x04, "Parameter /D"},
                                   {0x04, "No-Setup-Path is NOT found"},
                                   {0x04, "DeleteFolder(\"Disk1\")"},
                                   {0x04, "DeleteFile(\"Disk1\\old.txt\")"},
                                   {0x04, "RemoveDirectory(\"Disk1\")"}});
  Lines extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  EXPECT_TRUE(HasBlock(bench.ReadRunLog(), expected));
  std::optional<Record> extractor = ReadRecord(bench.ExtractorRecordPath());
  ASSERT_TRUE(extractor);
  EXPECT_EQ((*extractor)["check_path_existed"], "0");
}

TEST(ExistingFolder, SwitchXNeitherAsksNorRemoves) {
  Bench bench;
  PrepareAsk(bench);
  RunResult result = bench.Run(AskOptions(bench, {L"/X"}));
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  Lines expected = bench.StartLines();
  expected.push_back({0x04, "Parameter /X"});
  Lines extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), expected));
  std::optional<Record> extractor = ReadRecord(bench.ExtractorRecordPath());
  ASSERT_TRUE(extractor);
  EXPECT_EQ((*extractor)["check_path_existed"], "1");
  EXPECT_EQ(Entries(bench.work() / L"Disk1"), (std::set<std::wstring>{L"Setup.exe", L"a.txt", L"old.txt"}));
  EXPECT_FALSE(fs::exists(bench.SetupRecordPath())) << "the setup ran";
}

TEST(ExistingFolder, NoQuestionWhereTheSetupMayNotRun) {
  Bench bench;
  bench.Pack(L"BRAVELDUNES\\Ask.exe");
  MakeFile(bench.work() / L"Disk1" / L"old.txt");
  RunResult result = bench.Run(AskOptions(bench));
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), "");
  Lines expected = bench.StartLines();
  expected.push_back({0x04, "No-Setup-Path is found \"\\BRAVELDUNES\""});
  Lines extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  expected.push_back({0x04, "No-Setup-Path is found \"\\BRAVELDUNES\""});
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), expected));
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"old.txt"));
}

TEST(ExistingFolder, FileInPlaceOfTheFolderIsAskedAboutAndKept) {
  Bench bench;
  bench.Pack(L"Ask.exe");
  MakeFile(bench.work() / L"Disk1");
  DWORD attributes = GetFileAttributesW((bench.work() / L"Disk1").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  // The archive unpacks elsewhere, so the run can go on past the refused removal.
  RunOptions options = bench.Options({L"/S", L"Other\\Setup.exe"});
  bench.AddSetup(options);
  SetEnv(options, L"HARW_FAKE_FOLDER", L"Other");
  options.input = Input::kText;
  options.input_text = "y\n";
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(ConsoleText(result), kQuestion);
  const std::string invalid = "Folder name is invalid (\"Disk1\", attr=0x" + Hex8(attributes) + ")";
  EXPECT_TRUE(HasBlock(bench.ReadRunLog(), {{0x04, "No-Setup-Path is NOT found"},
                               {0x04, "Folder already exists (\"Disk1\", ans=y)"},
                               {0x04, "DeleteFolder(\"Disk1\")"},
                               {0x01, invalid},
                               bench.ExtractLines().front()}));
  EXPECT_TRUE(fs::is_regular_file(bench.work() / L"Disk1"));
  EXPECT_TRUE(fs::exists(bench.SetupRecordPath())) << "the setup did not run";
}

}  // namespace
}  // namespace harwtest
