// The setup stage: whether the package's folder allows the setup program to
// run, how it is started, its exit code, a missing setup program, and not
// waiting for it with /W.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

struct PackageFolder {
  const wchar_t* folder;  // where the package file lies, below the test's folder
  const char* row;        // the table text that matches; empty: none does
};

// A run of the package in the work folder, with the fake setup program.
RunOptions StageOptions(const Bench& bench, std::vector<std::wstring> args = {}) {
  RunOptions options = bench.Options(std::move(args));
  bench.AddSetup(options);
  return options;
}

// The run ends after unpacking; the folder stays for the maker's tools.
void ExpectOnlyUnpacked(const Bench& bench, const Log& log, Lines expected, const std::string& row) {
  expected.push_back({0x04, "No-Setup-Path is found \"" + row + "\""});
  EXPECT_TRUE(MatchesLines(log, expected));
  EXPECT_FALSE(fs::exists(bench.SetupRecordPath())) << "the setup ran";
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"Setup.exe")) << "the unpacked folder is gone";
}

void ExpectSetupRan(const Bench& bench, const Log& log, Lines expected) {
  expected.push_back({0x04, "No-Setup-Path is NOT found"});
  expected.push_back({0x04, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"\")"});
  EXPECT_TRUE(HasBlock(log, expected));
  EXPECT_TRUE(fs::exists(bench.SetupRecordPath())) << "the setup did not run";
  EXPECT_FALSE(fs::exists(bench.work() / L"Disk1"));
}

TEST(SetupStage, PackageFolderDecidesWhetherTheSetupRuns) {
  const PackageFolder cases[] = {
      {L"BRAVELDUNES", "\\BRAVELDUNES"},
      {L"braveldunes", "\\BRAVELDUNES"},
      {L"BravelDunes", "\\BRAVELDUNES"},
      {L"BRAVELDUNES2", ""},
      {L"MOSSLINGQUARTZ", "\\MOSSLINGQUARTZ"},
      {L"tools\\MosslingQuartz\\v2", "\\MOSSLINGQUARTZ"},
      // Only the first occurrence of a text is looked at.
      {L"MOSSLINGQUARTZ2\\MOSSLINGQUARTZ", ""},
      {L"TINDERWICKHOLLOWTOOLS", "\\TINDERWICKHOLLOW"},
      {L"tinderwickhollow", "\\TINDERWICKHOLLOW"},
  };
  for (const PackageFolder& c : cases) {
    SCOPED_TRACE(ToUtf8(c.folder));
    Bench bench;
    bench.Pack(std::wstring(c.folder) + L"\\Stage.exe");
    RunResult result = bench.Run(StageOptions(bench, {L"/H"}));
    EXPECT_EQ(result.exit_code, 0u);
    const Log log = bench.ReadRunLog();
    Lines expected = bench.StartLines();
    expected.push_back({0x04, "Parameter /H"});
    Lines extract = bench.ExtractLines();
    expected.insert(expected.end(), extract.begin(), extract.end());
    if (*c.row != '\0') {
      ExpectOnlyUnpacked(bench, log, expected, c.row);
    } else {
      ExpectSetupRan(bench, log, expected);
    }
  }
}

struct Launch {
  const char* name;
  std::vector<std::wstring> args;
  std::string logged_parameters;
  std::vector<std::string> setup_args;
};

TEST(SetupStage, SetupStartsHiddenWithItsParametersInThePackagesDirectory) {
  const Launch launches[] = {
      {"no parameters", {L"/H"}, "", {}},
      {"parameters", {L"/H", L"/A", L"/quiet /lang=en"}, "/quiet /lang=en", {"/quiet", "/lang=en"}},
  };
  for (const Launch& launch : launches) {
    SCOPED_TRACE(launch.name);
    Bench bench;
    bench.Pack(L"Stage.exe");
    RunResult result = bench.Run(StageOptions(bench, launch.args));
    EXPECT_EQ(result.exit_code, 0u);
    const std::string shell = "ShellExecuteEx(\"Disk1\\Setup.exe\",\"" + launch.logged_parameters + "\")";
    EXPECT_TRUE(HasBlock(bench.ReadRunLog(), {{0x04, "No-Setup-Path is NOT found"}, {0x04, shell}}));
    std::optional<Record> record = ReadRecord(bench.SetupRecordPath());
    ASSERT_TRUE(record) << "the setup did not run";
    EXPECT_EQ((*record)["argc"], std::to_string(launch.setup_args.size() + 1));
    for (std::size_t i = 0; i < launch.setup_args.size(); ++i) {
      EXPECT_EQ((*record)["arg" + std::to_string(i + 1)], launch.setup_args[i]);
    }
    EXPECT_EQ((*record)["current_dir"], ToUtf8(bench.work().wstring()));
    EXPECT_EQ((*record)["show_window_given"], "1");
    EXPECT_EQ((*record)["show_window"], "0") << "the setup is not started hidden";
  }
}

TEST(SetupStage, SetupExitCodeEndsTheRunAfterTheFolderIsRemoved) {
  Bench bench;
  bench.Pack(L"Stage.exe");
  RunOptions options = StageOptions(bench, {L"/H"});
  SetEnv(options, L"HARW_FAKE_FILES", L"");  // Disk1 holds only the setup program
  SetEnv(options, L"HARW_SETUP_EXIT", L"7");
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 7u);
  const std::vector<Expected> lines = LevelsAndTexts(bench.ReadRunLog());
  const std::vector<Expected> tail = {
      {0x04, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"\")"},
      {0x04, "WaitForSingleObject(\"Disk1\\Setup.exe\")"},
      {0x04, "GetExitCodeProcess(Setup) ec=7"},
      {0x04, "DeleteFolder(\"Disk1\")"},
      {0x04, "DeleteFile(\"Disk1\\Setup.exe\")"},
      {0x04, "RemoveDirectory(\"Disk1\")"}};
  ASSERT_GE(lines.size(), tail.size());
  EXPECT_EQ(std::vector<Expected>(lines.end() - tail.size(), lines.end()), tail);
  EXPECT_FALSE(fs::exists(bench.work() / L"Disk1"));
}

TEST(SetupStage, MissingSetupProgramRemovesTheFolderAndFails) {
  Bench bench;
  bench.Pack(L"Stage.exe");
  RunOptions options = bench.Options();  // Disk1 with a.txt and no setup program
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 1u);
  Lines expected = bench.StartLines();
  Lines extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  expected.insert(expected.end(), {{0x04, "No-Setup-Path is NOT found"},
                                   {0x01, "GetFileAttributes(\"Disk1\\Setup.exe\") LastError=2"},
                                   {0x04, "DeleteFolder(\"Disk1\")"},
                                   {0x04, "DeleteFile(\"Disk1\\a.txt\")"},
                                   {0x04, "RemoveDirectory(\"Disk1\")"}});
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), expected));
  EXPECT_EQ(AllEntries(bench.work()), (std::set<std::wstring>{L"Stage.exe", L"STAGE.log"}));
  EXPECT_EQ(ConsoleText(result), "");
}

// Without waiting, the folder goes while the setup program still runs from
// it: its own image cannot be deleted, and so neither can the folder. (A
// data file that the setup opens would race with the removal.)
TEST(SetupStage, SwitchWRemovesTheFolderWhileTheSetupRuns) {
  Bench bench;
  bench.Pack(L"Stage.exe");
  RunOptions options = StageOptions(bench, {L"/W"});
  SetEnv(options, L"HARW_SETUP_DELAY_MS", L"1500");
  ChildProcess child;  // kept until the end: it owns the still running setup
  ASSERT_TRUE(child.Start(options)) << child.error();
  RunResult result = child.Wait();
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_FALSE(fs::exists(bench.SetupRecordPath())) << "the package waited for the setup";
  const std::vector<Expected> lines = LevelsAndTexts(bench.ReadRunLog());
  const std::size_t shell = std::find(lines.begin(), lines.end(),
                                      Expected{0x04, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"\")"}) -
                            lines.begin();
  ASSERT_EQ(lines.size(), shell + 5) << "not the end of the log: " << testing::PrintToString(lines);
  EXPECT_EQ(lines[shell + 1], (Expected{0x04, "DeleteFolder(\"Disk1\")"}));
  const std::vector<Expected> files(lines.begin() + shell + 2, lines.begin() + shell + 4);
  const Expected deleted = {0x04, "DeleteFile(\"Disk1\\a.txt\")"};
  const Expected refused = {0x01, "DeleteFile(\"Disk1\\Setup.exe\") LastError=5"};
  EXPECT_TRUE(files == (std::vector<Expected>{deleted, refused}) ||
              files == (std::vector<Expected>{refused, deleted}))
      << testing::PrintToString(files);
  EXPECT_EQ(lines.back(), (Expected{0x01, "RemoveDirectory(\"Disk1\") LastError=145"}));
  EXPECT_EQ(AllEntries(bench.work()),
            (std::set<std::wstring>{L"Stage.exe", L"STAGE.log", L"Disk1", L"Disk1\\Setup.exe"}));
  EXPECT_TRUE(WaitForFile(bench.SetupRecordPath(), std::chrono::seconds(10)))
      << "the setup did not go on after the package ended";
}

}  // namespace
}  // namespace harwtest

