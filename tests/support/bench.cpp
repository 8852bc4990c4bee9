#include "support/bench.h"

namespace harwtest {

namespace fs = std::filesystem;

Bench::Bench() : work_(CurrentTestLabel()), aside_(CurrentTestLabel() + L"~") {}

fs::path Bench::Pack(const fs::path& file, std::optional<std::wstring> parameters,
                     fs::path embedded) {
  PackageOptions options;
  options.output = file.is_absolute() ? file : work() / file;
  options.parameters = std::move(parameters);
  options.embedded = std::move(embedded);
  std::error_code error;
  fs::create_directories(options.output.parent_path(), error);
  EXPECT_EQ(MakePackage(options, &layout_), "") << "packing " << ToUtf8(options.output.wstring());
  package_ = options.output;
  return package_;
}

fs::path Bench::PackRaw(RawPackage raw) {
  if (!raw.output.is_absolute()) raw.output = work() / raw.output;
  EXPECT_EQ(MakeRawPackage(raw, &layout_), "");
  package_ = raw.output;
  return package_;
}

std::wstring Bench::BaseName() const {
  return FromUtf8(AsciiUpper(ToUtf8(package_.stem().wstring())));
}

RunOptions Bench::Options(std::vector<std::wstring> args) const {
  RunOptions options = InFolder(package_, work(), std::move(args));
  SetEnv(options, L"HARW_FAKE_RECORD", ExtractorRecordPath().wstring());
  SetEnv(options, L"HARW_FAKE_FOLDER", L"Disk1");
  SetEnv(options, L"HARW_FAKE_FILES", L"a.txt");
  return options;
}

void Bench::AddSetup(RunOptions& options) const {
  SetEnv(options, L"HARW_FAKE_COPY_FROM", BinPath(L"fake_setup.exe").wstring());
  SetEnv(options, L"HARW_FAKE_COPY_TO", L"Setup.exe");
  SetEnv(options, L"HARW_SETUP_RECORD", SetupRecordPath().wstring());
}

RunResult Bench::Run(const RunOptions& options) const {
  RunResult result = RunProcess(options);
  EXPECT_TRUE(result.started) << result.error;
  EXPECT_FALSE(result.timed_out) << "the package did not end within the time limit";
  return result;
}

Log Bench::ReadRunLog() const {
  std::optional<Log> log = ReadLog(work() / (BaseName() + L".log"));
  if (!log) {
    ADD_FAILURE() << "no log " << ToUtf8(BaseName()) << ".log";
    return {};
  }
  EXPECT_EQ(log->problem, "");
  return *log;
}

Lines Bench::StartLines() const {
  return {{0x04, "CreateMutex(\"" + ToUtf8(BaseName()) + "#HarwUpdater#Mutex\")"},
          {0x04, "Found Archived Data Marker " + std::to_string(layout_.PField())},
          {0x01, "Parameters size=" + std::to_string(layout_.p)}};
}

Lines Bench::ExtractLines() const {
  const std::string arc = ToUtf8(ArcName());
  return {{0x04, "CreateFile(\"" + arc + "\")"},
          {0x04, "Top of Archived Data " + std::to_string(layout_.SField())},
          {0x04, "Size of Archived Data " + std::to_string(layout_.s)},
          {0x04, "CloseHandle(\"" + arc + "\")"},
          {0x04, "CreateProcess(\"" + arc + "\")"},
          {0x04, "WaitForSingleObject(\"" + arc + "\")"},
          {0x04, "GetExitCodeProcess(Arc) ec=0"},
          {0x04, "DeleteFile(\"" + arc + "\")"}};
}

}  // namespace harwtest
