// The explicit listing of an installation folder that the self-extractor is
// built from: every entry in a fixed order, whatever the file system or locale.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace harwpack {

/// What an entry is, seen without following links.
enum class EntryKind {
  kFile,        ///< a regular file
  kFolder,      ///< a folder (its entries follow it in the listing)
  kLinkToFile,  ///< a symbolic link that ends at a regular file, packed as that file
  kOther,       ///< anything else: a link to a folder, a broken link, a device, a pipe, a socket
};

/// One entry of the listing.
struct FolderEntry {
  std::filesystem::path path;  ///< where it is on disk
  std::string parent;          ///< the containing folder below the listed one, parts joined by '\' ("" at the top)
  std::string name;            ///< its own name, UTF-8 ("" when the name is not valid Unicode)
  EntryKind kind;              ///< what it is
};

/// Lists `folder` recursively without following links: in each folder first
/// its other entries, then its subfolders, each followed by their contents;
/// siblings are sorted by the bytes of their UTF-8 names. Returns "" or why a
/// folder could not be read.
std::string ListFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries);

/// The entry's path below the listed folder, with '\' between the parts.
std::string RelativeName(const FolderEntry& entry);

}  // namespace harwpack
