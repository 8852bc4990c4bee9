#include "log/log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/scoped_handle.h"

DWORD LogMask = 0x00000007;
wchar_t LogPath[MAX_PATH] = L"";

void FormatMessageText(wchar_t (&out)[LogBufferChars], const wchar_t* format, va_list args) {
  // _vsnwprintf is the C runtime's own routine, so "%s" is a wide string whatever
  // mingw-w64's C99 printf switch says; it does not terminate a cut text itself.
  memset(out, 0, sizeof(out));
  _vsnwprintf(out, LogTextLimit, format, args);
  out[LogTextLimit] = L'\0';
  // A cut between the two halves of a surrogate pair drops the whole character.
  wchar_t last = out[LogTextLimit - 1];
  if (last >= 0xD800 && last <= 0xDBFF) out[LogTextLimit - 1] = L'\0';
}

static void FormatCut(wchar_t (&out)[LogBufferChars], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessageText(out, format, args);
  va_end(args);
}

bool ComposeLogLine(const SYSTEMTIME& time, DWORD level, wchar_t* message,
                    wchar_t (&line)[LogBufferChars]) {
  size_t length = wcslen(message);
  if (length > 0 && message[length - 1] == L'\n') {
    if (length == 1) return false;
    message[length - 1] = L'\0';
  }
  FormatCut(line, L"%04d/%02d/%02d %02d:%02d:%02d.%03d, 0x%02X, %s\n", time.wYear,
            time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
            time.wMilliseconds, level, message);
  return true;
}

// Bytes that WideCharToMultiByte produces for the code point starting at text[i];
// `units` receives the UTF-16 units it spans. A lone surrogate becomes U+FFFD.
static size_t Utf8Length(const wchar_t* text, size_t i, size_t* units) {
  wchar_t c = text[i];
  *units = 1;
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
    *units = 2;
    return 4;
  }
  return 3;
}

size_t ConvertLineToUtf8(const wchar_t* line, char (&out)[LogUtf8Bytes]) {
  memset(out, 0, sizeof(out));
  size_t units = 0;
  size_t bytes = 0;
  while (line[units] != L'\0') {
    size_t step = 0;
    size_t need = Utf8Length(line, units, &step);
    if (bytes + need > LogUtf8Bytes - 1) break;  // keep the terminating zero
    bytes += need;
    units += step;
  }
  if (units == 0) return 0;
  int written = WideCharToMultiByte(CP_UTF8, 0, line, static_cast<int>(units), out,
                                    static_cast<int>(LogUtf8Bytes - 1), NULL, NULL);
  if (written <= 0) return 0;
  return strlen(out);
}

static void AppendToLogFile(const char* bytes, size_t length) {
  ScopedFileHandle file(CreateFileW(LogPath, GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
  if (!file.IsValid()) return;  // another writer holds it: this line is lost
  DWORD size = GetFileSize(file.Get(), NULL);
  if (size != INVALID_FILE_SIZE && size > LogSizeCap) {
    SetFilePointer(file.Get(), 0, NULL, FILE_BEGIN);
    SetEndOfFile(file.Get());
  }
  SetFilePointer(file.Get(), 0, NULL, FILE_END);
  DWORD written = 0;
  WriteFile(file.Get(), bytes, static_cast<DWORD>(length), &written, NULL);
}

void WriteLog(DWORD level, const wchar_t* format, ...) {
  if ((level & LogMask) == 0) return;
  if (LogPath[0] == L'\0') return;
  wchar_t message[LogBufferChars];
  va_list args;
  va_start(args, format);
  FormatMessageText(message, format, args);
  va_end(args);
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t line[LogBufferChars];
  if (!ComposeLogLine(now, level, message, line)) return;
  if (LogMask & LogEchoBit) PrintConsole(L"%s", line);
  char utf8[LogUtf8Bytes];
  size_t length = ConvertLineToUtf8(line, utf8);
  if (length >= 1) AppendToLogFile(utf8, length);
}

// Writes text to standard output: a console gets the characters themselves;
// a file or pipe gets UTF-8, so that paths beyond ASCII reach scripts intact.
static void WriteStandardOutput(const wchar_t* text, size_t length) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output != NULL && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)) {
    DWORD written = 0;
    fflush(stdout);
    WriteConsoleW(output, text, static_cast<DWORD>(length), &written, NULL);
    return;
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), NULL, 0, NULL, NULL);
  char* utf8 = bytes > 0 ? static_cast<char*>(malloc(static_cast<size_t>(bytes))) : NULL;
  if (utf8 == NULL) return;
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8, bytes, NULL, NULL);
  fwrite(utf8, 1, static_cast<size_t>(bytes), stdout);
  free(utf8);
}

void PrintConsole(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = _vscwprintf(format, copy);
  va_end(copy);
  wchar_t* text = length > 0 ? static_cast<wchar_t*>(calloc(length + 1u, sizeof(wchar_t))) : NULL;
  if (text != NULL) {
    _vsnwprintf(text, static_cast<size_t>(length), format, args);
    WriteStandardOutput(text, wcslen(text));
    free(text);
  }
  va_end(args);
}
