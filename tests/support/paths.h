// Where the test programs find the binaries under test and where each test works.
#pragma once

#include <filesystem>
#include <string>

namespace harwtest {

/// Folder of the running test program; the program under test, the fixtures
/// and the test programs are all built into this one folder.
std::filesystem::path ExeFolder();

/// A file beside the running test program, such as L"HarwUpdater.exe".
std::filesystem::path BinPath(const std::wstring& name);

/// A fresh, empty folder for one test, removed with everything in it when the
/// object goes away. It lies under the build tree (beside bin/), so a failed
/// run leaves nothing in the user's temporary folder; with the environment
/// variable HARW_KEEP_TEST_FOLDERS set it is kept for inspection.
class TempFolder {
 public:
  /// `label` becomes part of the folder's name (the current test's name is a
  /// good choice); it must be a valid file name.
  explicit TempFolder(const std::wstring& label);
  /// Removes the folder with everything in it, unless HARW_KEEP_TEST_FOLDERS is set.
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  /// The folder's path.
  const std::filesystem::path& path() const { return path_; }
  /// The folder's path with a trailing backslash, as TMP and TEMP are given.
  std::wstring WithSlash() const;
  /// A path inside the folder.
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// A label for TempFolder made of the running gtest's suite and test names,
/// with characters that cannot stand in a file name replaced.
std::wstring CurrentTestLabel();

/// Path with the \\?\ prefix and no trailing backslash, for trees deeper than
/// the 260-character limit.
std::wstring Extended(const std::filesystem::path& path);

/// Removes a file or a tree, which may hold paths over 260 characters,
/// retrying while a child that has just ended still holds a file; true if
/// nothing is left.
bool RemoveTree(const std::filesystem::path& path);

/// Creates a file holding a little text, and its folders; fails the test otherwise.
void MakeFile(const std::filesystem::path& path);

}  // namespace harwtest
