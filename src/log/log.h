// The diagnostic log (one UTF-8 file in the temporary folder) and console output.
#pragma once

#include <stdarg.h>
#include <stddef.h>

#include "platform/windows_api.h"

/// Level of failures, of the parameter block lines and of console events.
const DWORD LogFailure = 0x01;
/// Level of progress: each successful step, each option seen, each file deleted.
const DWORD LogProgress = 0x04;
/// The bit of LogMask that echoes every log line on the console.
const DWORD LogEchoBit = 0x80;

/// Characters a formatted message or log line may hold (the buffers hold 1,028).
const size_t LogTextLimit = 1024;
const size_t LogBufferChars = 1028;
/// Bytes of the UTF-8 form of one line.
const size_t LogUtf8Bytes = 2056;
/// A log file longer than this is emptied before the next line is appended.
const DWORD LogSizeCap = 0xA00000;

/// Levels written; bit 0x80 switches the console echo on.
extern DWORD LogMask;
/// Full path of the log file; while empty, nothing is logged.
extern wchar_t LogPath[MAX_PATH];

/// Appends one time-stamped line for the message to the log file, opening and
/// closing the file for this one line. Never fails visibly.
void WriteLog(DWORD level, const wchar_t* format, ...);

/// Formatted wide output (Microsoft conventions) to standard output.
void PrintConsole(const wchar_t* format, ...);

/// Formats with the Microsoft wide conventions ("%s" takes a wide string) into
/// `out`, writing at most LogTextLimit characters and always terminating.
void FormatMessageText(wchar_t (&out)[LogBufferChars], const wchar_t* format, va_list args);

/// Builds the log line for a formatted message. Drops one trailing line feed;
/// returns false when the message was nothing but a line feed (no line).
bool ComposeLogLine(const SYSTEMTIME& time, DWORD level, wchar_t* message,
                    wchar_t (&line)[LogBufferChars]);

/// Converts a line to UTF-8 into a zero-filled buffer, cutting it at a character
/// boundary if its UTF-8 form does not fit. Returns the number of bytes.
size_t ConvertLineToUtf8(const wchar_t* line, char (&out)[LogUtf8Bytes]);
