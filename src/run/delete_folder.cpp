#include <wchar.h>

#include "log/log.h"
#include "platform/scoped_handle.h"
#include "run/run.h"

// Longest folder path accepted, leaving room for the backslash and the "*".
static const size_t FolderPathLimit = 257;

static bool IsDotEntry(const wchar_t* name) {
  return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

static void DeleteOneFile(const wchar_t* path) {
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileW(path)) {
    WriteLog(LogProgress, L"DeleteFile(\"%s\")", path);
  } else {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"DeleteFile(\"%s\") LastError=%u", path, error);
  }
}

static void RemoveOneFolder(const wchar_t* path) {
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  if (RemoveDirectoryW(path)) {
    WriteLog(LogProgress, L"RemoveDirectory(\"%s\")", path);
  } else {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"RemoveDirectory(\"%s\") LastError=%u", path, error);
  }
}

// Removes one listed entry of `folder` (which ends with a backslash).
static void DeleteEntry(const wchar_t* folder, const WIN32_FIND_DATAW& entry) {
  wchar_t path[MAX_PATH];
  if (wcslen(folder) + wcslen(entry.cFileName) >= MAX_PATH) {
    WriteLog(LogFailure, L"Path is too long (\"%s%s\")", folder, entry.cFileName);
    return;
  }
  _snwprintf(path, MAX_PATH, L"%s%s", folder, entry.cFileName);
  path[MAX_PATH - 1] = L'\0';
  if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    DeleteFolder(path);
  } else {
    DeleteOneFile(path);
  }
}

static void DeleteContents(const wchar_t* folder) {
  wchar_t pattern[MAX_PATH];
  _snwprintf(pattern, MAX_PATH, L"%s*", folder);
  pattern[MAX_PATH - 1] = L'\0';
  WIN32_FIND_DATAW entry;
  ScopedFindHandle listing(FindFirstFileW(pattern, &entry));
  if (!listing.IsValid()) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"FindFirstFile(\"%s\") LastError=%u", pattern, error);
    return;
  }
  do {
    if (!IsDotEntry(entry.cFileName)) DeleteEntry(folder, entry);
  } while (FindNextFileW(listing.Get(), &entry));
}

void DeleteFolder(const wchar_t* path) {
  if (path == NULL || path[0] == L'\0') return;
  size_t length = wcslen(path);
  if (length > FolderPathLimit) {
    WriteLog(LogFailure, L"Deleted Folder Name is too long (\"%s\")", path);
    return;
  }
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"GetFileAttributes(\"%s\") LastError=%u", path, error);
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    WriteLog(LogFailure, L"Folder name is invalid (\"%s\", attr=0x%08X)", path, attributes);
    return;
  }
  // A junction or symbolic link is removed itself; what it points at is not ours.
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    wchar_t folder[MAX_PATH];
    _snwprintf(folder, MAX_PATH, path[length - 1] == L'\\' ? L"%s" : L"%s\\", path);
    folder[MAX_PATH - 1] = L'\0';
    DeleteContents(folder);
  }
  RemoveOneFolder(path);
}
