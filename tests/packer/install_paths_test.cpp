// Finding the program installed with harwpack, from harwpack's own place, and
// what --version and a create without --stub make of it.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "packer/cli.h"
#include "packer/install_paths.h"
#include "packer/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;
using harwpack_test::ScratchDir;

namespace {

using harwpack_test::P;

void Touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  harwpack_test::WriteBytes(path, harwpack_test::Pattern(64, 9));
}

TEST(InstallPathsTest, FindsTheProgramOfEachLayout) {
  struct Layout {
    const char* name;
    std::vector<std::string> files;      // relative to the scratch folder
    std::vector<std::string> folders;
    const char* found;                   // "" when none is usable
  };
  const Layout layouts[] = {
      {"installed_prefix", {"bin/harwpack", "share/harwupdater/HarwUpdater.exe"}, {},
       "share/harwupdater/HarwUpdater.exe"},
      {"unpacked_zip", {"bin/harwpack.exe", "bin/HarwUpdater.exe"}, {}, "bin/HarwUpdater.exe"},
      {"both_beside_wins", {"bin/HarwUpdater.exe", "share/harwupdater/HarwUpdater.exe"}, {},
       "bin/HarwUpdater.exe"},
      {"a_folder_is_no_program", {"share/harwupdater/HarwUpdater.exe"}, {"bin/HarwUpdater.exe"},
       "share/harwupdater/HarwUpdater.exe"},
      {"other_prefix_layout", {"lib/harwupdater/HarwUpdater.exe"}, {}, ""},
      {"nothing", {}, {}, ""},
  };
  for (const Layout& layout : layouts) {
    ScratchDir dir;
    fs::create_directories(dir / "bin");
    for (const std::string& file : layout.files) Touch(dir.path() / file);
    for (const std::string& folder : layout.folders) fs::create_directories(dir.path() / folder);
    const harwpack::ProgramLookup lookup = harwpack::FindProgramBeside(dir / "bin" / "harwpack");
    if (*layout.found != '\0') {
      EXPECT_EQ(lookup.path, (dir.path() / layout.found).lexically_normal()) << layout.name;
      EXPECT_EQ(lookup.error, "") << layout.name;
      continue;
    }
    EXPECT_TRUE(lookup.path.empty()) << layout.name;
    for (const fs::path& candidate : harwpack::ProgramCandidates(dir / "bin" / "harwpack")) {
      EXPECT_NE(lookup.error.find(P(candidate)), std::string::npos) << layout.name << ": " << lookup.error;
    }
  }
}

TEST(InstallPathsTest, KnowsItsOwnFile) {
  std::string error;
  const fs::path own = harwpack::OwnExecutable(error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(own.stem(), "harwpack_tests");
  EXPECT_TRUE(fs::is_regular_file(own)) << own;
}

TEST(InstallPathsTest, VersionsNameThePackerAndTheProgram) {
  EXPECT_TRUE(std::regex_match(harwpack::PackerVersion(), std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
      << harwpack::PackerVersion();
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "text.exe", harwpack_test::Pattern(300, 1));
  const std::string first = "harwpack " + harwpack::PackerVersion() + "\n";
  struct Case {
    harwpack::ProgramLookup program;
    std::string second_line;
  };
  const Case cases[] = {
      {{{}, "not installed with harwpack (looked for x)"},
       "HarwUpdater.exe: not installed with harwpack (looked for x)\n"},
      {{dir / "text.exe", ""}, "HarwUpdater.exe: version unknown: program '" + P(dir / "text.exe") +
                                   "': not a Windows program (no MZ header)\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(harwpack::FormatVersions(c.program), first + c.second_line);
}

/// Runs the tool in-process; returns its exit code, with its output and messages.
int RunHarwpack(const std::vector<std::string>& args, std::string& out, std::string& err) {
  std::ostringstream out_stream;
  std::ostringstream err_stream;
  const int code = harwpack::RunCli(args, out_stream, err_stream);
  out = out_stream.str();
  err = err_stream.str();
  return code;
}

TEST(InstallPathsTest, CreateWithoutStubUsesTheInstalledProgramOrSaysWhereItLooked) {
  // Natively nothing lies beside the test program; in the Windows build tree
  // HarwUpdater.exe does, and the package must start with it.
  std::string error;
  const harwpack::ProgramLookup installed = harwpack::FindProgramBeside(harwpack::OwnExecutable(error));
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "arc.exe", {'M', 'Z', 1, 2, 3});
  std::string out;
  std::string err;
  const int code =
      RunHarwpack({"create", "--archive", P(dir / "arc.exe"), "--out", P(dir / "pkg.exe")}, out, err);
  if (installed.path.empty()) {
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, "harwpack: no --stub given, and HarwUpdater.exe is " + installed.error + "\n");
    EXPECT_FALSE(fs::exists(dir / "pkg.exe"));
    return;
  }
  ASSERT_EQ(code, 0) << err;
  const harwpack_test::Bytes program = harwpack_test::ReadBytes(installed.path);
  const harwpack_test::Bytes package = harwpack_test::ReadBytes(dir / "pkg.exe");
  ASSERT_GT(package.size(), program.size());
  EXPECT_TRUE(std::equal(program.begin(), program.end(), package.begin()));
}

}  // namespace
