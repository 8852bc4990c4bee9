// Checks of an installation folder against the settings the program will run
// with: where it unpacks and whether the setup program is in it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer/folder_list.h"
#include "packer/options_check.h"

namespace harwpack {

/// Splits a Windows relative path at "\" and "/", resolving "." and "..";
/// false when it is absolute or climbs above its start.
bool SplitRelativePath(const std::u16string& path, std::vector<std::u16string>& parts);

/// Why `folder` cannot be packed; "" when it is a directory.
std::string CheckInputFolder(const std::filesystem::path& folder);

/// Why `name` cannot be the folder the extractor creates beside itself
/// (a relative Windows path of valid names); "" when it can.
std::string CheckFolderName(const std::u16string& name);

/// Finds the setup program that `settings` name inside `folder`, which the
/// extractor unpacks as settings.folder_name into the current directory.
/// Appends an error when it is missing there, a warning when it lies outside
/// the unpacked folder, nothing when it is found or not run (/X).
void CheckSetupInFolder(const UpdaterSettings& settings, const std::filesystem::path& folder,
                        std::vector<CheckMessage>& messages);

/// Checks the listing of `folder` (ListFolder): an error when it holds no
/// files, an entry that is neither a file nor a folder, a name that Windows
/// cannot hold, or two names in one folder that differ only in letter case.
void CheckFolderContents(const std::filesystem::path& folder, const std::vector<FolderEntry>& entries,
                         std::vector<CheckMessage>& messages);

}  // namespace harwpack
