// The marker comparison and the temporary executable's name.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "package/package.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

const wchar_t kMarker[] = L"***** Harrowvindalet **** Make Updater ***** Start of Archived Data *****";

std::vector<unsigned char> Block(const std::wstring& text, std::uint16_t terminator) {
  std::vector<unsigned char> block(256, 0xCC);
  std::wstring all = text + static_cast<wchar_t>(terminator);
  for (size_t i = 0; i < all.size(); ++i) {
    block[2 * i] = static_cast<unsigned char>(all[i] & 0xFF);
    block[2 * i + 1] = static_cast<unsigned char>(all[i] >> 8);
  }
  return block;
}

// The program keeps the marker with a blank first character and puts the "*"
// in place when the search starts; a search through a file that begins with
// the marker does that, and the comparison is then checked as the search uses it.
void StartASearch() {
  harwtest::TempFolder folder(harwtest::CurrentTestLabel());
  std::vector<unsigned char> block = Block(kMarker, 0);
  const std::filesystem::path file = folder / L"marker.bin";
  ASSERT_TRUE(harwtest::WriteBytes(file, std::string(block.begin(), block.end())));
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
  FindArchivedDataMarker(handle);
  EXPECT_EQ(SetFilePointer(handle, 0, nullptr, FILE_CURRENT), 148u);
  CloseHandle(handle);
}

TEST(BlockHoldsMarker, NeedsAllCharactersAndTheTerminatorWithinTheLength) {
  StartASearch();
  std::wstring stored = kMarker;
  stored[0] = L' ';
  std::wstring last_changed = kMarker;
  last_changed.back() = L'#';
  struct Row {
    const char* name;
    std::vector<unsigned char> block;
    DWORD length;
    bool holds;
  };
  const Row rows[] = {
      {"marker in a full block", Block(kMarker, 0), 256, true},
      {"marker filling a short last block", Block(kMarker, 0), 148, true},
      {"terminator outside the bytes read", Block(kMarker, 0), 147, false},
      {"blank instead of terminator", Block(kMarker, L' '), 256, false},
      {"form stored in the program", Block(stored, 0), 256, false},
      {"last character differs", Block(last_changed, 0), 256, false},
      {"only zeros", std::vector<unsigned char>(256, 0), 256, false},
  };
  for (const Row& row : rows) EXPECT_EQ(BlockHoldsMarker(row.block.data(), row.length), row.holds) << row.name;
}

TEST(BuildArcPath, WrapsTheBaseNameAndRefusesWhatDoesNotFit) {
  struct Row {
    std::wstring base;
    bool fits;
    std::wstring path;
  };
  const std::wstring longest(253, L'N');
  const Row rows[] = {
      {L"UPDATE2", true, L"___UPDATE2___.exe"},
      {L"HARWUPDATER", true, L"___HARWUPDATER___.exe"},
      {longest, true, L"___" + longest + L"___.exe"},
      {std::wstring(254, L'N'), false, L""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(BuildArcPath(row.base.c_str()), row.fits) << row.base.size();
    EXPECT_EQ(std::wstring(ArcPath), row.path) << row.base.size();
  }
}

}  // namespace
