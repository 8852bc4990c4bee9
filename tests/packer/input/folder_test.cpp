// Building from an installation folder: folder and setup checks, the NSIS
// script and, when makensis is installed, the whole create.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "packer/cli/cli.h"
#include "packer/input/folder_check.h"
#include "packer/input/folder_list.h"
#include "packer/inspect/inspect.h"
#include "packer/extractors/nsis/compiler.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

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

/// An installation folder with a setup program, a tool in a subfolder, and
/// files named like programs that are none.
void MakeFolder(const fs::path& folder) {
  using harwpack_test::WriteBytes;
  fs::create_directories(folder / "Tools");
  WriteBytes(folder / "Setup.exe", harwpack_test::MinimalPe());
  WriteBytes(folder / "Tools" / "Run.exe", harwpack_test::MinimalPe());
  WriteBytes(folder / "Tools" / "Stub.exe", {'M', 'Z'});
  harwpack_test::Bytes dos = harwpack_test::Pattern(0x80, 3);
  dos[0] = 'M';
  dos[1] = 'Z';
  harwpack_test::Bytes far_header = dos;
  dos[0x3C] = 0x40;  // at 0x40: pattern bytes, not "PE\0\0"
  dos[0x3D] = dos[0x3E] = dos[0x3F] = 0;
  far_header[0x3C] = far_header[0x3D] = far_header[0x3E] = far_header[0x3F] = 0xFF;
  WriteBytes(folder / "Tools" / "Dos.exe", dos);
  WriteBytes(folder / "Tools" / "Far.exe", far_header);
  WriteBytes(folder / "Tools" / "Text.exe", harwpack_test::Pattern(100, 4));
  WriteBytes(folder / "Tools" / "Setup.msi", harwpack_test::Pattern(100, 5));
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
  std::vector<harwpack::FolderEntry> entries;
  ASSERT_EQ(harwpack::ListFolder(dir / "inst", entries), "");
  harwpack::CheckSetupInFolder(harwpack::CheckParameters(c.parameters).settings, dir / "inst", entries, messages);
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
        SetupCase{"absolute_path", u"/S C:\\Windows\\notepad.exe", 0, 1},
        // Windows would answer these with a message box that nobody sees.
        SetupCase{"two_bytes_named_exe", u"/S Disk1\\Tools\\Stub.exe", 1, 0},
        SetupCase{"dos_header_only", u"/S Disk1\\Tools\\Dos.exe", 1, 0},
        SetupCase{"header_offset_past_end", u"/S Disk1\\Tools\\Far.exe", 1, 0},
        SetupCase{"data_named_exe_any_case", u"/S Disk1\\Tools\\text.EXE", 1, 0},
        SetupCase{"not_a_program_but_not_run", u"/X /S Disk1\\Tools\\Text.exe", 0, 0},
        SetupCase{"opened_by_its_type", u"/S Disk1\\Tools\\Setup.msi", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

/// The problems CheckFolderContents finds in `folder`, one line each.
std::vector<std::string> FolderProblems(const fs::path& folder) {
  std::vector<harwpack::FolderEntry> entries;
  EXPECT_EQ(harwpack::ListFolder(folder, entries), "");
  std::vector<harwpack::CheckMessage> messages;
  harwpack::CheckFolderContents(folder, entries, messages);
  std::vector<std::string> lines;
  for (const auto& m : messages) {
    EXPECT_EQ(m.severity, Severity::kError) << m.text;
    lines.push_back(m.text);
  }
  return lines;
}

TEST(FolderContentsTest, RefusesWhatCannotBeUnpackedOnWindows) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;  // adds the entry to a folder that holds a.txt
    const char* problem;                        // "" when the folder is fine
  };
  const auto file = [](const char* name) {
    return [name](const fs::path& dir) { harwpack_test::WriteBytes(dir / name, {1}); };
  };
  const std::vector<Case> cases = {
      {"plain_names", file("b c.txt"), ""},
      {"dollar_without_brace", file("$b.txt"), ""},
      {"define_syntax", file("a${NSISDIR}.txt"), ""},
#ifndef _WIN32
      // Windows' own file systems cannot even make these.
      {"case_twin", file("A.TXT"), "differ only in letter case"},
      {"trailing_dot", file("b."), "ending in a dot"},
      {"colon", file("a:b.txt"), "does not allow"},
      {"backslash", file("a\\b.txt"), "does not allow"},
      {"not_utf8", file("\xFF.txt"), "not valid Unicode"},
      // Windows opens the device, not a file, for these names, with or without an extension.
      {"device_name", file("aux.txt"), "names a device"},
      {"device_name_in_upper_case", file("COM1"), "names a device"},
      {"device_like_name", file("console.txt"), ""},
      {"link_to_file", [](const fs::path& d) { fs::create_symlink("a.txt", d / "l.txt"); },
       "'l.txt' is a symbolic link to 'a.txt': only files and folders are packed"},
      {"link_to_folder", [](const fs::path& d) { fs::create_directory_symlink(d, d / "loop"); }, ", a folder:"},
      {"broken_link", [](const fs::path& d) { fs::create_symlink("gone", d / "l.txt"); },
       "'l.txt' is a symbolic link to 'gone', which does not exist"},
      {"pipe", [](const fs::path& d) { ASSERT_EQ(mkfifo((d / "p").c_str(), 0600), 0); }, "'p' is a FIFO"},
#endif
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    harwpack_test::WriteBytes(dir / "a.txt", {1});
    c.make(dir.path());
    const std::vector<std::string> problems = FolderProblems(dir.path());
    if (*c.problem == '\0') {
      EXPECT_TRUE(problems.empty()) << c.name << ": " << problems[0];
      continue;
    }
    ASSERT_EQ(problems.size(), 1u) << c.name;
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << c.name << ": " << problems[0];
  }
}

TEST(FolderContentsTest, AFolderWithoutFilesIsRefused) {
  ScratchDir dir;
  fs::create_directories(dir / "empty" / "sub");
  const std::vector<std::string> problems = FolderProblems(dir / "empty");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("holds no files"), std::string::npos);
}

/// A file or folder entry as ListFolder makes it, without a file on disk.
harwpack::FolderEntry Listed(const std::string& parent, const std::string& name, harwpack::EntryKind kind,
                             std::uintmax_t size = 0) {
  harwpack::FolderEntry entry;
  entry.relative = harwpack::PathFromUtf8(parent.empty() ? name : parent + "/" + name);
  entry.parent = parent;
  entry.name = name;
  entry.kind = kind;
  entry.size = size;
  return entry;
}

TEST(FolderLimitsTest, SizesUpToWhatNsisStores) {
  using harwpack::EntryKind;
  struct Case {
    std::uintmax_t first;
    std::uintmax_t second;
    bool refused;
  };
  // Two files: their bytes and 4 bytes each of NSIS's own.
  const Case cases[] = {{harwpack::kMaxNsisData - 8 - 1, 0, false},
                        {harwpack::kMaxNsisData - 8 - 100, 100, false},
                        {harwpack::kMaxNsisData - 8 - 100, 101, true},
                        {std::uintmax_t{1} << 40, 0, true}};
  for (const Case& c : cases) {
    const std::vector<harwpack::FolderEntry> entries = {Listed("", "a", EntryKind::kFile, c.first),
                                                        Listed("", "sub", EntryKind::kFolder),
                                                        Listed("sub", "b", EntryKind::kFile, c.second)};
    std::vector<harwpack::CheckMessage> messages;
    harwpack::CheckFolderSize("inst", entries, messages);
    EXPECT_EQ(messages.size(), c.refused ? 1u : 0u) << c.first << " + " << c.second;
  }
}

TEST(FolderLimitsTest, UnpackedPathsFitWindowsEvenAtADriveRoot) {
  using harwpack::EntryKind;
  struct Case {
    const char* name;
    std::u16string folder_name;  // /F
    std::string parent;
    std::size_t name_units;  // a name of this many UTF-16 units
    EntryKind kind;
    bool refused;
  };
  // "C:\" (3) + folder name + "\" + the path below it.
  const Case cases[] = {
      {"file_at_259", u"Disk1", "", 259 - 9, EntryKind::kFile, false},
      {"file_at_260", u"Disk1", "", 260 - 9, EntryKind::kFile, true},
      {"file_in_subfolder_at_259", u"Disk1", "sub", 259 - 13, EntryKind::kFile, false},
      {"longer_folder_name", u"Package", "", 259 - 9, EntryKind::kFile, true},
      {"folder_at_247", u"Disk1", "", 247 - 9, EntryKind::kFolder, false},
      {"folder_at_248", u"Disk1", "", 248 - 9, EntryKind::kFolder, true},
  };
  for (const Case& c : cases) {
    const std::string name(c.name_units, 'n');
    std::vector<harwpack::CheckMessage> messages;
    harwpack::CheckUnpackedPaths(c.folder_name, {Listed(c.parent, name, c.kind)}, messages);
    EXPECT_EQ(messages.size(), c.refused ? 1u : 0u) << c.name;
  }
  // Windows counts UTF-16 units: a character outside the BMP takes two (and four UTF-8 bytes).
  for (std::size_t letters : {248, 249}) {
    std::vector<harwpack::CheckMessage> messages;
    const std::string name = std::string(letters, 'n') + "\xF0\x9F\x98\x80";
    harwpack::CheckUnpackedPaths(u"Disk1", {Listed("", name, EntryKind::kFile)}, messages);
    EXPECT_EQ(messages.size(), letters == 249 ? 1u : 0u) << "3 + 5 + 1 + " << letters << " + 2";
  }
}

TEST(ListFolderTest, SameOrderWhateverTheFileSystemReturns) {
  // Created in two different orders; the listing must not tell them apart.
  const std::vector<std::string> names = {"b", "C", "\xC3\xA4", "a", "Z"};
  std::vector<std::vector<std::string>> listings;
  for (bool reversed : {false, true}) {
    ScratchDir dir;
    std::vector<std::string> order = names;
    if (reversed) std::reverse(order.begin(), order.end());
    for (const char* sub : {reversed ? "y" : "x", reversed ? "x" : "y"}) {
      fs::create_directories(dir / sub / "deep");
      for (const std::string& name : order) harwpack_test::WriteBytes(dir / sub / harwpack::PathFromUtf8(name), {1});
    }
    for (const std::string& name : order) harwpack_test::WriteBytes(dir.path() / harwpack::PathFromUtf8(name), {2});
    std::vector<harwpack::FolderEntry> entries;
    ASSERT_EQ(harwpack::ListFolder(dir.path(), entries), "");
    std::vector<std::string> listing;
    for (const auto& e : entries) {
      listing.push_back(harwpack::RelativeName(e) + (e.kind == harwpack::EntryKind::kFolder ? "\\" : ""));
    }
    listings.push_back(listing);
  }
  // Files before folders, both by the bytes of their UTF-8 names; a folder's contents right after it.
  const std::vector<std::string> expected = {
      "C", "Z", "a", "b", "\xC3\xA4", "x\\", "x\\C", "x\\Z", "x\\a", "x\\b", "x\\\xC3\xA4", "x\\deep\\",
      "y\\", "y\\C", "y\\Z", "y\\a", "y\\b", "y\\\xC3\xA4", "y\\deep\\"};
  EXPECT_EQ(listings[0], expected);
  EXPECT_EQ(listings[1], expected);
}

TEST(ExtractorScriptTest, OneFileCommandPerFileInListingOrder) {
  using harwpack::EntryKind;
  harwpack::ExtractorJob job;
  job.folder_name = u"Sub/Di$k1";
  job.entries = {Listed("", "Setup.exe", EntryKind::kFile), Listed("", "empty", EntryKind::kFolder),
                 Listed("", "t", EntryKind::kFolder), Listed("t", "$a b.txt", EntryKind::kFile)};
  const std::string script = harwpack::ExtractorScript(job, {"in/1/f", "", "", "C:\\x$y\\f"});
  const std::string expected =
      "Section\n"
      "  ClearErrors\n"
      "  SetOutPath \"$EXEDIR\\Sub\\Di$$k1\"\n"
      "  IfErrors failed\n"
      "  File \"/oname=Setup.exe\" \"in/1/f\"\n"
      "  SetOutPath \"$EXEDIR\\Sub\\Di$$k1\\empty\"\n"
      "  IfErrors failed\n"
      "  SetOutPath \"$EXEDIR\\Sub\\Di$$k1\\t\"\n"
      "  IfErrors failed\n"
      // The compiler reads a source path itself: its "$" stays single.
      "  File \"/oname=$$a b.txt\" \"C:\\x$y\\f\"\n"
      "  IfErrors failed\n";
  EXPECT_NE(script.find(expected), std::string::npos) << script;
  for (const char* line : {"Target x86-unicode\n", "CRCCheck on\n", "SilentInstall silent\n", "RequestExecutionLevel user\n",
                           "OutFile \"extractor.exe\"\n", "SetErrorLevel 1\n", "SetErrorLevel 0\n"}) {
    EXPECT_NE(script.find(line), std::string::npos) << line << " in\n" << script;
  }
}

/// How many lines of `script` start with `prefix`.
int LinesStartingWith(const std::string& script, const std::string& prefix) {
  int count = 0;
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

TEST(ExtractorScriptTest, NamesTheChosenCompressorOnly) {
  struct Case {
    const char* name;
    const char* lines;  // the script's compression lines, in this order
    int count;          // lines starting with "SetCompress"
  };
  const Case cases[] = {
      {"lzma", "SetCompressor /SOLID lzma\nSetCompressorDictSize 8\n", 2},
      {"zlib", "SetCompressor zlib\n", 1},
      {"bzip2", "SetCompressor bzip2\n", 1},
      {"none", "SetCompress off\n", 1},
  };
  for (const Case& c : cases) {
    harwpack::ExtractorJob job;
    job.folder_name = u"Disk1";
    job.compression = harwpack::ParseCompression(c.name).value();
    const std::string script = harwpack::ExtractorScript(job, {});
    EXPECT_NE(script.find(c.lines), std::string::npos) << c.name << ":\n" << script;
    // A second choice would silently override the first.
    EXPECT_EQ(LinesStartingWith(script, "SetCompress"), c.count) << c.name << ":\n" << script;
  }
  EXPECT_FALSE(harwpack::ParseCompression("Zlib").has_value());
  EXPECT_FALSE(harwpack::ParseCompression("lzma ").has_value());
}

using harwpack_test::P;

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
                     "/A \"-s\"", "--extractor", "nsis", "--out", P(dir_ / "pkg.exe")},
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

TEST_F(FolderCreateTest, TheExtractorIsOfTheStubsEditionAndInspectSaysSo) {
  using harwpack::Edition;
  struct Case {
    Edition edition;
    const char* extractor;
  };
  const Case cases[] = {{Edition::kX86, "builtin"}, {Edition::kX64, "builtin"}, {Edition::kX86, "nsis"},
                        {Edition::kX64, "nsis"}};
  for (const Case& c : cases) {
    const std::string name = std::string(harwpack::EditionName(c.edition)) + "-" + c.extractor;
    const bool builtin = std::string(c.extractor) == "builtin";
    harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe(0, true, c.edition));
    const fs::path package = dir_ / (name + ".exe");
    std::vector<std::string> args = {"create", "--stub", P(dir_ / "stub.exe"), "--folder", P(dir_ / "inst"),
                                     "--extractor", c.extractor, "--out", P(package)};
    if (builtin) {
      const std::vector<std::string> program = harwpack_test::ExtractorArgs(dir_.path(), c.edition);
      args.insert(args.end(), program.begin(), program.end());
    }
    std::string err;
    ASSERT_EQ(RunTool(args, &err), 0) << name << ": " << err;
    harwpack::PackageReport report;
    ASSERT_EQ(harwpack::InspectPackage(package, report), "") << name;
    EXPECT_EQ(report.edition, c.edition) << name;
    EXPECT_EQ(report.extractor_edition, c.edition) << name << ": the extractor is built for another machine";
    const auto json = nlohmann::json::parse(harwpack::FormatReportJson(report));
    EXPECT_EQ(json["edition"], harwpack::EditionName(c.edition));
    EXPECT_EQ(json["archived_data"]["edition"], harwpack::EditionName(c.edition));
    EXPECT_EQ(json["extractor"]["kind"], builtin ? "builtin" : "other") << name;
    EXPECT_NE(harwpack::FormatReportText(report).find("edition:            " + harwpack::DescribeEdition(c.edition)),
              std::string::npos)
        << harwpack::FormatReportText(report);
  }
}

TEST_F(FolderCreateTest, EachCompressionPacksTheContents) {
  // Text that every compressor shrinks well: a line with a counter, repeated.
  std::string text;
  for (int i = 0; text.size() < 256 * 1024; ++i) text += "line " + std::to_string(i % 97) + " of the manual\n";
  harwpack_test::WriteBytes(dir_ / "inst" / "Manual.txt", harwpack_test::Bytes(text.begin(), text.end()));
  const std::string probe = text.substr(4096, 64);  // stored verbatim only without compression
  for (const std::string compression : {"lzma", "zlib", "bzip2", "none"}) {
    const fs::path package = dir_ / (compression + ".exe");
    const fs::path extractor = dir_ / (compression + "-arc.exe");
    std::string err;
    ASSERT_EQ(RunTool({"create", "--stub", P(dir_ / "stub.exe"), "--folder", P(dir_ / "inst"),
                       "--compression", compression, "--out", P(package)},
                      &err),
              0)
        << compression << ": " << err;
    ASSERT_EQ(RunTool({"extract", P(package), "--out", P(extractor)}), 0) << compression;
    const harwpack_test::Bytes bytes = harwpack_test::ReadBytes(extractor);
    const bool verbatim = std::search(bytes.begin(), bytes.end(), probe.begin(), probe.end()) != bytes.end();
    EXPECT_EQ(verbatim, compression == "none") << compression;
    if (compression != "none") {
      // The extractor's own code is ~50 KB: the manual has to have shrunk to fit beside it.
      EXPECT_LT(bytes.size(), text.size() / 2) << compression;
    }
  }
}

TEST_F(FolderCreateTest, RefusesBeforeCompiling) {
  const std::vector<std::string> program = harwpack_test::ExtractorArgs(dir_.path());
  fs::create_directories(dir_ / "x64");
  const std::vector<std::string> wrong_edition = harwpack_test::ExtractorArgs(dir_ / "x64", harwpack::Edition::kX64);
  auto with_program = [&program](std::vector<std::string> extra) {
    extra.insert(extra.end(), program.begin(), program.end());
    return extra;
  };
  struct Case {
    std::vector<std::string> extra;
    const char* message;
  };
  const Case cases[] = {
      {with_program({"--params", "/S Disk1\\Install.exe"}), "is missing"},
      {{"--params", "/S Disk1\\Install.exe", "--extractor", "nsis"}, "is missing"},
      {with_program({"--params", "/F \"\""}), "is empty"},
      {with_program({"--params", "/F"}), "has no value"},
      {{"--makensis", P(dir_ / "no-such-makensis")}, "NSIS compiler"},
      {{"--extractor-program", P(dir_ / "no-such-HarwExtract.exe")}, "no-such-HarwExtract.exe"},
      {{"--extractor-program", P(dir_ / "stub.exe")}, "is not HarwExtract.exe, the project's extractor"},
      {wrong_edition, "is the x64 edition, not the x86 one"},
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
