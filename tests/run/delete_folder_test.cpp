// Folder removal, seen through the two places a run removes a folder: an
// existing folder before extraction (with /D) and the unpacked folder after
// the setup program.
#include <windows.h>

#include <gtest/gtest.h>

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "support/bench.h"
#include "support/handle.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

using Block = Lines;

// Every order in which a listing may return the entries, each entry's lines
// staying together; the order of a listing is the file system's business.
std::vector<Block> InAnyOrder(std::vector<Block> entries, const Block& after) {
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::vector<Block> blocks;
  do {
    Block block;
    for (std::size_t i : order) block.insert(block.end(), entries[i].begin(), entries[i].end());
    block.insert(block.end(), after.begin(), after.end());
    blocks.push_back(block);
  } while (std::next_permutation(order.begin(), order.end()));
  return blocks;
}

testing::AssertionResult HasOneOf(const Log& log, const Block& before,
                                  const std::vector<Block>& alternatives) {
  for (Block candidate : alternatives) {
    candidate.insert(candidate.begin(), before.begin(), before.end());
    if (HasBlock(log, candidate)) return testing::AssertionSuccess();
  }
  Block first = before;
  first.insert(first.end(), alternatives.front().begin(), alternatives.front().end());
  return HasBlock(log, first) << "(nor any other order of the listing)";
}

// A run of the package Del.exe in the work folder, with the fake setup program.
RunOptions DeleteOptions(Bench& bench, std::vector<std::wstring> args) {
  bench.Pack(L"Del.exe");
  RunOptions options = bench.Options(std::move(args));
  bench.AddSetup(options);
  SetEnv(options, L"HARW_FAKE_FILES", L"");  // Disk1 gets only the setup program
  return options;
}

void SetAttributes(const fs::path& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes)) << GetLastError();
  ASSERT_EQ(GetFileAttributesW(path.c_str()) & attributes, attributes);
}

// Removal before extraction: the options' lines, then those from the
// question's place onwards.
Block RemovalBefore(const std::string& folder, const std::vector<std::string>& options) {
  Block lines;
  for (const std::string& option : options) lines.push_back({0x04, "Parameter " + option});
  lines.push_back({0x04, "No-Setup-Path is NOT found"});
  lines.push_back({0x04, "DeleteFolder(\"" + folder + "\")"});
  return lines;
}

TEST(DeleteFolder, RemovesReadOnlyEntriesDepthFirst) {
  Bench bench;
  const fs::path disk1 = bench.work() / L"Disk1";
  MakeFile(disk1 / L"a.txt");
  MakeFile(disk1 / L"sub" / L"b.txt");
  SetAttributes(disk1 / L"sub" / L"b.txt", FILE_ATTRIBUTE_READONLY);
  RunOptions options = DeleteOptions(bench, {L"/D"});
  SetEnv(options, L"HARW_FAKE_CHECK_PATH", L"Disk1\\sub");
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  const Block sub = {{0x04, "DeleteFile(\"Disk1\\sub\\b.txt\")"},
                     {0x04, "RemoveDirectory(\"Disk1\\sub\")"}};
  const std::vector<Block> removal = InAnyOrder(
      {{{0x04, "DeleteFile(\"Disk1\\a.txt\")"}}, sub},
      {{0x04, "RemoveDirectory(\"Disk1\")"}, bench.ExtractLines().front()});
  EXPECT_TRUE(HasOneOf(bench.ReadRunLog(), RemovalBefore("Disk1", {"/D"}), removal));
  std::optional<Record> extractor = ReadRecord(bench.ExtractorRecordPath());
  ASSERT_TRUE(extractor);
  EXPECT_EQ((*extractor)["check_path_existed"], "0");
}

TEST(DeleteFolder, FileHeldOpenKeepsOnlyTheFoldersAboveIt) {
  Bench bench;
  const fs::path disk1 = bench.work() / L"Disk1";
  for (const wchar_t* name : {L"a.txt", L"sub\\c.txt", L"sub\\held.txt", L"sub\\d.txt"}) {
    MakeFile(disk1 / name);
  }
  Handle held(CreateFileW((disk1 / L"sub" / L"held.txt").c_str(), GENERIC_READ, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid()) << GetLastError();
  RunResult result = bench.Run(DeleteOptions(bench, {L"/D", L"/H"}));
  EXPECT_EQ(result.exit_code, 0u);
  const std::vector<Block> sub = InAnyOrder(
      {{{0x04, "DeleteFile(\"Disk1\\sub\\c.txt\")"}},
       {{0x01, "DeleteFile(\"Disk1\\sub\\held.txt\") LastError=32"}},
       {{0x04, "DeleteFile(\"Disk1\\sub\\d.txt\")"}}},
      {{0x01, "RemoveDirectory(\"Disk1\\sub\") LastError=145"}});
  std::vector<Block> removal;
  for (const Block& sub_order : sub) {
    std::vector<Block> top = InAnyOrder({{{0x04, "DeleteFile(\"Disk1\\a.txt\")"}}, sub_order},
                                        {{0x01, "RemoveDirectory(\"Disk1\") LastError=145"}});
    removal.insert(removal.end(), top.begin(), top.end());
  }
  const Log log = bench.ReadRunLog();
  EXPECT_TRUE(HasOneOf(log, RemovalBefore("Disk1", {"/D", "/H"}), removal));
  // The removal after the setup meets the same held file; a file left behind
  // is no reason to fail the run, and everything else goes.
  const Lines after_setup = {{0x04, "GetExitCodeProcess(Setup) ec=0"}, {0x04, "DeleteFolder(\"Disk1\")"}};
  Lines held_again = after_setup;
  held_again.insert(held_again.end(), {{0x01, "DeleteFile(\"Disk1\\sub\\held.txt\") LastError=32"},
                                       {0x01, "RemoveDirectory(\"Disk1\\sub\") LastError=145"},
                                       {0x01, "RemoveDirectory(\"Disk1\") LastError=145"}});
  EXPECT_TRUE(HasLines(log, held_again));
  Lines setup_deleted = after_setup;
  setup_deleted.push_back({0x04, "DeleteFile(\"Disk1\\Setup.exe\")"});
  EXPECT_TRUE(HasLines(log, setup_deleted));
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{0x01, "RemoveDirectory(\"Disk1\") LastError=145"}));
  held.Reset();
  EXPECT_EQ(AllEntries(bench.work()), (std::set<std::wstring>{L"Del.exe", L"DEL.log", L"Disk1", L"Disk1\\sub",
                                                              L"Disk1\\sub\\held.txt"}));
}

TEST(DeleteFolder, TrailingBackslashIsNotDoubled) {
  Bench bench;
  RunOptions options = DeleteOptions(bench, {L"/H", L"/F", L"Disk1\\"});
  SetEnv(options, L"HARW_FAKE_FILES", L"a.txt");
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  const std::vector<Block> removal =
      InAnyOrder({{{0x04, "DeleteFile(\"Disk1\\a.txt\")"}},
                  {{0x04, "DeleteFile(\"Disk1\\Setup.exe\")"}}},
                 {{0x04, "RemoveDirectory(\"Disk1\\\")"}});
  const Log log = bench.ReadRunLog();
  EXPECT_TRUE(HasOneOf(log, {{0x04, "DeleteFolder(\"Disk1\\\")"}}, removal));
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{0x04, "RemoveDirectory(\"Disk1\\\")"}));
  EXPECT_FALSE(fs::exists(bench.work() / L"Disk1"));
}

TEST(DeleteFolder, EmptyFolderNameRemovesNothing) {
  Bench bench;
  RunResult result = bench.Run(DeleteOptions(bench, {L"/H", L"/F", L""}));
  EXPECT_EQ(result.exit_code, 0u);
  const std::vector<Expected> lines = LevelsAndTexts(bench.ReadRunLog());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), (Expected{0x04, "DeleteFolder(\"\")"}));
  EXPECT_TRUE(fs::exists(bench.work() / L"Disk1" / L"Setup.exe"));
}

// An absolute folder path of exactly `length` characters below `base`,
// made of folders short enough to create.
std::wstring PathOfLength(const std::wstring& base, std::size_t length) {
  std::size_t room = length - base.size();
  std::size_t levels = (room + 100) / 101;  // each level: a backslash and up to 100 characters
  std::size_t letters = room - levels;
  std::wstring path = base;
  for (std::size_t i = 0; i < levels; ++i) {
    path += L'\\';
    path.append(letters / levels + (i < letters % levels ? 1 : 0), L'd');
  }
  return path;
}

TEST(DeleteFolder, FolderPathOf257CharactersIsTheLongestRemoved) {
  for (std::size_t length : {257u, 258u}) {
    SCOPED_TRACE(length);
    Bench bench;
    const std::wstring folder = PathOfLength(bench.work().wstring(), length);
    ASSERT_EQ(folder.size(), length);
    std::error_code error;
    fs::create_directories(L"\\\\?\\" + folder, error);
    ASSERT_FALSE(error) << error.message();
    RunResult result = bench.Run(DeleteOptions(bench, {L"/D", L"/H", L"/F", folder}));
    EXPECT_EQ(result.exit_code, 0u);
    const std::string path = ToUtf8(folder);
    const Expected outcome = length == 257
        ? Expected{0x04, "RemoveDirectory(\"" + path + "\")"}
        : Expected{0x01, "Deleted Folder Name is too long (\"" + path + "\")"};
    Block before = RemovalBefore(path, {"/D", "/H", "/F"});
    before.push_back(outcome);
    EXPECT_TRUE(HasBlock(bench.ReadRunLog(), before));
    EXPECT_EQ(fs::exists(L"\\\\?\\" + folder), length == 258);
  }
}

// A folder outside Disk1, with files, that a link inside Disk1 points to.
class LinkedFolder {
 public:
  explicit LinkedFolder(const Bench& bench)
      : outside_(bench.Aside(L"outside")), link_(bench.work() / L"Disk1" / L"link") {
    MakeFile(outside_ / L"keep1.txt");
    MakeFile(outside_ / L"deep" / L"keep2.txt");
    MakeFile(bench.work() / L"Disk1" / L"a.txt");
  }
  const fs::path& outside() const { return outside_; }
  const fs::path& link() const { return link_; }

  /// "" if the link leads to the outside folder, else why not.
  std::string Check() const {
    DWORD attributes = GetFileAttributesW(link_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "the link does not exist";
    const DWORD wanted = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((attributes & wanted) != wanted) return "the link has attributes 0x" + Hex8(attributes);
    if (!fs::exists(link_ / L"keep1.txt")) return "the outside files are not seen through the link";
    return "";
  }

  void ExpectRemovalStaysInside(Bench& bench) const {
    RunResult result = bench.Run(DeleteOptions(bench, {L"/D", L"/H"}));
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_TRUE(fs::exists(outside_ / L"keep1.txt"));
    EXPECT_TRUE(fs::exists(outside_ / L"deep" / L"keep2.txt"));
    const Log log = bench.ReadRunLog();
    for (const LogLine& line : log.lines) {
      EXPECT_EQ(line.text.find("Disk1\\link\\"), std::string::npos) << "descended: " << line.text;
    }
    EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFolder(\"Disk1\")"}}));
  }

 private:
  fs::path outside_;
  fs::path link_;
};

// The reparse data of a junction: substitute and print names, NT form first.
std::vector<BYTE> JunctionData(const std::wstring& target) {
  const std::wstring substitute = L"\\??\\" + target;
  const USHORT substitute_bytes = static_cast<USHORT>(substitute.size() * 2);
  const USHORT print_bytes = static_cast<USHORT>(target.size() * 2);
  const USHORT path_buffer = static_cast<USHORT>(substitute_bytes + 2 + print_bytes + 2);
  std::vector<BYTE> data(8 + 8 + path_buffer, 0);
  auto put16 = [&](std::size_t at, USHORT value) { std::memcpy(&data[at], &value, 2); };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&data[0], &tag, 4);
  put16(4, static_cast<USHORT>(8 + path_buffer));
  put16(8, 0);
  put16(10, substitute_bytes);
  put16(12, static_cast<USHORT>(substitute_bytes + 2));
  put16(14, print_bytes);
  std::memcpy(&data[16], substitute.data(), substitute_bytes);
  std::memcpy(&data[16 + substitute_bytes + 2], target.data(), print_bytes);
  return data;
}

TEST(DeleteFolder, JunctionIsNotFollowed) {
  Bench bench;
  LinkedFolder linked(bench);
  ASSERT_TRUE(CreateDirectoryW(linked.link().c_str(), nullptr)) << GetLastError();
  Handle link(CreateFileW(linked.link().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  ASSERT_TRUE(link.valid()) << GetLastError();
  std::vector<BYTE> data = JunctionData(linked.outside().wstring());
  DWORD returned = 0;
  if (!DeviceIoControl(link.get(), FSCTL_SET_REPARSE_POINT, data.data(),
                       static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr)) {
    GTEST_SKIP() << "this system cannot make a junction: FSCTL_SET_REPARSE_POINT failed with "
                 << GetLastError();
  }
  link.Reset();
  std::string problem = linked.Check();
  if (!problem.empty()) GTEST_SKIP() << "the junction does not work: " << problem;
  linked.ExpectRemovalStaysInside(bench);
}

TEST(DeleteFolder, DirectorySymbolicLinkIsNotFollowed) {
  Bench bench;
  LinkedFolder linked(bench);
  const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  if (!CreateSymbolicLinkW(linked.link().c_str(), linked.outside().c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged)) {
    GTEST_SKIP() << "this system cannot make a symbolic link: CreateSymbolicLinkW failed with "
                 << GetLastError();
  }
  // Wine 8 reports success from CreateSymbolicLinkW without making a link.
  std::string problem = linked.Check();
  if (!problem.empty()) GTEST_SKIP() << "CreateSymbolicLinkW succeeded, but " << problem;
  linked.ExpectRemovalStaysInside(bench);
}

// Wine's own way to name a Windows path on the Unix side; absent elsewhere.
std::optional<std::wstring> UnixPath(const fs::path& path) {
  typedef char*(CDECL * UnixName)(const wchar_t*);
  FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  if (address == nullptr) return std::nullopt;
  char* name = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(address))(path.c_str());
  if (name == nullptr) return std::nullopt;
  std::wstring text = FromUtf8(name);
  HeapFree(GetProcessHeap(), 0, name);
  return text;
}

// Starts a Unix program under Wine and waits until `done` holds: Wine gives
// back no handle to wait on for a Unix process.
bool RunUnixProgram(std::vector<std::wstring> argv, const std::function<bool()>& done) {
  std::wstring command = BuildCommandLine(argv);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  for (int i = 0; i < 250 && !done(); ++i) Sleep(20);
  return done();
}

// Wine shows a Unix symbolic link to a folder the way Windows shows a
// directory symbolic link: a directory with the reparse-point attribute.
TEST(DeleteFolder, UnixSymbolicLinkUnderWineIsNotFollowed) {
  Bench bench;
  LinkedFolder linked(bench);
  std::optional<std::wstring> target = UnixPath(linked.outside());
  std::optional<std::wstring> link = UnixPath(linked.link());
  if (!target || !link) GTEST_SKIP() << "not running under Wine";
  auto exists = [&] { return GetFileAttributesW(linked.link().c_str()) != INVALID_FILE_ATTRIBUTES; };
  ASSERT_TRUE(RunUnixProgram({L"/bin/ln", L"-s", *target, *link}, exists)) << "ln -s made no link";
  std::string problem = linked.Check();
  if (problem.empty()) {
    linked.ExpectRemovalStaysInside(bench);
    // Wine cannot remove such a link as a folder; Windows would.
    EXPECT_NE(LinesStartingWith(bench.ReadRunLog(), "RemoveDirectory(\"Disk1\\link\")"),
              std::vector<Expected>{});
  }
  // Neither can the test folder's clean-up.
  EXPECT_TRUE(RunUnixProgram({L"/bin/rm", *link}, [&] { return !exists(); }));
  if (!problem.empty()) GTEST_SKIP() << "ln -s did not make a usable link: " << problem;
}

}  // namespace
}  // namespace harwtest
