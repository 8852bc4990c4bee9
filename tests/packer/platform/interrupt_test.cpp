// A create that fails, is killed while writing or is interrupted leaves the
// target as it was and no temporary file.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <csignal>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/packer/test_support.h"

namespace {

using harwpack_test::Bytes;
using harwpack_test::ScratchDir;

/// How a child run of harwpack ended.
struct ChildEnd {
  bool signaled;
  int code;  // exit code or signal number
};

/// Runs harwpack with files limited to `limit` bytes; writing beyond it raises
/// SIGXFSZ, which kills the process unless `ignore_signal`, when the write fails instead.
ChildEnd RunLimited(const std::vector<std::string>& args, rlim_t limit, bool ignore_signal,
                    const std::filesystem::path& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit size{limit, limit};
    FILE* sink = std::freopen(log.c_str(), "w", stderr);
    if (sink == nullptr || setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(120);
    if (ignore_signal && std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) _exit(121);
    std::vector<char*> argv{const_cast<char*>(HARWPACK_EXE)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(HARWPACK_EXE, argv.data());
    _exit(122);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return {false, -1};
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

class InterruptTest : public ::testing::TestWithParam<bool> {};

TEST_P(InterruptTest, TargetKeepsItsOldContent) {
  const bool ignore_signal = GetParam();
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(1 << 20, 7));
  const Bytes previous = harwpack_test::Pattern(100, 8);
  harwpack_test::WriteBytes(dir / "pkg.exe", previous);
  const std::filesystem::path log = dir.path().parent_path() / (dir.path().filename().string() + ".log");

  const ChildEnd end = RunLimited({"create", "--stub", (dir / "stub.exe").string(), "--archive",
                                   (dir / "arc.exe").string(), "--out", (dir / "pkg.exe").string()},
                                  200 * 1024, ignore_signal, log);
  const Bytes message = harwpack_test::ReadBytes(log);
  std::filesystem::remove(log);
  const std::string text(message.begin(), message.end());
  EXPECT_TRUE(harwpack_test::ReadBytes(dir / "pkg.exe") == previous);
  std::vector<std::string> left = harwpack_test::ListDir(dir.path());
  if (ignore_signal) {
    EXPECT_FALSE(end.signaled);
    EXPECT_EQ(end.code, 1);
    EXPECT_NE(text.find("File too large"), std::string::npos) << text;
    EXPECT_EQ(left.size(), 3u) << "the temporary file is removed";
  } else {
    EXPECT_TRUE(end.signaled);
    EXPECT_EQ(end.code, SIGXFSZ);
    // A killed process cannot clean up: its temporary file stays, under a name of its own.
    ASSERT_EQ(left.size(), 4u);
    for (const std::string& name : left) {
      const bool known = name == "stub.exe" || name == "arc.exe" || name == "pkg.exe" ||
                         (name.rfind("pkg.exe.", 0) == 0 && name.size() > 8 &&
                          name.compare(name.size() - 8, 8, ".partial") == 0);
      EXPECT_TRUE(known) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Writes, InterruptTest, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "write_fails" : "process_killed"); });

}  // namespace

#else  // _WIN32

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/packer/test_support.h"

namespace {

namespace fs = std::filesystem;
using harwpack_test::ScratchDir;
using harwpack_test::TestProgram;

std::wstring Quoted(const fs::path& path) { return L"\"" + path.wstring() + L"\""; }

/// Starts `command` in a console of its own, so that a Ctrl+C sent there reaches only it.
bool StartInOwnConsole(std::wstring command, PROCESS_INFORMATION& info) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                        &startup, &info) != FALSE;
}

DWORD RunToEnd(std::wstring command) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return 999;
  DWORD code = 998;
  if (WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
}

// Ctrl+C while the signing tool runs (a stand-in that would run for 20 s):
// harwpack ends the tool, removes its working folder and the unfinished
// package and ends as Ctrl+C ends a console program.
TEST(InterruptTest, CtrlCWhileSigningLeavesNothing) {
  ScratchDir dir;
  fs::create_directory(dir / "tmp");
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(4096, 3));
  const std::wstring sign = Quoted(TestProgram("patient_child")) + L" {in}";
  // The new console inherits this environment: the tool's settings and harwpack's temporary folder.
  for (const auto& [name, value] : {std::pair<std::wstring, std::wstring>{L"TMP", (dir / "tmp").wstring()},
                                    {L"TEMP", (dir / "tmp").wstring()},
                                    {L"HARW_PATIENT_STARTED", (dir / "started.txt").wstring()},
                                    {L"HARW_PATIENT_SLEEP_MS", L"20000"},
                                    {L"HARW_PATIENT_EXIT", L"0"}}) {
    ASSERT_TRUE(SetEnvironmentVariableW(name.c_str(), value.c_str()));
  }
  PROCESS_INFORMATION harwpack{};
  const bool started = StartInOwnConsole(Quoted(TestProgram("harwpack")) + L" create --stub " + Quoted(dir / "stub.exe") +
                                             L" --archive " + Quoted(dir / "arc.exe") + L" --out " +
                                             Quoted(dir / "pkg.exe") + L" --sign \"" + sign + L"\"",
                                         harwpack);
  for (const wchar_t* name : {L"TMP", L"TEMP", L"HARW_PATIENT_STARTED", L"HARW_PATIENT_SLEEP_MS", L"HARW_PATIENT_EXIT"}) {
    SetEnvironmentVariableW(name, nullptr);
  }
  ASSERT_TRUE(started) << "CreateProcessW failed: " << GetLastError();
  const auto begin = std::chrono::steady_clock::now();
  while (!fs::exists(dir / "started.txt") && std::chrono::steady_clock::now() - begin < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(fs::exists(dir / "started.txt")) << "the signing tool never started";
  EXPECT_EQ(RunToEnd(Quoted(TestProgram("ctrl_sender")) + L" " + std::to_wstring(harwpack.dwProcessId) + L" 0 0"), 0u);
  DWORD code = 0;
  ASSERT_EQ(WaitForSingleObject(harwpack.hProcess, 15000), WAIT_OBJECT_0) << "harwpack did not end";
  ASSERT_TRUE(GetExitCodeProcess(harwpack.hProcess, &code));
  CloseHandle(harwpack.hThread);
  CloseHandle(harwpack.hProcess);
  EXPECT_EQ(code, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10)) << "the signing tool ran on";
  EXPECT_EQ(harwpack_test::ListDir(dir.path()), (std::vector<std::string>{"arc.exe", "started.txt", "stub.exe", "tmp"}));
  EXPECT_TRUE(harwpack_test::ListDir(dir / "tmp").empty()) << "the working folder stayed";
}

}  // namespace

#endif
