// The settings that steer a run, the option syntax shared by the embedded
// parameter string and the command line, and the help text.
#pragma once

#include <stddef.h>

#include "platform/windows_api.h"

/// Capacity of FolderName and SetupPath, in characters with the terminator.
const size_t PathCapacity = MAX_PATH;
/// Capacity of SetupParameters, in characters with the terminator.
const size_t SetupParametersCapacity = 1024;
/// Entries of the vector MakeParameter builds: entry 0, 62 tokens, the end mark.
const size_t ParameterVectorEntries = 64;

/// The settings of one run; they start from their defaults and are changed only
/// by ParseParameters.
struct UpdaterSettingsRecord {
  wchar_t FolderName[PathCapacity];
  wchar_t SetupPath[PathCapacity];
  wchar_t SetupParameters[SetupParametersCapacity];
  bool NoExecuteSetup;
  bool DeleteWithoutAsking;
  bool WaitForSetup;
  bool HideConsole;
};

/// The process-wide settings, holding their defaults from process start.
extern UpdaterSettingsRecord UpdaterSettings;

/// Applies entries 1 onward of a vector ended by a null entry. Ends the process
/// with exit code 1 for "/?", a missing value or a value that does not fit.
void ParseParameters(wchar_t** vector);

/// Splits a writable zero-terminated string in place into a vector of 64
/// entries (entry 0 empty, a null end mark). Ends the process with exit code 1
/// if the string holds more tokens than the vector.
wchar_t** MakeParameter(wchar_t* text);

/// Prints the help text and ends the process with exit code 1.
void ShowHelp();

/// Adds the console echo bit to LogMask and logs the change.
void SetMask();

/// True if `entry` is `option` with A-Z and a-z folded and nothing else.
bool IsOption(const wchar_t* entry, const wchar_t* option);
