// What create shows while it works: the compiler's output read as it comes,
// the live line on a terminal, the phase lines elsewhere and --quiet.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "packer/extractors/builtin/archive_writer.h"
#include "packer/cli/cli.h"
#include "packer/extractors/nsis/compile_progress.h"
#include "packer/platform/progress.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

#ifndef _WIN32
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using harwpack_test::ScratchDir;

namespace {

using harwpack_test::P;

TEST(CompilerOutputTest, TakesTheOriginalSizeOfEachFileLine) {
  struct Case {
    const char* line;  // as makensis 3.08 -V4 prints it
    std::optional<std::uint64_t> size;
  };
  const Case cases[] = {
      {"File: \"f\"->\"Setup.exe\" [compress] 1101479/5253394 bytes", 5253394},
      {"File: \"f1\"->\"a b $$1.txt\" 300000 bytes", 300000},  // solid or stored: one figure
      {"File: \"empty\"->\"e\" [compress] 0 bytes", 0},
      {"File: \"f\"->\"gcc.exe\" [compress] 2717219/9518800 bytes\r", 9518800},  // the Windows compiler
      {"File: \"f\"->\"x 5 bytes\" 7 bytes", 7},
      {"File: \"f\"->\"c\" [compress]", std::nullopt},  // still compressing
      {"File: \"nope\" -> no files found.", std::nullopt},
      {"File: \"f\"->\"c\" [compress] 12x bytes", std::nullopt},
      {"Install data:                1200012 / 1200012 bytes", std::nullopt},
      {"SetOutPath: \"$EXEDIR\\Disk1\"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(harwpack::AddedFileSize(c.line), c.size) << c.line;
}

TEST(CompilerOutputTest, CountsFilesWhereverTheOutputIsCut) {
  const std::string output =
      "SetOutPath: \"$EXEDIR\\Disk1\"\n"
      "File: \"f\"->\"Setup.exe\" [compress] 1101479/5253394 bytes\n"
      "File: \"f\"->\"empty.txt\" [compress] 0 bytes\n"
      "File: \"f\"->\"a b $$1.txt\" [compress] 300000 bytes\n"
      "SectionEnd\n";
  struct Cut {
    std::size_t at;  // bytes of the output that arrived
    harwpack::CompilerProgress expected;
  };
  const std::size_t second = output.find("File: \"f\"->\"empty");
  const Cut cuts[] = {
      {second - 7, {1, 0, 0}},  // the compiler flushes a line's start before it reads the file
      {second, {1, 1, 5253394}},
      {second + 6, {1, 1, 5253394}},  // "File: " alone may begin any line
      {second + 7, {2, 1, 5253394}},
      {output.size(), {3, 3, 5553394}},
  };
  for (const Cut& cut : cuts) {
    harwpack::CompilerOutputParser whole;
    harwpack::CompilerOutputParser bytewise;
    whole.Feed(output.substr(0, cut.at));
    for (std::size_t i = 0; i < cut.at; ++i) bytewise.Feed(output.substr(i, 1));
    for (const harwpack::CompilerProgress& got : {whole.progress(), bytewise.progress()}) {
      EXPECT_EQ(got.files_started, cut.expected.files_started) << "at " << cut.at;
      EXPECT_EQ(got.files_done, cut.expected.files_done) << "at " << cut.at;
      EXPECT_EQ(got.bytes_done, cut.expected.bytes_done) << "at " << cut.at;
    }
  }
}

TEST(FileFollowerTest, ReadsOnlyWhatWasAdded) {
  ScratchDir dir;
  harwpack::FileFollower follower(dir / "log");
  EXPECT_EQ(follower.ReadNew(), "") << "no file yet";
  std::ofstream log(dir / "log", std::ios::binary);
  log << "one\nFile: " << std::flush;
  EXPECT_EQ(follower.ReadNew(), "one\nFile: ");
  EXPECT_EQ(follower.ReadNew(), "");
  log << "\"f\"\n" << std::flush;
  EXPECT_EQ(follower.ReadNew(), "\"f\"\n");
}

TEST(ReporterTest, RedrawsInPlaceOnlyOnATerminal) {
  using harwpack::OutputMode;
  const std::string long_text(100, 'x');
  struct Case {
    OutputMode mode;
    const char* expected;
  };
  const std::string cleared = "\r" + std::string(12, ' ') + "\r";
  const std::string terminal = "\r20 % of 1 MB" + cleared + "phase\n\r" + long_text.substr(0, 79) + "\r6 s" +
                               std::string(76, ' ') + "\r" + std::string(79, ' ') + "\rdone\n";
  const Case cases[] = {
      {OutputMode::kTerminal, terminal.c_str()},
      {OutputMode::kLines, "phase\ndone\n"},
      {OutputMode::kQuiet, ""},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    harwpack::Reporter report(out, c.mode);
    report.Live("20 % of 1 MB");
    report.Live("21 % of 1 MB");  // too soon: skipped
    report.Line("phase");
    report.Live(long_text);
    std::this_thread::sleep_for(harwpack::kLiveInterval + std::chrono::milliseconds(20));
    report.Live("6 s");
    report.Line("done");
    EXPECT_EQ(out.str(), c.expected) << static_cast<int>(c.mode);
  }
}

/// A create of a small folder with the real NSIS compiler.
class CreateOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!harwpack_test::RunCommand(dir_.path(), "makensis", {"-VERSION"}).started) {
      GTEST_SKIP() << "makensis is not installed";
    }
    harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
    fs::create_directories(dir_ / "Disk1" / "sub");
    harwpack_test::Bytes setup = harwpack_test::MinimalPe();
    const harwpack_test::Bytes rest = harwpack_test::Pattern(40000 - setup.size(), 1);
    setup.insert(setup.end(), rest.begin(), rest.end());
    harwpack_test::WriteBytes(dir_ / "Disk1" / "Setup.exe", setup);
    harwpack_test::WriteBytes(dir_ / "Disk1" / "a.txt", {});
    harwpack_test::WriteBytes(dir_ / "Disk1" / "sub" / "b.bin", harwpack_test::Pattern(60000, 2));
  }

  std::vector<std::string> Create(const std::vector<std::string>& extra, int& code, std::string& err) {
    std::vector<std::string> args = {"create", "--stub", P(dir_ / "stub.exe"), "--folder", P(dir_ / "Disk1"),
                                     "--out", P(dir_ / "pkg.exe")};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out;
    std::ostringstream errors;
    code = harwpack::RunCli(args, out, errors);
    err = errors.str();
    EXPECT_EQ(out.str().find('\r'), std::string::npos) << "not a terminal: lines only";
    std::vector<std::string> lines;
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  ScratchDir dir_;
};

TEST_F(CreateOutputTest, ALinePerStepWithItsFigures) {
  struct Case {
    std::vector<std::string> options;
    std::string compressing;
    std::string built;
  };
  const std::vector<std::string> program = harwpack_test::ExtractorArgs(dir_.path());
  const Case cases[] = {
      {{"--compression", "zlib"}, "compressing 3 files (0.1 MB) with zlib (file by file), NSIS v",
       "compiled the self-extractor with NSIS v"},
      {{"--compression", "lzma"}, "compressing 3 files (0.1 MB) with lzma (solid, 8 MiB dictionary), NSIS v",
       "compiled the self-extractor with NSIS v"},
      {{"--compression", "none"}, "storing 3 files (0.1 MB) uncompressed with NSIS v",
       "compiled the self-extractor with NSIS v"},
      {program, "compressing 3 files (0.1 MB) with zstd " + harwpack::ZstdVersion() + " at level 20 for the x86",
       "built the self-extractor on " + program[1]},
  };
  for (const Case& c : cases) {
    int code = 0;
    std::string err;
    const std::vector<std::string> lines = Create(c.options, code, err);
    ASSERT_EQ(code, 0) << err;
    ASSERT_EQ(lines.size(), 6u) << c.compressing;
    EXPECT_EQ(lines[0], "checked " + P(dir_ / "Disk1") + ": 3 files, 1 folder, 100000 bytes (0.1 MB)");
    EXPECT_EQ(lines[1].rfind(c.compressing, 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(c.built, 0), 0u) << lines[2];
    // The figures are those of the files written.
    std::ostringstream ignored;
    ASSERT_EQ(harwpack::RunCli({"extract", P(dir_ / "pkg.exe"), "--out", P(dir_ / "x.exe")}, ignored, ignored), 0);
    const std::string extractor = std::to_string(fs::file_size(dir_ / "x.exe"));
    EXPECT_EQ(lines[3].rfind("self-extractor: " + extractor + " bytes (", 0), 0u) << lines[3];
    const std::string package = std::to_string(fs::file_size(dir_ / "pkg.exe"));
    EXPECT_EQ(lines[4].rfind("writing " + package + " bytes (", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5].rfind("created " + P(dir_ / "pkg.exe") + " (container at byte ", 0), 0u) << lines[5];
  }
}

TEST_F(CreateOutputTest, QuietShowsOnlyErrorsAndWarnings) {
  int code = 0;
  std::string err;
  std::vector<std::string> options = harwpack_test::ExtractorArgs(dir_.path());
  options.push_back("--quiet");
  EXPECT_TRUE(Create(options, code, err).empty());
  EXPECT_TRUE(code == 0 && err.empty() && fs::is_regular_file(dir_ / "pkg.exe")) << err;
  EXPECT_TRUE(Create({"--quiet", "--extractor", "nsis"}, code, err).empty());
  EXPECT_TRUE(code == 0 && err.empty()) << err;
  fs::remove(dir_ / "Disk1" / "Setup.exe");
  options.insert(options.end(), {"--params", "/Z"});
  EXPECT_TRUE(Create(options, code, err).empty());
  EXPECT_EQ(code, 1);
  // "/Z" is no option; the setup program is missing.
  EXPECT_NE(err.find("harwpack: warning: "), std::string::npos) << err;
  EXPECT_NE(err.find("harwpack: error: "), std::string::npos) << err;
}

#ifndef _WIN32

/// makensis with its real output held back after every file line, as a large folder would.
const char kSlowCompiler[] =
    "#!/bin/sh\n"
    "if [ \"$1\" = -VERSION ]; then exec makensis \"$@\"; fi\n"
    "makensis \"$@\" >replay.txt 2>&1; code=$?\n"
    "sleep 0.3\n"
    "while IFS= read -r line; do\n"
    "  printf '%s\\n' \"$line\"\n"
    "  case $line in File:*) sleep 0.3;; SectionEnd*) sleep 0.8;; esac\n"
    "done <replay.txt\n"
    "exit $code\n";

/// Runs harwpack with its standard output and error on a pseudo-terminal; returns all it wrote there.
std::string RunOnTerminal(const std::vector<std::string>& args, int& status) {
  termios raw{};
  cfmakeraw(&raw);  // bytes as written: no "\r" added before each "\n"
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return "openpty failed";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(slave, 1);
    dup2(slave, 2);
    close(slave);
    close(master);
    std::vector<char*> argv{const_cast<char*>(HARWPACK_EXE)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(HARWPACK_EXE, argv.data());
    _exit(127);
  }
  close(slave);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  close(master);
  waitpid(pid, &status, 0);
  return text;
}

TEST_F(CreateOutputTest, OnATerminalALineFollowsTheCompiler) {
  const fs::path compiler = dir_ / "slow-makensis";
  harwpack_test::WriteBytes(compiler, harwpack_test::Bytes(kSlowCompiler, kSlowCompiler + sizeof kSlowCompiler - 1));
  fs::permissions(compiler, fs::perms::owner_all);
  struct Case {
    const char* compression;
    const char* first;  // the live line before the compiler has added a file
    const char* last;   // ...and once it has added them all
  };
  const Case cases[] = {
      {"zlib", "compressing with zlib: 0 % of 0.1 MB, 0 of 3 files, ",
       "compressing with zlib: 100 % of 0.1 MB, 3 of 3 files, "},
      {"lzma", "reading files: 0 % of 0.1 MB, 0 of 3 files, ", "compressing as one lzma stream: "},
  };
  for (const Case& c : cases) {
    int status = -1;
    const std::string text = RunOnTerminal({"create", "--stub", P(dir_ / "stub.exe"), "--folder", P(dir_ / "Disk1"),
                                            "--makensis", P(compiler), "--compression", c.compression,
                                            "--out", P(dir_ / "pkg.exe")},
                                           status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    std::vector<std::string> redraws;  // the live line's states: text between two carriage returns
    for (std::size_t at = text.find('\r'), next; at != std::string::npos; at = next) {
      next = text.find('\r', at + 1);
      const std::string drawn = text.substr(at + 1, next == std::string::npos ? 0 : next - at - 1);
      if (drawn.find('\n') == std::string::npos && drawn.find_first_not_of(' ') != std::string::npos) {
        redraws.push_back(drawn);
      }
    }
    ASSERT_GE(redraws.size(), 2u) << c.compression << ":\n" << text;
    EXPECT_EQ(redraws.front().rfind(c.first, 0), 0u) << redraws.front();
    EXPECT_EQ(redraws.back().rfind(c.last, 0), 0u) << redraws.back();
    // The screen ends with the lines alone: the live line was blanked out.
    const std::size_t created = text.find("created ");
    ASSERT_NE(created, std::string::npos) << text;
    EXPECT_EQ(text.find('\r', created), std::string::npos);
    EXPECT_NE(text.find(std::string(" \r") + "compiled the self-extractor"), std::string::npos) << text;
  }
}

#endif

}  // namespace
