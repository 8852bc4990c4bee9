// Running helper programs: exit codes, captured output, the calls while one runs and Windows quoting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packer/platform/process.h"
#include "tests/packer/test_support.h"

namespace {

TEST(QuoteWindowsArgumentTest, SplitsBackUnchanged) {
  struct Case {
    const char* arg;
    const char* quoted;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"two words", "\"two words\""},
      {"C:\\Program Files\\", "\"C:\\Program Files\\\\\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},
      {"back\\slash", "back\\slash"},
  };
  for (const Case& c : cases) EXPECT_EQ(harwpack::QuoteWindowsArgument(c.arg), c.quoted) << c.arg;
}

TEST(RunProcessTest, ReportsExitCodeAndCapturesOutput) {
  harwpack_test::ScratchDir dir;
#ifdef _WIN32
  const auto run = harwpack_test::RunCommand(dir.path(), "cmd.exe", {"/c", "echo hello & exit 3"});
#else
  const auto run = harwpack_test::RunCommand(dir.path(), "sh", {"-c", "echo hello; echo oops >&2; exit 3"});
#endif
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_NE(run.output.find("hello"), std::string::npos) << run.output;
#ifndef _WIN32
  EXPECT_NE(run.output.find("oops"), std::string::npos) << "standard error goes to the log too";
#endif
}

TEST(RunProcessTest, CallsBackWhileTheProgramRuns) {
  harwpack_test::ScratchDir dir;
  int calls = 0;
#ifdef _WIN32
  const std::string program = "cmd.exe";
  const std::vector<std::string> args = {"/c", "ping -n 2 127.0.0.1 >nul"};
#else
  const std::string program = "sh";
  const std::vector<std::string> args = {"-c", "sleep 0.6"};
#endif
  const harwpack::ProcessResult run = harwpack::RunProcess(program, args, dir / "log", {}, [&calls] { ++calls; });
  ASSERT_EQ(run.error, "");
  EXPECT_GE(calls, 3) << "called every " << harwpack::kWhileRunningMilliseconds << " ms";
}

TEST(RunProcessTest, MissingProgramIsAnError) {
  harwpack_test::ScratchDir dir;
  const harwpack::ProcessResult run =
      harwpack::RunProcess(dir / "no-such-program", {"x"}, dir / "log.txt");
  EXPECT_NE(run.error.find("cannot start"), std::string::npos) << run.error;
}

}  // namespace
