#include "unpack/file_writer.h"

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

/// Opens `path` for writing as a new file or, when the name exists, as the
/// existing plain file it must be (replaced); never through a link.
bool FileWriter::CreateOrReplace(const Entry& entry, const std::wstring& path, Problem& problem) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN;
  // The usual case, a name not there yet, takes one lookup: under Wine each
  // lookup of a missing name reads its folder through.
  HANDLE created = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
  const DWORD error = GetLastError();
  if (created != INVALID_HANDLE_VALUE) {
    file_.Reset(created);
    Remember(path, Kind::kFile);
    return true;
  }
  const DWORD existing = GetFileAttributesW(path.c_str());
  if (existing == INVALID_FILE_ATTRIBUTES) return FailCall(problem, "CreateFile", entry.path, error);
  if (!CheckExisting(path, existing, Kind::kFile, problem)) return false;
  created = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
  if (created == INVALID_HANDLE_VALUE) return FailCall(problem, "CreateFile", entry.path, GetLastError());
  file_.Reset(created);
  return true;
}

/// Creates (or replaces) the file without following a link, and sets its size.
bool FileWriter::OpenFile(const Entry& entry, Problem& problem) {
  if (!CreateOrReplace(entry, WidePath(entry.path), problem)) return false;
  // What was opened must be a plain file, whatever appeared since the check.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file_.Get(), &info)) {
    return FailCall(problem, "GetFileInformationByHandle", entry.path, GetLastError());
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    file_.Reset();
    return Fail(problem, Failure::kInTheWay, Quoted(entry.path) + " became a link while it was opened");
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

void FileWriter::RemoveCreated() {
  file_.Reset();
  for (const std::wstring& path : created_files_) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
  // Deepest first: a folder is created after the folder it lies in.
  for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it) RemoveDirectoryW(it->c_str());
  created_files_.clear();
  created_folders_.clear();
  created_keys_.clear();
}

}  // namespace harwarchive
