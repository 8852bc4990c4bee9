// Checks of an installation folder against the settings the program will run
// with: where it unpacks and whether the setup program is in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/input/folder_list.h"
#include "packer/input/held_file.h"
#include "packer/program/program.h"

namespace harwpack {

/// Splits a Windows relative path at "\" and "/", resolving "." and "..";
/// false when it is absolute or climbs above its start.
bool SplitRelativePath(const std::u16string& path, std::vector<std::u16string>& parts);

/// Why `folder` cannot be packed; "" when it is a directory.
std::string CheckInputFolder(const std::filesystem::path& folder);

/// Why `name` cannot be the folder the extractor creates beside itself
/// (a relative Windows path of valid names); "" when it can.
std::string CheckFolderName(const std::u16string& name);

/// Finds the setup program that `settings` name in the listing `entries` of
/// `folder`, which the extractor unpacks as settings.folder_name into the
/// current directory. Appends an error when it is missing there, is no file,
/// or is named ".exe" but is no Windows program image ("MZ" and a PE header);
/// a warning when it lies outside the unpacked folder; nothing when it is
/// found or not run (/X).
void CheckSetupInFolder(const UpdaterSettings& settings, const std::filesystem::path& folder,
                        const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages);

/// Checks the listing of `folder` (ListFolder): an error when it holds no
/// files, an entry that is neither a file nor a folder (a link, a FIFO...),
/// a name that Windows cannot hold, or two names in one folder that differ
/// only in letter case. Entries are named by their path below the folder.
void CheckFolderContents(const std::filesystem::path& folder, const std::vector<FolderEntry>& entries,
                         std::vector<CheckMessage>& messages);

/// "C:\", the shortest folder the package can run in.
inline constexpr std::size_t kShortestRoot = 3;
/// The longest path the extractor can write a file to (MAX_PATH without its terminator)...
inline constexpr std::size_t kMaxFilePath = 259;
/// ...and create a folder at (CreateDirectoryW leaves room for an 8.3 name).
inline constexpr std::size_t kMaxFolderPath = 247;

/// An error for each entry whose unpacked path (the folder `folder_name`
/// and its path inside) is too long for Windows even at a drive's root:
/// the extractor is not long-path aware.
void CheckUnpackedPaths(const std::u16string& folder_name, const std::vector<FolderEntry>& entries,
                        std::vector<CheckMessage>& messages);

/// An error for each file of the listing that cannot be opened for reading,
/// so that none is found only while compressing.
void CheckFilesReadable(const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages);

/// Opens every file of the listing, never through a link, and leaves it open
/// in `held` (at the entry's index) until it is packed; an error for each
/// that cannot be opened, or when the system cannot hold them all open.
void HoldFiles(const std::vector<FolderEntry>& entries, std::vector<HeldFile>& held,
               std::vector<CheckMessage>& messages);

/// Lists `folder` once into `entries` and checks it: its name and
/// `settings`' folder name, then its contents, the setup program and the
/// unpacked paths, appending what it finds to `messages`. False when the
/// folder was not listed (then nothing else can be checked).
bool CheckFolder(const std::filesystem::path& folder, const UpdaterSettings& settings,
                 std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages);

}  // namespace harwpack
