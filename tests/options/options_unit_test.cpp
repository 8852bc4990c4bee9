// Splitting the embedded string, matching options and applying a vector to
// the settings, in-process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "options/options.h"

namespace {

std::vector<std::wstring> Split(std::wstring text) {
  std::vector<wchar_t> buffer(text.begin(), text.end());
  buffer.push_back(L'\0');
  wchar_t** vector = MakeParameter(buffer.data());
  std::vector<std::wstring> tokens;
  EXPECT_STREQ(vector[0], L"");
  for (size_t i = 1; vector[i] != nullptr; ++i) tokens.emplace_back(vector[i]);
  return tokens;
}

TEST(MakeParameter, SplitsAtBlanksAndUnprintableCharactersAndHonoursQuotes) {
  struct Row {
    std::wstring text;
    std::vector<std::wstring> tokens;
  };
  const Row rows[] = {
      {L"", {}},
      {L"   \t \r\n ", {}},
      {L"/X /F Temp1", {L"/X", L"/F", L"Temp1"}},
      {L"/W\t/H\r\n/D\n/V", {L"/W", L"/H", L"/D", L"/V"}},
      {L"\x01/W\x7f", {L"/W"}},
      {L"/a \"one two\"", {L"/a", L"one two"}},
      {L"\"\"", {L""}},
      {L"\"\" \"\"", {L"", L""}},
      {L"ab\"cd ef\"", {L"ab\"cd", L"ef\""}},
      {L"\"open to the end", {L"open to the end"}},
      {L"\"closed\"tail", {L"closed", L"tail"}},
      {L"x\"", {L"x\""}},
  };
  for (const Row& row : rows) EXPECT_EQ(Split(row.text), row.tokens) << "text: " << testing::PrintToString(row.text);
}

TEST(MakeParameter, HoldsSixtyTwoTokensAndEndsTheVector) {
  std::wstring text;
  for (int i = 0; i < 62; ++i) text += L"t" + std::to_wstring(i) + L" ";
  std::vector<std::wstring> tokens = Split(text);
  ASSERT_EQ(tokens.size(), 62u);
  EXPECT_EQ(tokens.back(), L"t61");
}

TEST(IsOption, WholeEntryWithOnlyAsciiLettersFolded) {
  struct Row {
    const wchar_t* entry;
    const wchar_t* option;
    bool same;
  };
  const Row rows[] = {
      {L"/X", L"/X", true},   {L"/x", L"/X", true},   {L"/?", L"/?", true},
      {L"/X1", L"/X", false}, {L"-X", L"/X", false},  {L"/", L"/X", false},
      {L"", L"/X", false},    {L"/X ", L"/X", false}, {L"/\u00e4", L"/\u00c4", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsOption(row.entry, row.option), row.same)
        << testing::PrintToString(std::wstring(row.entry)) << " vs " << testing::PrintToString(std::wstring(row.option));
  }
}

// ParseParameters writes process-wide settings; each row starts from the defaults.
class ParseParametersTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = UpdaterSettings;
    saved_mask_ = LogMask;
  }
  void TearDown() override {
    UpdaterSettings = saved_;
    LogMask = saved_mask_;
  }
  void Apply(std::vector<std::wstring> entries) {
    UpdaterSettings = saved_;
    LogMask = saved_mask_;
    std::vector<wchar_t*> vector{const_cast<wchar_t*>(L"HarwUpdater.exe")};
    for (auto& entry : entries) vector.push_back(entry.data());
    vector.push_back(nullptr);
    ParseParameters(vector.data());
  }

  UpdaterSettingsRecord saved_;
  DWORD saved_mask_ = 0;
};

TEST_F(ParseParametersTest, DefaultsBeforeAnyOption) {
  Apply({});
  EXPECT_STREQ(UpdaterSettings.FolderName, L"Disk1");
  EXPECT_STREQ(UpdaterSettings.SetupPath, L"Disk1\\Setup.exe");
  EXPECT_STREQ(UpdaterSettings.SetupParameters, L"");
  EXPECT_FALSE(UpdaterSettings.NoExecuteSetup);
  EXPECT_FALSE(UpdaterSettings.DeleteWithoutAsking);
  EXPECT_TRUE(UpdaterSettings.WaitForSetup);
  EXPECT_TRUE(UpdaterSettings.HideConsole);
  EXPECT_EQ(LogMask, 0x07u);
}

TEST_F(ParseParametersTest, OptionsChangeTheirSettings) {
  Apply({L"/s", L"/X", L"/A", L"-D", L"/F", L"one", L"/F", L"two"});
  EXPECT_STREQ(UpdaterSettings.SetupPath, L"/X") << "a value is taken whatever it looks like";
  EXPECT_FALSE(UpdaterSettings.NoExecuteSetup);
  EXPECT_STREQ(UpdaterSettings.SetupParameters, L"-D");
  EXPECT_FALSE(UpdaterSettings.DeleteWithoutAsking);
  EXPECT_STREQ(UpdaterSettings.FolderName, L"two") << "a later value replaces an earlier one";

  Apply({L"/x", L"/d", L"/w", L"/h", L"/v", L"/unknown", L""});
  EXPECT_TRUE(UpdaterSettings.NoExecuteSetup);
  EXPECT_TRUE(UpdaterSettings.DeleteWithoutAsking);
  EXPECT_FALSE(UpdaterSettings.WaitForSetup);
  EXPECT_FALSE(UpdaterSettings.HideConsole);
  EXPECT_EQ(LogMask, 0x87u);
  EXPECT_STREQ(UpdaterSettings.FolderName, L"Disk1");

  Apply({L"/A", L""});
  EXPECT_STREQ(UpdaterSettings.SetupParameters, L"");
  Apply({L"/S", std::wstring(259, L's')});
  EXPECT_EQ(std::wcslen(UpdaterSettings.SetupPath), 259u);
  Apply({L"/A", std::wstring(1023, L'a')});
  EXPECT_EQ(std::wcslen(UpdaterSettings.SetupParameters), 1023u);
}

}  // namespace
