#include "packer/folder_check.h"

#include <map>
#include <system_error>

#include "packer/text.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

/// Windows compares file names without regard to case; ASCII folding covers the usual names.
std::u16string Folded(std::u16string name) {
  for (char16_t& c : name) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  return name;
}

bool SameName(const std::u16string& a, const std::u16string& b) { return Folded(a) == Folded(b); }

std::u16string NameOf(const fs::path& path) {
  const std::string utf8 = PathToUtf8(path.filename());
  const auto units = Utf8ToUtf16(utf8);
  return units ? *units : std::u16string();
}

/// The entry of `dir` whose name equals `name` the way Windows compares them, preferring an exact match.
bool FindEntry(const fs::path& dir, const std::u16string& name, fs::path& found) {
  std::error_code ec;
  bool any = false;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::u16string entry = NameOf(it->path());
    if (entry == name) {
      found = it->path();
      return true;
    }
    if (!any && SameName(entry, name)) {
      found = it->path();
      any = true;
    }
  }
  return any;
}

std::string Quoted(const std::u16string& text) { return "'" + Utf16ToUtf8(text) + "'"; }

/// Checks one file name, or one part of a folder name, for what Windows does not allow.
std::string CheckComponent(const std::u16string& part) {
  if (part.empty() || part == u"." || part == u"..") return "has an empty, \".\" or \"..\" part";
  for (char16_t c : part) {
    if (c < 0x20 || std::u16string(u"<>:\"|?*\\/").find(c) != std::u16string::npos) {
      return "contains a character Windows does not allow in file names";
    }
  }
  if (part.back() == u'.' || part.back() == u' ') return "has a part ending in a dot or blank";
  // The NSIS compiler replaces ${NAME} by a definition of its own wherever it appears.
  if (part.find(u"${") != std::u16string::npos) return "contains \"${\", which the NSIS compiler would replace";
  return "";
}

std::string EntryProblem(const FolderEntry& entry) {
  if (entry.name.empty()) return "has a name that is not valid Unicode";
  if (entry.kind == EntryKind::kOther) {
    return "is neither a file nor a folder (a link to a folder, a broken link or a special file)";
  }
  const auto units = Utf8ToUtf16(entry.name);
  return CheckComponent(units ? *units : std::u16string());
}

/// Names in one folder that Windows, ignoring case, cannot hold side by side.
void CheckCaseCollisions(const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages) {
  std::map<std::pair<std::string, std::u16string>, const FolderEntry*> seen;
  for (const FolderEntry& entry : entries) {
    const std::u16string folded = Folded(Utf8ToUtf16(entry.name).value_or(u""));
    const auto [it, fresh] = seen.emplace(std::make_pair(entry.parent, folded), &entry);
    if (!fresh && !entry.name.empty()) {
      messages.push_back({Severity::kError, "'" + PathToUtf8(it->second->path) + "' and '" + PathToUtf8(entry.path) +
                                                "' differ only in letter case; Windows can hold only one of them"});
    }
  }
}

}  // namespace

bool SplitRelativePath(const std::u16string& path, std::vector<std::u16string>& parts) {
  parts.clear();
  const bool drive = path.size() >= 2 && path[1] == u':';
  if (path.empty() || IsSeparator(path[0]) || drive) return false;
  std::u16string part;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) {
      part.push_back(path[i]);
      continue;
    }
    if (part == u"..") {
      if (parts.empty()) return false;
      parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    part.clear();
  }
  return true;
}

std::string CheckInputFolder(const fs::path& folder) {
  std::error_code ec;
  const fs::file_status status = fs::status(folder, ec);
  const std::string label = "folder '" + PathToUtf8(folder) + "'";
  if (status.type() == fs::file_type::not_found) return label + " does not exist";
  if (ec) return label + " cannot be examined (" + ec.message() + ")";
  if (!fs::is_directory(status)) return label + " is not a directory";
  return "";
}

std::string CheckFolderName(const std::u16string& name) {
  const std::string label = "folder name " + Quoted(name);
  if (name.empty()) return label + " is empty; the extractor would unpack into the current directory";
  const bool drive = name.size() >= 2 && name[1] == u':';
  if (IsSeparator(name[0]) || drive) return label + " is absolute; it must be relative to the current directory";
  std::u16string part;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) {
      part.push_back(name[i]);
      continue;
    }
    const std::string problem = CheckComponent(part);
    if (!problem.empty()) return label + " " + problem;
    part.clear();
  }
  return "";
}

void CheckSetupInFolder(const UpdaterSettings& settings, const fs::path& folder,
                        std::vector<CheckMessage>& messages) {
  if (settings.no_execute_setup) return;
  const std::string label = "setup program " + Quoted(settings.setup_path);
  std::vector<std::u16string> setup;
  std::vector<std::u16string> unpacked;
  const bool relative = SplitRelativePath(settings.setup_path, setup);
  if (!SplitRelativePath(settings.folder_name, unpacked)) return;  // CheckFolderName reports it
  bool inside = relative && setup.size() >= unpacked.size();
  for (std::size_t i = 0; inside && i < unpacked.size(); ++i) inside = SameName(setup[i], unpacked[i]);
  if (inside && setup.size() == unpacked.size()) {
    messages.push_back({Severity::kError, label + " names the unpacked folder itself, not a program in it"});
    return;
  }
  if (!inside) {
    messages.push_back({Severity::kWarning, label + " lies outside the unpacked folder " +
                                                Quoted(settings.folder_name) +
                                                "; it must exist on the target machine"});
    return;
  }
  fs::path at = folder;
  for (std::size_t i = unpacked.size(); i < setup.size(); ++i) {
    fs::path next;
    if (!FindEntry(at, setup[i], next)) {
      messages.push_back({Severity::kError, label + " is missing: the folder has no " +
                                                PathToUtf8(at / PathFromUtf8(Utf16ToUtf8(setup[i])))});
      return;
    }
    at = next;
  }
  std::error_code ec;
  if (!fs::is_regular_file(at, ec)) {
    messages.push_back({Severity::kError, label + " is not a file in the folder: " + PathToUtf8(at)});
  }
}

void CheckFolderContents(const fs::path& folder, const std::vector<FolderEntry>& entries,
                         std::vector<CheckMessage>& messages) {
  std::size_t files = 0;
  for (const FolderEntry& entry : entries) {
    const std::string problem = EntryProblem(entry);
    if (!problem.empty()) {
      messages.push_back({Severity::kError, "'" + PathToUtf8(entry.path) + "' " + problem +
                                                "; it cannot be unpacked on Windows"});
    }
    if (entry.kind != EntryKind::kFolder) ++files;
  }
  CheckCaseCollisions(entries, messages);
  if (files == 0) messages.push_back({Severity::kError, "folder '" + PathToUtf8(folder) + "' holds no files"});
}

}  // namespace harwpack
