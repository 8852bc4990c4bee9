#include "packer/folder_list.h"

#include <algorithm>
#include <system_error>

#include "packer/text.h"

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

EntryKind KindOf(const fs::directory_entry& entry, std::error_code& ec) {
  const fs::file_status own = entry.symlink_status(ec);
  if (ec) return EntryKind::kOther;
  if (fs::is_regular_file(own)) return EntryKind::kFile;
  if (fs::is_directory(own)) return EntryKind::kFolder;
  if (!fs::is_symlink(own)) return EntryKind::kOther;
  std::error_code target_ec;  // a broken link is an entry of its own kind, not a failure to list
  return fs::is_regular_file(fs::status(entry.path(), target_ec)) ? EntryKind::kLinkToFile : EntryKind::kOther;
}

std::string Describe(const fs::path& folder, const std::error_code& ec) {
  return "folder '" + PathToUtf8(folder) + "' cannot be read (" + ec.message() + ")";
}

std::string ListInto(const fs::path& folder, const std::string& parent, std::vector<FolderEntry>& entries) {
  std::vector<FolderEntry> here;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const EntryKind kind = KindOf(*it, ec);
    if (ec) return Describe(it->path(), ec);
    here.push_back({it->path(), parent, NameOf(it->path()), kind});
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
    const std::string error = ListInto(entry.path, RelativeName(entry), entries);
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
  return ListInto(folder, "", entries);
}

}  // namespace harwpack
