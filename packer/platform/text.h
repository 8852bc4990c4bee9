// Text and path conversions between UTF-8 (the packer's own strings), UTF-16
// (what the program reads from the container) and file-system paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace harwpack {

/// Decodes UTF-8 into UTF-16 code units; nullopt on malformed input
/// (overlong forms, surrogates, truncated sequences, values above U+10FFFF).
std::optional<std::u16string> Utf8ToUtf16(const std::string& text);

/// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

/// Serialises UTF-16 code units as little-endian bytes.
std::vector<std::uint8_t> Utf16ToLeBytes(const std::u16string& text);

/// Reads little-endian UTF-16 code units from bytes; a trailing odd byte is dropped.
std::u16string Utf16FromLeBytes(const std::uint8_t* data, std::size_t size);

/// Builds a path from UTF-8 without going through the ANSI code page on Windows;
/// there, malformed UTF-8 yields an empty path.
std::filesystem::path PathFromUtf8(const std::string& text);

/// Renders a path as UTF-8 for messages.
std::string PathToUtf8(const std::filesystem::path& path);

/// Lower-case hexadecimal rendering of bytes.
std::string ToHex(const std::uint8_t* data, std::size_t size);

}  // namespace harwpack
