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
