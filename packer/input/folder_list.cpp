#include "packer/input/folder_list.h"

#include <algorithm>
#include <system_error>

#include "packer/platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// The name as UTF-8, or "" when it is not valid Unicode (Linux names are
/// any bytes, Windows names may hold unpaired surrogates).
std::string NameOf(const fs::path& path) {
  const fs::path name = path.filename();
  const std::string utf8 = PathToUtf8(name);
#ifdef _WIN32
  const std::wstring& wide = name.native();
  const auto back = Utf8ToUtf16(utf8);
  if (!back || *back != std::u16string(wide.begin(), wide.end())) return "";
#else
  if (!Utf8ToUtf16(utf8)) return "";
#endif
  return utf8;
}

/// What a symbolic link points to, for the message that refuses it.
std::string LinkTarget(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  if (ec) return "a symbolic link whose target cannot be read (" + ec.message() + ")";
  std::error_code status_ec;
  const fs::file_status status = fs::status(link, status_ec);
  std::string text = "a symbolic link to '" + PathToUtf8(target) + "'";
  if (status.type() == fs::file_type::not_found) return text + ", which does not exist";
  if (fs::is_directory(status)) return text + ", a folder";
  return text;
}

/// Names an entry that is neither a file, a folder nor a link.
std::string OtherKind(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo:
      return "a FIFO (named pipe)";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::character:
      return "a character device";
    default:
      return "an entry of a kind that is neither a file nor a folder";
  }
}

#ifdef _WIN32
/// A junction, a symbolic link or any other reparse point: the C++ library
/// sees through some of them, the file attributes never do.
bool IsReparsePoint(const fs::path& path, std::string& detail) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    detail = "an entry that cannot be examined (GetFileAttributesW error " + std::to_string(GetLastError()) + ")";
    return true;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  detail = "a junction, symbolic link or other reparse point";
  return true;
}
#endif

EntryKind KindOf(const fs::directory_entry& entry, std::string& detail, std::error_code& ec) {
  const fs::file_status own = entry.symlink_status(ec);
  if (ec) return EntryKind::kOther;
#ifdef _WIN32
  if (IsReparsePoint(entry.path(), detail)) return EntryKind::kLink;
#endif
  if (fs::is_regular_file(own)) return EntryKind::kFile;
  if (fs::is_directory(own)) return EntryKind::kFolder;
  if (fs::is_symlink(own)) {
    detail = LinkTarget(entry.path());
    return EntryKind::kLink;
  }
  detail = OtherKind(own.type());
  return EntryKind::kOther;
}

std::string Describe(const fs::path& folder, const std::error_code& ec) {
  return "folder '" + PathToUtf8(folder) + "' cannot be read (" + ec.message() + ")";
}

/// One entry as the listing holds it, or "" and why it cannot be examined.
std::string EntryOf(const fs::directory_entry& item, const fs::path& relative, const std::string& parent,
                    FolderEntry& entry) {
  std::error_code ec;
  entry.path = item.path();
  entry.relative = relative / item.path().filename();
  entry.parent = parent;
  entry.name = NameOf(item.path());
  entry.kind = KindOf(item, entry.detail, ec);
  if (!ec && entry.kind == EntryKind::kFile) entry.size = item.file_size(ec);
  if (ec) return "'" + PathToUtf8(item.path()) + "' cannot be examined (" + ec.message() + ")";
  return "";
}

std::string ListInto(const fs::path& folder, const fs::path& relative, const std::string& parent,
                     std::vector<FolderEntry>& entries) {
  std::vector<FolderEntry> here;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    here.emplace_back();
    const std::string error = EntryOf(*it, relative, parent, here.back());
    if (!error.empty()) return error;
  }
  if (ec) return Describe(folder, ec);
  // Folders last, so that each one is followed directly by its own contents.
  std::sort(here.begin(), here.end(), [](const FolderEntry& a, const FolderEntry& b) {
    const bool a_folder = a.kind == EntryKind::kFolder;
    const bool b_folder = b.kind == EntryKind::kFolder;
    if (a_folder != b_folder) return b_folder;
    return a.name != b.name ? a.name < b.name : a.path < b.path;
  });
  for (const FolderEntry& entry : here) {
    entries.push_back(entry);
    if (entry.kind != EntryKind::kFolder) continue;
    const std::string error = ListInto(entry.path, entry.relative, RelativeName(entry), entries);
    if (!error.empty()) return error;
  }
  return "";
}

}  // namespace

std::string RelativeName(const FolderEntry& entry) {
  return entry.parent.empty() ? entry.name : entry.parent + "\\" + entry.name;
}

std::string ListFolder(const fs::path& folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  return ListInto(folder, fs::path(), "", entries);
}

FolderTotals CountFiles(const std::vector<FolderEntry>& entries) {
  FolderTotals totals;
  for (const FolderEntry& entry : entries) {
    if (entry.kind != EntryKind::kFile) continue;
    ++totals.files;
    totals.bytes += entry.size;
  }
  return totals;
}

}  // namespace harwpack
