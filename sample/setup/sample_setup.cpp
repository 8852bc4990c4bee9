// The sample installation's setup program: copies HarwDemo.txt from its own
// folder into the folder "Installed" in the current directory and says so,
// on its console and in Installed\setup-report.txt.
#include "platform/windows_api.h"

#include <stdio.h>
#include <wchar.h>

static bool OwnFolder(wchar_t (&folder)[MAX_PATH]) {
  DWORD length = GetModuleFileNameW(NULL, folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  wchar_t* slash = wcsrchr(folder, L'\\');
  if (slash == NULL) return false;
  slash[1] = L'\0';
  return true;
}

int wmain(int argc, wchar_t** argv) {
  wchar_t source[MAX_PATH];
  if (!OwnFolder(source) || wcslen(source) + wcslen(L"HarwDemo.txt") >= MAX_PATH) {
    fwprintf(stderr, L"Sample setup: cannot find its own folder\n");
    return 2;
  }
  wcscat(source, L"HarwDemo.txt");
  if (!CreateDirectoryW(L"Installed", NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
    fwprintf(stderr, L"Sample setup: CreateDirectory(Installed) failed (%lu)\n", GetLastError());
    return 3;
  }
  if (!CopyFileW(source, L"Installed\\HarwDemo.txt", FALSE)) {
    fwprintf(stderr, L"Sample setup: CopyFile failed (%lu)\n", GetLastError());
    return 4;
  }
  // The console is hidden while the setup runs, so it also leaves its report
  // in a file for the person who ran the package.
  FILE* report = _wfopen(L"Installed\\setup-report.txt", L"w");
  FILE* outputs[] = {stdout, report};
  for (FILE* out : outputs) {
    if (out == NULL) continue;
    fwprintf(out, L"Sample setup: started with");
    for (int i = 1; i < argc; ++i) fwprintf(out, L" %ls", argv[i]);
    fwprintf(out, L"\nSample setup: installed HarwDemo.txt into the folder Installed\n");
  }
  if (report != NULL) fclose(report);
  return 0;
}
