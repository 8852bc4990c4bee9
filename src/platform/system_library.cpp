#include "platform/system_library.h"

#include <wchar.h>

FARPROC SystemFunction(const wchar_t* library, const char* function) {
  wchar_t path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0) return NULL;
  if (length + 1 + wcslen(library) >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return NULL;
  }
  _snwprintf(path + length, MAX_PATH - length, L"\\%s", library);
  path[MAX_PATH - 1] = L'\0';
  HMODULE module = LoadLibraryW(path);  // kept loaded until the process ends
  return module != NULL ? GetProcAddress(module, function) : NULL;
}

// A DLL planted beside the program (in a Downloads folder, say) must never be
// loaded. SetDefaultDllDirectories is looked up at run time: Vista without
// its update lacks it.
void RestrictDllSearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
  const DWORD searchSystem32 = 0x00000800;
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC address = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
  if (address != NULL) {
    SetDefaultDllDirectoriesFunction setDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(address));
    if (setDirectories(searchSystem32)) return;
  }
  SetDllDirectoryW(L"");
}
