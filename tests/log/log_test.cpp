// The diagnostic log as a file: its line layout, the cuts at 1,024
// characters, the trailing line feed rule, the 10 MiB cap, and a log file
// that another process holds open.
#include <windows.h>

#include <cstdio>

#include <gmock/gmock.h>

#include "support/bench.h"
#include "support/handle.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

class LogTest : public PackageTest {};

std::string LocalDate() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char date[16];
  std::snprintf(date, sizeof(date), "%04u/%02u/%02u", now.wYear, now.wMonth, now.wDay);
  return date;
}

TEST_F(LogTest, FileIsUtf8LinesWithTimeAndLevel) {
  const std::wstring parameters = L"/X /A \"\u00e4\u0416\u20ac\U0001D11E\"";
  Pack(L"Layout.exe", parameters);
  const std::string date_before = LocalDate();
  RunResult result = Run(Options());
  const std::string date_after = LocalDate();
  EXPECT_EQ(result.exit_code, 0u) << result.err;

  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.raw.find('\r'), std::string::npos) << "lines end with a bare line feed";
  EXPECT_EQ(log.raw.back(), '\n');
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(log.raw.front()))) << "no byte-order mark";
  EXPECT_NE(log.raw.find(", 0x01, Parameters \"/X /A \"\xC3\xA4\xD0\x96\xE2\x82\xAC\xF0\x9D\x84\x9E\"\"\n"),
            std::string::npos)
      << "the parameter string is written as UTF-8";
  std::string previous;
  for (const LogLine& line : log.lines) {
    EXPECT_THAT(line.stamp.substr(0, 10), testing::AnyOf(date_before, date_after));
    EXPECT_GE(line.stamp, previous) << "time stamps run forward";
    EXPECT_THAT(line.level, testing::AnyOf(1u, 4u)) << line.text;
    previous = line.stamp;
  }
}

struct LineCase {
  const char* name;
  std::wstring entry;     ///< a command-line entry, logged as "Parameter %s"
  std::string expected;   ///< the bytes of its line after the 31-character prefix
};
void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

class LineCut : public PackageTest, public testing::WithParamInterface<LineCase> {};

// A cut line loses its line feed, so the next line follows it directly.
TEST_P(LineCut, LineIsCutAt1024CharactersAndTheNextLineFollows) {
  const LineCase& c = GetParam();
  Pack(L"Long.exe", L"/X");
  RunResult result = Run(Options({c.entry}));
  EXPECT_EQ(result.exit_code, 0u) << result.err;

  std::optional<Log> log = ReadLog(work() / L"LONG.log");
  ASSERT_TRUE(log);
  const std::string& raw = log->raw;
  std::size_t text = raw.find(", 0x04, Parameter " + ToUtf8(c.entry.substr(0, 4)));
  ASSERT_NE(text, std::string::npos);
  std::size_t start = text - 23;  // the time stamp before it
  ASSERT_GE(raw.size(), start + kLogPrefixLength + c.expected.size());
  EXPECT_EQ(raw.substr(start + kLogPrefixLength, c.expected.size()), c.expected);
  Log rest = ParseLog(raw.substr(start + kLogPrefixLength + c.expected.size()));
  ASSERT_FALSE(rest.lines.empty());
  EXPECT_EQ(rest.lines.front().text, "CreateFile(\"___LONG___.exe\")");
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LineCut,
    testing::Values(
        // "Parameter " is 10 characters: a 982-character entry makes a
        // 992-character message and a line of exactly 1,024 with its line feed.
        LineCase{"message_992", std::wstring(982, L'a'), "Parameter " + std::string(982, 'a') + "\n"},
        LineCase{"message_993", std::wstring(983, L'b'), "Parameter " + std::string(983, 'b')},
        LineCase{"message_2000", std::wstring(1990, L'c'), "Parameter " + std::string(983, 'c')},
        LineCase{"trailing_line_feed", L"tail\n", "Parameter tail\n"},
        LineCase{"only_one_line_feed_removed", L"two\n\n", "Parameter two\n\n"},
        LineCase{"line_feed_inside", L"in\nside", "Parameter in\nside\n"}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

struct CapCase {
  const char* name;
  std::size_t existing_size;
  const char* first_line;  ///< how the file's first line begins after the run
};
void PrintTo(const CapCase& c, std::ostream* out) { *out << c.name; }

class SizeCap : public PackageTest, public testing::WithParamInterface<CapCase> {};

// The size is checked before each append, so a file at the cap takes one more
// line, passes the cap, and the next line empties it: the run's first line is
// then lost. Past the cap, the run's first line empties the file and stays.
TEST_P(SizeCap, LogIsEmptiedBeforeALineOnlyWhenLongerThan10MiB) {
  const CapCase& c = GetParam();
  Pack(L"Cap.exe", L"/X");
  ASSERT_TRUE(WriteBytes(work() / L"CAP.log", std::string(c.existing_size, '#')));
  RunResult result = Run(Options());
  EXPECT_EQ(result.exit_code, 0u) << result.err;

  Log log = ReadRunLog();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_LT(log.raw.size(), 4096u);
  EXPECT_EQ(log.lines.front().text.rfind(c.first_line, 0), 0u) << log.lines.front().text;
  EXPECT_EQ(log.lines.back().text, "DeleteFile(\"___CAP___.exe\")");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeCap,
    testing::Values(CapCase{"below_10MiB", 10485700, "Found Archived Data Marker "},
                    CapCase{"exactly_10MiB", 10485760, "Found Archived Data Marker "},
                    CapCase{"one_byte_more", 10485761, "CreateMutex(\"CAP#HarwUpdater#Mutex\")"}),
    [](const testing::TestParamInfo<CapCase>& info) { return std::string(info.param.name); });

// Another process holding the log without write sharing costs log lines,
// never the run.
TEST_F(LogTest, HeldOpenWithoutWriteSharingLosesLinesButNotTheRun) {
  Pack(L"Held.exe", L"/X");
  const fs::path log = work() / L"HELD.log";
  for (DWORD code : {0u, 7u}) {
    SCOPED_TRACE("extractor exit code " + std::to_string(code));
    ASSERT_TRUE(WriteBytes(log, "an earlier line\n"));
    Handle holder(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    RunOptions options = Options();
    SetEnv(options, L"HARW_FAKE_EXIT", std::to_wstring(code));
    RunResult result = RunProcess(options);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, code);
    EXPECT_TRUE(ExtractorRecord().has_value()) << "the run stopped early";
    EXPECT_FALSE(fs::exists(work() / L"___HELD___.exe"));
    EXPECT_EQ(ReadBytes(log).value_or(""), "an earlier line\n") << "the held log was written";
    holder.Reset();
    DeleteFileW(ExtractorRecordPath().c_str());
  }
}

}  // namespace
}  // namespace harwtest
