// The yardstick for a whole package run: what any extractor must do at the
// least. It copies the folder SOURCE to TARGET (the same files and folders,
// the same sizes, with CopyFileW, so nothing is decompressed), starts
// TARGET\SETUP, waits for it, and removes TARGET again.
//
// Usage: baseline_tree SOURCE TARGET SETUP
// Exit code: the setup program's, or 1 when a step fails (the failing call is
// named on standard error). TARGET must not exist beforehand.

#include <windows.h>

#include <stdio.h>

#include <string>

namespace {

bool Fail(const wchar_t* call, const std::wstring& object) {
  DWORD error = GetLastError();
  fwprintf(stderr, L"baseline_tree: %ls(%ls) failed, error %lu\n", call, object.c_str(), error);
  return false;
}

bool IsDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Calls `visit(name, isFolder)` for every entry of `folder`; false when the
// listing fails or a visit does.
template <typename Visit>
bool ForEachEntry(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return Fail(L"FindFirstFileW", folder);
  bool ok = true;
  do {
    if (IsDotEntry(entry.cFileName)) continue;
    ok = visit(std::wstring(entry.cFileName), (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (ok && FindNextFileW(listing, &entry));
  DWORD error = ok ? GetLastError() : ERROR_NO_MORE_FILES;
  FindClose(listing);
  if (error != ERROR_NO_MORE_FILES) {
    SetLastError(error);
    return Fail(L"FindNextFileW", folder);
  }
  return ok;
}

bool CopyTree(const std::wstring& source, const std::wstring& target) {
  if (!CreateDirectoryW(target.c_str(), NULL)) return Fail(L"CreateDirectoryW", target);
  return ForEachEntry(source, [&](const std::wstring& name, bool isFolder) {
    const std::wstring from = source + L"\\" + name;
    const std::wstring to = target + L"\\" + name;
    if (isFolder) return CopyTree(from, to);
    return CopyFileW(from.c_str(), to.c_str(), TRUE) ? true : Fail(L"CopyFileW", from);
  });
}

bool RemoveTree(const std::wstring& folder) {
  bool emptied = ForEachEntry(folder, [&](const std::wstring& name, bool isFolder) {
    const std::wstring path = folder + L"\\" + name;
    if (isFolder) return RemoveTree(path);
    return DeleteFileW(path.c_str()) ? true : Fail(L"DeleteFileW", path);
  });
  if (!emptied) return false;
  return RemoveDirectoryW(folder.c_str()) ? true : Fail(L"RemoveDirectoryW", folder);
}

// Same launch settings as the package gives its extractor: inheritable
// handles, inherited environment and current directory.
int RunAndWait(const std::wstring& program) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), NULL, &inheritable, &inheritable, TRUE, 0, NULL, NULL,
                      &startup, &info)) {
    Fail(L"CreateProcessW", program);
    return 1;
  }
  int result = 1;
  DWORD code = 0;
  if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0) {
    Fail(L"WaitForSingleObject", program);
  } else if (!GetExitCodeProcess(info.hProcess, &code)) {
    Fail(L"GetExitCodeProcess", program);
  } else {
    result = static_cast<int>(code);
  }
  if (!CloseHandle(info.hThread) || !CloseHandle(info.hProcess)) {
    Fail(L"CloseHandle", program);
    result = 1;
  }
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fwprintf(stderr, L"usage: baseline_tree SOURCE TARGET SETUP\n");
    return 1;
  }
  const std::wstring target = argv[2];
  if (!CopyTree(argv[1], target)) return 1;
  int result = RunAndWait(target + L"\\" + argv[3]);
  if (!RemoveTree(target)) return 1;
  return result;
}
