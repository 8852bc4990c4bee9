// Building from an installation folder: folder and setup checks, the NSIS
// script and, when makensis is installed, the whole create.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "packer/cli.h"
#include "packer/folder_check.h"
#include "packer/inspect.h"
#include "packer/nsis.h"
#include "packer/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;

namespace {

using harwpack::Severity;
using harwpack_test::ScratchDir;

TEST(SplitRelativePathTest, ResolvesLikeAWindowsRelativePath) {
  struct Case {
    std::u16string path;
    bool relative;
    std::vector<std::u16string> parts;
  };
  const Case cases[] = {
      {u"Disk1\\Setup.exe", true, {u"Disk1", u"Setup.exe"}},
      {u"Disk1/sub\\\\x.exe", true, {u"Disk1", u"sub", u"x.exe"}},
      {u".\\Disk1\\.\\a\\..\\Setup.exe", true, {u"Disk1", u"Setup.exe"}},
      {u"..\\Setup.exe", false, {}},
      {u"\\Disk1\\Setup.exe", false, {}},
      {u"C:\\Disk1\\Setup.exe", false, {}},
      {u"C:Setup.exe", false, {}},
      {u"", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> parts;
    EXPECT_EQ(harwpack::SplitRelativePath(c.path, parts), c.relative) << harwpack::Utf16ToUtf8(c.path);
    if (c.relative) EXPECT_EQ(parts, c.parts) << harwpack::Utf16ToUtf8(c.path);
  }
}

TEST(FolderNameTest, AcceptsOnlyRelativeWindowsNames) {
  struct Case {
    std::u16string name;
    const char* problem;  // "" when accepted
  };
  const Case cases[] = {
      {u"Disk1", ""},
      {u"Sub\\Disk1", ""},
      {u"\u00D6rdner \u20AC", ""},
      {u"", "is empty"},
      {u"\\Disk1", "is absolute"},
      {u"C:\\Disk1", "is absolute"},
      {u"..\\Disk1", "\"..\""},
      {u"Disk1\\\\x", "empty"},
      {u"Disk\"1", "does not allow"},
      {u"Disk1?", "does not allow"},
      {u"Disk1.", "ending in a dot"},
      {u"Disk1 ", "ending in a dot or blank"},
  };
  for (const Case& c : cases) {
    const std::string problem = harwpack::CheckFolderName(c.name);
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "") << harwpack::Utf16ToUtf8(c.name);
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << harwpack::Utf16ToUtf8(c.name) << ": " << problem;
    }
  }
}

/// An installation folder with a setup program and a tool in a subfolder.
void MakeFolder(const fs::path& folder) {
  fs::create_directories(folder / "Tools");
  harwpack_test::WriteBytes(folder / "Setup.exe", {'M', 'Z'});
  harwpack_test::WriteBytes(folder / "Tools" / "Run.exe", {'M', 'Z'});
}

struct SetupCase {
  const char* name;
  std::u16string parameters;
  int errors;
  int warnings;
};

void PrintTo(const SetupCase& c, std::ostream* os) { *os << c.name; }

class SetupInFolderTest : public ::testing::TestWithParam<SetupCase> {};

TEST_P(SetupInFolderTest, FindsTheProgramWhereTheRunWillLook) {
  const SetupCase& c = GetParam();
  ScratchDir dir;
  MakeFolder(dir / "inst");
  std::vector<harwpack::CheckMessage> messages;
  harwpack::CheckSetupInFolder(harwpack::CheckParameters(c.parameters).settings, dir / "inst", messages);
  int errors = 0;
  int warnings = 0;
  for (const auto& m : messages) (m.severity == Severity::kError ? errors : warnings)++;
  EXPECT_EQ(errors, c.errors) << (messages.empty() ? "" : messages[0].text);
  EXPECT_EQ(warnings, c.warnings) << (messages.empty() ? "" : messages[0].text);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SetupInFolderTest,
    ::testing::Values(
        SetupCase{"default_setup", u"", 0, 0},
        SetupCase{"letter_case_differs", u"/S disk1\\SETUP.EXE", 0, 0},
        SetupCase{"in_subfolder", u"/S Disk1\\Tools\\Run.exe", 0, 0},
        SetupCase{"other_folder_name", u"/F Pkg /S Pkg\\Setup.exe", 0, 0},
        SetupCase{"default_setup_under_other_folder", u"/F Pkg", 0, 1},
        SetupCase{"missing_program", u"/S Disk1\\Install.exe", 1, 0},
        SetupCase{"names_a_folder", u"/S Disk1\\Tools", 1, 0},
        SetupCase{"names_the_unpacked_folder", u"/S Disk1", 1, 0},
        SetupCase{"missing_but_not_run", u"/X /S Disk1\\Install.exe", 0, 0},
        SetupCase{"absolute_path", u"/S C:\\Windows\\notepad.exe", 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FolderContentsTest, EmptyFoldersAndBadNamesAreErrors) {
  ScratchDir dir;
  fs::create_directories(dir / "empty" / "sub");
  std::vector<harwpack::CheckMessage> messages;
  harwpack::CheckFolderContents(dir / "empty", messages);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].text.find("holds no files"), std::string::npos);
#ifndef _WIN32
  harwpack_test::WriteBytes(dir / "empty" / "sub" / "a:b.txt", {1});
  messages.clear();
  harwpack::CheckFolderContents(dir / "empty", messages);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].text.find("cannot be unpacked on Windows"), std::string::npos);
#endif
}

TEST(ExtractorScriptTest, SilentUserLevelCheckedAndEscaped) {
  harwpack::ExtractorJob job;
  job.folder = fs::path("/data") / "a$b\"c";
  job.folder_name = u"Sub/Disk1";
  job.output = fs::path("/tmp") / "x.exe";
  const std::string script = harwpack::ExtractorScript(job);
  for (const char* line : {"Unicode true\n", "CRCCheck on\n", "SilentInstall silent\n",
                           "RequestExecutionLevel user\n", "SetOutPath \"$EXEDIR\\Sub\\Disk1\"\n",
                           "IfErrors failed\n", "SetErrorLevel 1\n", "SetErrorLevel 0\n"}) {
    EXPECT_NE(script.find(line), std::string::npos) << line << " in\n" << script;
  }
  EXPECT_NE(script.find("a$$b$\\\"c"), std::string::npos) << script;
  EXPECT_EQ(harwpack::NsisQuoted("$x\"y"), "\"$$x$\\\"y\"");
}

std::string P(const fs::path& path) { return harwpack::PathToUtf8(path); }

int RunTool(const std::vector<std::string>& args, std::string* err = nullptr) {
  std::ostringstream out;
  std::ostringstream errors;
  const int code = harwpack::RunCli(args, out, errors);
  if (err != nullptr) *err = errors.str();
  return code;
}

class FolderCreateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!harwpack_test::RunCommand(dir_.path(), "makensis", {"-VERSION"}).started) {
      GTEST_SKIP() << "makensis is not installed";
    }
    MakeFolder(dir_ / "inst");
    harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
  }
  ScratchDir dir_;
};

TEST_F(FolderCreateTest, BuildsAnExtractorAndEmbedsIt) {
  std::string err;
  ASSERT_EQ(RunTool({"create", "--stub", P(dir_ / "stub.exe"), "--folder", P(dir_ / "inst"), "--params",
                     "/A \"-s\"", "--out", P(dir_ / "pkg.exe")},
                    &err),
            0)
      << err;
  harwpack::PackageReport report;
  ASSERT_EQ(harwpack::InspectPackage(dir_ / "pkg.exe", report), "");
  EXPECT_EQ(report.container.marker_offset, 1024u);
  ASSERT_EQ(RunTool({"extract", P(dir_ / "pkg.exe"), "--out", P(dir_ / "arc.exe")}), 0);
  const harwpack_test::Bytes arc = harwpack_test::ReadBytes(dir_ / "arc.exe");
  ASSERT_GT(arc.size(), 2u);
  EXPECT_EQ(arc[0], 'M');
  EXPECT_EQ(arc[1], 'Z');
  EXPECT_EQ(arc.size(), report.container.data_size);
  EXPECT_EQ(harwpack_test::ListDir(dir_.path()).size(), 4u) << "only stub, folder, package and extract";
}

TEST_F(FolderCreateTest, RefusesBeforeCompiling) {
  struct Case {
    std::vector<std::string> extra;
    const char* message;
  };
  const Case cases[] = {
      {{"--params", "/S Disk1\\Install.exe"}, "is missing"},
      {{"--params", "/F \"\""}, "is empty"},
      {{"--params", "/F"}, "has no value"},
      {{"--makensis", P(dir_ / "no-such-makensis")}, "NSIS compiler"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"create", "--stub", P(dir_ / "stub.exe"), "--folder", P(dir_ / "inst"),
                                     "--out", P(dir_ / "pkg.exe")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::string err;
    EXPECT_EQ(RunTool(args, &err), 1) << c.message;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir_ / "pkg.exe"));
  }
}

}  // namespace
