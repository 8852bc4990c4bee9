// A whole run with a real NSIS self-extractor as the embedded executable, as
// shipped packages carry: it unpacks Disk1 with the setup program and data,
// the package runs the setup with the embedded parameters, removes Disk1 and
// ends with the setup's exit code.
#include <gtest/gtest.h>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

TEST(NsisPackage, UnpacksRunsTheSetupAndLeavesNothingBehind) {
  const fs::path extractor = BinPath(L"nsis_disk1.exe");
  if (!fs::exists(extractor)) {
    GTEST_SKIP() << "bin/nsis_disk1.exe was not built: makensis was not found at configuration";
  }
  Bench bench;
  bench.Pack(L"Nsis.exe", L"/A \"/embedded run\"", extractor);
  RunOptions options = bench.Options({L"/H"});
  bench.AddSetup(options);
  for (const wchar_t* fake : {L"HARW_FAKE_RECORD", L"HARW_FAKE_FOLDER", L"HARW_FAKE_COPY_FROM"}) {
    SetEnv(options, fake, L"");  // nothing of the fake extractor may help
  }
  SetEnv(options, L"HARW_SETUP_EXIT", L"9");
  RunResult result = bench.Run(options);
  EXPECT_EQ(result.exit_code, 9u);
  const Log log = bench.ReadRunLog();
  const std::vector<Expected> lines = LevelsAndTexts(log);
  Lines run = bench.ExtractLines();
  run.insert(run.end(), {{0x04, "No-Setup-Path is NOT found"},
                         {0x04, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"/embedded run\")"},
                         {0x04, "WaitForSingleObject(\"Disk1\\Setup.exe\")"},
                         {0x04, "GetExitCodeProcess(Setup) ec=9"},
                         {0x04, "DeleteFolder(\"Disk1\")"}});
  EXPECT_TRUE(HasBlock(log, run));
  // Everything the self-extractor unpacked is removed, whatever the listing order.
  for (const char* removed : {"DeleteFile(\"Disk1\\Setup.exe\")", "DeleteFile(\"Disk1\\readme.txt\")",
                              "DeleteFile(\"Disk1\\data\\info.txt\")",
                              "RemoveDirectory(\"Disk1\\data\")"}) {
    EXPECT_TRUE(HasLines(log, {{0x04, removed}}));
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), (Expected{0x04, "RemoveDirectory(\"Disk1\")"}));
  std::optional<Record> setup = ReadRecord(bench.SetupRecordPath());
  ASSERT_TRUE(setup) << "the setup did not run";
  EXPECT_EQ((*setup)["argc"], "3");
  EXPECT_EQ((*setup)["arg1"], "/embedded");
  EXPECT_EQ((*setup)["arg2"], "run");
  EXPECT_EQ((*setup)["current_dir"], ToUtf8(bench.work().wstring()));
  EXPECT_EQ(Entries(bench.work()), (std::set<std::wstring>{L"Nsis.exe", L"NSIS.log"}))
      << "Disk1 or the temporary executable is left";
}

}  // namespace
}  // namespace harwtest
