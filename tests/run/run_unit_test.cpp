// Deriving the package's names from its path, and the tool folders in which
// the setup program must not run.
#include <gtest/gtest.h>

#include <string>

#include "run/run.h"

namespace {

TEST(PackageNames, UpperCaseAndBaseName) {
  struct Row {
    std::wstring path;
    std::wstring upper;
    std::wstring base;
  };
  const Row rows[] = {
      {L"C:\\Temp\\Update2.exe", L"C:\\TEMP\\UPDATE2.EXE", L"UPDATE2"},
      {L"z:\\a.b\\HarwUpdater", L"Z:\\A.B\\HARWUPDATER", L"HARWUPDATER"},
      {L"C:\\x\\pkg.tar.exe", L"C:\\X\\PKG.TAR.EXE", L"PKG.TAR"},
      // Only a to z change: the neighbours ` and { stay.
      {L"C:\\`az{\\n.exe", L"C:\\`AZ{\\N.EXE", L"N"},
  };
  for (const Row& row : rows) {
    wchar_t path[MAX_PATH] = {};
    row.path.copy(path, row.path.size());
    UpperCaseAsciiLetters(path);
    EXPECT_EQ(std::wstring(path), row.upper);
    wchar_t base[MAX_PATH] = {};
    TakeBaseName(path, base);
    EXPECT_EQ(std::wstring(base), row.base);
  }
}

TEST(IsSetupAllowed, ToolFoldersAlongThePath) {
  struct Row {
    std::wstring path;
    bool allowed;
  };
  const Row rows[] = {
      {L"C:\\WORK\\BRAVELDUNES\\P.EXE", false},
      {L"C:\\WORK\\BRAVELDUNES2\\P.EXE", true},
      {L"C:\\MOSSLINGQUARTZ\\P.EXE", false},
      {L"C:\\MOSSLINGQUARTZ.OLD\\P.EXE", true},
      {L"C:\\TINDERWICKHOLLOWTOOLS\\P.EXE", false},
      {L"C:\\TINDERWICKHOLLOW.EXE", false},
      {L"C:\\BRAVELDUNES.EXE", true},
      // Only the first occurrence of a text is examined.
      {L"C:\\BRAVELDUNESX\\BRAVELDUNES\\P.EXE", true},
      {L"C:\\XBRAVELDUNES\\P.EXE", true},
  };
  for (const Row& row : rows) {
    row.path.copy(MyFileName, row.path.size());
    MyFileName[row.path.size()] = L'\0';
    SetupAllowed = true;
    EXPECT_EQ(IsSetupAllowed(), row.allowed) << testing::PrintToString(row.path);
  }
}

}  // namespace
