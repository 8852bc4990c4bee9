// Text conversions and whole files, as the test programs need them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace harwtest {

/// UTF-16 to UTF-8 (what the log file and the record files hold).
std::string ToUtf8(std::wstring_view text);
/// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);

/// True if `bytes` is well-formed UTF-8 (no surrogates, no overlong forms).
bool IsValidUtf8(std::string_view bytes);

/// UTF-8 text with a to z upper-cased and every other character kept, as the
/// program upper-cases the package name.
std::string AsciiUpper(std::string text);

/// A value as 8 upper-case hexadecimal digits, as the log writes %p and %08X.
std::string Hex8(std::uintptr_t value);

/// A text of `length` characters cycling through a-z and 0-9, for values
/// whose exact length matters; safe in file names and on command lines.
std::wstring MarkedText(std::size_t length);

/// Text with every "\r\n" turned into "\n": the C runtime writes a line feed
/// to a redirected standard output in text mode as carriage return and line feed.
std::string WithoutCarriageReturns(std::string_view text);

/// The whole file as bytes; nullopt if it cannot be read.
std::optional<std::string> ReadBytes(const std::filesystem::path& path);

/// Creates or replaces the file with exactly these bytes; false on failure.
/// The file's handle is never inherited: a child that another thread starts
/// meanwhile would otherwise hold the file open (a package being written
/// could then not be started).
bool WriteBytes(const std::filesystem::path& path, std::string_view bytes);

}  // namespace harwtest
