// Faults around the two child stages: the temporary executable cannot be
// created, the extractor crashes, the setup program is missing, and the
// unpacked folder cannot be removed. Each ends with its documented exit code
// and log lines and leaves the disk as documented.
#include <gtest/gtest.h>

#include <set>

#include "support/bench.h"
#include "support/handle.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

Expected LastLine(const Log& log) {
  if (log.lines.empty()) return {0, "<no line>"};
  return {log.lines.back().level, log.lines.back().text};
}

class FaultsTest : public PackageTest {
 protected:
  // HFx.exe in the work folder; the extractor unpacks Disk1 with a.txt and,
  // unless `with_setup` is false, the fake setup as Disk1\Setup.exe.
  RunOptions Prepare(const std::wstring& name, const std::optional<std::wstring>& parameters,
                     bool with_setup = true) {
    Pack(name + L".exe", parameters);
    RunOptions options = Options();
    if (with_setup) AddSetup(options);
    SetEnv(options, L"HARW_SETUP_RECORD", SetupRecordPath().wstring());
    return options;
  }
};

TEST_F(FaultsTest, TemporaryExecutableThatCannotBeCreatedEndsTheRunBeforeAnythingStarts) {
  RunOptions options = Prepare(L"HFA", L"/X");
  ASSERT_TRUE(fs::create_directory(work() / L"___HFA___.exe"));  // a folder stands in the way
  RunResult result = Run(options);
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_EQ(WithoutCarriageReturns(result.out), "Error: Create archived data file (5)\n\n");
  Log log = ReadRunLog();
  EXPECT_EQ(LastLine(log), (Expected{0x01, "CreateFile(Arc) LastError=5"})) << Listing(log);
  EXPECT_FALSE(ExtractorRecord().has_value());
  EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"HFA.exe", L"HFA.log", L"___HFA___.exe"}));
}

TEST_F(FaultsTest, CrashingExtractorPassesItsExceptionCodeOnAndIsDeleted) {
  RunOptions options = Prepare(L"HFD", std::nullopt);
  SetEnv(options, L"HARW_FAKE_CRASH", L"1");  // after unpacking
  RunResult result = Run(options);
  EXPECT_EQ(result.exit_code, 0xC0000005u);
  Log log = ReadRunLog();
  EXPECT_TRUE(HasLines(log, {{0x04, "GetExitCodeProcess(Arc) ec=3221225477"},
                            {0x04, "DeleteFile(\"___HFD___.exe\")"}}));
  EXPECT_EQ(LastLine(log), (Expected{0x04, "DeleteFile(\"___HFD___.exe\")"}))
      << "the run went on after the extractor failed";
  EXPECT_FALSE(SetupRecord().has_value());
  // The unpacked folder stays as the extractor left it.
  EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"HFD.exe", L"HFD.log", L"Disk1",
                                                         L"Disk1\\a.txt", L"Disk1\\Setup.exe"}));
}

TEST_F(FaultsTest, MissingSetupProgramEndsWithOneAndTheFolderRemoved) {
  RunResult result = Run(Prepare(L"HFC", std::nullopt, false));
  EXPECT_EQ(result.exit_code, 1u);
  Log log = ReadRunLog();
  EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFile(\"___HFC___.exe\")"},
                            {0x01, "GetFileAttributes(\"Disk1\\Setup.exe\") LastError=2"},
                            {0x04, "DeleteFolder(\"Disk1\")"},
                            {0x04, "DeleteFile(\"Disk1\\a.txt\")"},
                            {0x04, "RemoveDirectory(\"Disk1\")"}}));
  EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"HFC.exe", L"HFC.log"}));
}

TEST_F(FaultsTest, SetupStillRunningKeepsItsOwnFileAndTheFolder) {
  // With /W the folder is removed at once, while the setup program runs.
  RunOptions options = Prepare(L"HFW", L"/W");
  SetEnv(options, L"HARW_SETUP_DELAY_MS", L"3000");
  RunResult result = Run(options);
  EXPECT_EQ(result.exit_code, 0u);
  Log log = ReadRunLog();
  EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFile(\"Disk1\\a.txt\")"}}));
  EXPECT_TRUE(HasLines(log, {{0x01, "DeleteFile(\"Disk1\\Setup.exe\") LastError=5"}}));
  EXPECT_EQ(LastLine(log), (Expected{0x01, "RemoveDirectory(\"Disk1\") LastError=145"}));
  EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"HFW.exe", L"HFW.log", L"Disk1", L"Disk1\\Setup.exe"}));
}

TEST_F(FaultsTest, FileHeldOpenByAnotherProcessStaysTheRestIsRemoved) {
  RunOptions options = Prepare(L"HFH", std::nullopt);
  SetEnv(options, L"HARW_SETUP_DELAY_MS", L"1500");  // time to take hold of a.txt
  ChildProcess child;
  ASSERT_TRUE(child.Start(options)) << child.error();
  ASSERT_TRUE(WaitForFile(work() / L"Disk1" / L"a.txt", std::chrono::milliseconds(10000)));
  Handle held(CreateFileW((work() / L"Disk1" / L"a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  RunResult result = child.Wait();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0u) << "a file left behind is no reason to fail the run";
  Log log = ReadRunLog();
  EXPECT_TRUE(HasLines(log, {{0x04, "GetExitCodeProcess(Setup) ec=0"},
                            {0x04, "DeleteFolder(\"Disk1\")"},
                            {0x01, "RemoveDirectory(\"Disk1\") LastError=145"}}));
  // The files come in the order the listing returns them.
  EXPECT_TRUE(HasLines(log, {{0x01, "DeleteFile(\"Disk1\\a.txt\") LastError=32"}}));
  EXPECT_TRUE(HasLines(log, {{0x04, "DeleteFile(\"Disk1\\Setup.exe\")"}}));
  EXPECT_EQ(AllEntries(work()), (std::set<std::wstring>{L"HFH.exe", L"HFH.log", L"Disk1", L"Disk1\\a.txt"}));
}

}  // namespace
}  // namespace harwtest
