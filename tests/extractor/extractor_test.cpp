// The builtin extractor, HarwExtract.exe, run as its own process with an
// archive behind its image, in a fresh folder: what it unpacks (names beyond
// ASCII, empty files and folders, times, read-only files) byte for byte;
// hostile archives ending with their exit code, one line on standard error
// and nothing of theirs left; links and files in the way; the files that
// were there before.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "support/handle.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/text.h"
#include "tests/archive/archive_builder.h"
#include "tests/archive/hostile_archives.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;
using harwarchive::Failure;
using harwtest_archive::ArchiveSpec;
using harwtest_archive::File;
using harwtest_archive::Folder;

/// Every entry below `folder`, with '/' between the parts and a trailing '/'
/// for a folder, and a file's bytes.
std::map<std::string, std::string> Tree(const fs::path& folder) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string relative = ToUtf8(it->path().lexically_relative(folder).generic_wstring());
    if (it->is_directory()) {
      tree[relative + "/"];
    } else {
      tree[relative] = ReadBytes(it->path()).value_or("<unreadable>");
    }
  }
  return tree;
}

class ExtractorTest : public testing::Test {
 protected:
  /// Writes HarwExtract.exe with `archive` behind it into the work folder and runs it there.
  RunResult Run(const std::string& archive, std::vector<std::wstring> args = {}) {
    const std::string program = ReadBytes(BinPath(L"HarwExtract.exe")).value_or("");
    EXPECT_FALSE(program.empty()) << "bin/HarwExtract.exe is missing";
    EXPECT_TRUE(WriteBytes(extractor_, program + archive));
    return RunProcess(InFolder(extractor_, work_.path(), std::move(args)));
  }

  /// What the run left beside the extractor.
  std::map<std::string, std::string> Left() {
    std::map<std::string, std::string> left = Tree(work_.path());
    left.erase("x.exe");
    return left;
  }

  TempFolder work_{CurrentTestLabel()};
  fs::path extractor_ = work_ / L"x.exe";
};

TEST_F(ExtractorTest, UnpacksEveryFolderAndFileByteForByte) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"),
                Folder(u"Disk1\\empty folder"),
                Folder(u"Disk1\\\u00c4rger \u4e2d\u6587 \U0001F600"),
                File(u"Disk1\\Setup.exe", harwtest_archive::Noise(300000, 3)),
                File(u"Disk1\\empty.txt", ""),
                File(u"Disk1\\$X {a} `b` 'c' %PATH% ;d #e.txt", "odd name"),
                File(u"Disk1\\\u00c4rger \u4e2d\u6587 \U0001F600\\big.bin", std::string(5 << 20, 'z')),
                File(u"Disk1\\\u00c4rger \u4e2d\u6587 \U0001F600\\last.txt", "the end")};
  spec.items[4].attributes = FILE_ATTRIBUTE_READONLY;
  spec.frames = 3;
  const RunResult result = Run(harwtest_archive::BuildArchive(spec));
  ASSERT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.err, "");
  std::map<std::string, std::string> expected;
  for (const harwtest_archive::Item& item : spec.items) {
    std::string path = harwarchive::ToUtf8(item.path);
    std::replace(path.begin(), path.end(), '\\', '/');
    expected[item.kind == harwarchive::Kind::kFolder ? path + "/" : path] = item.content;
  }
  EXPECT_EQ(Left(), expected);
  // The time and the read-only attribute as the archive gives them.
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW((work_ / L"Disk1" / L"empty.txt").c_str(), GetFileExInfoStandard, &data));
  EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_READONLY, 0u);
  const std::uint64_t ticks = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                              data.ftLastWriteTime.dwLowDateTime;
  EXPECT_EQ(ticks, spec.items[4].modified);
  SetFileAttributesW((work_ / L"Disk1" / L"empty.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ExtractorTest, HostileArchivesEndWithTheirCodeAndLeaveNothing) {
  // Refused by the table, by the system's own rules on names, by the data.
  // A name with a line feed still ends in one line.
  const std::vector<std::string> chosen = {"dot_dot", "device_with_extension", "names_equal_but_for_case",
                                           "cut_short", "window_too_large", "frame_decodes_to_more",
                                           "frame_names_a_window_past_the_largest", "file_checksum",
                                           "no_archive", "line_feed"};
  for (const harwtest_archive::HostileCase& c : harwtest_archive::HostileArchives()) {
    if (std::find(chosen.begin(), chosen.end(), c.name) == chosen.end()) continue;
    const RunResult result = Run(harwtest_archive::BuildArchive(c.spec));
    EXPECT_EQ(result.exit_code, static_cast<DWORD>(c.failure)) << c.name << ": " << result.err;
    const std::string line = WithoutCarriageReturns(result.err);
    EXPECT_EQ(line.rfind("HarwExtract: ", 0), 0u) << c.name << ": " << line;
    EXPECT_NE(line.find(c.message), std::string::npos) << c.name << ": " << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << c.name << ": one line";
    EXPECT_TRUE(Left().empty()) << c.name << ": something was left";
  }
}

TEST_F(ExtractorTest, NamesEqualButForCaseBeyondAsciiAreFoundWhenWritten) {
  // a to z are compared by the table's rules; the rest of Windows' case rules
  // are the system's, which the extractor asks when a name is already there.
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\first.txt", "written first"), File(u"Disk1\\\u00e4.txt", "a"),
                File(u"Disk1\\\u00c4.txt", "b")};
  const RunResult result = Run(harwtest_archive::BuildArchive(spec));
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(Failure::kRefusedEntry)) << result.err;
  EXPECT_NE(result.err.find("differs only in letter case"), std::string::npos) << result.err;
  EXPECT_TRUE(Left().empty()) << "what the run created stays";
}

ArchiveSpec InTheWay() {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), Folder(u"Disk1\\sub"), File(u"Disk1\\sub\\a.txt", "a"), File(u"Disk1\\b.txt", "b")};
  return spec;
}

TEST_F(ExtractorTest, AFolderLinkInTheWayIsNeverWrittenThrough) {
  TempFolder outside(L"outside");
  MakeFile(outside / L"kept.txt");
  ASSERT_TRUE(CreateDirectoryW((work_ / L"Disk1").c_str(), nullptr));
  const fs::path link = work_ / L"Disk1" / L"sub";
  // Wine's CreateSymbolicLinkW reports success and makes nothing; Windows
  // makes one only with the privilege. tests/vendor/odd_names.sh puts a
  // link in the way from Linux, which Wine shows as a reparse point.
  if (!CreateSymbolicLinkW(link.c_str(), outside.path().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      !(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "no folder link can be made here";
  }
  const RunResult result = Run(harwtest_archive::BuildArchive(InTheWay()));
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(Failure::kInTheWay)) << result.err;
  EXPECT_NE(result.err.find("is a link or junction"), std::string::npos) << result.err;
  EXPECT_EQ(Tree(outside.path()), (std::map<std::string, std::string>{{"kept.txt", "kept\n"}}));
  RemoveDirectoryW(link.c_str());
}

TEST_F(ExtractorTest, AFileWhereAFolderGoesStopsTheRun) {
  MakeFile(work_ / L"Disk1" / L"sub");
  const RunResult result = Run(harwtest_archive::BuildArchive(InTheWay()));
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(Failure::kInTheWay)) << result.err;
  EXPECT_NE(result.err.find("is a file where the archive has a folder"), std::string::npos) << result.err;
  EXPECT_EQ(Left(), (std::map<std::string, std::string>{{"Disk1/", ""}, {"Disk1/sub", "kept\n"}}));
}

using Listing = std::map<std::string, std::string>;

/// A file's attributes and last write time.
std::pair<DWORD, std::uint64_t> Stamp(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return {INVALID_FILE_ATTRIBUTES, 0};
  return {data.dwFileAttributes,
          (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime};
}

/// What is in the way of an archive that replaces a.txt, and what a run leaves.
struct ThereBeforeCase {
  const char* name;
  bool hard_link;         ///< Disk1\a.txt is a second name of a read-only file outside
  bool left_over;         ///< ~hx2.tmp is left from a run that was killed
  bool checksum_fails;    ///< the archive's last file fails its checksum, after all others are written
  Listing left;           ///< what the run leaves in the work folder
};

/// The archive replaces a.txt, makes a read-only file of its own and has a
/// file under the name the first file moved aside gets (~hx1.tmp).
ArchiveSpec ReplacingArchive(bool checksum_fails) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\a.txt", "new"), File(u"Disk1\\~hx1.tmp", "the archive's"),
                File(u"Disk1\\r.txt", "read-only")};
  spec.items[3].attributes = FILE_ATTRIBUTE_READONLY;
  if (checksum_fails) {
    spec.items.push_back(File(u"Disk1\\c.txt", std::string(6 << 20, 'c')));
    spec.edit = [](harwtest_archive::Parts& parts) { parts.entries.back().checksum ^= 1; };
  }
  return spec;
}

TEST_F(ExtractorTest, FilesThatWereThereBeforeAreReplacedByNameOrPutBack) {
  const Listing replaced = {{"Disk1/", ""}, {"Disk1/a.txt", "new"}, {"Disk1/~hx1.tmp", "the archive's"},
                            {"Disk1/r.txt", "read-only"}, {"Disk1/mine.txt", "kept\n"}};
  Listing with_left_over = replaced;
  with_left_over["Disk1/~hx2.tmp"] = "kept\n";
  const std::vector<ThereBeforeCase> cases = {
      {"plain file", false, false, false, replaced},
      {"plain file, the run fails", false, false, true, {{"Disk1/", ""}, {"Disk1/a.txt", "kept\n"}, {"Disk1/mine.txt", "kept\n"}}},
      {"hard link", true, false, false, replaced},
      {"hard link, the run fails", true, false, true, {{"Disk1/", ""}, {"Disk1/a.txt", "outside"}, {"Disk1/mine.txt", "kept\n"}}},
      {"aside name left by a killed run", false, true, false, with_left_over},
      {"aside name left, the run fails", false, true, true,
       {{"Disk1/", ""}, {"Disk1/a.txt", "kept\n"}, {"Disk1/~hx2.tmp", "kept\n"}, {"Disk1/mine.txt", "kept\n"}}},
  };
  const std::uint64_t before_time = 120000000000000000ull;  // 1981
  for (const ThereBeforeCase& c : cases) {
    ASSERT_TRUE(RemoveTree(work_ / L"Disk1"));
    TempFolder outside(L"outside");
    const fs::path a = work_ / L"Disk1" / L"a.txt";
    MakeFile(work_ / L"Disk1" / L"mine.txt");
    if (c.left_over) MakeFile(work_ / L"Disk1" / L"~hx2.tmp");
    if (c.hard_link) {
      ASSERT_TRUE(WriteBytes(outside / L"o.txt", "outside"));
      ASSERT_TRUE(CreateHardLinkW(a.c_str(), (outside / L"o.txt").c_str(), nullptr)) << GetLastError();
    } else {
      MakeFile(a);
    }
    // Attributes and times belong to the file: each name shows the same.
    Handle handle(CreateFileW(a.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME time = {static_cast<DWORD>(before_time), static_cast<DWORD>(before_time >> 32)};
    ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &time)) << c.name;
    handle.Reset();
    ASSERT_TRUE(SetFileAttributesW(a.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) << c.name;
    const auto stamp = Stamp(a);
    const RunResult result = Run(harwtest_archive::BuildArchive(ReplacingArchive(c.checksum_fails)));
    EXPECT_EQ(result.exit_code, c.checksum_fails ? static_cast<DWORD>(Failure::kDamaged) : 0u) << c.name << result.err;
    EXPECT_EQ(Left(), c.left) << c.name;
    if (c.checksum_fails) {
      EXPECT_EQ(Stamp(a), stamp) << c.name << ": the file put back keeps its attributes and time";
    } else {
      EXPECT_EQ(result.err, "") << c.name;
      EXPECT_EQ(Stamp(a).first & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u) << c.name;
      EXPECT_EQ(Stamp(a).second, ReplacingArchive(false).items[1].modified) << c.name;
      EXPECT_NE(Stamp(work_ / L"Disk1" / L"r.txt").first & FILE_ATTRIBUTE_READONLY, 0u) << c.name;
    }
    if (c.hard_link) {
      EXPECT_EQ(Tree(outside.path()), (Listing{{"o.txt", "outside"}})) << c.name;
      EXPECT_EQ(Stamp(outside / L"o.txt"), stamp) << c.name << ": the outside file keeps its attributes and time";
    }
  }
}

TEST_F(ExtractorTest, TakesNoArguments) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1")};
  const RunResult result = Run(harwtest_archive::BuildArchive(spec), {L"/S"});
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(Failure::kUsage));
  EXPECT_NE(result.err.find("takes no arguments"), std::string::npos) << result.err;
  EXPECT_TRUE(Left().empty());
}

}  // namespace
}  // namespace harwtest
