// Shared set-up of the end-to-end tests: each test packs a real package into a
// fresh folder, runs it there as a child process with TMP and TEMP pointed at
// that folder (so its log lands beside it), and inspects exit code, log,
// console text and the files left behind.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "support/log_reader.h"
#include "support/package.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/record.h"
#include "support/text.h"

namespace harwtest {

/// Where the container of a package made by the packer lies.
struct ContainerPlace {
  std::uint64_t marker = 0;  ///< file offset of the marker
  std::uint32_t p = 0;       ///< parameters size
  std::uint32_t s = 0;       ///< archived data size
};

/// Builds the help text as the program prints it, with `notice` as its second
/// line.
std::string HelpText(const std::string& notice);

/// If `console` ends with the help text, the text before it; else nullopt.
/// The maker's notice (second line of the help) may be any non-empty line.
std::optional<std::string> TextBeforeHelp(const std::string& console);

/// Success if `expected` occurs in `actual` in this order, other lines between.
testing::AssertionResult ContainsInOrder(const std::vector<Expected>& actual,
                                         const std::vector<Expected>& expected);

/// A line a test expects where part of the text depends on the machine (a
/// window handle, an error number): `pattern` is an ECMAScript regular
/// expression that must match the whole text.
struct Pattern {
  unsigned level;
  std::string pattern;
};

/// Success if the log's lines are exactly `expected`, one for one, each entry
/// either an exact Expected line or a Pattern.
using LineCheck = std::variant<Expected, Pattern>;
testing::AssertionResult MatchesLines(const Log& log, const std::vector<LineCheck>& expected);

/// Success if the whole of `text` matches the ECMAScript regular expression.
testing::AssertionResult FullMatch(const std::string& text, const std::string& pattern);

/// Names in a folder exactly as stored (letter case included).
std::set<std::wstring> Entries(const std::filesystem::path& folder);

class PackageTest : public testing::Test {
 protected:
  /// Makes `file` in the work folder with the packer, embedding the fake
  /// extractor (or `embedded`); fails the test if the packer refuses.
  std::filesystem::path Pack(const std::wstring& file,
                             std::optional<std::wstring> parameters = std::nullopt,
                             std::filesystem::path embedded = {});

  /// Where the container of Pack's package lies.
  ContainerPlace PlaceOf(const std::filesystem::path& package,
                         const std::optional<std::wstring>& parameters,
                         const std::filesystem::path& embedded = {}) const;

  /// The usual way to run `package`: in the work folder, TMP and TEMP set to
  /// it, the fake extractor writing its record aside and unpacking Disk1
  /// with a.txt, standard input empty.
  RunOptions Options(const std::filesystem::path& package, std::vector<std::wstring> args = {}) const;

  /// Runs the child; fails the test if it cannot start or runs out of time.
  RunResult Run(const RunOptions& options);

  /// The log `name` (for example L"UPDATE2.log") in the work folder; fails
  /// the test if it is missing or not made of well-formed lines.
  Log ReadWorkLog(const std::wstring& name) const;

  /// Lets the fake extractor put the fake setup program at Disk1\Setup.exe,
  /// recording what it sees aside.
  void AddSetup(RunOptions& options) const;
  std::optional<Record> SetupRecord() const { return ReadRecord(aside_ / L"setup.txt"); }

  /// The record the fake extractor wrote; nullopt if it did not run.
  std::optional<Record> ExtractorRecord() const { return ReadRecord(aside_ / L"extractor.txt"); }

  TempFolder work_{CurrentTestLabel()};
  /// Files the tests need that must not lie in the work folder.
  TempFolder aside_{CurrentTestLabel() + L"~"};
};

}  // namespace harwtest
