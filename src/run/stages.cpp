#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "log/log.h"
#include "options/options.h"
#include "package/package.h"
#include "platform/scoped_handle.h"
#include "platform/system_library.h"
#include "run/run.h"

bool SetupAllowed = true;

namespace {

/// Raised by a failing step of a child stage; the stage itself catches it.
struct StageFailure {
  DWORD exitCode;
};

struct NoSetupPath {
  const wchar_t* text;
  int number;  // position of the backslash that confirms a match; below 1: any match
};

// Packages inside the maker's own tool folders only unpack.
const NoSetupPath NoSetupPathTable[] = {
    {L"\\BRAVELDUNES", 12},
    {L"\\MOSSLINGQUARTZ", 15},
    {L"\\TINDERWICKHOLLOW", -1},
    {NULL, 0},
};

/// The console window hidden during the setup, and its show state to restore.
struct HiddenWindow {
  HWND window;
  UINT showState;
};

}  // namespace

// The shell and window calls of the setup stage, from their system DLLs.
// A function that cannot be had fails like the call itself, last error set.
template <typename Function>
static Function Resolve(const wchar_t* library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(SystemFunction(library, name)));
}

static BOOL CallShellExecuteEx(SHELLEXECUTEINFOW* info) {
  typedef BOOL(WINAPI * Function)(SHELLEXECUTEINFOW*);
  Function function = Resolve<Function>(L"shell32.dll", "ShellExecuteExW");
  return function != NULL ? function(info) : FALSE;
}

static HWND CallGetForegroundWindow() {
  typedef HWND(WINAPI * Function)();
  Function function = Resolve<Function>(L"user32.dll", "GetForegroundWindow");
  return function != NULL ? function() : NULL;
}

static BOOL CallGetWindowPlacement(HWND window, WINDOWPLACEMENT* placement) {
  typedef BOOL(WINAPI * Function)(HWND, WINDOWPLACEMENT*);
  Function function = Resolve<Function>(L"user32.dll", "GetWindowPlacement");
  return function != NULL ? function(window, placement) : FALSE;
}

static BOOL CallShowWindow(HWND window, int show) {
  typedef BOOL(WINAPI * Function)(HWND, int);
  Function function = Resolve<Function>(L"user32.dll", "ShowWindow");
  return function != NULL ? function(window, show) : FALSE;
}

bool IsSetupAllowed() {
  for (const NoSetupPath* row = NoSetupPathTable; row->number != 0; ++row) {
    const wchar_t* found = wcsstr(MyFileName, row->text);
    if (found != NULL && (row->number < 1 || found[row->number] == L'\\')) {
      WriteLog(LogProgress, L"No-Setup-Path is found \"%s\"", row->text);
      SetupAllowed = false;
      return SetupAllowed;
    }
  }
  WriteLog(LogProgress, L"No-Setup-Path is NOT found");
  return SetupAllowed;
}

// Waits for a child without a time limit and reads its exit code into ExitCode.
static void AwaitChild(HANDLE process, const wchar_t* object, const wchar_t* path) {
  DWORD rc = WaitForSingleObject(process, INFINITE);
  if (rc != WAIT_OBJECT_0) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"WaitForSingleObject(%s) rc=%u LastError=%u", object, rc, error);
    throw StageFailure{1};
  }
  WriteLog(LogProgress, L"WaitForSingleObject(\"%s\")", path);
  GetExitCodeProcess(process, &ExitCode);  // a failed query leaves ExitCode at 0
  WriteLog(LogProgress, L"GetExitCodeProcess(%s) ec=%u", object, ExitCode);
}

static HANDLE StartArc() {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(ArcPath, NULL, &inheritable, &inheritable, TRUE, 0, NULL, NULL,
                      &startup, &info)) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"CreateProcess(Arc) LastError=%u", error);
    throw StageFailure{1};
  }
  // The thread handle is left to the end of the process.
  WriteLog(LogProgress, L"CreateProcess(\"%s\")", ArcPath);
  return info.hProcess;
}

void ExecuteArc() {
  ScopedKernelHandle process;
  try {
    process.Reset(StartArc());
    AwaitChild(process.Get(), L"Arc", ArcPath);
  } catch (const StageFailure& failure) {
    ExitCode = failure.exitCode;
  }
  process.Reset();
  DeleteFileW(ArcPath);
  WriteLog(LogProgress, L"DeleteFile(\"%s\")", ArcPath);
  if (ExitCode != 0) exit(static_cast<int>(ExitCode));
}

static HANDLE StartSetup() {
  const UpdaterSettingsRecord& settings = UpdaterSettings;
  if (GetFileAttributesW(settings.SetupPath) == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"GetFileAttributes(\"%s\") LastError=%u", settings.SetupPath, error);
    throw StageFailure{1};
  }
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = settings.SetupPath;
  info.lpParameters = settings.SetupParameters;
  info.nShow = SW_HIDE;
  if (!CallShellExecuteEx(&info)) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"ShellExecuteEx(\"%s\",\"%s\") LastError=%u", settings.SetupPath,
             settings.SetupParameters, error);
    throw StageFailure{1};
  }
  WriteLog(LogProgress, L"ShellExecuteEx(\"%s\",\"%s\")", settings.SetupPath,
           settings.SetupParameters);
  return info.hProcess;
}

// A window handle has 32 significant bits in both editions (64-bit Windows
// shares its windows with 32-bit processes), so the log shows the same eight
// digits whatever the width of a pointer.
static unsigned WindowHandleBits(HWND window) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(window) & 0xFFFFFFFFu);
}

// Hides the window in the foreground now, right after the setup has started.
static void HideForegroundWindow(HiddenWindow* hidden) {
  hidden->window = CallGetForegroundWindow();
  WriteLog(LogProgress, L"GetForegroundWindow() rc=%08X", WindowHandleBits(hidden->window));
  if (hidden->window == NULL) return;
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  BOOL rc = CallGetWindowPlacement(hidden->window, &placement);
  DWORD error = GetLastError();
  hidden->showState = rc ? placement.showCmd : 0;
  WriteLog(LogProgress, L"GetWindowPlacement() status=0x%08X rc=%u LastError=%u",
           hidden->showState, rc, error);
  rc = CallShowWindow(hidden->window, SW_HIDE);
  error = GetLastError();
  WriteLog(LogProgress, L"ShowWindow(SW_HIDE) rc=%u LastError=%u", rc, error);
}

static void RestoreWindow(const HiddenWindow& hidden) {
  if (hidden.window == NULL) return;
  BOOL rc = CallShowWindow(hidden.window, static_cast<int>(hidden.showState));
  DWORD error = GetLastError();
  WriteLog(LogProgress, L"ShowWindow(0x%08X) rc=%u LastError=%u", hidden.showState, rc, error);
}

void ExecuteSetup() {
  const UpdaterSettingsRecord& settings = UpdaterSettings;
  ScopedKernelHandle process;
  HiddenWindow hidden = {NULL, 0};
  try {
    process.Reset(StartSetup());
    if (settings.WaitForSetup) {
      if (settings.HideConsole) HideForegroundWindow(&hidden);
      AwaitChild(process.Get(), L"Setup", settings.SetupPath);
    }
  } catch (const StageFailure& failure) {
    ExitCode = failure.exitCode;
  }
  process.Reset();
  WriteLog(LogProgress, L"DeleteFolder(\"%s\")", settings.FolderName);
  DeleteFolder(settings.FolderName);
  RestoreWindow(hidden);
  if (ExitCode != 0) exit(static_cast<int>(ExitCode));
}
