// Capacities at and around their limits: option values, the package path,
// the package name, the temporary folder, the answer line and the number of
// embedded tokens. A value that does not fit is refused, never cut.
#include <gtest/gtest.h>

#include "hardening/hardening_support.h"
#include "support/paths.h"
#include "support/record.h"
#include "support/text.h"

namespace harwtest::hardening {
namespace {

namespace fs = std::filesystem;

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

class LimitsTest : public testing::Test {
 protected:
  // Packs `file` into the work folder; the run unpacks Disk1 with a.txt and
  // the fake setup as Disk1\Setup.exe, and both fixtures write records aside.
  fs::path Pack(const std::wstring& file, const std::optional<std::wstring>& parameters = {}) {
    fs::path package = work_ / file;
    EXPECT_TRUE(WriteFileQuietly(package, BuildPackage(parameters).bytes));
    return package;
  }
  RunOptions Options(const fs::path& package, std::vector<std::wstring> args = {}) const {
    RunOptions options = RunInFolder(package, work_.path(), std::move(args));
    SetEnv(options, L"HARW_FAKE_RECORD", (aside_ / L"extractor.txt").wstring());
    SetEnv(options, L"HARW_FAKE_FOLDER", L"Disk1");
    SetEnv(options, L"HARW_FAKE_FILES", L"a.txt");
    SetEnv(options, L"HARW_FAKE_COPY_FROM", BinPath(L"fake_setup.exe").wstring());
    SetEnv(options, L"HARW_FAKE_COPY_TO", L"Setup.exe");
    SetEnv(options, L"HARW_SETUP_RECORD", (aside_ / L"setup.txt").wstring());
    return options;
  }
  RunResult Run(const RunOptions& options) {
    RunResult result = RunProcess(options);
    EXPECT_TRUE(result.started) << result.error;
    EXPECT_FALSE(result.timed_out);
    return result;
  }
  void Reset() {
    for (const auto& folder : {work_.path(), aside_.path()}) {
      RemoveTree(folder);
      fs::create_directories(folder);
    }
  }

  TempFolder work_{CurrentTestLabel()};
  TempFolder aside_{CurrentTestLabel() + L"~"};
};

struct ValueCase {
  bool embedded;
  const wchar_t* option;
  std::size_t length;
  bool accepted;
};

// The value of an accepted option must arrive whole where it is used.
void ExpectValueUsed(const ValueCase& row, const std::wstring& value, const Log& log,
                     const std::optional<Record>& setup) {
  const std::string option = ToUtf8(row.option);
  if (option == "/F") {
    EXPECT_TRUE(HasLine(log, 0x04, "DeleteFolder(\"" + ToUtf8(value) + "\")")) << Dump(log);
  } else if (option == "/S") {
    EXPECT_TRUE(HasLine(log, 0x04, "ShellExecuteEx(\"" + ToUtf8(value) + "\",\"\")")) << Dump(log);
    EXPECT_TRUE(setup.has_value()) << "the setup program named by /S did not run";
  } else {
    ASSERT_TRUE(setup.has_value());
    EXPECT_EQ(setup->count("arg1") ? setup->at("arg1") : "", ToUtf8(value));
  }
}

// A value of exactly the row's length; for /S an absolute path to a setup
// program that the run unpacks, so that an accepted value can be started.
std::wstring ValueOfLength(const ValueCase& row, const fs::path& work) {
  if (std::wstring(row.option) != L"/S") return MarkedText(row.length);
  std::wstring folder = (work / L"Disk1").wstring() + L"\\";
  return folder + MarkedText(row.length - folder.size() - 4) + L".exe";
}

std::string Refusal(const ValueCase& row) {
  return "Error: Parameter " + ToUtf8(row.option) + " is too long (" + std::to_string(row.length) +
         " characters, at most " + std::to_string(row.length - 1) + ")";
}

TEST_F(LimitsTest, OptionValuesUpToTheirCapacityAreUsedWholeLongerOnesRefused) {
  const ValueCase rows[] = {
      {false, L"/F", 259, true},  {false, L"/F", 260, false}, {false, L"/S", 259, true},
      {false, L"/S", 260, false}, {false, L"/A", 1023, true}, {false, L"/A", 1024, false},
      {true, L"/F", 260, false},  {true, L"/A", 1024, false}, {true, L"/A", 1023, true},
  };
  for (const ValueCase& row : rows) {
    SCOPED_TRACE(ToUtf8(row.option) + " of " + std::to_string(row.length) +
                 (row.embedded ? " characters, embedded" : " characters, on the command line"));
    Reset();
    const std::wstring value = ValueOfLength(row, work_.path());
    const std::wstring option = std::wstring(row.option) + L" \"" + value + L"\"";
    RunOptions options = row.embedded ? Options(Pack(L"HLV.exe", option))
                                      : Options(Pack(L"HLV.exe"), {row.option, value});
    SetEnv(options, L"HARW_FAKE_COPY_TO", row.option == std::wstring(L"/S") ? fs::path(value).filename() : L"Setup.exe");
    RunResult result = Run(options);
    Log log = LogOrEmpty(work_ / L"HLV.log");
    if (row.accepted) {
      EXPECT_EQ(result.exit_code, 0u) << Dump(log);
      ExpectValueUsed(row, value, log, ReadRecord(aside_ / L"setup.txt"));
    } else {
      EXPECT_EQ(result.exit_code, 1u);
      EXPECT_TRUE(HasLine(log, 0x01, Refusal(row))) << Dump(log);
      EXPECT_NE(WithoutCarriageReturns(result.out).find(Refusal(row) + "\n\n"), std::string::npos);
      EXPECT_FALSE(ReadRecord(aside_ / L"extractor.txt").has_value()) << "a refused value was used";
    }
  }
}

// The test program's own current directory, changed for one scope.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const fs::path& folder) : old_(fs::current_path()) {
    SetCurrentDirectoryW(folder.c_str());
  }
  ~CurrentDirectory() { SetCurrentDirectoryW(old_.c_str()); }

 private:
  fs::path old_;
};

// A package path of exactly `length` characters: work folder, one folder
// filled up, "p.exe". Started by a relative name from inside its folder,
// since the system refuses an application path of 260 or more characters.
RunResult RunFromPathOfLength(const fs::path& work, std::size_t length) {
  std::size_t filler = length - work.wstring().size() - std::wstring(L"\\\\p.exe").size();
  fs::path folder = work / std::wstring(filler, L'd');
  CreateDirectoryW(Extended(folder).c_str(), nullptr);
  WriteFileQuietly(Extended(folder / L"p.exe"), BuildPackage(L"/X").bytes);
  RunResult result;
  {
    CurrentDirectory inside(folder);
    result = RunProcess(RunInFolder(L"p.exe", work));
  }
  EXPECT_TRUE(RemoveTree(folder));
  return result;
}

TEST_F(LimitsTest, PackagePathWorksUpTo259CharactersAndIsRefusedOnTheConsoleBeyond) {
  for (std::size_t length : {258u, 259u, 260u, 261u}) {
    SCOPED_TRACE("package path of " + std::to_string(length) + " characters");
    RunResult result = RunFromPathOfLength(work_.path(), length);
    ASSERT_TRUE(result.started) << result.error;
    std::optional<Log> log = ReadLog(work_ / L"P.log");
    if (length <= 259) {
      EXPECT_EQ(result.exit_code, 0u) << result.out;
      ASSERT_TRUE(log.has_value());
      EXPECT_TRUE(HasLine(*log, 0x04, "DeleteFile(\"___P___.exe\")")) << Dump(*log);
    } else {
      EXPECT_EQ(result.exit_code, 1u);
      EXPECT_EQ(WithoutCarriageReturns(result.out),
                "Error: The package's path is too long (more than 259 characters)\n\n");
      EXPECT_FALSE(log.has_value()) << "a log was written without a complete package path";
    }
    DeleteFileW((work_ / L"P.log").c_str());
  }
}

// Files at the root of drive C: (the build tree's Wine prefix), the shortest
// folder there is, so that a package name can come near the 260-character
// limits; they are removed again when the object goes away.
class DriveRootFiles {
 public:
  fs::path Add(const std::wstring& name) {
    files_.push_back(fs::path(L"C:\\") / name);
    return files_.back();
  }
  ~DriveRootFiles() {
    for (const auto& file : files_) DeleteFileW(file.c_str());
  }

 private:
  std::vector<fs::path> files_;
};

TEST_F(LimitsTest, PackageNameIsLimitedByTheMutexNameAndTheLogPath) {
  // Packages in C:\ with TMP C:\: the log path is 3 + name + 4 characters and
  // the mutex name is the name + 18. A name of 242 characters or more does
  // not fit the mutex name, so "___<name>___.exe" never reaches its own limit
  // of 253. From 252 on, "<name>.log" is longer than a file name may be, so
  // the refusal cannot be logged; from 253 on the log path is too long.
  const std::string log_too_long = "Error: The log file's path is too long (more than 259 characters)\n\n";
  struct Row { std::size_t length; DWORD exit_code; const char* outcome; };
  const Row rows[] = {{241, 0, "runs"},     {242, 1, "mutex"},    {251, 1, "mutex"},
                      {252, 1, "unlogged"}, {253, 1, "log path"}, {254, 1, "log path"}};
  for (const Row& row : rows) {
    SCOPED_TRACE("package name of " + std::to_string(row.length) + " characters");
    DriveRootFiles files;
    const std::wstring name = MarkedText(row.length);
    const std::string upper = Upper(ToUtf8(name));
    fs::path package = files.Add(name);  // no extension: a file name holds at most 255
    fs::path log_path = files.Add(FromUtf8(upper) + L".log");
    ASSERT_TRUE(WriteFileQuietly(package, BuildPackage(L"/X").bytes));
    RunOptions options = RunInFolder(package, work_.path());
    SetEnv(options, L"TMP", L"C:\\");
    SetEnv(options, L"TEMP", L"C:\\");
    RunResult result = Run(options);
    EXPECT_EQ(result.exit_code, row.exit_code) << result.out;
    Log log = LogOrEmpty(log_path);
    if (std::string(row.outcome) == "runs") {
      EXPECT_TRUE(HasLine(log, 0x04, "CreateFile(\"___" + upper + "___.exe\")")) << Dump(log);
      EXPECT_TRUE(HasLine(log, 0x04, "DeleteFile(\"___" + upper + "___.exe\")")) << Dump(log);
      EXPECT_FALSE(fs::exists(work_ / ("___" + upper + "___.exe")));
    } else if (std::string(row.outcome) == "mutex") {
      EXPECT_TRUE(HasLine(log, 0x01, "Mutex name is too long (\"" + upper + "#HarwUpdater#Mutex\")"))
          << Dump(log);
    } else {
      EXPECT_EQ(WithoutCarriageReturns(result.out),
                std::string(row.outcome) == "unlogged" ? "" : log_too_long);
      EXPECT_TRUE(log.lines.empty());
    }
  }
}

// TMP of `length` characters (with its trailing backslash) below the work folder.
std::wstring TmpOfLength(const TempFolder& work, std::size_t length) {
  std::wstring tmp = work.WithSlash();
  tmp += std::wstring(length - tmp.size() - 1, L't') + L"\\";
  CreateDirectoryW(Extended(tmp).c_str(), nullptr);
  return tmp;
}

RunResult RunWithTmp(const fs::path& package, const fs::path& folder, const std::wstring& tmp) {
  RunOptions options = RunInFolder(package, folder);
  SetEnv(options, L"TMP", tmp);
  SetEnv(options, L"TEMP", tmp);
  return RunProcess(options);
}

TEST_F(LimitsTest, TemporaryFolderIsUsedWhileTheLogPathFits) {
  // The log path is TMP + "HLT.log": 252 + 7 = 259 characters fit, 260 do not.
  fs::path package = Pack(L"HLT.exe", L"/X");
  for (std::size_t length : {252u, 253u}) {
    SCOPED_TRACE("TMP of " + std::to_string(length) + " characters");
    std::wstring tmp = TmpOfLength(work_, length);
    RunResult result = RunWithTmp(package, work_.path(), tmp);
    bool fits = length == 252;
    EXPECT_EQ(result.exit_code, fits ? 0u : 1u);
    EXPECT_EQ(WithoutCarriageReturns(result.out),
              fits ? "" : "Error: The log file's path is too long (more than 259 characters)\n\n");
    EXPECT_EQ(ReadLog(Extended(tmp + L"HLT.log")).has_value(), fits);
    RemoveTree(tmp);
  }
}

TEST_F(LimitsTest, TemporaryFolderBeyondTheLimitIsNeverCutToFit) {
  // Windows reports the length a 300-character TMP needs, and the run ends
  // with a console error; Wine reports no folder at all, and the run goes on
  // without a log. Either way no log may appear under a cut path.
  fs::path package = Pack(L"HLT.exe", L"/X");
  const std::wstring tmp = TmpOfLength(work_, 300);
  RunResult result = RunWithTmp(package, work_.path(), tmp);
  std::string console = WithoutCarriageReturns(result.out);
  if (result.exit_code == 1) {
    EXPECT_EQ(console, "Error: The temporary folder's path is too long\n\n");
  } else {
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(console, "");
  }
  std::error_code error;
  for (fs::recursive_directory_iterator it(Extended(work_.path()), error), end; it != end; it.increment(error)) {
    EXPECT_NE(it->path().filename(), L"HLT.log") << ToUtf8(it->path().wstring());
  }
  EXPECT_TRUE(RemoveTree(tmp));
}

TEST_F(LimitsTest, OnlyTheFirstCharacterOfALongAnswerCounts) {
  struct Row { std::string line; char answer; };
  const Row rows[] = {{"Y" + std::string(150, 'x') + "\n", 'Y'},
                      {"n" + std::string(150, 'Y') + "\n", 'n'},
                      {std::string(99, 'x') + "Y\n", 'x'},
                      {"y" + std::string(98, 'n') + "\n", 'y'},
                      {"y" + std::string(99, 'n') + "\n", 'y'},
                      {"Y" + std::string(5000, 'x'), 'Y'}};
  for (const Row& row : rows) {
    SCOPED_TRACE("an answer of " + std::to_string(row.line.size()) + " bytes starting with " + row.answer);
    Reset();
    fs::create_directories(work_ / L"Disk1");
    WriteBytes(work_ / L"Disk1" / L"old.txt", "old");
    RunOptions options = Options(Pack(L"HLQ.exe"));
    options.input = Input::kText;
    options.input_text = row.line;
    SetEnv(options, L"HARW_FAKE_EXIT", L"5");  // the extractor ran: the answer was yes
    RunResult result = Run(options);
    Log log = LogOrEmpty(work_ / L"HLQ.log");
    bool yes = row.answer == 'Y' || row.answer == 'y';
    EXPECT_EQ(result.exit_code, yes ? 5u : 1u) << Dump(log);
    EXPECT_TRUE(HasLine(log, 0x04, std::string("Folder already exists (\"Disk1\", ans=") + row.answer + ")"))
        << Dump(log);
    EXPECT_EQ(fs::exists(work_ / L"Disk1" / L"old.txt"), !yes);
  }
}

std::wstring Tokens(int count) {
  std::wstring text = L"/X";
  for (int i = 2; i <= count; ++i) text += L" t" + std::to_wstring(i);
  return text;
}

TEST_F(LimitsTest, EmbeddedStringHoldsAtMost62Tokens) {
  for (int count : {61, 62, 63, 100}) {
    SCOPED_TRACE(std::to_string(count) + " embedded tokens");
    Reset();
    RunResult result = Run(Options(Pack(L"HLK.exe", Tokens(count))));
    Log log = LogOrEmpty(work_ / L"HLK.log");
    if (count <= 62) {
      EXPECT_EQ(result.exit_code, 0u) << Dump(log);
      EXPECT_TRUE(HasLine(log, 0x04, "Parameter t" + std::to_string(count))) << Dump(log);
      EXPECT_TRUE(ReadRecord(aside_ / L"extractor.txt").has_value());
    } else {
      EXPECT_EQ(result.exit_code, 1u);
      EXPECT_TRUE(HasLine(log, 0x01, "MakeParameter: more than 62 parameters")) << Dump(log);
      EXPECT_FALSE(HasLineStarting(log, 0x04, "Parameter ")) << "a cut vector was applied";
      EXPECT_FALSE(ReadRecord(aside_ / L"extractor.txt").has_value());
    }
  }
}

}  // namespace
}  // namespace harwtest::hardening
