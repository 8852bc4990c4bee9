// The yardstick for a package run: what any program must do at the least to
// hand the same executable to Windows. It copies SOURCE to TARGET with
// CopyFileW, starts TARGET the way the package starts its extracted
// executable, waits for it and deletes it.
//
// Usage: baseline_copy SOURCE TARGET
// Exit code: the child's, or 1 when a step fails (the failing call is named
// on standard error).

#include <windows.h>

#include <stdio.h>

namespace {

int Fail(const wchar_t* call, const wchar_t* object) {
  DWORD error = GetLastError();
  fwprintf(stderr, L"baseline_copy: %ls(%ls) failed, error %lu\n", call, object, error);
  return 1;
}

// Same launch settings as the package: inheritable handles, inherited
// environment and current directory, no command line of its own.
int RunAndWait(wchar_t* target) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(target, NULL, &inheritable, &inheritable, TRUE, 0, NULL, NULL, &startup,
                      &info)) {
    return Fail(L"CreateProcessW", target);
  }
  int result = 0;
  DWORD code = 0;
  if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0) {
    result = Fail(L"WaitForSingleObject", target);
  } else if (!GetExitCodeProcess(info.hProcess, &code)) {
    result = Fail(L"GetExitCodeProcess", target);
  } else {
    result = static_cast<int>(code);
  }
  if (!CloseHandle(info.hThread)) result = Fail(L"CloseHandle(thread)", target);
  if (!CloseHandle(info.hProcess)) result = Fail(L"CloseHandle(process)", target);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: baseline_copy SOURCE TARGET\n");
    return 1;
  }
  if (!CopyFileW(argv[1], argv[2], FALSE)) return Fail(L"CopyFileW", argv[1]);
  int result = RunAndWait(argv[2]);
  if (!DeleteFileW(argv[2])) return Fail(L"DeleteFileW", argv[2]);
  return result;
}
