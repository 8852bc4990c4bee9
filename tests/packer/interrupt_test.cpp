// A create that fails or is killed while writing leaves the target as it was.
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

#endif
