#include "run/run.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "log/log.h"
#include "options/options.h"
#include "package/package.h"
#include "platform/scoped_handle.h"
#include "platform/system_library.h"

wchar_t MyFileName[MAX_PATH] = L"";
wchar_t BaseName[MAX_PATH] = L"";
DWORD ExitCode = 0;

static const wchar_t MutexSuffix[] = L"#HarwUpdater#Mutex";
static const size_t AnswerCapacity = 100;

// Before the log has a path, a fatal problem can only be told on the console.
static void FailBeforeLog(const wchar_t* message) {
  PrintConsole(L"Error: %s\n\n", message);
  exit(1);
}

void UpperCaseAsciiLetters(wchar_t* text) {
  // Only a to z: other letters upper-cased by the C runtime (ß, ÿ, many
  // Cyrillic ones) would no longer name the package file.
  for (; *text != L'\0'; ++text) {
    if (*text >= L'a' && *text <= L'z') *text = static_cast<wchar_t>(*text - 0x20);
  }
}

void TakeBaseName(const wchar_t* path, wchar_t (&name)[MAX_PATH]) {
  const wchar_t* start = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') start = p + 1;
  }
  const wchar_t* end = wcsrchr(start, L'.');
  if (end == NULL) end = start + wcslen(start);
  size_t length = static_cast<size_t>(end - start);
  if (length >= MAX_PATH) length = MAX_PATH - 1;  // cannot happen: path fits MAX_PATH
  wmemcpy(name, start, length);
  name[length] = L'\0';
}

static void FindMyFileName() {
  DWORD length = GetModuleFileNameW(NULL, MyFileName, MAX_PATH);
  if (length == 0) {
    MyFileName[0] = L'\0';
    wcscpy(MyFileName, L"HarwUpdater.exe");
  } else if (length >= MAX_PATH) {
    FailBeforeLog(L"The package's path is too long (more than 259 characters)");
  }
}

static void BuildLogPath() {
  wchar_t folder[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, folder);
  if (length == 0) return;  // no temporary folder: the run goes on without a log
  if (length >= MAX_PATH) FailBeforeLog(L"The temporary folder's path is too long");
  if (length + wcslen(BaseName) + wcslen(L".log") >= MAX_PATH)
    FailBeforeLog(L"The log file's path is too long (more than 259 characters)");
  _snwprintf(LogPath, MAX_PATH, L"%s%s.log", folder, BaseName);
  LogPath[MAX_PATH - 1] = L'\0';
}

void CreateInstanceMutex() {
  wchar_t name[MAX_PATH];
  if (wcslen(BaseName) + wcslen(MutexSuffix) >= MAX_PATH) {
    WriteLog(LogFailure, L"Mutex name is too long (\"%s%s\")", BaseName, MutexSuffix);
    exit(1);
  }
  _snwprintf(name, MAX_PATH, L"%s%s", BaseName, MutexSuffix);
  name[MAX_PATH - 1] = L'\0';
  SetLastError(ERROR_SUCCESS);
  HANDLE mutex = CreateMutexW(NULL, FALSE, name);  // held until the process ends
  DWORD error = GetLastError();
  if (mutex == NULL || error == ERROR_ALREADY_EXISTS) {
    WriteLog(LogFailure, L"CreateMutex(\"%s\") LastError=%u", name, error);
    exit(1);
  }
  WriteLog(LogProgress, L"CreateMutex(\"%s\")", name);
}

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType) {
  WriteLog(LogFailure, L"ConsoleCtrlHandler(%u)", controlType);
  return TRUE;
}

static HANDLE OpenMyself() {
  HANDLE file = CreateFileW(MyFileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"CreateFile(Myself) LastError=%u", error);
    exit(1);
  }
  return file;
}

// Asks whether to delete the existing folder; anything but a first Y or y
// ends the run and leaves the folder alone.
static void AskToDeleteFolder() {
  const wchar_t* folder = UpdaterSettings.FolderName;
  PrintConsole(L"Folder \"%s\" is exist, delete folder(Yes/No)? ", folder);
  fflush(stdout);
  wchar_t answer[AnswerCapacity] = L"";
  if (fgetws(answer, static_cast<int>(AnswerCapacity), stdin) == NULL) answer[0] = L'\0';
  // The line's own end is no answer: an empty line logs and means the same as
  // end of input.
  size_t length = wcslen(answer);
  while (length > 0 && (answer[length - 1] == L'\n' || answer[length - 1] == L'\r'))
    answer[--length] = L'\0';
  WriteLog(LogProgress, L"Folder already exists (\"%s\", ans=%c)", folder, answer[0]);
  if (answer[0] != L'Y' && answer[0] != L'y') exit(1);
}

static void RemoveExistingFolder() {
  const wchar_t* folder = UpdaterSettings.FolderName;
  if (GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES) return;
  if (UpdaterSettings.NoExecuteSetup) return;
  if (!IsSetupAllowed()) return;
  if (!UpdaterSettings.DeleteWithoutAsking) AskToDeleteFolder();
  WriteLog(LogProgress, L"DeleteFolder(\"%s\")", folder);
  DeleteFolder(folder);
}

DWORD RunUpdate(int argc, wchar_t** argv) {
  (void)argc;
  RestrictDllSearch();
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  FindMyFileName();
  UpperCaseAsciiLetters(MyFileName);
  TakeBaseName(MyFileName, BaseName);
  BuildLogPath();
  CreateInstanceMutex();
  ScopedFileHandle myself(OpenMyself());
  FindArchivedDataMarker(myself.Get());
  ReadParameters(myself.Get());
  ParseParameters(argv);
  RemoveExistingFolder();
  ExtractArchivedData(myself.Get());
  myself.Reset();
  ExecuteArc();
  if (!UpdaterSettings.NoExecuteSetup && IsSetupAllowed()) ExecuteSetup();
  return ExitCode;
}
