#include "support/text.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace harwtest {

std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                      size, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0);
  if (size <= 0) return {};
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                      size);
  return out;
}

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

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string Hex8(std::uintptr_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
  return text;
}

std::wstring MarkedText(std::size_t length) {
  static const wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  std::wstring text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(kAlphabet[i % 36]);
  return text;
}

std::string WithoutCarriageReturns(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

std::optional<std::string> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

bool WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  // No SECURITY_ATTRIBUTES: the handle is not inheritable.
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

}  // namespace harwtest
