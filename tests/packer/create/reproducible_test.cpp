// Reproducible packages: SOURCE_DATE_EPOCH, file times, and whole builds
// compared byte for byte across everything that may differ between builders.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "packer/inspect/archive_report.h"
#include "packer/cli/cli.h"
#include "packer/platform/file_times.h"
#include "packer/inspect/inspect.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;

namespace {

using harwpack_test::Bytes;
using harwpack_test::ScratchDir;

using harwpack_test::P;

TEST(SourceDateEpochTest, TakesOnlyWholeSecondsUpToYear9999) {
  struct Case {
    const char* value;  // nullptr: not set
    bool valid;
    std::uint64_t seconds;
  };
  const Case cases[] = {
      {nullptr, true, 0},       {"0", true, 0},        {"1700000000", true, 1700000000},
      {"253402300799", true, 253402300799},            {"253402300800", false, 0},
      {"99999999999999999999", false, 0},              {"", false, 0},
      {" 1", false, 0},         {"+1", false, 0},       {"-1", false, 0},
      {"1.5", false, 0},        {"1e9", false, 0},      {"0x10", false, 0},
  };
  for (const Case& c : cases) {
    std::optional<std::uint64_t> seconds = 12345;
    const std::string error = harwpack::ParseSourceDateEpoch(c.value, seconds);
    const std::string label = c.value == nullptr ? "(unset)" : c.value;
    if (!c.valid) {
      EXPECT_NE(error.find("SOURCE_DATE_EPOCH"), std::string::npos) << label << ": " << error;
      EXPECT_FALSE(seconds.has_value()) << label;
      continue;
    }
    EXPECT_EQ(error, "") << label;
    EXPECT_EQ(seconds.has_value(), c.value != nullptr) << label;
    if (c.value != nullptr) EXPECT_EQ(*seconds, c.seconds) << label;
  }
}

TEST(FileTimesTest, SetTimeReadsBackInNsisUnits) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "f", {1});
  // 2001-09-09 01:46:40 UTC, a FILETIME value that 7-Zip and Windows show the same.
  const std::uint64_t ticks = harwpack::TicksFromUnixSeconds(1000000000);
  EXPECT_EQ(ticks, 126444736000000000ull);
  for (const std::uint64_t value : {ticks, ticks + 12345670}) {
    ASSERT_EQ(harwpack::SetModificationTime(dir / "f", value), "");
    std::uint64_t read = 0;
    ASSERT_EQ(harwpack::ReadModificationTime(dir / "f", read), "");
    EXPECT_EQ(read, value);
  }
  std::uint64_t read = 0;
  EXPECT_NE(harwpack::ReadModificationTime(dir / "missing", read), "");
}

#ifndef _WIN32

constexpr std::uint64_t kEpoch = 1700000000;  // 2023-11-14 22:13:20 UTC, an even second as NSIS stores them

/// The installation used for every build: names beyond ASCII, a '$', an empty folder, a subfolder.
const std::vector<std::pair<std::string, std::string>>& Files() {
  static const std::vector<std::pair<std::string, std::string>> files = {
      {"Setup.exe", [] {
         const harwpack_test::Bytes pe = harwpack_test::MinimalPe();
         return std::string(pe.begin(), pe.end());
       }()},
      {"readme $1.txt", "read me"},
      {"\xC3\x96rdner/\xC3\xA4pfel.txt", "apples"},
      {"sub/a.txt", "a"},
      {"sub/deeper/b.bin", std::string(70000, 'b')},
      {"old.txt", "older than the epoch"},
  };
  return files;
}

/// Makes the installation in `root`, creating the files in the given order,
/// each with time `base` + 7 s per file, except old.txt (2020-01-01, before the epoch).
void MakeInstallation(const fs::path& root, bool reversed, std::int64_t base) {
  fs::create_directories(root / "empty");
  std::vector<std::pair<std::string, std::string>> files = Files();
  if (reversed) std::reverse(files.begin(), files.end());
  std::int64_t seconds = base;
  for (const auto& [name, text] : files) {
    const fs::path path = root / name;
    fs::create_directories(path.parent_path());
    harwpack_test::WriteBytes(path, Bytes(text.begin(), text.end()));
    const std::uint64_t when = name == "old.txt" ? 1577836800 : static_cast<std::uint64_t>(seconds += 7);
    ASSERT_EQ(harwpack::SetModificationTime(path, harwpack::TicksFromUnixSeconds(when)), "");
  }
}

/// The row of a 7-Zip listing that ends with `name`; "" when there is none.
std::string ListedRow(const std::string& listing, const std::string& name) {
  std::size_t start = 0;
  for (std::size_t end = listing.find('\n'); end != std::string::npos; end = listing.find('\n', start)) {
    std::string row = listing.substr(start, end - start);
    if (!row.empty() && row.back() == '\r') row.pop_back();
    if (row.size() > name.size() && row.compare(row.size() - name.size(), name.size(), name) == 0) return row;
    start = end + 1;
  }
  return "";
}

/// Builds with one extractor, the builtin one (on a stand-in of its program) or NSIS.
class ReproducibleTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    builtin_ = std::string(GetParam()) == "builtin";
    if (!builtin_ && !harwpack_test::RunCommand(dir_.path(), "makensis", {"-VERSION"}).started) {
      GTEST_SKIP() << "makensis is not installed";
    }
    extractor_ = {"--extractor", GetParam()};
    if (builtin_) {
      const std::vector<std::string> program = harwpack_test::ExtractorArgs(dir_.path());
      extractor_.insert(extractor_.end(), program.begin(), program.end());
    }
    harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
    MakeInstallation(dir_ / "one" / "Disk1", false, 1750000000);
    MakeInstallation(dir_ / "two" / "other place" / "Installation", true, 1760000000);
  }

  /// Builds with `environment` ("NAME=value", "-u NAME") and returns the package's bytes.
  Bytes Build(const fs::path& folder, const std::string& name, std::vector<std::string> environment) {
    std::vector<std::string> args;
    for (const std::string& setting : environment) {
      if (setting.rfind("-u ", 0) == 0) {
        args.insert(args.end(), {"-u", setting.substr(3)});
      } else {
        args.push_back(setting);
      }
    }
    args.insert(args.end(), {HARWPACK_EXE, "create", "--stub", P(dir_ / "stub.exe"), "--folder", P(folder),
                             "--params", "/A \"-s\"", "--out", P(dir_ / name)});
    args.insert(args.end(), extractor_.begin(), extractor_.end());
    const auto run = harwpack_test::RunCommand(dir_.path(), "env", args);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    return harwpack_test::ReadBytes(dir_ / name);
  }

  ScratchDir dir_;
  bool builtin_ = false;
  std::vector<std::string> extractor_;
};

INSTANTIATE_TEST_SUITE_P(Extractors, ReproducibleTest, ::testing::Values("builtin", "nsis"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(ReproducibleTest, SameSourceDateSameBytesWhateverElseDiffers) {
  const std::string epoch = "SOURCE_DATE_EPOCH=" + std::to_string(kEpoch);
  const Bytes reference = Build(dir_ / "one" / "Disk1", "reference.exe", {epoch, "LC_ALL=C.UTF-8", "TZ=UTC"});
  ASSERT_FALSE(reference.empty());
  fs::create_directories(dir_ / "home");
  fs::create_directories(dir_ / "other temp");
  harwpack_test::WriteBytes(dir_ / "home" / ".nsisconf.nsh", {'X', 'P', 'S', 't', 'y', 'l', 'e', ' ', 'o', 'n', '\n'});
  struct Variant {
    const char* name;
    std::vector<std::string> environment;
  };
  const Variant variants[] = {
      {"other_folder_order_and_times", {epoch}},
      {"c_locale", {epoch, "LC_ALL=C"}},
      {"other_time_zone", {epoch, "TZ=Pacific/Kiritimati"}},
      {"user_nsis_configuration", {epoch, "HOME=" + P(dir_ / "home")}},
      {"other_temporary_folder", {epoch, "TMPDIR=" + P(dir_ / "other temp")}},
  };
  for (const Variant& v : variants) {
    const Bytes built = Build(dir_ / "two" / "other place" / "Installation", std::string(v.name) + ".exe",
                              v.environment);
    EXPECT_TRUE(built == reference) << v.name << ": the package differs from the reference";
  }
  EXPECT_TRUE(harwpack_test::ListDir(dir_ / "other temp").empty()) << "the working folder was left behind";
}

/// The time the builtin archive of `package` stores for `name`, as inspect shows it; "" when it holds no such file.
std::string ArchivedTime(const fs::path& package, const std::string& name) {
  harwpack::PackageReport report;
  EXPECT_EQ(harwpack::InspectPackage(package, report), "");
  EXPECT_TRUE(report.archive.verified) << report.archive.problem;
  std::string path = "Disk1/" + name;
  std::replace(path.begin(), path.end(), '/', '\\');
  for (const harwarchive::Entry& entry : report.archive.table.entries) {
    if (harwarchive::ToUtf8(entry.path) == path) return harwpack::FormatTicks(entry.modified);
  }
  return "";
}

TEST_P(ReproducibleTest, FileTimesAreShippedClampedOrAsTheyAre) {
  const Bytes own_one = Build(dir_ / "one" / "Disk1", "own-one.exe", {"-u SOURCE_DATE_EPOCH"});
  const Bytes own_two = Build(dir_ / "two" / "other place" / "Installation", "own-two.exe", {"-u SOURCE_DATE_EPOCH"});
  EXPECT_FALSE(own_one == own_two) << "different file times must give different packages";
  Build(dir_ / "two" / "other place" / "Installation", "clamped.exe", {"SOURCE_DATE_EPOCH=" + std::to_string(kEpoch)});
  if (builtin_) {
    // Clamped to the epoch, or as the file has it, to the 100 ns.
    std::uint64_t setup = 0;
    ASSERT_EQ(harwpack::ReadModificationTime(dir_ / "two" / "other place" / "Installation" / "Setup.exe", setup), "");
    const std::pair<const char*, std::string> expected[] = {
        {"Setup.exe", "2023-11-14 22:13:20 UTC"}, {"sub/deeper/b.bin", "2023-11-14 22:13:20 UTC"},
        {"\xC3\x96rdner/\xC3\xA4pfel.txt", "2023-11-14 22:13:20 UTC"}, {"old.txt", "2020-01-01 00:00:00 UTC"}};
    for (const auto& [name, time] : expected) EXPECT_EQ(ArchivedTime(dir_ / "clamped.exe", name), time) << name;
    EXPECT_EQ(ArchivedTime(dir_ / "own-two.exe", "old.txt"), "2020-01-01 00:00:00 UTC");
    EXPECT_EQ(ArchivedTime(dir_ / "own-two.exe", "Setup.exe"), harwpack::FormatTicks(setup));
    return;
  }

  // 7-Zip reads the extractor independently: which names and times does it ship?
  struct Listed {
    const char* package;
    const char* name;
    const char* time;  // UTC
  };
  const Listed expected[] = {
      {"clamped.exe", "Setup.exe", "2023-11-14 22:13:20"},
      {"clamped.exe", "sub/deeper/b.bin", "2023-11-14 22:13:20"},
      {"clamped.exe", "\xC3\x96rdner/\xC3\xA4pfel.txt", "2023-11-14 22:13:20"},
      {"clamped.exe", "readme $1.txt", "2023-11-14 22:13:20"},
      {"clamped.exe", "old.txt", "2020-01-01 00:00:00"},
      {"own-two.exe", "old.txt", "2020-01-01 00:00:00"},
      // Its own time, 1760000000 + 7 s per file before it (NSIS keeps even seconds).
      {"own-two.exe", "Setup.exe", "2025-10-09 08:53:54"},
  };
  for (const char* package : {"clamped.exe", "own-two.exe"}) {
    ASSERT_EQ(harwpack::RunCli({"extract", P(dir_ / package), "--out", P(dir_ / "x.exe")}, std::cout, std::cerr), 0);
    const auto listing = harwpack_test::RunCommand(dir_.path(), "env", {"TZ=UTC", "7zz", "l", P(dir_ / "x.exe")});
    if (!listing.started) GTEST_SKIP() << "7zz is not installed";
    ASSERT_EQ(listing.exit_code, 0) << listing.output;
    for (const Listed& e : expected) {
      if (std::string(e.package) != package) continue;
      const std::string row = ListedRow(listing.output, std::string("$EXEDIR/Disk1/") + e.name);
      EXPECT_EQ(row.substr(0, 25), std::string(e.time) + " .....") << package << ": " << e.name << " in\n"
                                                                      << listing.output;
    }
  }
}

#endif

}  // namespace
