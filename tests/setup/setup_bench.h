// Surroundings of one package run for the tests of the existing-folder
// question, the setup stage and folder removal: a fresh folder holding the
// package (possibly in a named subfolder), the folder it runs in, its own
// temporary folder for the log, and the fixtures steered to unpack Disk1
// with the fake setup program as Disk1\Setup.exe.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/log_reader.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/record.h"

namespace harwtest::setup {

/// Every package gets a name of its own, so test programs that ctest runs
/// side by side never meet on the package's single-instance mutex.
std::wstring UniquePackageName();

class Bench {
 public:
  /// Packs bin/HarwUpdater.exe with `embedded` (default: the fake extractor)
  /// as `package_folder`\<unique name>.exe below the test's folder.
  explicit Bench(const std::wstring& package_folder = L"pkg",
                 std::optional<std::wstring> parameters = std::nullopt,
                 std::filesystem::path embedded = {});

  const std::filesystem::path& work() const { return work_; }
  const std::filesystem::path& package() const { return package_; }
  /// The package's file name without extension, upper-cased as the program does.
  const std::wstring& base_name() const { return base_name_; }
  /// The temporary executable's name, "___<BASE>___.exe".
  std::wstring ArcName() const;
  std::filesystem::path SetupRecordPath() const { return aside_ / L"setup.txt"; }
  std::filesystem::path ExtractorRecordPath() const { return aside_ / L"extractor.txt"; }
  /// A path beside the test's folders that the package never touches.
  std::filesystem::path Aside(const std::wstring& name) const { return aside_ / name; }

  /// Program, arguments, current directory and environment of a run; tests
  /// change what they need before Run.
  RunOptions Options(std::vector<std::wstring> args = {}) const;
  /// Runs the package; fails the test if it does not start or end in time.
  RunResult Run(const RunOptions& options) const;
  RunResult RunWith(std::vector<std::wstring> args = {}) const { return Run(Options(std::move(args))); }

  /// The run's log; fails the test if it is missing or malformed.
  Log ReadRunLog() const;

  /// The log lines of start-up up to the parameters size, and those of the
  /// extractor stage that ends with 0; exact texts and levels.
  std::vector<Expected> StartLines() const;
  std::vector<Expected> ExtractLines() const;

 private:
  TempFolder root_;
  std::filesystem::path work_;
  std::filesystem::path temp_;
  std::filesystem::path aside_;
  std::filesystem::path package_;
  std::filesystem::path embedded_;
  std::wstring base_name_;
  std::uint64_t marker_offset_ = 0;
  std::uint32_t parameters_size_ = 0;
};

/// Success if `block` stands in `lines` as consecutive lines.
testing::AssertionResult HasBlock(const std::vector<Expected>& lines,
                                  const std::vector<Expected>& block);

/// Index of the first line with this exact text, or lines.size().
std::size_t IndexOf(const std::vector<Expected>& lines, const std::string& text);

/// Lines whose text starts with `prefix`.
std::vector<Expected> LinesStartingWith(const std::vector<Expected>& lines,
                                        const std::string& prefix);

/// The log's lines; the last-error values of the window calls, which no
/// contract fixes after a success, shown as "LastError=#".
std::vector<Expected> WithWindowErrorsMasked(const Log& log);

/// Names directly inside a folder; empty if it does not exist.
std::vector<std::wstring> Entries(const std::filesystem::path& folder);

/// Creates a file with a little text, and its folders; fails the test otherwise.
void MakeFile(const std::filesystem::path& path);

/// A value as 8 upper-case hexadecimal digits, as the log writes %p and %08X.
std::string Hex8(std::uintptr_t value);

}  // namespace harwtest::setup
