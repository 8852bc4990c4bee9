#include <stdlib.h>
#include <wchar.h>

#include "log/log.h"
#include "package/package.h"
#include "platform/scoped_handle.h"
#include "run/run.h"

bool BuildArcPath(const wchar_t* baseName) {
  ArcPath[0] = L'\0';
  // "___" + name + "___.exe" and the terminator must fit.
  if (wcslen(baseName) + 3 + 7 + 1 > ArcPathCapacity) return false;
  _snwprintf(ArcPath, ArcPathCapacity, L"___%s___.exe", baseName);
  ArcPath[ArcPathCapacity - 1] = L'\0';
  return true;
}

static HANDLE CreateArcFile() {
  HANDLE arc = CreateFileW(ArcPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (arc == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    PrintConsole(L"Error: Create archived data file (%u)\n\n", error);
    WriteLog(LogFailure, L"CreateFile(Arc) LastError=%u", error);
    exit(1);
  }
  WriteLog(LogProgress, L"CreateFile(\"%s\")", ArcPath);
  return arc;
}

static DWORD ReadArchiveSize(HANDLE file) {
  DWORD size = 0;
  DWORD got = 0;
  if (!ReadFile(file, &size, sizeof(size), &got, NULL)) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"ReadFile(Size) LastError=%u", error);
    exit(1);
  }
  if (got != sizeof(size)) {
    WriteLog(LogFailure, L"ReadFile(Size) read-bytes=%u", got);
    exit(1);
  }
  return size;
}

static void WriteAll(HANDLE arc, const unsigned char* bytes, DWORD length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(arc, bytes, length, &written, NULL) || written == 0) {
      DWORD error = GetLastError();
      if (error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
      PrintConsole(L"Error: Write archived data file (%u)\n\n", error);
      WriteLog(LogFailure, L"WriteFile(Arc) LastError=%u", error);
      exit(1);
    }
    bytes += written;
    length -= written;
  }
}

// One buffer for the whole copy: the archive is streamed, never held whole.
static unsigned char* CopyBuffer = NULL;

static void CopyArchive(HANDLE file, HANDLE arc, DWORD remaining) {
  if (CopyBuffer == NULL) CopyBuffer = static_cast<unsigned char*>(malloc(CopyPieceBytes));
  if (CopyBuffer == NULL) {
    WriteLog(LogFailure, L"Copy buffer cannot be allocated (size=%u)", CopyPieceBytes);
    exit(1);
  }
  while (remaining > 0) {
    DWORD wanted = remaining < CopyPieceBytes ? remaining : CopyPieceBytes;
    DWORD got = 0;
    if (!ReadFile(file, CopyBuffer, wanted, &got, NULL)) {
      DWORD error = GetLastError();
      WriteLog(LogFailure, L"ReadFile(Myself) LastError=%u", error);
      exit(1);
    }
    if (got == 0) {
      // The size field promises more than the file holds: stop, never wait.
      WriteLog(LogFailure, L"ReadFile(Myself) LastError=%u", ERROR_HANDLE_EOF);
      exit(1);
    }
    WriteAll(arc, CopyBuffer, got);
    remaining -= got;
  }
}

void ExtractArchivedData(HANDLE file) {
  if (!BuildArcPath(BaseName)) {
    WriteLog(LogFailure, L"Archived data file name is too long (BaseName \"%s\")", BaseName);
    exit(1);
  }
  HANDLE arc = CreateArcFile();  // left open on a fatal failure, as the process ends
  DWORD top = SetFilePointer(file, 0, NULL, FILE_CURRENT);
  DWORD size = ReadArchiveSize(file);
  WriteLog(LogProgress, L"Top of Archived Data %u", top);
  WriteLog(LogProgress, L"Size of Archived Data %u", size);
  CopyArchive(file, arc, size);
  CloseHandle(arc);
  WriteLog(LogProgress, L"CloseHandle(\"%s\")", ArcPath);
}
