#include "unpack/file_writer.h"

#include <algorithm>
#include <cstdint>

namespace harwarchive {
namespace {

std::wstring WidePath(const std::u16string& path) { return std::wstring(path.begin(), path.end()); }

/// The system's own failure, for a message: "CreateFile('x') failed (error 5)".
bool FailCall(Problem& problem, const char* call, const std::u16string& path, DWORD error) {
  return Fail(problem, Failure::kWriteFailed,
              std::string(call) + "(" + Quoted(path) + ") failed (error " + std::to_string(error) + ")");
}

/// `path` upper-cased with the system's invariant rules, as it compares names.
std::wstring UpperKey(const std::wstring& path) {
  std::wstring key(path);
  const int length = static_cast<int>(key.size());
  if (length > 0 && LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), length, &key[0], length,
                                  nullptr, nullptr, 0) != length) {
    key = path;  // cannot happen for a mapping of equal length; the exact name still works as a key
  }
  return key;
}

/// A file's own checks once open: a plain file, no folder and no link. Its
/// attributes alone: GetFileInformationByHandle also asks for the volume's
/// serial number and the file's name, which under Wine cost a call to the
/// mount manager and a lookup of every drive, per file.
bool CheckPlainFile(HANDLE file, const std::u16string& path, Problem& problem) {
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) {
    return FailCall(problem, "GetFileInformationByHandleEx", path, GetLastError());
  }
  if (info.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    return Fail(problem, Failure::kInTheWay, Quoted(path) + " became a link while it was opened");
  }
  return true;
}

/// The folder `path` lies in ("." for a bare name) and its own name.
void Split(const std::wstring& path, std::wstring& folder, std::wstring& name) {
  const std::size_t slash = path.rfind(L'\\');
  folder = slash == std::wstring::npos ? L"." : path.substr(0, slash);
  name = slash == std::wstring::npos ? path : path.substr(slash + 1);
}

/// Opens what `path` names itself, never what a reparse point leads to;
/// shared in every way, so that no other program is kept from its files.
HANDLE OpenName(const std::wstring& path, DWORD access, DWORD flags) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

/// The path the system reached through `handle`; 0 or the failure's error.
DWORD FinalPath(HANDLE handle, std::wstring& path) {
  path.assign(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
  if (length >= path.size()) {  // too small: `length` is the size it needs
    path.assign(length, L'\0');
    length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
  }
  if (length == 0) return GetLastError();
  if (length >= path.size()) return ERROR_INSUFFICIENT_BUFFER;
  path.resize(length);
  return ERROR_SUCCESS;
}

/// `file`, opened by `path`, must be reached by that name: under Wine a Unix
/// link to a file shows no reparse point, and a handle to it is its target,
/// which renaming or deleting the name would move or remove. `expected` is
/// then the final path of the folder it lies in.
bool CheckReachedByName(HANDLE file, const std::wstring& path, std::wstring& expected, Problem& problem) {
  const std::u16string shown(path.begin(), path.end());
  std::wstring folder;
  std::wstring name;
  Split(path, folder, name);
  ScopedFileHandle folder_handle(OpenName(folder, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
  if (!folder_handle.IsValid()) {
    return FailCall(problem, "CreateFile", std::u16string(folder.begin(), folder.end()), GetLastError());
  }
  std::wstring reached;
  DWORD error = FinalPath(folder_handle.Get(), expected);
  if (error == ERROR_SUCCESS) error = FinalPath(file, reached);
  if (error != ERROR_SUCCESS) return FailCall(problem, "GetFinalPathNameByHandle", shown, error);
  if (UpperKey(reached) == UpperKey(expected + L"\\" + name)) return true;
  return Fail(problem, Failure::kInTheWay,
              Quoted(shown) + " leads to " + Quoted(std::u16string(reached.begin(), reached.end())) +
                  "; nothing is written through a link");
}

/// Renames the open `file` to `name` in `folder` (a final path, "\\?\..."),
/// never over a name that exists; as SetFileInformationByHandle, with its
/// last error. The new name is a full NT path: Wine takes a bare name as
/// one in the current folder, not in the file's own.
BOOL RenameInto(HANDLE file, const std::wstring& folder, const std::wstring& name) {
  const std::wstring target = L"\\??\\" + folder.substr(folder.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0) + L"\\" + name;
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer((sizeof(FILE_RENAME_INFO) + bytes) / sizeof(std::uint64_t) + 1);
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::copy(target.begin(), target.end(), rename->FileName);
  return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)));
}

/// FILE_DISPOSITION_INFO_EX and its flags, which the headers declare only
/// for Windows 10 targets; older systems refuse the class.
struct DispositionEx {
  DWORD flags;
};
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD kDispositionDelete = 0x1;
const DWORD kDispositionPosixSemantics = 0x2;  // the name goes at once, even while others hold the file open
const DWORD kDispositionIgnoreReadOnly = 0x10;

/// Marks the open file's name for removal with the read-only attribute
/// cleared meanwhile on the handle and set again before it returns.
bool DeleteReadOnly(HANDLE file, const FILE_BASIC_INFO& basic, const std::u16string& path, Problem& problem) {
  FILE_BASIC_INFO attributes = {};  // times of 0: left as they are
  attributes.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (attributes.FileAttributes == 0) attributes.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(file, FileBasicInfo, &attributes, sizeof attributes)) {
    return FailCall(problem, "SetFileInformationByHandle", path, GetLastError());
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  const BOOL deleted = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
  const DWORD error = GetLastError();
  attributes.FileAttributes = basic.FileAttributes;
  if (!SetFileInformationByHandle(file, FileBasicInfo, &attributes, sizeof attributes)) {
    return FailCall(problem, "SetFileInformationByHandle", path, GetLastError());
  }
  return deleted || FailCall(problem, "SetFileInformationByHandle", path, error);
}

/// Removes the name `path` and leaves the file it names as it is: another
/// name (a hard link) may share it, and attributes belong to the file. The
/// read-only attribute is ignored where the system can (Windows 10 1809 on)
/// and else cleared and set again on the open handle.
bool DeleteName(const std::wstring& path, Problem& problem) {
  const std::u16string shown(path.begin(), path.end());
  ScopedFileHandle file(OpenName(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0));
  DWORD error = GetLastError();
  // Wine refuses write access to a read-only file's attributes when it is
  // opened, yet sets them on any handle to it; Windows grants that access.
  if (!file.IsValid() && error == ERROR_ACCESS_DENIED) {
    file.Reset(OpenName(path, DELETE | FILE_READ_ATTRIBUTES, 0));
    error = GetLastError();
  }
  if (!file.IsValid()) return FailCall(problem, "CreateFile", shown, error);
  std::wstring folder;
  if (!CheckPlainFile(file.Get(), shown, problem) || !CheckReachedByName(file.Get(), path, folder, problem)) {
    return false;
  }
  DispositionEx ignoring = {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
  if (SetFileInformationByHandle(file.Get(), kFileDispositionInfoEx, &ignoring, sizeof ignoring)) return true;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof basic)) {
    return FailCall(problem, "GetFileInformationByHandleEx", shown, GetLastError());
  }
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) return DeleteReadOnly(file.Get(), basic, shown, problem);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (!SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof disposition)) {
    return FailCall(problem, "SetFileInformationByHandle", shown, GetLastError());
  }
  return true;
}

}  // namespace

void FileWriter::Remember(const std::wstring& path, Kind kind) {
  (kind == Kind::kFolder ? created_folders_ : created_files_).push_back(path);
  created_keys_.insert(UpperKey(path));
}

/// An entry's path exists already: it must be what the entry is, no link,
/// and nothing this run made under a name that differs only in case.
bool FileWriter::CheckExisting(const std::wstring& path, DWORD attributes, Kind kind, Problem& problem) {
  const std::string shown = Quoted(std::u16string(path.begin(), path.end()));
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return Fail(problem, Failure::kInTheWay, shown + " is a link or junction; nothing is written through one");
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder != (kind == Kind::kFolder)) {
    return Fail(problem, Failure::kInTheWay,
                shown + (folder ? " is a folder where the archive has a file" : " is a file where the archive has a folder"));
  }
  if (created_keys_.count(UpperKey(path)) != 0) {
    return Fail(problem, Failure::kRefusedEntry,
                shown + " names what this archive already unpacked under a name that differs only in letter case");
  }
  return true;
}

bool FileWriter::MakeFolder(const Entry& entry, Problem& problem) {
  const std::wstring path = WidePath(entry.path);
  if (CreateDirectoryW(path.c_str(), nullptr)) {
    Remember(path, Kind::kFolder);
    return true;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return FailCall(problem, "CreateDirectory", entry.path, error);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return FailCall(problem, "GetFileAttributes", entry.path, GetLastError());
  }
  return CheckExisting(path, attributes, Kind::kFolder, problem);
}

/// Renames the plain file `path`, reached by that name, to a name of the
/// run's own in its folder: "~hx" and a number, the first that is free.
bool FileWriter::MoveAside(const std::wstring& path, std::wstring& aside, Problem& problem) {
  const std::u16string shown(path.begin(), path.end());
  ScopedFileHandle file(OpenName(path, DELETE | FILE_READ_ATTRIBUTES, 0));
  if (!file.IsValid()) return FailCall(problem, "CreateFile", shown, GetLastError());
  std::wstring final_folder;
  if (!CheckPlainFile(file.Get(), shown, problem) || !CheckReachedByName(file.Get(), path, final_folder, problem)) {
    return false;
  }
  std::wstring name;
  for (;;) {
    name = L"~hx" + std::to_wstring(next_aside_++) + L".tmp";
    if (RenameInto(file.Get(), final_folder, name)) break;
    const DWORD error = GetLastError();
    // A name left by a run that was killed, or one the archive made: the next.
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      return FailCall(problem, "SetFileInformationByHandle", shown, error);
    }
  }
  std::wstring folder;
  Split(path, folder, aside);
  aside = folder + L"\\" + name;
  return true;
}

/// The name `path` exists: what is there is checked and moved aside, and a
/// file this run moved aside to that very name moves on to another.
bool FileWriter::ClearTheWay(const std::wstring& path, DWORD attributes, Problem& problem) {
  const std::wstring key = UpperKey(path);
  std::wstring aside;
  if (aside_keys_.count(key) == 0) {
    if (!CheckExisting(path, attributes, Kind::kFile, problem) || !MoveAside(path, aside, problem)) return false;
    moved_aside_.push_back(MovedAside{path, aside});
  } else {
    auto mine = std::find_if(moved_aside_.begin(), moved_aside_.end(),
                             [&key](const MovedAside& moved) { return UpperKey(moved.aside) == key; });
    if (!MoveAside(mine->aside, aside, problem)) return false;
    aside_keys_.erase(key);
    mine->aside = aside;
  }
  aside_keys_.insert(UpperKey(aside));
  return true;
}

/// Creates `path` as a new file, after moving aside a file in the way: the
/// archive replaces names, never the contents of what was there, so a hard
/// link's other name keeps its bytes and a read-only file is no obstacle.
bool FileWriter::CreateOrReplace(const Entry& entry, const std::wstring& path, Problem& problem) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN;
  // The usual case, a name not there yet, takes one lookup: under Wine each
  // lookup of a missing name reads its folder through.
  HANDLE created = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
  const DWORD error = GetLastError();
  if (created == INVALID_HANDLE_VALUE) {
    const DWORD existing = GetFileAttributesW(path.c_str());
    if (existing == INVALID_FILE_ATTRIBUTES) return FailCall(problem, "CreateFile", entry.path, error);
    if (!ClearTheWay(path, existing, problem)) return false;
    created = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
    if (created == INVALID_HANDLE_VALUE) return FailCall(problem, "CreateFile", entry.path, GetLastError());
  }
  file_.Reset(created);
  Remember(path, Kind::kFile);
  return true;
}

/// Creates (or replaces) the file without following a link, and sets its size.
bool FileWriter::OpenFile(const Entry& entry, Problem& problem) {
  if (!CreateOrReplace(entry, WidePath(entry.path), problem)) return false;
  // What was opened must be a plain file, whatever appeared since the check.
  if (!CheckPlainFile(file_.Get(), entry.path, problem)) {
    file_.Reset();
    return false;
  }
  if (entry.size == 0) return true;
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(entry.size);
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file_.Get(), size, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.Get()) ||
      !SetFilePointerEx(file_.Get(), start, nullptr, FILE_BEGIN)) {
    return FailCall(problem, "SetEndOfFile", entry.path, GetLastError());
  }
  return true;
}

bool FileWriter::FinishFile(const Entry& entry, Problem& problem) {
  FILETIME modified;
  modified.dwLowDateTime = static_cast<DWORD>(entry.modified);
  modified.dwHighDateTime = static_cast<DWORD>(entry.modified >> 32);
  if (!SetFileTime(file_.Get(), nullptr, nullptr, &modified)) {
    return FailCall(problem, "SetFileTime", entry.path, GetLastError());
  }
  if (!CloseHandle(file_.Release())) return FailCall(problem, "CloseHandle", entry.path, GetLastError());
  if (entry.attributes != 0 && !SetFileAttributesW(WidePath(entry.path).c_str(), entry.attributes)) {
    return FailCall(problem, "SetFileAttributes", entry.path, GetLastError());
  }
  return true;
}

bool FileWriter::WritePiece(const Entry& entry, const Piece& piece, const std::uint8_t* data, Problem& problem) {
  if (piece.offset == 0 && !OpenFile(entry, problem)) return false;
  for (std::size_t done = 0; done < piece.size;) {
    const DWORD want = static_cast<DWORD>(piece.size - done < (1u << 30) ? piece.size - done : (1u << 30));
    DWORD written = 0;
    if (!WriteFile(file_.Get(), data + done, want, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      return FailCall(problem, "WriteFile", entry.path, error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
    }
    done += written;
  }
  return !piece.last || FinishFile(entry, problem);
}

void FileWriter::Undo() {
  file_.Reset();
  Problem ignored;  // the run's first failure is what it reports
  for (const std::wstring& path : created_files_) DeleteName(path, ignored);
  // Last moved, first back; a name the archive took is free again by now.
  for (auto it = moved_aside_.rbegin(); it != moved_aside_.rend(); ++it) {
    std::wstring folder;
    std::wstring name;
    Split(it->path, folder, name);
    ScopedFileHandle file(OpenName(it->aside, DELETE | FILE_READ_ATTRIBUTES, 0));
    // Whatever fails here leaves the file under its aside name, which
    // FORMAT.md tells how to undo: nothing else can be done for it now.
    if (file.IsValid() && CheckReachedByName(file.Get(), it->aside, folder, ignored)) {
      RenameInto(file.Get(), folder, name);
    }
  }
  // Deepest first: a folder is created after the folder it lies in.
  for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it) RemoveDirectoryW(it->c_str());
  created_files_.clear();
  created_folders_.clear();
  created_keys_.clear();
  moved_aside_.clear();
  aside_keys_.clear();
}

bool FileWriter::RemoveMovedAside(Problem& problem) {
  bool removed = true;
  for (const MovedAside& moved : moved_aside_) {
    Problem failed;
    if (!DeleteName(moved.aside, failed) && removed) {
      problem = failed;
      removed = false;
    }
  }
  moved_aside_.clear();
  aside_keys_.clear();
  return removed;
}

}  // namespace harwarchive
