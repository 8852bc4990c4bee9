#include "setup/setup_bench.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <system_error>

#include "packer/container.h"
#include "support/text.h"

namespace harwtest::setup {

namespace fs = std::filesystem;

std::wstring UniquePackageName() {
  static std::atomic<unsigned> counter{0};
  return L"Update" + std::to_wstring(GetCurrentProcessId()) + L"n" + std::to_wstring(++counter);
}

static std::wstring UpperAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 0x20);
  }
  return text;
}

static void MakeFolder(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path, error);
  ASSERT_FALSE(error) << "creating " << ToUtf8(path.wstring()) << ": " << error.message();
}

Bench::Bench(const std::wstring& package_folder, std::optional<std::wstring> parameters,
             fs::path embedded)
    : root_(CurrentTestLabel()),
      work_(root_ / L"work"),
      temp_(root_ / L"temp"),
      aside_(root_ / L"aside"),
      embedded_(embedded.empty() ? BinPath(L"fake_extractor.exe") : std::move(embedded)) {
  std::wstring name = UniquePackageName();
  base_name_ = UpperAscii(name);
  package_ = root_ / package_folder / (name + L".exe");
  for (const fs::path& folder : {work_, temp_, aside_, package_.parent_path()}) MakeFolder(folder);
  harwpack::PackageSpec spec;
  spec.stub = BinPath(L"HarwUpdater.exe");
  spec.archive = embedded_;
  spec.output = package_;
  if (parameters) {
    spec.parameters = ToUtf8(*parameters);
    parameters_size_ = static_cast<std::uint32_t>((parameters->size() + 1) * 2);
  }
  harwpack::BuildResult built = harwpack::BuildPackage(spec);
  EXPECT_EQ(built.error, "") << "packing " << ToUtf8(package_.wstring());
  marker_offset_ = built.marker_offset;
}

std::wstring Bench::ArcName() const { return L"___" + base_name_ + L"___.exe"; }

RunOptions Bench::Options(std::vector<std::wstring> args) const {
  std::wstring temp = temp_.wstring() + L"\\";
  RunOptions options;
  options.program = package_;
  options.args = std::move(args);
  options.current_dir = work_;
  options.env = {{L"TMP", temp},
                 {L"TEMP", temp},
                 {L"HARW_FAKE_RECORD", ExtractorRecordPath().wstring()},
                 {L"HARW_FAKE_FOLDER", L"Disk1"},
                 {L"HARW_FAKE_COPY_FROM", BinPath(L"fake_setup.exe").wstring()},
                 {L"HARW_FAKE_COPY_TO", L"Setup.exe"},
                 {L"HARW_SETUP_RECORD", SetupRecordPath().wstring()}};
  return options;
}

RunResult Bench::Run(const RunOptions& options) const {
  RunResult result = RunProcess(options);
  EXPECT_TRUE(result.started) << result.error;
  EXPECT_FALSE(result.timed_out) << "the package did not end within the time limit";
  return result;
}

Log Bench::ReadRunLog() const {
  std::optional<Log> log = ReadLog(temp_ / (base_name_ + L".log"));
  if (!log) {
    ADD_FAILURE() << "no log file for " << ToUtf8(base_name_);
    return {};
  }
  EXPECT_EQ(log->problem, "");
  return *log;
}

std::vector<Expected> Bench::StartLines() const {
  return {{0x04, "CreateMutex(\"" + ToUtf8(base_name_) + "#HarwUpdater#Mutex\")"},
          {0x04, "Found Archived Data Marker " + std::to_string(marker_offset_ + 148)},
          {0x01, "Parameters size=" + std::to_string(parameters_size_)}};
}

std::vector<Expected> Bench::ExtractLines() const {
  const std::string arc = ToUtf8(ArcName());
  const std::uint64_t top = marker_offset_ + 152 + parameters_size_;
  return {{0x04, "CreateFile(\"" + arc + "\")"},
          {0x04, "Top of Archived Data " + std::to_string(top)},
          {0x04, "Size of Archived Data " + std::to_string(fs::file_size(embedded_))},
          {0x04, "CloseHandle(\"" + arc + "\")"},
          {0x04, "CreateProcess(\"" + arc + "\")"},
          {0x04, "WaitForSingleObject(\"" + arc + "\")"},
          {0x04, "GetExitCodeProcess(Arc) ec=0"},
          {0x04, "DeleteFile(\"" + arc + "\")"}};
}

testing::AssertionResult HasBlock(const std::vector<Expected>& lines,
                                  const std::vector<Expected>& block) {
  for (std::size_t start = 0; start + block.size() <= lines.size(); ++start) {
    if (std::equal(block.begin(), block.end(), lines.begin() + start)) {
      return testing::AssertionSuccess();
    }
  }
  return testing::AssertionFailure() << "these consecutive lines:\n"
                                     << testing::PrintToString(block) << "\nare not in the log:\n"
                                     << testing::PrintToString(lines);
}

std::size_t IndexOf(const std::vector<Expected>& lines, const std::string& text) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text == text) return i;
  }
  return lines.size();
}

std::vector<Expected> LinesStartingWith(const std::vector<Expected>& lines,
                                        const std::string& prefix) {
  std::vector<Expected> found;
  for (const Expected& line : lines) {
    if (line.text.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  }
  return found;
}

std::vector<Expected> WithWindowErrorsMasked(const Log& log) {
  std::vector<Expected> lines = LevelsAndTexts(log);
  for (Expected& line : lines) {
    bool window_call = line.text.rfind("GetWindowPlacement(", 0) == 0 ||
                       line.text.rfind("ShowWindow(", 0) == 0;
    std::size_t at = line.text.rfind("LastError=");
    if (window_call && at != std::string::npos) line.text.replace(at, std::string::npos, "LastError=#");
  }
  return lines;
}

std::vector<std::wstring> Entries(const fs::path& folder) {
  std::vector<std::wstring> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void MakeFile(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  ASSERT_TRUE(WriteBytes(path, "kept\n")) << "cannot write " << ToUtf8(path.wstring());
}

std::string Hex8(std::uintptr_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace harwtest::setup
