#include "options/options.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "log/log.h"

UpdaterSettingsRecord UpdaterSettings = {
    L"Disk1", L"Disk1\\Setup.exe", L"", false, false, true, true,
};

static wchar_t FoldLetter(wchar_t c) {
  return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 0x20) : c;
}

bool IsOption(const wchar_t* entry, const wchar_t* option) {
  size_t i = 0;
  for (; entry[i] != L'\0' && option[i] != L'\0'; ++i) {
    if (FoldLetter(entry[i]) != FoldLetter(option[i])) return false;
  }
  return entry[i] == L'\0' && option[i] == L'\0';
}

static void FailMissingValue(const wchar_t* message) {
  WriteLog(LogFailure, L"%s", message);
  PrintConsole(L"%s\n\n", message);
  ShowHelp();
}

// A value that does not fit is refused rather than cut: a cut folder name can
// name another folder, which the run would then delete.
static void CopyValue(const wchar_t* option, const wchar_t* value, wchar_t* target,
                      size_t capacity) {
  size_t length = wcslen(value);
  if (length >= capacity) {
    WriteLog(LogFailure, L"Error: Parameter %s is too long (%u characters, at most %u)",
             option, static_cast<unsigned>(length), static_cast<unsigned>(capacity - 1));
    PrintConsole(L"Error: Parameter %s is too long (%u characters, at most %u)\n\n", option,
                 static_cast<unsigned>(length), static_cast<unsigned>(capacity - 1));
    exit(1);
  }
  wmemcpy(target, value, length + 1);
}

struct ValueOption {
  const wchar_t* name;
  const wchar_t* missing;
  wchar_t* target;
  size_t capacity;
};

// Applies a value option at vector[index]; returns the index of the next entry.
static size_t ApplyValue(wchar_t** vector, size_t index, const ValueOption& option) {
  const wchar_t* value = vector[index + 1];
  if (value == NULL) FailMissingValue(option.missing);
  CopyValue(option.name, value, option.target, option.capacity);
  return index + 2;
}

static const ValueOption SetupPathOption = {
    L"/S", L"Error: Parameter /S <NOT-FOUND>", UpdaterSettings.SetupPath, PathCapacity};
static const ValueOption SetupParametersOption = {
    L"/A", L"Error: Parameter /A <NOT-FOUND>", UpdaterSettings.SetupParameters,
    SetupParametersCapacity};
static const ValueOption FolderNameOption = {
    L"/F", L"Error: Parameter /F <NOT-FOUND>", UpdaterSettings.FolderName, PathCapacity};

// Applies the entry at vector[index]; returns the index of the next entry.
static size_t ApplyEntry(wchar_t** vector, size_t index) {
  const wchar_t* entry = vector[index];
  if (IsOption(entry, L"/S")) return ApplyValue(vector, index, SetupPathOption);
  if (IsOption(entry, L"/X")) {
    UpdaterSettings.NoExecuteSetup = true;
  } else if (IsOption(entry, L"/V")) {
    SetMask();
  } else if (IsOption(entry, L"/W")) {
    UpdaterSettings.WaitForSetup = false;
  } else if (IsOption(entry, L"/A")) {
    return ApplyValue(vector, index, SetupParametersOption);
  } else if (IsOption(entry, L"/F")) {
    return ApplyValue(vector, index, FolderNameOption);
  } else if (IsOption(entry, L"/D")) {
    UpdaterSettings.DeleteWithoutAsking = true;
  } else if (IsOption(entry, L"/H")) {
    UpdaterSettings.HideConsole = false;
  } else if (IsOption(entry, L"/?")) {
    ShowHelp();
  }
  return index + 1;
}

void ParseParameters(wchar_t** vector) {
  if (vector == NULL || vector[0] == NULL) return;
  size_t index = 1;
  while (vector[index] != NULL) {
    WriteLog(LogProgress, L"Parameter %s", vector[index]);
    index = ApplyEntry(vector, index);
  }
}

static bool IsSeparator(wchar_t c) { return iswspace(c) || !iswprint(c); }

// Finds the end of the token that starts at `start` (after an opening quote
// when `quoted`): the closing quote, a separator, or the end of the string.
static wchar_t* TokenEnd(wchar_t* start, bool quoted) {
  wchar_t* end = start;
  while (*end != L'\0' && (quoted ? *end != L'"' : !IsSeparator(*end))) ++end;
  return end;
}

static wchar_t EmptyEntry[1] = L"";

wchar_t** MakeParameter(wchar_t* text) {
  wchar_t** vector = new wchar_t*[ParameterVectorEntries]();  // lives until the process ends
  vector[0] = EmptyEntry;
  size_t next = 1;
  wchar_t* cursor = text;
  while (*cursor != L'\0') {
    if (IsSeparator(*cursor)) {
      ++cursor;
      continue;
    }
    bool quoted = *cursor == L'"';
    wchar_t* start = quoted ? cursor + 1 : cursor;
    wchar_t* end = TokenEnd(start, quoted);
    cursor = end;
    if (*end != L'\0') {
      *end = L'\0';
      cursor = end + 1;
    }
    if (next >= ParameterVectorEntries - 1) {
      WriteLog(LogFailure, L"MakeParameter: more than %u parameters",
               static_cast<unsigned>(ParameterVectorEntries - 2));
      exit(1);
    }
    vector[next++] = start;
    WriteLog(LogProgress, L"MakeParameter \"%s\"", start);
  }
  return vector;
}

void ShowHelp() {
  PrintConsole(L"HarwUpdater.exe (%s)\n", L"1.0.0.6");
  PrintConsole(L"Copyright (C) Harrowvindalet. All rights reserved.\n");
  PrintConsole(L"\n");
  PrintConsole(L"Command Line Parameters:\n");
  PrintConsole(L"  /A \"<setup-parameter>\"   Parameters for Setup.exe\n");
  PrintConsole(L"  /S \"<setup-file-name>\"   Specify other Setup.exe\n");
  PrintConsole(L"  /X                       NOT execute Setup.exe\n");
  PrintConsole(L"  /F \"<folder-name>\"       Deleted Folder Name\n");
  PrintConsole(L"  /D                       delete folder before extraction\n");
  PrintConsole(L"  /W                       NOT wait termination for Setup.exe\n");
  PrintConsole(L"  /H                       NOT hide command-prompt window\n");
  PrintConsole(L"  /V                       Show Detail Information\n");
  PrintConsole(L"  /?                       Show This Help\n");
  exit(1);
}

void SetMask() {
  DWORD old = LogMask;
  LogMask = old | LogEchoBit;
  WriteLog(LogProgress, L"%s mask=0x%08X->0x%08X", L"SetMask", old, LogMask);
}
