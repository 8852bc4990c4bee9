// The bench of the end-to-end tests: a real package made in a fresh folder,
// run there as a child process with TMP and TEMP pointed at that folder (so
// its log lands beside it) and the fixture programs steered through the
// environment; then what the run left: exit code, log, console text, the
// fixtures' records and the files on disk.
//
// Test programs run side by side, and a package's name is also the name of
// its single-instance mutex: every test program uses package names of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/folders.h"
#include "support/log_reader.h"
#include "support/package.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/record.h"
#include "support/text.h"

namespace harwtest {

class Bench {
 public:
  /// Fresh work and aside folders, named after the running test.
  Bench();

  /// The run's current directory, TMP and TEMP; Pack puts packages here.
  const std::filesystem::path& work() const { return work_.path(); }
  /// A path in a folder that runs never touch: the fixtures' records, and
  /// files a test keeps out of the work folder.
  std::filesystem::path Aside(const std::filesystem::path& name) const { return aside_ / name; }

  /// Writes a package with the packer library at `file` (a relative path is
  /// taken in the work folder), embedding the fake extractor unless
  /// `embedded` is given; fails the test if the packer refuses. Options,
  /// ReadRunLog and the expected lines then refer to this package.
  std::filesystem::path Pack(const std::filesystem::path& file,
                             std::optional<std::wstring> parameters = std::nullopt,
                             std::filesystem::path embedded = {});
  /// The same for a container written field by field (MakeRawPackage).
  std::filesystem::path PackRaw(RawPackage raw);

  /// The package Pack or PackRaw wrote last.
  const std::filesystem::path& package() const { return package_; }
  /// Where that package's container lies.
  const PackageLayout& layout() const { return layout_; }
  /// The package's file name without its extension, a to z upper-cased, as
  /// the program derives it for its log, mutex and temporary executable.
  std::wstring BaseName() const;
  /// "___<BASE>___.exe"
  std::wstring ArcName() const { return L"___" + BaseName() + L"___.exe"; }

  /// The usual run of the package: in the work folder, TMP and TEMP set to it,
  /// standard input empty; the fake extractor records aside and unpacks Disk1
  /// with a.txt.
  RunOptions Options(std::vector<std::wstring> args = {}) const;
  /// Lets the fake extractor put the fake setup program at Disk1\Setup.exe,
  /// which records aside.
  void AddSetup(RunOptions& options) const;

  /// Runs the child; fails the test if it cannot start or runs out of time.
  RunResult Run(const RunOptions& options) const;

  /// The run's log, <BASE>.log in the work folder; fails the test if it is
  /// missing or not made of well-formed lines.
  Log ReadRunLog() const;

  /// The records of the fake extractor and the fake setup; nullopt if they did not run.
  std::optional<Record> ExtractorRecord() const { return ReadRecord(ExtractorRecordPath()); }
  std::optional<Record> SetupRecord() const { return ReadRecord(SetupRecordPath()); }
  /// Where the fake extractor and the fake setup write their records.
  std::filesystem::path ExtractorRecordPath() const { return Aside(L"extractor.txt"); }
  std::filesystem::path SetupRecordPath() const { return Aside(L"setup.txt"); }

  /// The exact log lines of start-up, up to the parameters size.
  Lines StartLines() const;
  /// The exact log lines of an extractor stage whose extractor ends with 0.
  Lines ExtractLines() const;

 private:
  TempFolder work_;
  TempFolder aside_;
  std::filesystem::path package_;
  PackageLayout layout_;
};

/// A test fixture with a bench of its own.
class PackageTest : public testing::Test, public Bench {
 protected:
  /// Bench::Run, not testing::Test's.
  using Bench::Run;
};

}  // namespace harwtest
