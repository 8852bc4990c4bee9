// The malformed-package campaign: hundreds of damaged packages, each run in a
// folder of its own. Whatever the damage, a run must end in time, with 0, 1
// or the embedded program's own code, never by an exception, must say why it
// failed, and must leave everything outside its folder as it was.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <map>
#include <string_view>
#include <sstream>
#include <thread>

#include "support/damaged_packages.h"
#include "support/folders.h"
#include "support/log_reader.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/text.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kSeed = 0x4A17C0DE;
constexpr int kWorkers = 8;
// The embedded fake extractor ends with this code, so a run that reached it
// can be told from one that failed before.
constexpr DWORD kEmbeddedCode = 42;

struct Outcome {
  bool started = false;
  bool timed_out = false;
  DWORD exit_code = 0;
  int start_retries = 0;
  std::string problem;  ///< empty when the run kept every promise
  std::string reason;   ///< the first failure line of the log, for the summary
};

// A level 0x01 line that reports a failure: every level 0x01 line except the
// two about the parameter block and the console-event line.
bool IsFailureLine(const LogLine& line) {
  if (line.level != 0x01) return false;
  for (std::string_view routine : {"Parameters size=", "Parameters \"", "ConsoleCtrlHandler("}) {
    if (line.text.compare(0, routine.size(), routine) == 0) return false;
  }
  return true;
}

// The NTSTATUS error values, such as 0xC0000005, that a process ends with
// when an exception kills it.
bool IsExceptionCode(DWORD code) { return code >= 0xC0000000u; }

// Why the run ended with 1: a failure line, the help text, or the declined
// question about an existing folder (which by design prints nothing more).
bool ExitOneExplained(const Log& log, const std::string& console) {
  for (const auto& line : log.lines) {
    if (IsFailureLine(line)) return true;
  }
  return console.find("Command Line Parameters:") != std::string::npos ||
         HasLines(log, {Pattern{0x04, "Folder already exists \\(.*"}});
}

std::string FirstFailure(const Log& log) {
  for (const auto& line : log.lines) {
    if (!IsFailureLine(line)) continue;
    std::string text = line.text.substr(0, line.text.find("LastError="));
    return text.substr(0, text.find("read-bytes="));
  }
  return "";
}

std::string Judge(const RunResult& result, const Log& log) {
  if (result.timed_out) return "did not end within its time bound";
  DWORD code = result.exit_code;
  if (code == 0) return "";
  if (code == 1) {
    return ExitOneExplained(log, WithoutCarriageReturns(result.out))
               ? ""
               : "exit code 1 without a failure line in the log";
  }
  if (HasLines(log, {{0x04, "GetExitCodeProcess(Arc) ec=" + std::to_string(code)}})) return "";
  char text[64];
  std::snprintf(text, sizeof(text), "ended with 0x%08lX, not the embedded program's code", code);
  return text;
}

class Campaign {
 public:
  Campaign(const ValidPackage& valid, const std::vector<DamagedPackage>& packages,
           const fs::path& runs)
      : valid_(valid), packages_(packages), runs_(runs), outcomes_(packages.size()) {}

  void RunAll() {
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) workers.emplace_back([this] { Work(); });
    for (auto& worker : workers) worker.join();
  }
  const std::vector<Outcome>& outcomes() const { return outcomes_; }

 private:
  void Work() {
    for (std::size_t i = next_++; i < packages_.size(); i = next_++) outcomes_[i] = RunOne(i);
  }

  // Distinct names, so that parallel runs never share the instance mutex.
  Outcome RunOne(std::size_t index) {
    wchar_t name[16];
    swprintf(name, 16, L"HM%04u", static_cast<unsigned>(index));
    fs::path folder = runs_ / name;
    fs::path package = folder / (std::wstring(name) + L".exe");
    Outcome outcome;
    std::error_code error;
    fs::create_directories(folder, error);
    std::string bytes = Apply(valid_.bytes, packages_[index].edits);
    if (error || !WriteBytes(package, bytes)) {
      outcome.problem = "cannot write the package";
      return outcome;
    }
    RunOptions options = InFolder(package, folder);
    options.time_limit = std::chrono::seconds(20);
    SetEnv(options, L"HARW_FAKE_EXIT", std::to_wstring(kEmbeddedCode));
    RunResult result = RunProcess(options);
    Observe(packages_[index], result, folder / (std::wstring(name) + L".log"), outcome);
    if (ReadBytes(package) != bytes) outcome.problem += " the package file changed;";
    if (!RemoveTree(folder)) outcome.problem += " its folder cannot be removed;";
    return outcome;
  }

  static void Observe(const DamagedPackage& damage, const RunResult& result,
                      const fs::path& log_path, Outcome& outcome) {
    outcome.started = result.started;
    outcome.timed_out = result.timed_out;
    outcome.exit_code = result.exit_code;
    outcome.start_retries = result.start_retries;
    if (!result.started) {
      // The system may refuse a damaged image (an empty file, say); nothing else.
      if (!damage.image_damaged) outcome.problem = "could not be started: " + result.error;
      return;
    }
    Log log = ReadLog(log_path).value_or(Log());
    outcome.problem += Judge(result, log);
    outcome.reason = FirstFailure(log);
    if (!outcome.problem.empty()) outcome.problem += "\n" + Listing(log);
  }

  const ValidPackage& valid_;
  const std::vector<DamagedPackage>& packages_;
  fs::path runs_;
  std::vector<Outcome> outcomes_;
  std::atomic<std::size_t> next_{0};
};

// A tree beside the run folders, shaped like what a run writes (a Disk1, a
// temporary executable, a log), so that a run reaching out of its folder
// would be caught changing it.
void MakeSentinelTree(const fs::path& root) {
  for (const wchar_t* folder : {L"Disk1\\sub", L"Unpacked", L"Second", L"keep"}) {
    fs::create_directories(root / folder);
  }
  for (const wchar_t* file : {L"Disk1\\Setup.exe", L"Disk1\\sub\\b.txt", L"Unpacked\\a.txt",
                              L"___HM0000___.exe", L"HM0000.log", L"keep\\notes.txt"}) {
    WriteBytes(root / file, "sentinel " + ToUtf8(file) + "\n");
  }
}

struct Figures {
  std::size_t tried = 0, runs = 0, refused = 0, crashes = 0, hangs = 0, failures = 0, retries = 0;
  std::map<std::string, int> ends;  // "exit code: reason" -> count
};

Figures Count(const std::vector<Outcome>& outcomes) {
  Figures figures;
  figures.tried = outcomes.size();
  for (const Outcome& outcome : outcomes) {
    figures.retries += static_cast<std::size_t>(outcome.start_retries);
    if (!outcome.started) ++figures.refused;
    if (!outcome.started) continue;
    ++figures.runs;
    if (outcome.timed_out) ++figures.hangs;
    if (!outcome.problem.empty()) ++figures.failures;
    if (IsExceptionCode(outcome.exit_code) && !outcome.problem.empty()) ++figures.crashes;
    ++figures.ends[std::to_string(outcome.exit_code) + ": " + outcome.reason];
  }
  return figures;
}

void Report(const Figures& figures, std::size_t lost) {
  testing::Test::RecordProperty("packages_tried", static_cast<int>(figures.tried));
  testing::Test::RecordProperty("runs", static_cast<int>(figures.runs));
  testing::Test::RecordProperty("crashes", static_cast<int>(figures.crashes));
  testing::Test::RecordProperty("hangs", static_cast<int>(figures.hangs));
  testing::Test::RecordProperty("files_outside_lost", static_cast<int>(lost));
  std::cout << "Malformed-package campaign: " << figures.tried << " packages tried, " << figures.runs
            << " runs, " << figures.crashes << " crashes, " << figures.hangs << " hangs, " << lost
            << " files outside lost, " << figures.refused << " refused by the system as images, "
            << figures.retries << " starts tried again after an internal error of the system\n";
  for (const auto& [end, count] : figures.ends) std::cout << "  " << count << " x exit " << end << "\n";
}

TEST(MalformedPackages, EveryRunEndsCleanlyAndStaysInItsFolder) {
  TempFolder root(L"campaign");
  PackageOptions made;
  made.output = root / L"valid.exe";
  made.parameters = L"/X /F Unpacked /A \"one two\"";
  ValidPackage valid;
  ASSERT_EQ(MakePackage(made, &valid.layout), "");
  valid.bytes = ReadBytes(made.output).value_or("");
  ASSERT_TRUE(RemoveTree(made.output));
  ASSERT_EQ(valid.layout.marker % 256, 0u);
  ASSERT_GT(valid.layout.s, 100000u) << "bin/fake_extractor.exe is missing";
  ASSERT_EQ(valid.bytes.size(), valid.layout.ArchiveEnd());
  const std::vector<DamagedPackage> packages = MakeCampaign(valid, kSeed);
  ASSERT_GE(packages.size(), 300u);
  for (const auto& package : packages) {
    ASSERT_FALSE(CouldRequestDeletion(Apply(valid.bytes, package.edits))) << package.label;
  }
  MakeSentinelTree(root / L"sentinel");
  const TreeSnapshot before = Snapshot(root / L"sentinel");
  Campaign campaign(valid, packages, root / L"runs");
  campaign.RunAll();
  const std::vector<std::string> changed = Differences(before, Snapshot(root / L"sentinel"));

  const std::vector<Outcome>& outcomes = campaign.outcomes();
  for (std::size_t i = 0; i < packages.size(); ++i) {
    EXPECT_EQ(outcomes[i].problem, "") << "package " << i << ": " << packages[i].label;
    if (packages[i].intact) {
      EXPECT_EQ(outcomes[i].exit_code, kEmbeddedCode) << "the valid package";
    }
  }
  for (const std::string& line : changed) ADD_FAILURE() << "outside the run folders: " << line;
  EXPECT_EQ(Snapshot(root.path()).size(), before.size() + 2) << "something was left beside the folders";
  Report(Count(outcomes), changed.size());
}

}  // namespace
}  // namespace harwtest
