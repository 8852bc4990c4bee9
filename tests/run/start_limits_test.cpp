// Start-up at and around its limits: the package path, the package name
// (which makes the mutex name and the log's file name) and the temporary
// folder. A path that does not fit is refused, never cut.
#include <gtest/gtest.h>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

class StartLimits : public PackageTest {};

// A well-formed package with the parameters "/X", written directly: the
// packer's temporary file beside it would not fit a name near the limits.
RawPackage ExtractOnlyPackage(const fs::path& output) {
  RawPackage raw;
  raw.output = output;
  raw.parameters = L"/X";
  raw.archived_data = ReadBytes(BinPath(L"fake_extractor.exe")).value_or("");
  return raw;
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
  EXPECT_EQ(MakeRawPackage(ExtractOnlyPackage(Extended(folder / L"p.exe"))), "");
  RunResult result;
  {
    CurrentDirectory inside(folder);
    result = RunProcess(InFolder(L"p.exe", work));
  }
  EXPECT_TRUE(RemoveTree(folder));
  return result;
}

TEST_F(StartLimits, PackagePathWorksUpTo259CharactersAndIsRefusedOnTheConsoleBeyond) {
  for (std::size_t length : {258u, 259u, 260u, 261u}) {
    SCOPED_TRACE("package path of " + std::to_string(length) + " characters");
    RunResult result = RunFromPathOfLength(work(), length);
    ASSERT_TRUE(result.started) << result.error;
    std::optional<Log> log = ReadLog(work() / L"P.log");
    if (length <= 259) {
      EXPECT_EQ(result.exit_code, 0u) << result.out;
      ASSERT_TRUE(log.has_value());
      EXPECT_TRUE(HasLines(*log, {{0x04, "DeleteFile(\"___P___.exe\")"}}));
    } else {
      EXPECT_EQ(result.exit_code, 1u);
      EXPECT_EQ(WithoutCarriageReturns(result.out),
                "Error: The package's path is too long (more than 259 characters)\n\n");
      EXPECT_FALSE(log.has_value()) << "a log was written without a complete package path";
    }
    DeleteFileW((work() / L"P.log").c_str());
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

TEST_F(StartLimits, PackageNameIsLimitedByTheMutexNameAndTheLogPath) {
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
    const std::string upper = AsciiUpper(ToUtf8(name));
    fs::path package = files.Add(name);  // no extension: a file name holds at most 255
    fs::path log_path = files.Add(FromUtf8(upper) + L".log");
    PackRaw(ExtractOnlyPackage(package));
    // Without the fixtures' steering: the extractor's own path is too long for its record.
    RunOptions options = InFolder(package, work());
    SetEnv(options, L"TMP", L"C:\\");
    SetEnv(options, L"TEMP", L"C:\\");
    RunResult result = Run(options);
    EXPECT_EQ(result.exit_code, row.exit_code) << result.out;
    Log log = ReadLog(log_path).value_or(Log());
    if (std::string(row.outcome) == "runs") {
      EXPECT_TRUE(HasLines(log, {{0x04, "CreateFile(\"___" + upper + "___.exe\")"}}));
      EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFile(\"___" + upper + "___.exe\")"}}));
      EXPECT_FALSE(fs::exists(work() / ("___" + upper + "___.exe")));
    } else if (std::string(row.outcome) == "mutex") {
      EXPECT_TRUE(HasLines(log, {{0x01, "Mutex name is too long (\"" + upper + "#HarwUpdater#Mutex\")"}}));
    } else {
      EXPECT_EQ(WithoutCarriageReturns(result.out),
                std::string(row.outcome) == "unlogged" ? "" : log_too_long);
      EXPECT_TRUE(log.lines.empty());
    }
  }
}

// TMP of `length` characters (with its trailing backslash) below the work folder.
std::wstring TmpOfLength(const fs::path& work, std::size_t length) {
  std::wstring tmp = work.wstring() + L"\\";
  tmp += std::wstring(length - tmp.size() - 1, L't') + L"\\";
  CreateDirectoryW(Extended(tmp).c_str(), nullptr);
  return tmp;
}

RunResult RunWithTmp(const Bench& bench, const std::wstring& tmp) {
  RunOptions options = bench.Options();
  SetEnv(options, L"TMP", tmp);
  SetEnv(options, L"TEMP", tmp);
  return RunProcess(options);
}

TEST_F(StartLimits, TemporaryFolderIsUsedWhileTheLogPathFits) {
  // The log path is TMP + "HLT.log": 252 + 7 = 259 characters fit, 260 do not.
  Pack(L"HLT.exe", L"/X");
  for (std::size_t length : {252u, 253u}) {
    SCOPED_TRACE("TMP of " + std::to_string(length) + " characters");
    std::wstring tmp = TmpOfLength(work(), length);
    RunResult result = RunWithTmp(*this, tmp);
    bool fits = length == 252;
    EXPECT_EQ(result.exit_code, fits ? 0u : 1u);
    EXPECT_EQ(WithoutCarriageReturns(result.out),
              fits ? "" : "Error: The log file's path is too long (more than 259 characters)\n\n");
    EXPECT_EQ(ReadLog(Extended(tmp + L"HLT.log")).has_value(), fits);
    RemoveTree(tmp);
  }
}

TEST_F(StartLimits, TemporaryFolderBeyondTheLimitIsNeverCutToFit) {
  // Windows reports the length a 300-character TMP needs, and the run ends
  // with a console error; Wine reports no folder at all, and the run goes on
  // without a log. Either way no log may appear under a cut path.
  Pack(L"HLT.exe", L"/X");
  const std::wstring tmp = TmpOfLength(work(), 300);
  RunResult result = RunWithTmp(*this, tmp);
  std::string console = WithoutCarriageReturns(result.out);
  if (result.exit_code == 1) {
    EXPECT_EQ(console, "Error: The temporary folder's path is too long\n\n");
  } else {
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(console, "");
  }
  std::error_code error;
  for (fs::recursive_directory_iterator it(Extended(work()), error), end; it != end; it.increment(error)) {
    EXPECT_NE(it->path().filename(), L"HLT.log") << ToUtf8(it->path().wstring());
  }
  EXPECT_TRUE(RemoveTree(tmp));
}

}  // namespace
}  // namespace harwtest
