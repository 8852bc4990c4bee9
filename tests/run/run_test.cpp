// The run from start to end: the package's identity, the log of a typical
// run, and the extractor stage.
#include <algorithm>

#include <gmock/gmock.h>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

class RunTest : public PackageTest {};

TEST_F(RunTest, TypicalRunLogsEveryStepInOrderAndCleansUp) {
  Pack(L"HarwUpdater.exe");
  const PackageLayout& place = layout();
  RunOptions options = Options();
  AddSetup(options);
  RunResult result = Run(options);

  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(ConsoleText(result), "");
  const std::string hex8 = "[0-9A-F]{8}";
  Lines expected{
      {4, "CreateMutex(\"HARWUPDATER#HarwUpdater#Mutex\")"},
      {4, "Found Archived Data Marker " + std::to_string(place.marker + 148)},
      {1, "Parameters size=0"},
      {4, "CreateFile(\"___HARWUPDATER___.exe\")"},
      {4, "Top of Archived Data " + std::to_string(place.marker + 152)},
      {4, "Size of Archived Data " + std::to_string(place.s)},
      {4, "CloseHandle(\"___HARWUPDATER___.exe\")"},
      {4, "CreateProcess(\"___HARWUPDATER___.exe\")"},
      {4, "WaitForSingleObject(\"___HARWUPDATER___.exe\")"},
      {4, "GetExitCodeProcess(Arc) ec=0"},
      {4, "DeleteFile(\"___HARWUPDATER___.exe\")"},
      {4, "No-Setup-Path is NOT found"},
      {4, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"\")"},
      Pattern{4, "GetForegroundWindow\\(\\) rc=" + hex8},
  };
  // Wine's virtual desktop does not always have a foreground window when the
  // setup starts; then nothing is hidden and nothing restored. The hiding
  // itself is checked with a real foreground window in the window tests.
  const Log log = ReadRunLog();
  const bool hidden = log.raw.find("GetForegroundWindow() rc=00000000") == std::string::npos;
  if (hidden) {
    expected.insert(expected.end(),
        {Pattern{4, "GetWindowPlacement\\(\\) status=0x" + hex8 + " rc=\\d+ LastError=\\d+"},
         Pattern{4, "ShowWindow\\(SW_HIDE\\) rc=\\d+ LastError=\\d+"}});
  }
  expected.insert(expected.end(), {
      {4, "WaitForSingleObject(\"Disk1\\Setup.exe\")"},
      {4, "GetExitCodeProcess(Setup) ec=0"},
      {4, "DeleteFolder(\"Disk1\")"},
      Pattern{4, "DeleteFile\\(\"Disk1\\\\(a\\.txt|Setup\\.exe)\"\\)"},
      Pattern{4, "DeleteFile\\(\"Disk1\\\\(a\\.txt|Setup\\.exe)\"\\)"},
      {4, "RemoveDirectory(\"Disk1\")"},
  });
  if (hidden) expected.push_back(Pattern{4, "ShowWindow\\(0x" + hex8 + "\\) rc=\\d+ LastError=\\d+"});
  EXPECT_TRUE(MatchesLines(log, expected));
  EXPECT_EQ(Entries(work()), (std::set<std::wstring>{L"HarwUpdater.exe", L"HARWUPDATER.log"}));
  std::optional<Record> setup = SetupRecord();
  ASSERT_TRUE(setup) << "the setup program did not run";
  EXPECT_EQ((*setup)["current_dir"], ToUtf8(work().wstring()));
  EXPECT_EQ((*setup)["argc"], "1");
}

// Update2.exe: every name the run derives comes from the upper-case base name.
TEST_F(RunTest, ExtractOnlyRunUsesNamesMadeFromTheBaseName) {
  Pack(L"Update2.exe", L"/X");
  const PackageLayout& place = layout();
  RunResult result = Run(Options());

  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(ConsoleText(result), "");
  EXPECT_TRUE(MatchesLines(ReadRunLog(), {
      {4, "CreateMutex(\"UPDATE2#HarwUpdater#Mutex\")"},
      {4, "Found Archived Data Marker " + std::to_string(place.marker + 148)},
      {1, "Parameters size=6"},
      {1, "Parameters \"/X\""},
      {4, "MakeParameter \"/X\""},
      {4, "Parameter /X"},
      {4, "CreateFile(\"___UPDATE2___.exe\")"},
      {4, "Top of Archived Data " + std::to_string(place.marker + 152 + 6)},
      {4, "Size of Archived Data " + std::to_string(place.s)},
      {4, "CloseHandle(\"___UPDATE2___.exe\")"},
      {4, "CreateProcess(\"___UPDATE2___.exe\")"},
      {4, "WaitForSingleObject(\"___UPDATE2___.exe\")"},
      {4, "GetExitCodeProcess(Arc) ec=0"},
      {4, "DeleteFile(\"___UPDATE2___.exe\")"},
  }));
  // The log's name keeps its letter case on disk; the unpacked folder stays.
  EXPECT_EQ(Entries(work()), (std::set<std::wstring>{L"Update2.exe", L"UPDATE2.log", L"Disk1"}));
  EXPECT_EQ(Entries(work() / L"Disk1"), (std::set<std::wstring>{L"a.txt"}));
  std::optional<Record> record = ExtractorRecord();
  ASSERT_TRUE(record) << "the extractor did not run";
  // Started without a command line, the child gets the application name as
  // one; Windows passes it bare, Wine wraps it in quotes.
  EXPECT_THAT((*record)["command_line"],
              testing::AnyOf("___UPDATE2___.exe", "\"___UPDATE2___.exe\""));
  EXPECT_EQ((*record)["current_dir"], ToUtf8(work().wstring()));
}

struct ExtractorCase {
  const char* name;
  const wchar_t* exit_code;  ///< HARW_FAKE_EXIT
  bool crash;
  DWORD package_exit;
  bool setup_runs;
};
void PrintTo(const ExtractorCase& c, std::ostream* out) { *out << c.name; }

class ExtractorOutcome : public PackageTest, public testing::WithParamInterface<ExtractorCase> {};

TEST_P(ExtractorOutcome, PackagePassesTheExitCodeOn) {
  const ExtractorCase& c = GetParam();
  Pack(L"Outcome.exe");
  RunOptions options = Options();
  AddSetup(options);
  SetEnv(options, L"HARW_FAKE_EXIT", c.exit_code);
  if (c.crash) SetEnv(options, L"HARW_FAKE_CRASH", L"1");
  RunResult result = Run(options);

  EXPECT_EQ(result.exit_code, c.package_exit) << result.err;
  Log log = ReadRunLog();
  const std::string code = std::to_string(c.package_exit);
  EXPECT_TRUE(HasLines(log, {
      {4, "WaitForSingleObject(\"___OUTCOME___.exe\")"},
      {4, "GetExitCodeProcess(Arc) ec=" + code},
      {4, "DeleteFile(\"___OUTCOME___.exe\")"}}));
  EXPECT_FALSE(fs::exists(work() / L"___OUTCOME___.exe"));
  EXPECT_EQ(SetupRecord().has_value(), c.setup_runs);
  if (!c.setup_runs) {
    EXPECT_EQ(log.lines.back().text, "DeleteFile(\"___OUTCOME___.exe\")");
    // A failed extractor's folder is left as it left it.
    EXPECT_TRUE(fs::exists(work() / L"Disk1" / L"Setup.exe"));
    EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"Outcome.exe", L"OUTCOME.log", L"Disk1",
                                                          L"Disk1\\a.txt", L"Disk1\\Setup.exe"}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ExtractorOutcome,
    testing::Values(ExtractorCase{"zero", L"0", false, 0, true},
                    ExtractorCase{"five", L"5", false, 5, false},
                    ExtractorCase{"one", L"1", false, 1, false},
                    ExtractorCase{"large", L"3221225477", false, 3221225477u, false},
                    ExtractorCase{"access_violation", L"0", true, 0xC0000005u, false}),
    [](const testing::TestParamInfo<ExtractorCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace harwtest
