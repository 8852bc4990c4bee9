// The explicit listing of an installation folder that the self-extractor is
// built from: every entry in a fixed order, whatever the file system or locale.
// The listing is what the checks look at and exactly what is packed; no link
// is ever followed, so nothing from outside the folder can come in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace harwpack {

/// What an entry is, seen without following links.
enum class EntryKind {
  kFile,    ///< a regular file
  kFolder,  ///< a folder (its entries follow it in the listing)
  kLink,    ///< a symbolic link, whatever it points to; on Windows also a junction or other reparse point
  kOther,   ///< anything else: a FIFO, a socket, a device
};

/// One entry of the listing.
struct FolderEntry {
  std::filesystem::path path;      ///< where it is on disk
  std::filesystem::path relative;  ///< its path below the listed folder, for messages
  std::string parent;              ///< the containing folder below the listed one, parts joined by '\' ("" at the top)
  std::string name;                ///< its own name, UTF-8 ("" when the name is not valid Unicode)
  EntryKind kind = EntryKind::kFile;  ///< what it is
  std::uintmax_t size = 0;         ///< bytes of a file
  std::string detail;              ///< for a link or other entry: what it is ("a symbolic link to '..'"), for messages
};

/// Lists `folder` recursively without following links at any depth: in each
/// folder first its other entries, then its subfolders, each followed by their
/// contents; siblings are sorted by the bytes of their UTF-8 names. Returns ""
/// or why a folder could not be read.
std::string ListFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries);

/// The entry's path below the listed folder, with '\' between the parts.
std::string RelativeName(const FolderEntry& entry);

/// The files of a listing and their bytes.
struct FolderTotals {
  std::size_t files = 0;    ///< files of the listing
  std::uint64_t bytes = 0;  ///< their bytes
};

/// Counts the files of `entries` and their bytes.
FolderTotals CountFiles(const std::vector<FolderEntry>& entries);

}  // namespace harwpack
