// Concurrency and signals: the single-instance guard against a second start
// and against many simultaneous starts of one package, and console control
// events while the package waits for its extractor.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "support/bench.h"
#include "support/handle.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

class ConcurrencyTest : public PackageTest {};

TEST_F(ConcurrencyTest, SecondInstanceEndsAtOnceWhileTheFirstGoesOn) {
  Pack(L"Solo.exe", L"/X");
  RunOptions first_options = Options();
  SetEnv(first_options, L"HARW_FAKE_SLEEP_MS", L"1500");
  ChildProcess first;
  ASSERT_TRUE(first.Start(first_options)) << first.error();
  // The extractor writes its record on start: the first instance holds the mutex.
  ASSERT_TRUE(WaitForFile(ExtractorRecordPath(), std::chrono::seconds(20)));

  TempFolder second_temp(CurrentTestLabel() + L"-2");
  RunOptions second_options = Options();
  SetEnv(second_options, L"TMP", second_temp.WithSlash());
  SetEnv(second_options, L"TEMP", second_temp.WithSlash());
  RunResult second = Run(second_options);
  EXPECT_EQ(second.exit_code, 1u);
  std::optional<Log> second_log = ReadLog(second_temp / L"SOLO.log");
  ASSERT_TRUE(second_log);
  EXPECT_TRUE(MatchesLines(*second_log, {{1, "CreateMutex(\"SOLO#HarwUpdater#Mutex\") LastError=183"}}));
  EXPECT_TRUE(first.Running()) << "the first instance ended before the second one";

  RunResult first_result = first.Wait();
  EXPECT_EQ(first_result.exit_code, 0u) << first_result.err;
  Log first_log = ReadRunLog();
  ASSERT_FALSE(first_log.lines.empty());
  EXPECT_EQ(first_log.lines.back().text, "DeleteFile(\"___SOLO___.exe\")");
  EXPECT_EQ(first_log.lines.size(), 14u);
}

// One start: its own TMP (so each run's log lines can be told apart) and its
// own records, the shared package in the shared current directory.
RunOptions OneOfMany(const Bench& bench, int index) {
  fs::path logs = bench.Aside(L"logs" + std::to_wstring(index));
  fs::create_directories(logs);
  RunOptions options = bench.Options();
  bench.AddSetup(options);
  SetEnv(options, L"TMP", logs.wstring() + L"\\");
  SetEnv(options, L"TEMP", logs.wstring() + L"\\");
  SetEnv(options, L"HARW_FAKE_RECORD", bench.Aside(L"extractor" + std::to_wstring(index) + L".txt").wstring());
  SetEnv(options, L"HARW_FAKE_SLEEP_MS", L"2000");
  SetEnv(options, L"HARW_SETUP_RECORD", bench.Aside(L"setup" + std::to_wstring(index) + L".txt").wstring());
  return options;
}

TEST_F(ConcurrencyTest, OfTwentySimultaneousStartsExactlyOneRuns) {
  constexpr int kStarts = 20;
  Pack(L"HCS.exe");
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int i = 0; i < kStarts; ++i) {
    children.push_back(std::make_unique<ChildProcess>());
    ASSERT_TRUE(children.back()->Start(OneOfMany(*this, i))) << children.back()->error();
  }
  const std::vector<Expected> refused = {{0x01, "CreateMutex(\"HCS#HarwUpdater#Mutex\") LastError=183"}};
  int winners = 0, records = 0;
  for (int i = 0; i < kStarts; ++i) {
    RunResult result = children[i]->Wait();
    ASSERT_FALSE(result.timed_out);
    Log log = ReadLog(Aside(L"logs" + std::to_wstring(i)) / L"HCS.log").value_or(Log());
    records += fs::exists(Aside(L"extractor" + std::to_wstring(i) + L".txt"));
    if (result.exit_code == 0) {
      ++winners;
      EXPECT_TRUE(HasLines(log, {{0x04, "CreateMutex(\"HCS#HarwUpdater#Mutex\")"}}));
      EXPECT_TRUE(fs::exists(Aside(L"setup" + std::to_wstring(i) + L".txt")));
    } else {
      EXPECT_EQ(result.exit_code, 1u);
      // Refused before it touched anything: the mutex line is its only line.
      EXPECT_EQ(LevelsAndTexts(log), refused) << "start " << i;
    }
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(records, 1) << "the extractor ran more or less than once";
  // The one run cleaned up after itself, and no other left anything behind.
  EXPECT_EQ(AllEntries(work()), std::set<std::wstring>{L"HCS.exe"}) << "more than the package is left";
}

class SignalTest : public ConcurrencyTest {
 protected:
  // Runs HCC.exe, whose embedded program outlasts control events, in a
  // console of its own, and sends `event` to that console while the package
  // waits; the event reaches the package and its extractor and nothing else.
  // Returns the sender's run.
  RunResult SendDuringWait(DWORD event) {
    Pack(L"HCC.exe", L"/X", BinPath(L"patient_child.exe"));
    RunOptions options = Options();
    SetEnv(options, L"HARW_PATIENT_STARTED", Aside(L"started.txt").wstring());
    SetEnv(options, L"HARW_PATIENT_EVENTS", Aside(L"events.txt").wstring());
    SetEnv(options, L"HARW_PATIENT_SLEEP_MS", L"2000");
    SetEnv(options, L"HARW_PATIENT_EXIT", L"7");
    options.own_console = true;
    options.time_limit = std::chrono::seconds(20);
    EXPECT_TRUE(package_run_.Start(options)) << package_run_.error();
    EXPECT_TRUE(WaitForFile(Aside(L"started.txt"), std::chrono::milliseconds(10000)));
    RunOptions sender;
    sender.program = BinPath(L"ctrl_sender.exe");
    sender.args = {std::to_wstring(package_run_.id()), std::to_wstring(event), L"0"};
    sender.time_limit = std::chrono::milliseconds(10000);
    return RunProcess(sender);
  }
  DWORD WaitForPackage() {
    RunResult result = package_run_.Wait();
    EXPECT_FALSE(result.timed_out) << "the package did not end";
    return result.exit_code;
  }
  void ExpectHandledDuringTheWait(DWORD event) {
    EXPECT_EQ(WaitForPackage(), 7u) << "the package did not end with its extractor's code";
    const Log log = ReadRunLog();
    std::vector<Expected> lines = LevelsAndTexts(log);
    auto handled = std::find(lines.begin(), lines.end(), Expected{0x01, "ConsoleCtrlHandler(" + std::to_string(event) + ")"});
    auto started = std::find(lines.begin(), lines.end(), Expected{0x04, "CreateProcess(\"___HCC___.exe\")"});
    auto waited = std::find(lines.begin(), lines.end(), Expected{0x04, "WaitForSingleObject(\"___HCC___.exe\")"});
    ASSERT_NE(handled, lines.end()) << Listing(log);
    EXPECT_TRUE(started < handled && handled < waited) << "the event was not handled during the wait\n" << Listing(log);
    EXPECT_TRUE(HasLines(log, {{0x04, "GetExitCodeProcess(Arc) ec=7"}}));
    EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFile(\"___HCC___.exe\")"}}));
    // The shared console passed the event to the extractor as well.
    EXPECT_EQ(ReadBytes(Aside(L"events.txt")).value_or(""), "event=" + std::to_string(event) + "\n");
  }

  ChildProcess package_run_;
};

TEST_F(SignalTest, CtrlCWhileWaitingIsLoggedAndTheWaitGoesOn) {
  RunResult sender = SendDuringWait(CTRL_C_EVENT);
  ASSERT_EQ(sender.exit_code, 0u) << "ctrl_sender: " << sender.out;
  ExpectHandledDuringTheWait(CTRL_C_EVENT);
}

TEST_F(SignalTest, CtrlBreakWhileWaitingIsLoggedAndTheWaitGoesOn) {
  RunResult sender = SendDuringWait(CTRL_BREAK_EVENT);
  if (sender.exit_code == 13) {
    EXPECT_EQ(WaitForPackage(), 7u);
    std::string error = WithoutCarriageReturns(sender.out);
    if (!error.empty() && error.back() == '\n') error.pop_back();
    GTEST_SKIP() << "this system cannot generate Ctrl+Break: GenerateConsoleCtrlEvent failed ("
                 << error << "); Wine 8's console server delivers Ctrl+C only";
  }
  ASSERT_EQ(sender.exit_code, 0u) << "ctrl_sender: " << sender.out;
  ExpectHandledDuringTheWait(CTRL_BREAK_EVENT);
}

}  // namespace
}  // namespace harwtest
