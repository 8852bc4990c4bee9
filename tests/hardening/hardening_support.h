// Shared pieces of the hardening tests: packages built in memory, runs in a
// folder of their own, judging a run by its exit code and log, and snapshots
// of a folder tree to prove that a run touched nothing outside its folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/log_reader.h"
#include "support/process.h"

namespace harwtest::hardening {

/// A valid package as bytes, with the offsets of its container's fields.
struct PackageLayout {
  std::string bytes;
  std::size_t marker = 0;  ///< file offset of the marker (end of the padded stub)
  std::uint32_t p = 0;     ///< parameters size, terminator included
  std::uint32_t s = 0;     ///< archived data size

  std::size_t PField() const { return marker + 148; }
  std::size_t ParamsStart() const { return marker + 152; }
  std::size_t SField() const { return ParamsStart() + p; }
  std::size_t ArchiveStart() const { return SField() + 4; }
  std::size_t ArchiveEnd() const { return ArchiveStart() + s; }
};

/// The 148 marker bytes: 73 UTF-16LE characters and a 16-bit zero.
std::string MarkerBytes();

/// Little-endian 32-bit value as 4 bytes.
std::string U32(std::uint32_t value);

/// Text as UTF-16LE bytes, without a terminator.
std::string Utf16Bytes(std::wstring_view text);

/// The container for `parameters` (absent: P = 0) and `archive`.
std::string ContainerBytes(const std::optional<std::wstring>& parameters,
                           const std::string& archive);

/// bin/HarwUpdater.exe padded to 256 bytes followed by the container; the
/// archive is bin/fake_extractor.exe unless given.
PackageLayout BuildPackage(const std::optional<std::wstring>& parameters,
                           const std::string& archive = {});

/// Creates or replaces the file through a handle that no child inherits:
/// while one thread writes a package, another may be starting a child with
/// handle inheritance on, and an inherited write handle would keep the first
/// package from being started (sharing violation). False on failure.
bool WriteFileQuietly(const std::filesystem::path& path, std::string_view bytes);

/// The usual way to run a package here: current directory and TMP/TEMP are
/// `folder`, standard input empty, a 20-second bound.
RunOptions RunInFolder(const std::filesystem::path& program, const std::filesystem::path& folder,
                       std::vector<std::wstring> args = {});

/// The parsed log; an empty Log (no lines) if the file is missing.
Log LogOrEmpty(const std::filesystem::path& path);

/// True if the log holds a line with exactly this level and text.
bool HasLine(const Log& log, unsigned level, std::string_view text);
/// True if the log holds a line of this level whose text starts with `prefix`.
bool HasLineStarting(const Log& log, unsigned level, std::string_view prefix);
/// The log's lines as "0xLL text", one per line, for failure messages.
std::string Dump(const Log& log);

/// A level 0x01 line that reports a failure: every level 0x01 line except the
/// two about the parameter block and the console-event line.
bool IsFailureLine(const LogLine& line);

/// True for NTSTATUS error values such as 0xC0000005, the codes a process
/// ends with when an exception kills it.
bool IsExceptionCode(DWORD code);

/// True if `bytes` is well-formed UTF-8 (no surrogates, no overlong forms).
bool IsValidUtf8(std::string_view bytes);

/// One entry of a tree snapshot.
struct EntryState {
  bool folder = false;
  std::uintmax_t size = 0;
  std::int64_t modified = 0;
  bool operator==(const EntryState& other) const {
    return folder == other.folder && size == other.size && modified == other.modified;
  }
};
/// Relative path -> state, for every file and folder below a root.
using TreeSnapshot = std::map<std::wstring, EntryState>;

TreeSnapshot Snapshot(const std::filesystem::path& root);
/// One line per entry that was added, removed or changed.
std::vector<std::string> Differences(const TreeSnapshot& before, const TreeSnapshot& after);

/// Path with the \\?\ prefix and no trailing backslash, for trees deeper than
/// the 260-character limit.
std::wstring Extended(const std::filesystem::path& path);
/// Removes a tree that may hold paths over 260 characters; false on failure.
bool RemoveTree(const std::filesystem::path& path);

/// A text of `length` characters cycling through a-z and 0-9, for values
/// whose exact length matters; safe in file names and on command lines.
std::wstring MarkedText(std::size_t length);

}  // namespace harwtest::hardening
