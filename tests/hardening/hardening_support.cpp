#include "hardening/hardening_support.h"

#include <algorithm>
#include <system_error>

#include "support/package.h"
#include "support/paths.h"
#include "support/text.h"

namespace harwtest::hardening {

namespace fs = std::filesystem;

std::string U32(std::uint32_t value) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  return out;
}

std::string Utf16Bytes(std::wstring_view text) {
  std::string out;
  for (wchar_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return out;
}

std::string MarkerBytes() { return Utf16Bytes(kMarkerText) + std::string(2, '\0'); }

std::string ContainerBytes(const std::optional<std::wstring>& parameters,
                           const std::string& archive) {
  std::string params = parameters ? Utf16Bytes(*parameters) + std::string(2, '\0') : std::string();
  return MarkerBytes() + U32(static_cast<std::uint32_t>(params.size())) + params +
         U32(static_cast<std::uint32_t>(archive.size())) + archive;
}

PackageLayout BuildPackage(const std::optional<std::wstring>& parameters,
                           const std::string& archive) {
  PackageLayout layout;
  layout.bytes = ReadBytes(BinPath(L"HarwUpdater.exe")).value_or(std::string());
  layout.bytes.resize((layout.bytes.size() + 255) / 256 * 256, '\0');
  layout.marker = layout.bytes.size();
  std::string embedded =
      archive.empty() ? ReadBytes(BinPath(L"fake_extractor.exe")).value_or(std::string()) : archive;
  layout.p = parameters ? static_cast<std::uint32_t>((parameters->size() + 1) * 2) : 0;
  layout.s = static_cast<std::uint32_t>(embedded.size());
  layout.bytes += ContainerBytes(parameters, embedded);
  return layout;
}

bool WriteFileQuietly(const fs::path& path, std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    ok = WriteFile(file, bytes.data() + done, piece, &written, nullptr) && written == piece;
    done += written;
  }
  return CloseHandle(file) && ok;
}

RunOptions RunInFolder(const fs::path& program, const fs::path& folder,
                       std::vector<std::wstring> args) {
  RunOptions options = InFolder(program, folder, std::move(args));
  options.time_limit = std::chrono::milliseconds(20000);
  return options;
}

Log LogOrEmpty(const fs::path& path) { return ReadLog(path).value_or(Log{}); }

bool HasLine(const Log& log, unsigned level, std::string_view text) {
  for (const auto& line : log.lines) {
    if (line.level == level && line.text == text) return true;
  }
  return false;
}

bool HasLineStarting(const Log& log, unsigned level, std::string_view prefix) {
  for (const auto& line : log.lines) {
    if (line.level == level && line.text.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::string Dump(const Log& log) { return Listing(log); }

bool IsFailureLine(const LogLine& line) {
  if (line.level != 0x01) return false;
  for (std::string_view routine : {"Parameters size=", "Parameters \"", "ConsoleCtrlHandler("}) {
    if (line.text.compare(0, routine.size(), routine) == 0) return false;
  }
  return true;
}

bool IsExceptionCode(DWORD code) { return code >= 0xC0000000u; }

// Length of the sequence a lead byte starts, and the smallest code point it
// may encode (to reject overlong forms); 0 for a byte that cannot lead.
static int SequenceLength(unsigned char lead, std::uint32_t* minimum) {
  if (lead < 0x80) return *minimum = 0, 1;
  if (lead >= 0xC2 && lead <= 0xDF) return *minimum = 0x80, 2;
  if (lead >= 0xE0 && lead <= 0xEF) return *minimum = 0x800, 3;
  if (lead >= 0xF0 && lead <= 0xF4) return *minimum = 0x10000, 4;
  return 0;
}

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::uint32_t minimum = 0;
    int length = SequenceLength(static_cast<unsigned char>(bytes[i]), &minimum);
    if (length == 0 || i + length > bytes.size()) return false;
    std::uint32_t code = length == 1 ? static_cast<unsigned char>(bytes[i])
                                     : static_cast<unsigned char>(bytes[i]) & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::wstring Extended(const fs::path& path) {
  std::wstring text = path.wstring();
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  return text.compare(0, 4, L"\\\\?\\") == 0 ? text : L"\\\\?\\" + text;
}

TreeSnapshot Snapshot(const fs::path& root) {
  TreeSnapshot snapshot;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    EntryState state;
    state.folder = it->is_directory(error);
    if (!state.folder) state.size = it->file_size(error);
    state.modified = it->last_write_time(error).time_since_epoch().count();
    snapshot[fs::relative(it->path(), root, error).wstring()] = state;
  }
  return snapshot;
}

std::vector<std::string> Differences(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::vector<std::string> lines;
  for (const auto& [name, state] : before) {
    auto found = after.find(name);
    if (found == after.end()) {
      lines.push_back("lost " + ToUtf8(name));
    } else if (!(found->second == state)) {
      lines.push_back("changed " + ToUtf8(name));
    }
  }
  for (const auto& [name, state] : after) {
    if (before.count(name) == 0) lines.push_back("added " + ToUtf8(name));
  }
  return lines;
}

// Win32 calls on \\?\ paths: std::filesystem fails on entries over 260
// characters. Returns false if anything is left.
static bool RemoveOnce(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str()) != FALSE;
  bool ok = true;
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") ok = RemoveOnce(path + L"\\" + name) && ok;
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
  }
  return RemoveDirectoryW(path.c_str()) && ok;
}

bool RemoveTree(const fs::path& path) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (RemoveOnce(Extended(path))) return true;
    Sleep(100);  // a child that has just ended may still hold a file
  }
  return false;
}

std::wstring MarkedText(std::size_t length) {
  static const wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  std::wstring text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(kAlphabet[i % 36]);
  return text;
}

}  // namespace harwtest::hardening
