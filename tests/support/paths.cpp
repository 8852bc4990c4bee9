#include "support/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <system_error>

#include "support/text.h"

namespace harwtest {

namespace fs = std::filesystem;

fs::path ExeFolder() {
  std::wstring buffer(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) {
    ADD_FAILURE() << "GetModuleFileNameW failed: " << GetLastError();
    return fs::current_path();
  }
  buffer.resize(length);
  return fs::path(buffer).parent_path();
}

fs::path BinPath(const std::wstring& name) { return ExeFolder() / name; }

static fs::path TempRoot() { return ExeFolder().parent_path() / L"test-tmp"; }

// Several test programs may run at once, and a test may make several folders.
static std::wstring UniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  return L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

TempFolder::TempFolder(const std::wstring& label) : path_(TempRoot() / (label + UniqueSuffix())) {
  std::error_code error;
  fs::remove_all(path_, error);
  fs::create_directories(path_, error);
  if (error) ADD_FAILURE() << "cannot create " << ToUtf8(path_.wstring()) << ": " << error.message();
}

TempFolder::~TempFolder() {
  if (std::getenv("HARW_KEEP_TEST_FOLDERS") != nullptr) return;
  if (!RemoveTree(path_)) ADD_FAILURE() << "cannot remove " << ToUtf8(path_.wstring());
}

std::wstring TempFolder::WithSlash() const {
  std::wstring text = path_.wstring();
  if (text.empty() || text.back() != L'\\') text.push_back(L'\\');
  return text;
}

std::wstring CurrentTestLabel() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string label = info == nullptr ? "test" : std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : label) {
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) c = '_';
  }
  // The program's own paths are limited to 259 characters; keep the folder
  // short, keeping the end, where parameterised tests carry their case name.
  if (label.size() > 48) label.erase(0, label.size() - 48);
  return FromUtf8(label);
}

std::wstring Extended(const fs::path& path) {
  std::wstring text = path.wstring();
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  return text.compare(0, 4, L"\\\\?\\") == 0 ? text : L"\\\\?\\" + text;
}

// Win32 calls on \\?\ paths: std::filesystem fails on entries over 260
// characters. Returns false if anything is left.
static bool RemoveOnce(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  // A linked folder goes as a link; what it leads to stays.
  const DWORD folder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if ((attributes & folder) != FILE_ATTRIBUTE_DIRECTORY) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) != FALSE;
    return DeleteFileW(path.c_str()) != FALSE;
  }
  bool ok = true;
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") ok = RemoveOnce(path + L"\\" + name) && ok;
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
  }
  return RemoveDirectoryW(path.c_str()) && ok;
}

bool RemoveTree(const fs::path& path) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (RemoveOnce(Extended(path))) return true;
    Sleep(100);  // a child that has just ended may still hold a file
  }
  return false;
}

void MakeFile(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  ASSERT_TRUE(WriteBytes(path, "kept\n")) << "cannot write " << ToUtf8(path.wstring());
}

}  // namespace harwtest
