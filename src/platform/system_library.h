// Loading system DLLs safely: the search narrowed to the system folder at
// start-up, and functions that only the setup stage needs loaded when it
// runs. Under Wine, loading the user-interface library at start-up costs a
// package about 20 ms before it can do any work, and a run with /X never
// touches a window or the shell.
#pragma once

#include "platform/windows_api.h"

/// Returns the address of `function` in the system folder's `library`
/// (loaded by its full path, never from the search path), or NULL with the
/// last error set.
FARPROC SystemFunction(const wchar_t* library, const char* function);

/// Narrows the DLL search to the system folder, so that a DLL beside the
/// program or in the current folder is never loaded.
void RestrictDllSearch();
