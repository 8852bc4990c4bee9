// The update run: start-up, the single-instance guard, the stages in their
// order, the two child programs, folder removal and the exit code.
#pragma once

#include "platform/windows_api.h"

/// Full path of the package file, a-z upper-cased.
extern wchar_t MyFileName[MAX_PATH];
/// File name of the package without folder and extension (upper case).
extern wchar_t BaseName[MAX_PATH];
/// Exit code of the run: a child's exit code, or 1 when a child stage failed.
extern DWORD ExitCode;
/// Cleared when the package lies in a folder where the setup must not run.
extern bool SetupAllowed;

/// Runs the whole update and returns the process exit code.
DWORD RunUpdate(int argc, wchar_t** argv);

/// Logs a console control event and reports it handled, so the run goes on.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);

/// Takes the package's named mutex; ends the process if another instance runs.
void CreateInstanceMutex();

/// Checks MyFileName against the folders where only unpacking is allowed.
bool IsSetupAllowed();

/// Runs ArcPath, waits, deletes it; ends the process unless it returned 0.
void ExecuteArc();

/// Runs SetupPath through the shell with the console hidden, waits, removes
/// FolderName; ends the process unless the setup returned 0 or was not awaited.
void ExecuteSetup();

/// Removes a folder with everything in it, logging every entry; never
/// descends into a linked folder and never stops on a failure.
void DeleteFolder(const wchar_t* path);

/// Upper-cases a to z in place, leaving every other character as it is.
void UpperCaseAsciiLetters(wchar_t* text);

/// Copies the file name of `path` without folder and extension to `name`
/// (capacity MAX_PATH).
void TakeBaseName(const wchar_t* path, wchar_t (&name)[MAX_PATH]);
