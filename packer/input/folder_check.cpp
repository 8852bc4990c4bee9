#include "packer/input/folder_check.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <system_error>

#include "archive/archive.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

/// Windows compares file names without regard to case; ASCII folding covers the usual names.
std::u16string Folded(std::u16string name) { return harwarchive::FoldCase(std::move(name)); }

bool SameName(const std::u16string& a, const std::u16string& b) { return Folded(a) == Folded(b); }

/// The entry of the listing at `parts` below the listed folder, compared the
/// way Windows compares names, preferring an exact match; nullptr if none.
const FolderEntry* FindListed(const std::vector<FolderEntry>& entries, const std::vector<std::u16string>& parts) {
  const FolderEntry* found = nullptr;
  for (const FolderEntry& entry : entries) {
    std::vector<std::u16string> listed;
    const auto name = Utf8ToUtf16(RelativeName(entry));
    if (!name || !SplitRelativePath(*name, listed) || listed.size() != parts.size()) continue;
    if (listed == parts) return &entry;
    bool same = true;
    for (std::size_t i = 0; same && i < parts.size(); ++i) same = SameName(listed[i], parts[i]);
    if (same && found == nullptr) found = &entry;
  }
  return found;
}

/// True for a name Windows starts as a program image itself (".exe" in any case).
bool IsProgramName(const std::u16string& name) {
  const std::u16string folded = Folded(name);
  return folded.size() > 4 && folded.compare(folded.size() - 4, 4, u".EXE") == 0;
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
  // The rest of the rules every extractor's target keeps: a device name
  // (NUL.txt opens the device, not a file), half a surrogate pair.
  return harwarchive::CheckName(part);
}

/// Why the file at `path`, named like a program (".exe"), is no Windows
/// program image: the loader needs "MZ" at its start and "PE\0\0" where the
/// 32-bit value at byte 0x3C points. "" when both are there.
std::string ProgramImageProblem(const fs::path& path) {
  InputFile file(path, "setup program");
  std::uint8_t dos[0x40] = {};
  if (!file.ok()) return file.error();
  if (file.size() < sizeof dos) return "is too short to be a Windows program (" + std::to_string(file.size()) + " bytes)";
  if (!file.ReadExact(dos, sizeof dos, "its headers")) return file.error();
  if (dos[0] != 'M' || dos[1] != 'Z') return "is not a Windows program: it does not start with \"MZ\"";
  const std::uint64_t pe = ReadU32(dos + 0x3C);
  std::uint8_t signature[4] = {};
  if (pe + sizeof signature > file.size() || !file.Seek(pe) ||
      !file.ReadExact(signature, sizeof signature, "its PE signature") ||
      std::string(signature, signature + 4) != std::string("PE\0\0", 4)) {
    return "is not a Windows program: it has no PE header (an MS-DOS program or other data)";
  }
  return "";
}

/// The entry as messages name it: its path below the listed folder.
std::string Shown(const FolderEntry& entry) { return "'" + PathToUtf8(entry.relative) + "'"; }

std::string EntryProblem(const FolderEntry& entry) {
  if (entry.kind == EntryKind::kLink) {
    return "is " + entry.detail +
           ": only files and folders are packed, and a link is never followed, since it could reach outside the folder";
  }
  if (entry.kind == EntryKind::kOther) return "is " + entry.detail + ": only files and folders are packed";
  const std::string windows = "; it cannot be unpacked on Windows";
  if (entry.name.empty()) return "has a name that is not valid Unicode" + windows;
  const auto units = Utf8ToUtf16(entry.name);
  const std::string problem = CheckComponent(units ? *units : std::u16string());
  return problem.empty() ? problem : problem + windows;
}

/// Names in one folder that Windows, ignoring case, cannot hold side by side.
void CheckCaseCollisions(const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages) {
  std::map<std::pair<std::string, std::u16string>, const FolderEntry*> seen;
  for (const FolderEntry& entry : entries) {
    const std::u16string folded = Folded(Utf8ToUtf16(entry.name).value_or(u""));
    const auto [it, fresh] = seen.emplace(std::make_pair(entry.parent, folded), &entry);
    if (!fresh && !entry.name.empty()) {
      messages.push_back({Severity::kError, Shown(*it->second) + " and " + Shown(entry) +
                                                " differ only in letter case; Windows can hold only one of them"});
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
  const auto label = [&folder] { return "folder '" + PathToUtf8(folder) + "'"; };
  if (status.type() == fs::file_type::not_found) return label() + " does not exist";
  if (ec) return label() + " cannot be examined (" + ec.message() + ")";
  if (!fs::is_directory(status)) return label() + " is not a directory";
  return "";
}

std::string CheckFolderName(const std::u16string& name) {
  const auto label = [&name] { return "folder name " + Quoted(name); };
  if (name.empty()) return label() + " is empty; the extractor would unpack into the current directory";
  const bool drive = name.size() >= 2 && name[1] == u':';
  if (IsSeparator(name[0]) || drive) return label() + " is absolute; it must be relative to the current directory";
  std::u16string part;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) {
      part.push_back(name[i]);
      continue;
    }
    const std::string problem = CheckComponent(part);
    if (!problem.empty()) return label() + " " + problem;
    part.clear();
  }
  return "";
}

void CheckSetupInFolder(const UpdaterSettings& settings, const fs::path& folder,
                        const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages) {
  if (settings.no_execute_setup) return;
  const auto label = [&settings] { return "setup program " + Quoted(settings.setup_path); };
  std::vector<std::u16string> setup;
  std::vector<std::u16string> unpacked;
  const bool relative = SplitRelativePath(settings.setup_path, setup);
  if (!SplitRelativePath(settings.folder_name, unpacked)) return;  // CheckFolderName reports it
  bool inside = relative && setup.size() >= unpacked.size();
  for (std::size_t i = 0; inside && i < unpacked.size(); ++i) inside = SameName(setup[i], unpacked[i]);
  if (inside && setup.size() == unpacked.size()) {
    messages.push_back({Severity::kError, label() + " names the unpacked folder itself, not a program in it"});
    return;
  }
  if (!inside) {
    messages.push_back({Severity::kWarning, label() + " lies outside the unpacked folder " +
                                                Quoted(settings.folder_name) +
                                                "; it must exist on the target machine"});
    return;
  }
  const std::vector<std::u16string> below(setup.begin() + static_cast<std::ptrdiff_t>(unpacked.size()), setup.end());
  const FolderEntry* found = FindListed(entries, below);
  if (found == nullptr) {
    fs::path missing = folder;
    for (const std::u16string& part : below) missing /= PathFromUtf8(Utf16ToUtf8(part));
    messages.push_back({Severity::kError, label() + " is missing: the folder has no " + PathToUtf8(missing)});
  } else if (found->kind == EntryKind::kFolder) {  // a link or special entry has an error of its own
    messages.push_back({Severity::kError, label() + " is not a file in the folder: " + Shown(*found)});
  } else if (found->kind == EntryKind::kFile && IsProgramName(below.back())) {
    // Windows answers a broken program with a message box, and the hidden,
    // unattended run would wait for someone to close it.
    const std::string problem = ProgramImageProblem(found->path);
    if (!problem.empty()) messages.push_back({Severity::kError, label() + " " + problem});
  }
}

void CheckFolderContents(const fs::path& folder, const std::vector<FolderEntry>& entries,
                         std::vector<CheckMessage>& messages) {
  std::size_t files = 0;
  for (const FolderEntry& entry : entries) {
    const std::string problem = EntryProblem(entry);
    if (!problem.empty()) messages.push_back({Severity::kError, Shown(entry) + " " + problem});
    if (entry.kind == EntryKind::kFile) ++files;
  }
  CheckCaseCollisions(entries, messages);
  if (files == 0) messages.push_back({Severity::kError, "folder '" + PathToUtf8(folder) + "' holds no files"});
}

void CheckUnpackedPaths(const std::u16string& folder_name, const std::vector<FolderEntry>& entries,
                        std::vector<CheckMessage>& messages) {
  for (const FolderEntry& entry : entries) {
    const auto relative = Utf8ToUtf16(RelativeName(entry));
    if (entry.name.empty() || !relative) continue;  // CheckFolderContents reports the name
    const bool folder = entry.kind == EntryKind::kFolder;
    const std::size_t limit = folder ? kMaxFolderPath : kMaxFilePath;
    const std::size_t length = kShortestRoot + folder_name.size() + 1 + relative->size();
    if (length <= limit) continue;
    messages.push_back({Severity::kError, Shown(entry) + " would be unpacked as " + std::to_string(length) +
                                              " characters even at a drive's root (C:\\" + Utf16ToUtf8(folder_name) +
                                              "\\...); Windows " + (folder ? "folders" : "files") + " take at most " +
                                              std::to_string(limit)});
  }
}

void CheckFilesReadable(const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages) {
  for (const FolderEntry& entry : entries) {
    if (entry.kind != EntryKind::kFile || InterruptSignal() != 0) continue;
    errno = 0;
    std::ifstream file(entry.path, std::ios::binary);
    if (!file) messages.push_back({Severity::kError, Shown(entry) + " cannot be opened for reading" + ErrnoSuffix()});
  }
}

void HoldFiles(const std::vector<FolderEntry>& entries, std::vector<HeldFile>& held,
               std::vector<CheckMessage>& messages) {
  held.clear();
  held.resize(entries.size());
  const auto files = static_cast<std::size_t>(std::count_if(
      entries.begin(), entries.end(), [](const FolderEntry& entry) { return entry.kind == EntryKind::kFile; }));
  const std::string limit = AllowOpenFiles(files);
  if (!limit.empty()) {
    messages.push_back({Severity::kError, limit});
    return;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind != EntryKind::kFile || InterruptSignal() != 0) continue;
    const std::string error = held[i].Open(entries[i].path);
    if (!error.empty()) messages.push_back({Severity::kError, Shown(entries[i]) + " cannot be opened for reading" + error});
  }
}

bool CheckFolder(const fs::path& folder, const UpdaterSettings& settings, std::vector<FolderEntry>& entries,
                 std::vector<CheckMessage>& messages) {
  for (const std::string& problem : {CheckInputFolder(folder), CheckFolderName(settings.folder_name)}) {
    if (!problem.empty()) messages.push_back({Severity::kError, problem});
  }
  if (messages.empty()) {
    const std::string error = ListFolder(folder, entries);
    if (!error.empty()) messages.push_back({Severity::kError, error});
  }
  if (!messages.empty()) return false;
  CheckFolderContents(folder, entries, messages);
  CheckSetupInFolder(settings, folder, entries, messages);
  CheckUnpackedPaths(settings.folder_name, entries, messages);
  return true;
}

}  // namespace harwpack
