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

// A child that has just ended may still hold a file for a moment under Wine.
static void RemoveWithRetries(const fs::path& path) {
  std::error_code error;
  for (int attempt = 0; attempt < 20; ++attempt) {
    fs::remove_all(path, error);
    if (!error) return;
    Sleep(100);
  }
  ADD_FAILURE() << "cannot remove " << ToUtf8(path.wstring()) << ": " << error.message();
}

TempFolder::~TempFolder() {
  if (std::getenv("HARW_KEEP_TEST_FOLDERS") != nullptr) return;
  RemoveWithRetries(path_);
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

}  // namespace harwtest
