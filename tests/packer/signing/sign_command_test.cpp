// The signing command: how a template is split and filled in, and how create
// signs, retries and cleans up, with a stand-in signer that fails on request.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "packer/cli/cli.h"
#include "packer/signing/signer.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;

namespace {

using harwpack_test::Bytes;
using harwpack_test::ScratchDir;

using harwpack_test::P;

TEST(SignTemplateTest, SplitsLikeTheVendorWroteIt) {
  struct Case {
    const char* text;
    std::vector<std::string> words;
    bool writes_copy;
  };
  const Case cases[] = {
      {"osslsigncode sign -certs v.pem -key v.key -in {in} -out {out}",
       {"osslsigncode", "sign", "-certs", "v.pem", "-key", "v.key", "-in", "{in}", "-out", "{out}"}, true},
      {"signtool sign /fd SHA256 \"{in}\"", {"signtool", "sign", "/fd", "SHA256", "{in}"}, false},
      // Backslashes are plain characters: Windows paths need them.
      {"\"C:\\Program Files\\Kits\\signtool.exe\" sign /f C:\\k\\v.pfx {in}",
       {"C:\\Program Files\\Kits\\signtool.exe", "sign", "/f", "C:\\k\\v.pfx", "{in}"}, false},
      {"tool\t-in={in}  -name 'Vendor \"X\" Ltd' \"it's\"",
       {"tool", "-in={in}", "-name", "Vendor \"X\" Ltd", "it's"}, false},
      {"tool a\"b c\"'d' \"\" {in}", {"tool", "ab cd", "", "{in}"}, false},
      {"tool {in} {x.y} {", {"tool", "{in}", "{x.y}", "{"}, false},
  };
  for (const Case& c : cases) {
    harwpack::SignCommand command;
    ASSERT_EQ(harwpack::ParseSignTemplate(c.text, command), "") << c.text;
    EXPECT_EQ(command.words, c.words) << c.text;
    EXPECT_EQ(command.writes_copy, c.writes_copy) << c.text;
  }
}

TEST(SignTemplateTest, RefusesWhatCannotWork) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"", "needs a command"},
      {" \t ", "needs a command"},
      {"tool \"{in}", "unbalanced \" quote"},
      {"tool '{in}", "unbalanced ' quote"},
      {"tool {file}", "unknown placeholder '{file}'"},
      {"tool {IN}", "unknown placeholder '{IN}'"},
      {"tool {} {in}", "unknown placeholder '{}'"},
      {"tool -out {out}", "does not name the file to sign"},
      {"{in} --sign", "must start with the signing program"},
  };
  for (const Case& c : cases) {
    harwpack::SignCommand command;
    const std::string error = harwpack::ParseSignTemplate(c.text, command);
    EXPECT_NE(error.find(c.error), std::string::npos) << "'" << c.text << "': " << error;
  }
}

TEST(SignTemplateTest, FillsInEveryPlaceholderOnceAndLiterally) {
  harwpack::SignCommand command;
  ASSERT_EQ(harwpack::ParseSignTemplate("tool -in={in} {out} {in}{out}", command), "");
  // A path that itself reads like a placeholder stays as it is.
  const std::vector<std::string> words = harwpack::ExpandSignCommand(command, "/a {out} $b", "C:\\o 'x'");
  EXPECT_EQ(words, (std::vector<std::string>{"tool", "-in=/a {out} $b", "C:\\o 'x'", "/a {out} $bC:\\o 'x'"}));
}

struct ToolRun {
  int code;
  std::string out;
  std::string err;
};

/// One create with the stand-in signer, and what it leaves behind.
struct SignCase {
  const char* name;
  const char* signer_options;  // after STATE FAILURES
  int failures;                // runs of the signer that fail
  std::vector<std::string> extra;
  int code;                    // expected exit code
  int retries;                 // "trying again" warnings expected
  const char* message;         // expected in stderr ("" for none)
};

void PrintTo(const SignCase& c, std::ostream* os) { *os << c.name; }

class SignCreateTest : public ::testing::TestWithParam<SignCase> {
 protected:
  void SetUp() override {
    // A folder name that no shell could take literally.
    out_dir_ = dir_ / "out $HOME 'q' `x` [y] ;&";
    fs::create_directories(out_dir_);
    harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
    archive_ = harwpack_test::Pattern(3000, 9);
    archive_[0] = 'M';
    archive_[1] = 'Z';
    harwpack_test::WriteBytes(dir_ / "arc.exe", archive_);
  }

  ToolRun Create(const SignCase& c) {
    const std::string sign = "\"" + P(harwpack_test::TestProgram("fake_signer")) + "\" \"" + P(dir_ / "state") +
                             "\" " + std::to_string(c.failures) + " " + c.signer_options;
    std::vector<std::string> args = {"create", "--stub", P(dir_ / "stub.exe"), "--archive", P(dir_ / "arc.exe"),
                                     "--params", "/X", "--sign", sign, "--out", P(out_dir_ / "pkg.exe")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::ostringstream out;
    std::ostringstream err;
    const int code = harwpack::RunCli(args, out, err);
    return {code, out.str(), err.str()};
  }

  ScratchDir dir_;
  fs::path out_dir_;
  Bytes archive_;
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_P(SignCreateTest, SignsBothOrFailsCleanly) {
  const SignCase& c = GetParam();
  const ToolRun run = Create(c);
  EXPECT_EQ(run.code, c.code) << run.err;
  EXPECT_EQ(Count(run.err, "trying again"), static_cast<std::size_t>(c.retries)) << run.err;
  if (*c.message != '\0') EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  EXPECT_TRUE(harwpack_test::ReadBytes(dir_ / "arc.exe") == archive_) << "the given extractor was changed";
  const std::vector<std::string> left = harwpack_test::ListDir(out_dir_);
  if (c.code != 0) {
    EXPECT_TRUE(left.empty()) << "left behind: " << left[0];
    return;
  }
  ASSERT_EQ(left, std::vector<std::string>{"pkg.exe"}) << "temporary files left behind";
  // The phase lines around the results, a line for every run of the signer.
  std::vector<std::pair<std::string, std::string>> expected = {{"checked the archive ", ": 3000 bytes"}};
  for (int attempt = 1; attempt <= c.retries + 1; ++attempt) {
    expected.push_back({"signing the self-extractor ", ", attempt " + std::to_string(attempt) + " of 3"});
  }
  expected.insert(expected.end(), {{"signed the self-extractor", ""},
                                   {"writing ", "pkg.exe"},
                                   {"signing the package ", ", attempt 1 of 3"},
                                   {"signed the package", ""},
                                   {"created ", ")"}});
  std::istringstream lines(run.out);
  std::size_t at = 0;
  for (std::string line; std::getline(lines, line); ++at) {
    ASSERT_LT(at, expected.size()) << run.out;
    const auto& [start, end] = expected[at];
    EXPECT_TRUE(line.rfind(start, 0) == 0 && line.size() >= end.size() &&
                line.compare(line.size() - end.size(), end.size(), end) == 0)
        << "line " << at << ": " << line;
  }
  EXPECT_EQ(at, expected.size()) << run.out;
  // The extractor was signed before it was embedded, the package after it was written.
  const Bytes marker = {'F', 'A', 'K', 'E', '-', 'S', 'I', 'G', 'N', 'A', 'T', 'U', 'R', 'E', '\n'};
  Bytes signed_archive = archive_;
  signed_archive.insert(signed_archive.end(), marker.begin(), marker.end());
  ASSERT_EQ(harwpack::RunCli({"extract", P(out_dir_ / "pkg.exe"), "--out", P(dir_ / "x.exe")}, std::cout, std::cerr), 0);
  EXPECT_TRUE(harwpack_test::ReadBytes(dir_ / "x.exe") == signed_archive);
  const Bytes package = harwpack_test::ReadBytes(out_dir_ / "pkg.exe");
  ASSERT_GT(package.size(), marker.size());
  EXPECT_TRUE(Bytes(package.end() - static_cast<std::ptrdiff_t>(marker.size()), package.end()) == marker);
}

INSTANTIATE_TEST_SUITE_P(
    Signers, SignCreateTest,
    ::testing::Values(
        SignCase{"writes_a_copy", "--in {in} --out {out}", 0, {}, 0, 0, ""},
        SignCase{"signs_in_place", "--in {in}", 0, {}, 0, 0, ""},
        SignCase{"fails_twice_then_succeeds", "--in {in} --out {out}", 2, {}, 0, 2,
                 "(the signing command exited with 5); trying again in 2 s (attempt 3 of 3)"},
        SignCase{"always_fails", "--in {in} --out {out}", 99, {"--sign-attempts", "2"}, 1, 1,
                 "signing the self-extractor failed after 2 attempts: the signing command exited with 5; its "
                 "output:\n  fake signer: run 2 on "},
        SignCase{"writes_no_copy", "--no-output --in {in} --out {out}", 99, {"--sign-attempts", "1"}, 1, 0,
                 "exited with 0 but wrote no "},
        SignCase{"hangs_once_then_signs", "--hang --in {in} --out {out}", 1, {"--sign-timeout", "1"}, 0, 1,
                 "(the signing command failed: it did not end within 1 s and was stopped); trying again in 1 s"},
        SignCase{"always_hangs", "--hang --in {in}", 99, {"--sign-attempts", "2", "--sign-timeout", "1"}, 1, 1,
                 "signing the self-extractor failed after 2 attempts: the signing command failed: it did not end "
                 "within 1 s and was stopped; its output:\n  fake signer: run 2 on "},
        SignCase{"changes_the_container", "--truncate --in {in} --out {out}", 0, {}, 1, 0,
                 "the signing command changed what the program reads of the package"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SignCreateErrorsTest, UsageErrorsComeBeforeAnythingIsBuilt) {
  ScratchDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {"--sign", "tool '{in}"},
      {"--sign", "tool {path}"},
      {"--sign", "tool {in}", "--sign-attempts", "0"},
      {"--sign", "tool {in}", "--sign-attempts", "11"},
      {"--sign", "tool {in}", "--sign-attempts", "two"},
      {"--sign-attempts", "2"},
      {"--sign", "tool {in}", "--sign-timeout", "0"},
      {"--sign", "tool {in}", "--sign-timeout", "86401"},
      {"--sign", "tool {in}", "--sign-timeout", "-5"},
      {"--sign-timeout", "60"},
  };
  for (const auto& extra : cases) {
    std::vector<std::string> args = {"create", "--stub", P(dir / "none.exe"), "--archive", P(dir / "none.exe"),
                                     "--out", P(dir / "pkg.exe")};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(harwpack::RunCli(args, out, err), 2) << extra[1] << ": " << err.str();
  }
}

TEST(SignCreateErrorsTest, AMissingSignerIsNotRetried) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "arc.exe", {'M', 'Z', 1, 2});
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(harwpack::RunCli({"create", "--stub", P(dir / "stub.exe"), "--archive", P(dir / "arc.exe"), "--sign",
                              P(dir / "no-such-signer") + " {in}", "--out", P(dir / "pkg.exe")},
                             out, err),
            1);
  EXPECT_NE(err.str().find("the signing command could not be run"), std::string::npos) << err.str();
  EXPECT_EQ(err.str().find("trying again"), std::string::npos) << err.str();
  EXPECT_EQ(harwpack_test::ListDir(dir.path()), (std::vector<std::string>{"arc.exe", "stub.exe"}));
}

}  // namespace
