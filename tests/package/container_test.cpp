// Finding the container in the package's own file, reading its parameter
// block, and writing the embedded executable out to ___NAME___.exe.
#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;
std::string FakeExtractorBytes() {
  std::optional<std::string> bytes = ReadBytes(BinPath(L"fake_extractor.exe"));
  EXPECT_TRUE(bytes);
  return bytes.value_or(std::string());
}

class ContainerTest : public PackageTest {};

struct MarkerCase {
  const char* name;
  std::uint32_t extra_offset;
  std::uint16_t terminator;
  bool found;
};
void PrintTo(const MarkerCase& c, std::ostream* out) { *out << c.name; }

class MarkerSearch : public PackageTest, public testing::WithParamInterface<MarkerCase> {};

TEST_P(MarkerSearch, MarkerCountsOnlyAtA256ByteBoundaryWithItsTerminator) {
  const MarkerCase& c = GetParam();
  RawPackage raw;
  raw.output = L"Mark.exe";
  raw.extra_offset = c.extra_offset;
  raw.marker_terminator = c.terminator;
  raw.parameters = L"/X";
  raw.archived_data = FakeExtractorBytes();
  PackRaw(raw);
  const std::uint64_t marker = layout().marker;
  RunResult result = Run(Options());

  Log log = ReadRunLog();
  if (c.found) {
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    ASSERT_GE(log.lines.size(), 3u);
    EXPECT_EQ(LevelsAndTexts(log)[1], (Expected{4, "Found Archived Data Marker " + std::to_string(marker + 148)}));
    EXPECT_EQ(LevelsAndTexts(log)[2], (Expected{1, "Parameters size=6"}));
    EXPECT_TRUE(ExtractorRecord().has_value());
  } else {
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(MatchesLines(log, {{4, "CreateMutex(\"MARK#HarwUpdater#Mutex\")"}, {1, "File format is invalid"}}));
    EXPECT_EQ(Entries(work()), (std::set<std::wstring>{L"Mark.exe", L"MARK.log"}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Places, MarkerSearch,
    testing::Values(MarkerCase{"right_after_the_image", 0, 0, true},
                    MarkerCase{"one_block_later", 256, 0, true},
                    MarkerCase{"eight_bytes_off", 8, 0, false},
                    MarkerCase{"half_a_block_off", 128, 0, false},
                    MarkerCase{"blank_instead_of_terminator", 0, L' ', false},
                    MarkerCase{"star_instead_of_terminator", 0, L'*', false}),
    [](const testing::TestParamInfo<MarkerCase>& info) { return std::string(info.param.name); });

TEST_F(ContainerTest, BareProgramHasNoContainer) {
  fs::copy_file(BinPath(L"HarwUpdater.exe"), work() / L"Bare.exe");
  RunOptions options = Options();
  options.program = work() / L"Bare.exe";
  RunResult result = Run(options);
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_EQ(ConsoleText(result), "");
  std::optional<Log> log = ReadLog(work() / L"BARE.log");
  ASSERT_TRUE(log);
  EXPECT_TRUE(MatchesLines(*log, {{4, "CreateMutex(\"BARE#HarwUpdater#Mutex\")"}, {1, "File format is invalid"}}));
}

struct DamageCase {
  const char* name;
  std::optional<std::uint32_t> declared_parameters_size;
  std::optional<std::uint32_t> extra_declared_size;  ///< added to the true archived data size
  std::optional<std::size_t> container_length;
  const char* last_line;  ///< pattern of the last log line, level 0x01
  bool arc_created;
};
void PrintTo(const DamageCase& c, std::ostream* out) { *out << c.name; }

class DamagedContainer : public PackageTest, public testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedContainer, EndsWithExitCode1AtTheFirstMissingField) {
  const DamageCase& c = GetParam();
  RawPackage raw;
  raw.output = L"Cut.exe";
  raw.parameters = L"/X";
  raw.declared_parameters_size = c.declared_parameters_size;
  raw.archived_data = FakeExtractorBytes();
  if (c.extra_declared_size) {
    raw.declared_size = static_cast<std::uint32_t>(raw.archived_data.size()) + *c.extra_declared_size;
  }
  raw.container_length = c.container_length;
  PackRaw(raw);
  RunResult result = Run(Options());

  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_LT(result.elapsed, std::chrono::seconds(10)) << "a short file must not make the copy wait";
  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines.back().level, 1u);
  EXPECT_TRUE(FullMatch(log.lines.back().text, c.last_line));
  if (c.arc_created) {
    EXPECT_TRUE(HasLines(log, {{4, "CreateFile(\"___CUT___.exe\")"}}));
  }
  EXPECT_FALSE(ExtractorRecord().has_value()) << "nothing may be run";
}

// The container is: marker (148), P (4), the string "/X" (6), S (4), data.
INSTANTIATE_TEST_SUITE_P(
    Cuts, DamagedContainer,
    testing::Values(
        DamageCase{"no_parameters_size", {}, {}, 148, "ReadFile\\(Size\\) LastError=\\d+", false},
        DamageCase{"half_a_parameters_size", {}, {}, 150, "ReadFile\\(Size\\) LastError=\\d+", false},
        DamageCase{"parameters_cut_short", {}, {}, 155, "ReadFile\\(Params\\) LastError=\\d+", false},
        DamageCase{"parameters_size_past_the_end", 0x01000000, {}, {}, "ReadFile\\(Params\\) LastError=\\d+", false},
        DamageCase{"no_data_size", {}, {}, 158, "ReadFile\\(Size\\) read-bytes=0", true},
        DamageCase{"half_a_data_size", {}, {}, 160, "ReadFile\\(Size\\) read-bytes=2", true},
        DamageCase{"data_size_past_the_end", {}, 1000000, {}, "ReadFile\\(Myself\\) LastError=\\d+", true}),
    [](const testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

TEST_F(ContainerTest, EmptyArchivedDataCannotBeStartedAndIsDeleted) {
  ASSERT_TRUE(WriteBytes(Aside(L"empty.bin"), ""));
  Pack(L"Empty.exe", L"/X", Aside(L"empty.bin"));
  const PackageLayout& place = layout();
  RunResult result = Run(Options());

  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_TRUE(MatchesLines(ReadRunLog(), {
      Expected{4, "CreateMutex(\"EMPTY#HarwUpdater#Mutex\")"},
      Expected{4, "Found Archived Data Marker " + std::to_string(place.marker + 148)},
      Expected{1, "Parameters size=6"},
      Expected{1, "Parameters \"/X\""},
      Expected{4, "MakeParameter \"/X\""},
      Expected{4, "Parameter /X"},
      Expected{4, "CreateFile(\"___EMPTY___.exe\")"},
      Expected{4, "Top of Archived Data " + std::to_string(place.marker + 158)},
      Expected{4, "Size of Archived Data 0"},
      Expected{4, "CloseHandle(\"___EMPTY___.exe\")"},
      Pattern{1, "CreateProcess\\(Arc\\) LastError=\\d+"},
      Expected{4, "DeleteFile(\"___EMPTY___.exe\")"},
  }));
  EXPECT_FALSE(fs::exists(work() / L"___EMPTY___.exe"));
}

TEST_F(ContainerTest, ExistingTemporaryExecutableIsReplaced) {
  Pack(L"Repl.exe", L"/X");
  // Longer than the embedded executable, so a copy that did not truncate
  // would leave its tail behind.
  const std::uintmax_t embedded = fs::file_size(BinPath(L"fake_extractor.exe"));
  ASSERT_TRUE(WriteBytes(work() / L"___REPL___.exe", std::string(embedded + 100000, 'Z')));
  RunResult result = Run(Options());

  EXPECT_EQ(result.exit_code, 0u) << result.err;
  std::optional<Record> record = ExtractorRecord();
  ASSERT_TRUE(record) << "the extractor did not run";
  EXPECT_EQ((*record)["self_size"], std::to_string(embedded));
  EXPECT_FALSE(fs::exists(work() / L"___REPL___.exe"));
}

// A folder cannot be opened as the temporary executable: the system answers
// with access denied (5), and nothing is started.
TEST_F(ContainerTest, FolderInTheWayOfTheTemporaryExecutableEndsTheRunBeforeAnythingStarts) {
  Pack(L"Block.exe", L"/X");
  ASSERT_TRUE(fs::create_directory(work() / L"___BLOCK___.exe"));
  RunResult result = Run(Options());

  EXPECT_EQ(result.exit_code, 1u);
  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(LevelsAndTexts(log).back(), (Expected{1, "CreateFile(Arc) LastError=5"}));
  EXPECT_EQ(ConsoleText(result), "Error: Create archived data file (5)\n\n");
  EXPECT_TRUE(fs::is_directory(work() / L"___BLOCK___.exe"));
  EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"Block.exe", L"BLOCK.log", L"___BLOCK___.exe"}));
  EXPECT_FALSE(ExtractorRecord().has_value());
}

}  // namespace
}  // namespace harwtest
