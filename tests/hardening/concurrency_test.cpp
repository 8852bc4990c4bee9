// Concurrency and signals: many simultaneous starts of one package, console
// control events while the package waits for its extractor, and a log file
// that another process holds open.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "hardening/hardening_support.h"
#include "support/handle.h"
#include "support/paths.h"
#include "support/record.h"
#include "support/text.h"

namespace harwtest::hardening {
namespace {

namespace fs = std::filesystem;

class ConcurrencyTest : public testing::Test {
 protected:
  TempFolder work_{CurrentTestLabel()};
  TempFolder aside_{CurrentTestLabel() + L"~"};
};

// One start: its own TMP (so each run's log lines can be told apart) and its
// own extractor record, the shared package in the shared current directory.
RunOptions OneOfMany(const fs::path& package, const fs::path& work, const fs::path& aside, int index) {
  fs::path logs = aside / (L"logs" + std::to_wstring(index));
  fs::create_directories(logs);
  RunOptions options = RunInFolder(package, work);
  SetEnv(options, L"TMP", logs.wstring() + L"\\");
  SetEnv(options, L"TEMP", logs.wstring() + L"\\");
  SetEnv(options, L"HARW_FAKE_RECORD", (aside / (L"extractor" + std::to_wstring(index) + L".txt")).wstring());
  SetEnv(options, L"HARW_FAKE_SLEEP_MS", L"2000");
  SetEnv(options, L"HARW_FAKE_FOLDER", L"Disk1");
  SetEnv(options, L"HARW_FAKE_FILES", L"a.txt");
  SetEnv(options, L"HARW_FAKE_COPY_FROM", BinPath(L"fake_setup.exe").wstring());
  SetEnv(options, L"HARW_FAKE_COPY_TO", L"Setup.exe");
  SetEnv(options, L"HARW_SETUP_RECORD", (aside / (L"setup" + std::to_wstring(index) + L".txt")).wstring());
  return options;
}

TEST_F(ConcurrencyTest, OfTwentySimultaneousStartsExactlyOneRuns) {
  constexpr int kStarts = 20;
  const fs::path package = work_ / L"HCS.exe";
  ASSERT_TRUE(WriteFileQuietly(package, BuildPackage(std::nullopt).bytes));
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int i = 0; i < kStarts; ++i) {
    children.push_back(std::make_unique<ChildProcess>());
    ASSERT_TRUE(children.back()->Start(OneOfMany(package, work_.path(), aside_.path(), i)))
        << children.back()->error();
  }
  const std::vector<Expected> refused = {{0x01, "CreateMutex(\"HCS#HarwUpdater#Mutex\") LastError=183"}};
  int winners = 0, records = 0;
  for (int i = 0; i < kStarts; ++i) {
    RunResult result = children[i]->Wait();
    ASSERT_FALSE(result.timed_out);
    Log log = LogOrEmpty(aside_ / (L"logs" + std::to_wstring(i)) / L"HCS.log");
    records += fs::exists(aside_ / (L"extractor" + std::to_wstring(i) + L".txt"));
    if (result.exit_code == 0) {
      ++winners;
      EXPECT_TRUE(HasLine(log, 0x04, "CreateMutex(\"HCS#HarwUpdater#Mutex\")")) << Dump(log);
      EXPECT_TRUE(fs::exists(aside_ / (L"setup" + std::to_wstring(i) + L".txt")));
    } else {
      EXPECT_EQ(result.exit_code, 1u);
      // Refused before it touched anything: the mutex line is its only line.
      EXPECT_EQ(LevelsAndTexts(log), refused) << "start " << i;
    }
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(records, 1) << "the extractor ran more or less than once";
  // The one run cleaned up after itself, and no other left anything behind.
  EXPECT_EQ(Snapshot(work_.path()).size(), 1u) << "more than the package is left in the folder";
}

// A package started in a console of its own, so that a control event sent to
// that console reaches the package and its extractor and nothing else.
struct ConsoleRun {
  Handle job;
  Handle process;
  DWORD id = 0;
};

bool StartInOwnConsole(const RunOptions& options, ConsoleRun* run) {
  std::wstring command = BuildCommandLine({options.program.wstring()});
  std::wstring environment = MergeEnvironment(options.env);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(options.program.c_str(), command.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), options.current_dir.c_str(), &startup, &info)) {
    return false;
  }
  run->process.Reset(info.hProcess);
  run->id = info.dwProcessId;
  Handle thread(info.hThread);
  run->job.Reset(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(run->job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  AssignProcessToJobObject(run->job.get(), run->process.get());
  return ResumeThread(thread.get()) != static_cast<DWORD>(-1);
}

class SignalTest : public ConcurrencyTest {
 protected:
  // Runs HCC.exe, whose embedded program outlasts control events, and sends
  // `event` to its console while the package waits. Returns the sender's run.
  RunResult SendDuringWait(DWORD event) {
    const fs::path package = work_ / L"HCC.exe";
    EXPECT_TRUE(WriteFileQuietly(package, BuildPackage(L"/X", *ReadBytes(BinPath(L"patient_child.exe"))).bytes));
    RunOptions options = RunInFolder(package, work_.path());
    SetEnv(options, L"HARW_PATIENT_STARTED", (aside_ / L"started.txt").wstring());
    SetEnv(options, L"HARW_PATIENT_EVENTS", (aside_ / L"events.txt").wstring());
    SetEnv(options, L"HARW_PATIENT_SLEEP_MS", L"2000");
    SetEnv(options, L"HARW_PATIENT_EXIT", L"7");
    if (!StartInOwnConsole(options, &run_)) ADD_FAILURE() << "cannot start the package";
    EXPECT_TRUE(WaitForFile(aside_ / L"started.txt", std::chrono::milliseconds(10000)));
    RunOptions sender;
    sender.program = BinPath(L"ctrl_sender.exe");
    sender.args = {std::to_wstring(run_.id), std::to_wstring(event), L"0"};
    sender.time_limit = std::chrono::milliseconds(10000);
    return RunProcess(sender);
  }
  DWORD WaitForPackage() {
    EXPECT_EQ(WaitForSingleObject(run_.process.get(), 20000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(run_.process.get(), &code);
    return code;
  }
  void ExpectHandledDuringTheWait(DWORD event) {
    EXPECT_EQ(WaitForPackage(), 7u) << "the package did not end with its extractor's code";
    Log log = LogOrEmpty(work_ / L"HCC.log");
    std::vector<Expected> lines = LevelsAndTexts(log);
    auto handled = std::find(lines.begin(), lines.end(), Expected{0x01, "ConsoleCtrlHandler(" + std::to_string(event) + ")"});
    auto started = std::find(lines.begin(), lines.end(), Expected{0x04, "CreateProcess(\"___HCC___.exe\")"});
    auto waited = std::find(lines.begin(), lines.end(), Expected{0x04, "WaitForSingleObject(\"___HCC___.exe\")"});
    ASSERT_NE(handled, lines.end()) << Dump(log);
    EXPECT_TRUE(started < handled && handled < waited) << "the event was not handled during the wait\n" << Dump(log);
    EXPECT_TRUE(HasLine(log, 0x04, "GetExitCodeProcess(Arc) ec=7")) << Dump(log);
    EXPECT_TRUE(HasLine(log, 0x04, "DeleteFile(\"___HCC___.exe\")")) << Dump(log);
    // The shared console passed the event to the extractor as well.
    EXPECT_EQ(ReadBytes(aside_ / L"events.txt").value_or(""), "event=" + std::to_string(event) + "\n");
  }

  ConsoleRun run_;
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

TEST_F(ConcurrencyTest, LogHeldOpenWithoutWriteSharingLosesLinesButNotTheRun) {
  const fs::path package = work_ / L"HCL.exe";
  ASSERT_TRUE(WriteFileQuietly(package, BuildPackage(L"/X").bytes));
  const fs::path log = work_ / L"HCL.log";
  for (DWORD code : {0u, 7u}) {
    SCOPED_TRACE("extractor exit code " + std::to_string(code));
    ASSERT_TRUE(WriteBytes(log, "an earlier line\n"));
    Handle holder(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    RunOptions options = RunInFolder(package, work_.path());
    SetEnv(options, L"HARW_FAKE_EXIT", std::to_wstring(code));
    SetEnv(options, L"HARW_FAKE_RECORD", (aside_ / L"extractor.txt").wstring());
    RunResult result = RunProcess(options);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, code);
    EXPECT_TRUE(ReadRecord(aside_ / L"extractor.txt").has_value()) << "the run stopped early";
    EXPECT_FALSE(fs::exists(work_ / L"___HCL___.exe"));
    EXPECT_EQ(ReadBytes(log).value_or(""), "an earlier line\n") << "the held log was written";
    holder.Reset();
    DeleteFileW((aside_ / L"extractor.txt").c_str());
  }
}

}  // namespace
}  // namespace harwtest::hardening
