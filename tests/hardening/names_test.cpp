// Names beyond ASCII: package paths, FolderName, SetupPath, SetupParameters and
// unpacked files with Latin-1, Greek, Cyrillic, CJK and a character outside the
// Basic Multilingual Plane. They must work, reach the log as their exact UTF-8,
// and a line too long for the log's UTF-8 buffer must be cut between characters.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

// ä ß ÿ, Greek, Cyrillic, CJK and U+1F600 (a surrogate pair in UTF-16).
const std::wstring kMixed = L"\u00e4\u00df\u00ff_\u03a9\u03c9_\u0416\u0436_\u4e2d\u6587_\U0001F600";

class NamesTest : public PackageTest {
 protected:
  // The whole log must be valid UTF-8 and made of well-formed lines.
  Log ReadValidLog() {
    Log log = ReadRunLog();
    EXPECT_TRUE(IsValidUtf8(log.raw));
    return log;
  }
};

// The package's folder is also the run's current directory.
TEST_F(NamesTest, PackageInAFolderAndFileNamedBeyondAsciiRuns) {
  const fs::path folder = work() / (L"pkg_" + kMixed);
  const std::wstring base = L"upd\u00e4t\u00e9_" + kMixed;
  Pack(folder / (base + L".exe"), L"/X");
  RunOptions options = Options();
  options.current_dir = folder;
  RunResult result = Run(options);
  EXPECT_EQ(result.exit_code, 0u) << result.out;
  // Only a to z are upper-cased; every other character stays as it is.
  const std::string name = AsciiUpper(ToUtf8(base));
  ASSERT_EQ(ToUtf8(BaseName()), name);
  Log log = ReadValidLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(LevelsAndTexts(log).front(), (Expected{0x04, "CreateMutex(\"" + name + "#HarwUpdater#Mutex\")"}));
  EXPECT_TRUE(HasLines(log, {{0x04, "CreateFile(\"___" + name + "___.exe\")"}}));
  EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{0x04, "DeleteFile(\"___" + name + "___.exe\")"}));
  EXPECT_FALSE(fs::exists(folder / (L"___" + FromUtf8(name) + L"___.exe")));
  std::optional<Record> record = ExtractorRecord();
  ASSERT_TRUE(record) << "the extractor did not run";
  EXPECT_EQ((*record)["current_dir"], ToUtf8(folder.wstring()));
  EXPECT_TRUE(fs::exists(folder / L"Disk1" / L"a.txt"));
}

// Everything a run names beyond ASCII: the folder, its files, the setup program
// and its parameters.
struct Names {
  std::wstring folder = L"Ordner_" + kMixed;
  std::wstring files[3] = {L"d\u00e4tei_\u00df.txt", L"\u03c9\u03bc\u03ad\u03b3\u03b1\\\u0436\u0443\u043a_\u4e2d.txt",
                           L"\U0001F600.txt"};
  std::wstring setup = folder + L"\\Setup_\u00ff.exe";
  std::wstring parameters = L"\u00e4rger_" + kMixed;
};

RunOptions NamesRun(const Bench& bench, bool embedded, const Names& names) {
  std::vector<std::wstring> args = {L"/F", names.folder, L"/S", names.setup, L"/A", names.parameters};
  RunOptions options = bench.Options(embedded ? std::vector<std::wstring>{} : args);
  bench.AddSetup(options);
  SetEnv(options, L"HARW_FAKE_FOLDER", names.folder);
  SetEnv(options, L"HARW_FAKE_FILES", names.files[0] + L"|" + names.files[1] + L"|" + names.files[2]);
  SetEnv(options, L"HARW_FAKE_COPY_TO", fs::path(names.setup).filename().wstring());
  return options;
}

void ExpectNamesLogged(const Log& log, const Names& names) {
  const std::string folder = ToUtf8(names.folder);
  EXPECT_TRUE(HasLines(log, {{0x04, "ShellExecuteEx(\"" + ToUtf8(names.setup) + "\",\"" +
                                         ToUtf8(names.parameters) + "\")"}}));
  EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFolder(\"" + folder + "\")"}}));
  for (const std::wstring& file : names.files) {
    EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFile(\"" + folder + "\\" + ToUtf8(file) + "\")"}}));
  }
  EXPECT_TRUE(HasLines(log, {{0x04, "RemoveDirectory(\"" + folder + "\\\u03c9\u03bc\u03ad\u03b3\u03b1\")"}}));
  EXPECT_TRUE(HasLines(log, {{0x04, "RemoveDirectory(\"" + folder + "\")"}}));
}

TEST_F(NamesTest, FolderSetupParametersAndUnpackedFilesBeyondAsciiWorkAndAreLoggedExactly) {
  const Names names;
  for (bool embedded : {false, true}) {
    SCOPED_TRACE(embedded ? "options embedded" : "options on the command line");
    const std::wstring options = L"/F \"" + names.folder + L"\" /S \"" + names.setup + L"\" /A \"" +
                                 names.parameters + L"\" /V";
    Pack(L"HNO.exe", embedded ? options : L"/V");
    RunResult result = Run(NamesRun(*this, embedded, names));
    EXPECT_EQ(result.exit_code, 0u) << result.out;
    Log log = ReadValidLog();
    ExpectNamesLogged(log, names);
    std::optional<Record> setup = SetupRecord();
    ASSERT_TRUE(setup.has_value()) << "the setup program did not run";
    EXPECT_EQ((*setup)["arg1"], ToUtf8(names.parameters));
    EXPECT_FALSE(fs::exists(work() / names.folder)) << "the unpacked folder was not removed";
    // With /V the console shows the same lines, as UTF-8 when redirected.
    EXPECT_NE(result.out.find("ShellExecuteEx(\"" + ToUtf8(names.setup)), std::string::npos);
    EXPECT_TRUE(IsValidUtf8(result.out));
    DeleteFileW((work() / L"HNO.log").c_str());
    DeleteFileW(SetupRecordPath().c_str());
  }
}

// Bytes the log's UTF-8 buffer holds for one line, without its terminating zero.
constexpr std::size_t kLineBytes = 2055;

// The UTF-8 sequence that starts at `at`, or an empty string past the end.
std::string CharacterAt(const std::string& text, std::size_t at) {
  if (at >= text.size()) return "";
  unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  return text.substr(at, length);
}

std::string HexTail(const std::string& text) {
  std::string out;
  for (std::size_t i = text.size() > 6 ? text.size() - 6 : 0; i < text.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof(byte), "%02X ", static_cast<unsigned char>(text[i]));
    out += byte;
  }
  return out;
}

std::wstring Repeated(const std::wstring& unit, int count) {
  std::wstring text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

// The "Parameter " line of `token` as the log holds it: its bytes from the
// time stamp on, and the part of the token it kept. A cut line has lost its
// line feed, so the next line's time stamp (ASCII) follows the kept part.
struct CutLine {
  std::size_t bytes = 0;
  std::string kept;
};
std::optional<CutLine> FindParameterLine(const std::string& raw, const std::string& token) {
  std::size_t start = raw.find(", 0x04, Parameter " + CharacterAt(token, 0));
  if (start == std::string::npos) return std::nullopt;
  start = raw.rfind('\n', start) + 1;  // npos + 1 == 0 for the first line
  std::size_t text = start + kLogPrefixLength + std::string("Parameter ").size();
  std::size_t end = text;
  while (end < raw.size() && static_cast<unsigned char>(raw[end]) >= 0x80) ++end;
  return CutLine{end - start, raw.substr(text, end - text)};
}

// A command-line token that matches no option is logged as "Parameter %s";
// made of characters of two to four UTF-8 bytes, its line outgrows the
// 2,056-byte buffer or the 1,024-character line, and must be cut before a
// whole character, where the first of the two limits bites.
TEST_F(NamesTest, LineTooLongForTheLogIsCutBetweenCharacters) {
  const std::pair<const char*, std::wstring> rows[] = {
      {"1,000 CJK characters", std::wstring(1000, L'\u4e2d')},
      {"600 CJK and 100 U+1F600", std::wstring(600, L'\u6587') + Repeated(L"\U0001F600", 100)},
      {"1,000 Cyrillic letters", std::wstring(1000, L'\u0416')},
      {"600 U+1F600", Repeated(L"\U0001F600", 600)},
  };
  Pack(L"HNL.exe", L"/X");
  for (const auto& [what, token] : rows) {
    SCOPED_TRACE(what);
    DeleteFileW((work() / L"HNL.log").c_str());
    EXPECT_EQ(Run(Options({token})).exit_code, 0u);
    const std::string raw = ReadBytes(work() / L"HNL.log").value_or("");
    const std::string whole = ToUtf8(token);
    EXPECT_TRUE(IsValidUtf8(raw)) << "a character was cut in the middle";
    std::optional<CutLine> line = FindParameterLine(raw, whole);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(whole.compare(0, line->kept.size(), line->kept), 0)
        << "the line holds something the token does not; it ends in bytes " << HexTail(line->kept);
    std::size_t units = kLogPrefixLength + 10 + FromUtf8(line->kept).size();
    EXPECT_LE(line->bytes, kLineBytes);
    // The next character did not fit: not in 1,024 UTF-16 units (a surrogate
    // pair straddling the limit is dropped whole) or not in the byte buffer.
    const std::string next = CharacterAt(whole, line->kept.size());
    EXPECT_TRUE(units + FromUtf8(next).size() > 1024 || line->bytes + next.size() > kLineBytes)
        << "cut after " << units << " characters and " << line->bytes << " bytes";
  }
}

}  // namespace
}  // namespace harwtest
