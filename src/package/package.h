// The container appended behind the program image: finding it in the package's
// own file, reading its parameter block and writing the embedded executable out.
#pragma once

#include <stddef.h>

#include "platform/windows_api.h"

/// Bytes of the marker: 73 UTF-16 characters and a 16-bit zero.
const DWORD MarkerBytes = 148;
/// The marker is searched for only at multiples of this offset.
const DWORD MarkerAlignment = 256;
/// Piece size of the archived data copy.
const DWORD CopyPieceBytes = 65536;
/// Capacity of ArcPath, in characters with the terminator.
const size_t ArcPathCapacity = 264;

/// Relative path of the temporary executable: "___<BaseName>___.exe".
extern wchar_t ArcPath[ArcPathCapacity];

/// Searches the file from its start, in 256-byte blocks, for the marker and
/// leaves the file position behind it. Ends the process when there is none.
void FindArchivedDataMarker(HANDLE file);

/// Reads the parameter block at the file position, logs it and applies the
/// parameter string. Leaves the position at the archived data block.
void ReadParameters(HANDLE file);

/// Copies the archived data block at the file position to ArcPath.
void ExtractArchivedData(HANDLE file);

/// True if the first `length` bytes of a block begin with the complete marker,
/// terminator included. Bytes past `length` are never looked at.
bool BlockHoldsMarker(const unsigned char* block, DWORD length);

/// Makes ArcPath from a base name; false (ArcPath empty) if it would not fit.
bool BuildArcPath(const wchar_t* baseName);
