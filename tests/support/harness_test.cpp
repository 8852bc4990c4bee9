// The harness itself: what the end-to-end tests conclude depends on the child
// seeing exactly the arguments, directory and environment they set up, on a
// runaway child tree really being stopped, and on log matching and folder
// snapshots that fail when they should.
#include <gtest/gtest.h>

#include <thread>

#include "support/folders.h"
#include "support/log_reader.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/record.h"
#include "support/text.h"

namespace harwtest {
namespace {

TEST(Harness, ChildSeesArgumentsDirectoryAndEnvironment) {
  TempFolder folder(CurrentTestLabel());
  const std::vector<std::wstring> args = {
      L"plain", L"two words", L"", L"\"quoted\"", L"back\\slash", L"ends\\",
      L"\\\"mixed\\\\\"", L"tab\there", L"\u00e4\u0416"};
  RunOptions options;
  options.program = BinPath(L"fake_extractor.exe");
  options.args = args;
  options.current_dir = folder.path();
  options.env = {{L"HARW_FAKE_RECORD", (folder / L"record.txt").wstring()},
                 {L"harw_fake_exit", L"42"},  // names are matched without regard to case
                 {L"HARW_FAKE_CHECK_PATH", L"present.txt"}};
  ASSERT_TRUE(WriteBytes(folder / L"present.txt", "x"));
  RunResult result = RunProcess(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exit_code, 42u) << result.err;
  std::optional<Record> record = ReadRecord(folder / L"record.txt");
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["argc"], std::to_string(args.size() + 1));
  for (std::size_t i = 0; i < args.size(); ++i) {
    EXPECT_EQ((*record)["arg" + std::to_string(i + 1)], ToUtf8(args[i])) << "argument " << i + 1;
  }
  EXPECT_EQ((*record)["current_dir"], ToUtf8(folder.path().wstring()));
  EXPECT_EQ((*record)["check_path_existed"], "1");
}

TEST(Harness, RemovedVariableIsNotInherited) {
  SetEnvironmentVariableW(L"HARW_HARNESS_PROBE", L"set");
  std::wstring block = MergeEnvironment({{L"HARW_HARNESS_PROBE", L""}, {L"HARW_ADDED", L"1"}});
  EXPECT_EQ(block.find(L"HARW_HARNESS_PROBE="), std::wstring::npos);
  EXPECT_NE(block.find(L"HARW_ADDED=1"), std::wstring::npos);
  EXPECT_EQ(block.substr(block.size() - 2), std::wstring(2, L'\0'));
}

TEST(Harness, TimeLimitStopsTheWholeTree) {
  TempFolder folder(CurrentTestLabel());
  // cmd starts the extractor as its own child, so killing only cmd would let
  // the extractor go on to unpack its folder.
  RunOptions options;
  options.program = L"C:\\windows\\system32\\cmd.exe";
  options.args = {L"/c", BinPath(L"fake_extractor.exe").wstring()};
  options.current_dir = folder.path();
  options.env = {{L"HARW_FAKE_RECORD", (folder / L"started.txt").wstring()},
                 {L"HARW_FAKE_SLEEP_MS", L"2500"},
                 {L"HARW_FAKE_FOLDER", (folder / L"late").wstring()}};
  options.time_limit = std::chrono::milliseconds(1500);
  {
    ChildProcess child;
    ASSERT_TRUE(child.Start(options)) << child.error();
    ASSERT_TRUE(WaitForFile(folder / L"started.txt", std::chrono::seconds(10)));
    RunResult result = child.Wait();
    EXPECT_TRUE(result.timed_out);
    EXPECT_LT(result.elapsed, std::chrono::milliseconds(5000));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_FALSE(std::filesystem::exists(folder / L"late"));
}

TEST(Harness, StandardStreamsAreCapturedSeparately) {
  RunOptions options;
  options.program = L"C:\\windows\\system32\\cmd.exe";
  options.args = {L"/c", L"echo to-out& echo to-err 1>&2"};
  RunResult result = RunProcess(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(WithoutCarriageReturns(result.out), "to-out\n");
  EXPECT_EQ(WithoutCarriageReturns(result.err), "to-err \n");
}

// Only the system's internal error is tried again: a start it refuses for the
// image or the path fails at once, with its own error in the message.
TEST(Harness, RefusedStartIsNotTriedAgain) {
  TempFolder folder(CurrentTestLabel());
  ASSERT_TRUE(WriteBytes(folder / L"empty.exe", ""));
  ASSERT_TRUE(WriteBytes(folder / L"text.exe", "not an image\n"));
  const struct {
    const wchar_t* name;
    const char* error;
  } rows[] = {{L"empty.exe", "error 193"}, {L"text.exe", "error 193"}, {L"missing.exe", "error 2"}};
  for (const auto& row : rows) {
    RunOptions options;
    options.program = folder / row.name;
    RunResult result = RunProcess(options);
    EXPECT_FALSE(result.started) << ToUtf8(row.name);
    EXPECT_NE(result.error.find(row.error), std::string::npos) << result.error;
    EXPECT_EQ(result.start_retries, 0) << ToUtf8(row.name);
  }
}

// The log reader decides what the end-to-end tests see of each line.
TEST(Harness, LogReaderSplitsLinesAndReportsMalformedOnes) {
  Log good = ParseLog("2024/01/02 03:04:05.006, 0x04, first\n2024/01/02 03:04:05.007, 0x01, cut");
  EXPECT_EQ(good.problem, "");
  ASSERT_EQ(good.lines.size(), 2u);
  EXPECT_EQ(good.lines[0].stamp, "2024/01/02 03:04:05.006");
  EXPECT_EQ(LevelsAndTexts(good), (std::vector<Expected>{{4, "first"}, {1, "cut"}}));
  EXPECT_TRUE(good.lines[0].ended);
  EXPECT_FALSE(good.lines[1].ended);

  const char* malformed[] = {
      "2024/01/02 03:04:05.006, 0x04 first\n",   // no comma after the level
      "2024/01/02 03:04:05.006, 0x4a, lower\n",  // level digits are upper case
      "24/01/02 03:04:05.006, 0x04, short\n",
      "\xEF\xBB\xBF" "2024/01/02 03:04:05.006, 0x04, bom\n",
      "2024/01/02 03:04:05.006, 0x04, a\n)\n",   // a line feed inside a message
  };
  for (const char* bytes : malformed) EXPECT_NE(ParseLog(bytes).problem, "") << bytes;
}

// A matcher that always succeeds would let every log check pass unseen.
TEST(Harness, LogMatchersTellExactOrderedAndConsecutiveLinesApart) {
  const Log log = ParseLog(
      "2024/01/02 03:04:05.006, 0x04, first\n"
      "2024/01/02 03:04:05.007, 0x01, second 12\n"
      "2024/01/02 03:04:05.008, 0x04, third\n");
  ASSERT_EQ(log.lines.size(), 3u);
  enum Matcher { kExact, kInOrder, kBlock };
  struct Row {
    const char* name;
    Matcher matcher;
    Lines lines;
    bool matches;
  };
  const Row rows[] = {
      {"all lines", kExact, {{4, "first"}, {1, "second 12"}, {4, "third"}}, true},
      {"one line short", kExact, {{4, "first"}, {1, "second 12"}}, false},
      {"wrong level", kExact, {{4, "first"}, {4, "second 12"}, {4, "third"}}, false},
      {"pattern", kExact, {{4, "first"}, Pattern{1, "second \\d+"}, {4, "third"}}, true},
      {"pattern matches part only", kExact, {{4, "first"}, Pattern{1, "second"}, {4, "third"}}, false},
      {"lines with others between", kInOrder, {{4, "first"}, {4, "third"}}, true},
      {"lines in the other order", kInOrder, {{4, "third"}, {4, "first"}}, false},
      {"a line twice", kInOrder, {{4, "third"}, {4, "third"}}, false},
      {"consecutive lines", kBlock, {Pattern{1, "second.*"}, {4, "third"}}, true},
      {"lines not consecutive", kBlock, {{4, "first"}, {4, "third"}}, false},
      {"block past the end", kBlock, {{4, "third"}, {4, "third"}}, false},
  };
  for (const Row& row : rows) {
    testing::AssertionResult result = row.matcher == kExact     ? MatchesLines(log, row.lines)
                                      : row.matcher == kInOrder ? HasLines(log, row.lines)
                                                                : HasBlock(log, row.lines);
    EXPECT_EQ(static_cast<bool>(result), row.matches) << row.name;
  }
  EXPECT_EQ(LinesStartingWith(log, "second"), (std::vector<Expected>{{1, "second 12"}}));
}

TEST(Harness, SnapshotDifferencesNameEveryAddedLostAndChangedEntry) {
  TempFolder folder(CurrentTestLabel());
  MakeFile(folder / L"same.txt");
  MakeFile(folder / L"grows.txt");
  MakeFile(folder / L"goes" / L"away.txt");
  const TreeSnapshot before = Snapshot(folder.path());
  EXPECT_EQ(AllEntries(folder.path()),
            (std::set<std::wstring>{L"same.txt", L"grows.txt", L"goes", L"goes\\away.txt"}));
  ASSERT_TRUE(WriteBytes(folder / L"grows.txt", "longer than before\n"));
  ASSERT_TRUE(RemoveTree(folder / L"goes"));
  MakeFile(folder / L"new.txt");
  EXPECT_EQ(Differences(before, Snapshot(folder.path())),
            (std::vector<std::string>{"lost goes", "lost goes\\away.txt", "changed grows.txt", "added new.txt"}));
  EXPECT_EQ(Entries(folder.path()), (std::set<std::wstring>{L"same.txt", L"grows.txt", L"new.txt"}));
}

}  // namespace
}  // namespace harwtest
