#include "e2e/e2e_support.h"

#include <regex>
#include <sstream>
#include <system_error>

namespace harwtest {

namespace fs = std::filesystem;

std::string HelpText(const std::string& notice) {
  return "HarwUpdater.exe (1.0.0.6)\n" + notice + "\n" +
         "\n"
         "Command Line Parameters:\n"
         "  /A \"<setup-parameter>\"   Parameters for Setup.exe\n"
         "  /S \"<setup-file-name>\"   Specify other Setup.exe\n"
         "  /X                       NOT execute Setup.exe\n"
         "  /F \"<folder-name>\"       Deleted Folder Name\n"
         "  /D                       delete folder before extraction\n"
         "  /W                       NOT wait termination for Setup.exe\n"
         "  /H                       NOT hide command-prompt window\n"
         "  /V                       Show Detail Information\n"
         "  /?                       Show This Help\n";
}

std::optional<std::string> TextBeforeHelp(const std::string& console) {
  const std::string head = "HarwUpdater.exe (1.0.0.6)\n";
  std::size_t start = console.rfind(head);
  if (start == std::string::npos) return std::nullopt;
  std::size_t notice_end = console.find('\n', start + head.size());
  if (notice_end == std::string::npos || notice_end == start + head.size()) return std::nullopt;
  std::string notice = console.substr(start + head.size(), notice_end - start - head.size());
  if (console.substr(start) != HelpText(notice)) return std::nullopt;
  return console.substr(0, start);
}

testing::AssertionResult ContainsInOrder(const std::vector<Expected>& actual,
                                         const std::vector<Expected>& expected) {
  std::size_t next = 0;
  for (const auto& line : actual) {
    if (next < expected.size() && line == expected[next]) ++next;
  }
  if (next == expected.size()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << "missing in order: " << expected[next] << "\nlog lines:\n";
  for (const auto& line : actual) failure << "  " << line << "\n";
  return failure;
}

static bool Matches(const LineCheck& check, const LogLine& line) {
  if (const auto* exact = std::get_if<Expected>(&check)) {
    return exact->level == line.level && exact->text == line.text;
  }
  const auto& pattern = std::get<Pattern>(check);
  return pattern.level == line.level && std::regex_match(line.text, std::regex(pattern.pattern));
}

static std::string Describe(const LineCheck& check) {
  std::ostringstream out;
  if (const auto* exact = std::get_if<Expected>(&check)) {
    out << *exact;
  } else {
    out << Expected{std::get<Pattern>(check).level, std::get<Pattern>(check).pattern} << " (pattern)";
  }
  return out.str();
}

testing::AssertionResult MatchesLines(const Log& log, const std::vector<LineCheck>& expected) {
  bool same = log.lines.size() == expected.size();
  for (std::size_t i = 0; same && i < expected.size(); ++i) same = Matches(expected[i], log.lines[i]);
  if (same) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << "expected lines:\n";
  for (const auto& check : expected) failure << "  " << Describe(check) << "\n";
  failure << "log lines:\n";
  for (const auto& line : log.lines) failure << "  " << Expected{line.level, line.text} << "\n";
  return failure;
}

testing::AssertionResult FullMatch(const std::string& text, const std::string& pattern) {
  if (std::regex_match(text, std::regex(pattern))) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "\"" << text << "\" does not match " << pattern;
}

std::set<std::wstring> Entries(const fs::path& folder) {
  std::set<std::wstring> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.insert(entry.path().filename().wstring());
  }
  return names;
}

fs::path PackageTest::Pack(const std::wstring& file, std::optional<std::wstring> parameters,
                           fs::path embedded) {
  PackageOptions options;
  options.output = work_ / file;
  options.parameters = std::move(parameters);
  options.embedded = std::move(embedded);
  std::string error = MakePackage(options);
  EXPECT_EQ(error, "") << "packing " << ToUtf8(file);
  return options.output;
}

ContainerPlace PackageTest::PlaceOf(const fs::path& package,
                                    const std::optional<std::wstring>& parameters,
                                    const fs::path& embedded) const {
  ContainerPlace place;
  place.s = static_cast<std::uint32_t>(
      fs::file_size(embedded.empty() ? BinPath(L"fake_extractor.exe") : embedded));
  place.p = parameters ? static_cast<std::uint32_t>((parameters->size() + 1) * 2) : 0;
  // The packer puts the container last, so its start follows from its size.
  place.marker = fs::file_size(package) - 156 - place.p - place.s;
  return place;
}

RunOptions PackageTest::Options(const fs::path& package, std::vector<std::wstring> args) const {
  RunOptions options = InFolder(package, work_.path(), std::move(args));
  SetEnv(options, L"HARW_FAKE_RECORD", (aside_ / L"extractor.txt").wstring());
  SetEnv(options, L"HARW_FAKE_FOLDER", L"Disk1");
  SetEnv(options, L"HARW_FAKE_FILES", L"a.txt");
  return options;
}

void PackageTest::AddSetup(RunOptions& options) const {
  SetEnv(options, L"HARW_FAKE_COPY_FROM", BinPath(L"fake_setup.exe").wstring());
  SetEnv(options, L"HARW_FAKE_COPY_TO", L"Setup.exe");
  SetEnv(options, L"HARW_SETUP_RECORD", (aside_ / L"setup.txt").wstring());
}

RunResult PackageTest::Run(const RunOptions& options) {
  RunResult result = RunProcess(options);
  EXPECT_TRUE(result.started) << result.error;
  EXPECT_FALSE(result.timed_out) << "the package did not end within the time limit";
  return result;
}

Log PackageTest::ReadWorkLog(const std::wstring& name) const {
  std::optional<Log> log = ReadLog(work_ / name);
  if (!log) {
    ADD_FAILURE() << "no log file " << ToUtf8(name);
    return {};
  }
  EXPECT_EQ(log->problem, "");
  return *log;
}

}  // namespace harwtest
