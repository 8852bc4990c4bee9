#include "package/package.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <new>

#include "log/log.h"
#include "options/options.h"
#include "platform/scoped_handle.h"

wchar_t ArcPath[ArcPathCapacity] = L"";

// The first character is a blank so that the complete marker never stands in
// the program image; the search puts the "*" in place before it starts.
static wchar_t ArchivedDataMarker[] =
    L" **** Harrowvindalet **** Make Updater ***** Start of Archived Data *****";

// The process-wide parameter string; never freed.
static wchar_t* ParameterBuffer = NULL;

bool BlockHoldsMarker(const unsigned char* block, DWORD length) {
  if (length < MarkerBytes) return false;
  const size_t characters = MarkerBytes / sizeof(wchar_t);  // 73 and the zero
  for (size_t i = 0; i < characters; ++i) {
    wchar_t c = static_cast<wchar_t>(block[2 * i] | (block[2 * i + 1] << 8));
    wchar_t expected = i == 0 ? L'*' : ArchivedDataMarker[i];  // held with a blank first
    if (c != expected) return false;
  }
  return true;
}

static void FailFormat() {
  WriteLog(LogFailure, L"File format is invalid");
  exit(1);
}

void FindArchivedDataMarker(HANDLE file) {
  SetFilePointer(file, 0, NULL, FILE_BEGIN);
  DWORD size = GetFileSize(file, NULL);
  ArchivedDataMarker[0] = L'*';
  if (size == 0 || size == INVALID_FILE_SIZE) FailFormat();
  unsigned char block[MarkerAlignment];
  DWORD consumed = 0;
  for (;;) {
    DWORD position = consumed;  // the search reads from offset 0 without gaps
    DWORD wanted = size - consumed < MarkerAlignment ? size - consumed : MarkerAlignment;
    DWORD got = 0;
    if (!ReadFile(file, block, wanted, &got, NULL) || got != wanted) {
      DWORD error = GetLastError();
      WriteLog(LogFailure, L"ReadFile(Myself) LastError=%u", error);
      exit(1);
    }
    if (BlockHoldsMarker(block, got)) {
      WriteLog(LogProgress, L"Found Archived Data Marker %u", position + MarkerBytes);
      SetFilePointer(file, static_cast<LONG>(position + MarkerBytes), NULL, FILE_BEGIN);
      return;
    }
    consumed += got;
    if (consumed >= size) FailFormat();
  }
}

// Reads exactly `wanted` bytes; false on a failed or short read.
static bool ReadExactly(HANDLE file, void* buffer, DWORD wanted, DWORD* got) {
  *got = 0;
  return ReadFile(file, buffer, wanted, got, NULL) && *got == wanted;
}

static DWORD BytesLeft(HANDLE file) {
  DWORD size = GetFileSize(file, NULL);
  DWORD position = SetFilePointer(file, 0, NULL, FILE_CURRENT);
  if (size == INVALID_FILE_SIZE || position == INVALID_SET_FILE_POINTER || position > size)
    return 0;
  return size - position;
}

// Reads the P-byte string into a buffer that is always terminated, even when
// P is odd or the string lacks its own terminator.
static wchar_t* ReadParameterString(HANDLE file, DWORD bytes) {
  if (bytes > BytesLeft(file)) {
    WriteLog(LogFailure, L"ReadFile(Params) LastError=%u", ERROR_HANDLE_EOF);
    exit(1);
  }
  size_t characters = bytes / 2 + 2;
  wchar_t* buffer = new (std::nothrow) wchar_t[characters]();
  if (buffer == NULL) {
    WriteLog(LogFailure, L"Parameters buffer cannot be allocated (size=%u)", bytes);
    exit(1);
  }
  DWORD got = 0;
  if (!ReadExactly(file, buffer, bytes, &got)) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"ReadFile(Params) LastError=%u", error);
    exit(1);
  }
  buffer[bytes / 2] = L'\0';  // drops the half character of an odd size
  return buffer;
}

void ReadParameters(HANDLE file) {
  DWORD bytes = 0;
  DWORD got = 0;
  if (!ReadExactly(file, &bytes, sizeof(bytes), &got)) {
    DWORD error = GetLastError();
    WriteLog(LogFailure, L"ReadFile(Size) LastError=%u", error);
    exit(1);
  }
  WriteLog(LogFailure, L"Parameters size=%u", bytes);
  if (bytes == 0) return;
  ParameterBuffer = ReadParameterString(file, bytes);
  WriteLog(LogFailure, L"Parameters \"%s\"", ParameterBuffer);
  ParseParameters(MakeParameter(ParameterBuffer));
}
