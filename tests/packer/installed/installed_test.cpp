// Finding the program installed with harwpack, from harwpack's own place, and
// what --version and a create without --stub make of it.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "packer/cli/cli.h"
#include "packer/installed/installed.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;
using harwpack_test::ScratchDir;

namespace {

using harwpack_test::P;

void Touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  harwpack_test::WriteBytes(path, harwpack_test::Pattern(64, 9));
}

TEST(InstallPathsTest, FindsTheProgramOfEachLayoutAndEdition) {
  using harwpack::Edition;
  struct Layout {
    const char* name;
    Edition edition;
    std::vector<std::string> files;      // relative to the scratch folder
    std::vector<std::string> folders;
    const char* found;                   // "" when none is usable
  };
  const Layout layouts[] = {
      {"installed_prefix", Edition::kX86, {"bin/harwpack", "share/harwupdater/HarwUpdater.exe"}, {},
       "share/harwupdater/HarwUpdater.exe"},
      {"installed_prefix_x64", Edition::kX64,
       {"bin/harwpack", "share/harwupdater/HarwUpdater.exe", "share/harwupdater/x64/HarwUpdater.exe"}, {},
       "share/harwupdater/x64/HarwUpdater.exe"},
      {"unpacked_zip", Edition::kX86, {"bin/harwpack.exe", "bin/HarwUpdater.exe", "bin/x64/HarwUpdater.exe"}, {},
       "bin/HarwUpdater.exe"},
      {"unpacked_zip_x64", Edition::kX64, {"bin/harwpack.exe", "bin/HarwUpdater.exe", "bin/x64/HarwUpdater.exe"}, {},
       "bin/x64/HarwUpdater.exe"},
      {"x64_never_takes_the_x86_place", Edition::kX64, {"bin/HarwUpdater.exe", "share/harwupdater/HarwUpdater.exe"},
       {}, ""},
      {"both_beside_wins", Edition::kX86, {"bin/HarwUpdater.exe", "share/harwupdater/HarwUpdater.exe"}, {},
       "bin/HarwUpdater.exe"},
      {"a_folder_is_no_program", Edition::kX86, {"share/harwupdater/HarwUpdater.exe"}, {"bin/HarwUpdater.exe"},
       "share/harwupdater/HarwUpdater.exe"},
      {"other_prefix_layout", Edition::kX86, {"lib/harwupdater/HarwUpdater.exe"}, {}, ""},
      {"nothing", Edition::kX64, {}, {}, ""},
  };
  for (const Layout& layout : layouts) {
    ScratchDir dir;
    fs::create_directories(dir / "bin");
    for (const std::string& file : layout.files) Touch(dir.path() / file);
    for (const std::string& folder : layout.folders) fs::create_directories(dir.path() / folder);
    const fs::path own = dir / "bin" / "harwpack";
    const harwpack::ProgramLookup lookup = harwpack::FindProgramBeside(own, layout.edition);
    if (*layout.found != '\0') {
      EXPECT_EQ(lookup.path, (dir.path() / layout.found).lexically_normal()) << layout.name;
      EXPECT_EQ(lookup.error, "") << layout.name;
      continue;
    }
    EXPECT_TRUE(lookup.path.empty()) << layout.name;
    for (const fs::path& candidate : harwpack::ProgramCandidates(own, layout.edition)) {
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

TEST(InstallPathsTest, VersionsNameThePackerItsFilesAndZstd) {
  EXPECT_TRUE(std::regex_match(harwpack::PackerVersion(), std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
      << harwpack::PackerVersion();
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "text.exe", harwpack_test::Pattern(300, 1));
  harwpack_test::WriteBytes(dir / "HarwExtract.exe", harwpack_test::MinimalExtractor(harwpack::Edition::kX64));
  const harwpack::ProgramLookup missing{{}, "not installed with harwpack (looked for x)"};
  const std::vector<harwpack::InstalledProgram> programs = {
      {harwpack::kProgramFileName, harwpack::Edition::kX86, missing},
      {harwpack::kProgramFileName, harwpack::Edition::kX64, {dir / "text.exe", ""}},
      {harwpack::kExtractorFileName, harwpack::Edition::kX86, {dir / "HarwExtract.exe", ""}},
  };
  // The stand-in has no version resource; a real program's version is read in install_package.sh.
  EXPECT_EQ(harwpack::FormatVersions(programs, "1.2.3"),
            "harwpack " + harwpack::PackerVersion() + "\n" +
                "HarwUpdater.exe x86: not installed with harwpack (looked for x)\n" +
                "HarwUpdater.exe x64: version unknown: program '" + P(dir / "text.exe") +
                "': not a Windows program (no MZ header)\n" +
                "HarwExtract.exe x86: version unknown: program '" + P(dir / "HarwExtract.exe") +
                "': no resources\n" +
                "zstd 1.2.3 (the builtin extractor's archives)\n");
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
  // Natively nothing lies beside the test program; in the x86 Windows build
  // tree HarwUpdater.exe does, and the package must start with it. The x64
  // tree's program stands where the x86 one would, not in x64/.
#ifdef _WIN64
  const harwpack::Edition edition = harwpack::Edition::kX64;
#else
  const harwpack::Edition edition = harwpack::Edition::kX86;
#endif
  std::string error;
  const harwpack::ProgramLookup installed = harwpack::FindProgramBeside(harwpack::OwnExecutable(error), edition);
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "arc.exe", {'M', 'Z', 1, 2, 3});
  std::string out;
  std::string err;
  const int code = RunHarwpack({"create", "--arch", harwpack::EditionName(edition), "--archive", P(dir / "arc.exe"),
                                "--out", P(dir / "pkg.exe")},
                               out, err);
  if (installed.path.empty()) {
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, std::string("harwpack: no --stub given, and HarwUpdater.exe (") + harwpack::EditionName(edition) +
                       ") is " + installed.error + "\n");
    EXPECT_FALSE(fs::exists(dir / "pkg.exe"));
    return;
  }
  ASSERT_EQ(code, 0) << err;
  const harwpack_test::Bytes program = harwpack_test::ReadBytes(installed.path);
  const harwpack_test::Bytes package = harwpack_test::ReadBytes(dir / "pkg.exe");
  ASSERT_GT(package.size(), program.size());
  EXPECT_TRUE(std::equal(program.begin(), program.end(), package.begin()));
}

/// A copy of harwpack in `bin` below `dir`, as an install would lay it out.
fs::path InstallHarwpack(const ScratchDir& dir) {
#ifdef _WIN32
  const fs::path built = harwpack_test::TestProgram("harwpack");
#else
  const fs::path built = HARWPACK_EXE;
#endif
  const fs::path copy = dir / "bin" / built.filename().string();
  fs::create_directories(copy.parent_path());
  fs::copy_file(built, copy);
  return copy;
}

TEST(InstallPathsTest, ArchTakesTheProgramOfItsEditionAndOnlyThat) {
  using harwpack::Edition;
  struct Case {
    const char* name;
    const char* arch;  // nullptr: no --arch
    Edition x64_slot;  // the edition of the file in bin/x64/
    int code;
    const char* starts_with;  // the program the package starts with, or the error
  };
  const Case cases[] = {
      {"default_is_x86", nullptr, Edition::kX64, 0, "bin/HarwUpdater.exe"},
      {"x86", "x86", Edition::kX64, 0, "bin/HarwUpdater.exe"},
      {"x64", "x64", Edition::kX64, 0, "bin/x64/HarwUpdater.exe"},
      {"x86_program_in_the_x64_place", "x64", Edition::kX86, 1,
       "is the x86 edition, not the x64 edition that --arch asks for"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const fs::path harwpack = InstallHarwpack(dir);
    harwpack_test::WriteBytes(dir / "bin" / "HarwUpdater.exe", harwpack_test::MinimalPe());
    fs::create_directories(dir / "bin" / "x64");
    harwpack_test::WriteBytes(dir / "bin" / "x64" / "HarwUpdater.exe", harwpack_test::MinimalPe(0, true, c.x64_slot));
    harwpack_test::WriteBytes(dir / "arc.exe", {'M', 'Z', 1, 2, 3});
    std::vector<std::string> args = {"create", "--archive", P(dir / "arc.exe"), "--out", P(dir / "pkg.exe")};
    if (c.arch != nullptr) args.insert(args.end(), {"--arch", c.arch});
    const harwpack_test::CommandResult run = harwpack_test::RunCommand(dir.path(), P(harwpack), args);
    ASSERT_TRUE(run.started) << c.name;
    EXPECT_EQ(run.exit_code, c.code) << c.name << ": " << run.output;
    if (c.code != 0) {
      EXPECT_NE(run.output.find(c.starts_with), std::string::npos) << c.name << ": " << run.output;
      EXPECT_FALSE(fs::exists(dir / "pkg.exe")) << c.name;
      continue;
    }
    const harwpack_test::Bytes program = harwpack_test::ReadBytes(dir / c.starts_with);
    const harwpack_test::Bytes package = harwpack_test::ReadBytes(dir / "pkg.exe");
    ASSERT_GT(package.size(), program.size()) << c.name;
    EXPECT_TRUE(std::equal(program.begin(), program.end(), package.begin())) << c.name;
  }
}

TEST(InstallPathsTest, TheExtractorProgramComesFromBesideTheStubThenFromTheInstall) {
  struct Case {
    const char* name;
    std::vector<std::string> extractors;  // HarwExtract.exe (x86) at these places below the scratch folder
    bool named;                           // --extractor-program names given/HarwExtract.exe
    int code;
    std::vector<std::string> shown;  // the program built on, or every place the error names
    const char* message;             // what the error says first ("" when it builds)
  };
  const Case cases[] = {
      {"beside_the_stub", {"tree/HarwExtract.exe"}, false, 0, {"tree/HarwExtract.exe"}, ""},
      {"beside_the_stub_before_the_install", {"tree/HarwExtract.exe", "bin/HarwExtract.exe"}, false, 0,
       {"tree/HarwExtract.exe"}, ""},
      {"the_install_when_none_is_beside", {"bin/HarwExtract.exe"}, false, 0, {"bin/HarwExtract.exe"}, ""},
      {"named_before_beside", {"tree/HarwExtract.exe", "given/HarwExtract.exe"}, true, 0, {"given/HarwExtract.exe"}, ""},
      {"nowhere", {}, false, 1,
       {"tree/HarwExtract.exe", "bin/HarwExtract.exe", "share/harwupdater/HarwExtract.exe"},
       "harwpack: no --extractor-program given, and HarwExtract.exe (x86) is not beside the stub ("},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const fs::path harwpack = InstallHarwpack(dir);
    fs::create_directories(dir / "tree");
    fs::create_directories(dir / "given");
    harwpack_test::WriteBytes(dir / "tree" / "HarwUpdater.exe", harwpack_test::MinimalPe());
    for (const std::string& place : c.extractors) {
      harwpack_test::WriteBytes(dir.path() / place, harwpack_test::MinimalExtractor());
    }
    fs::create_directories(dir / "inst");
    harwpack_test::WriteBytes(dir / "inst" / "Setup.exe", {});
    std::vector<std::string> args = {"create", "--stub", P(dir / "tree" / "HarwUpdater.exe"), "--folder",
                                     P(dir / "inst"), "--params", "/X", "--level", "1", "--out", P(dir / "pkg.exe")};
    if (c.named) args.insert(args.end(), {"--extractor-program", P(dir / "given" / "HarwExtract.exe")});
    const harwpack_test::CommandResult run = harwpack_test::RunCommand(dir.path(), P(harwpack), args);
    ASSERT_TRUE(run.started) << c.name;
    EXPECT_EQ(run.exit_code, c.code) << c.name << ": " << run.output;
    EXPECT_EQ(fs::exists(dir / "pkg.exe"), c.code == 0) << c.name;
    EXPECT_EQ(run.output.rfind(c.message, 0), 0u) << c.name << ": " << run.output;
    for (const std::string& shown : c.shown) {
      const std::string expected = P((dir.path() / harwpack::PathFromUtf8(shown)).lexically_normal());
      const std::string line = c.code == 0 ? "built the self-extractor on " + expected : expected;
      EXPECT_NE(run.output.find(line), std::string::npos) << c.name << ": " << line << " in\n" << run.output;
    }
  }
}

}  // namespace
