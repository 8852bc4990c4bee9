// Conversions and whole-file helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace harwtest {

/// UTF-16 to UTF-8 (what the log file and the record files hold).
std::string ToUtf8(std::wstring_view text);
/// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);

/// The whole file as bytes; nullopt if it cannot be read.
std::optional<std::string> ReadBytes(const std::filesystem::path& path);
/// Creates or replaces the file with exactly these bytes; false on failure.
bool WriteBytes(const std::filesystem::path& path, std::string_view bytes);

/// Text with every "\r\n" turned into "\n": the C runtime writes a line feed
/// to a redirected standard output in text mode as carriage return and line feed.
std::string WithoutCarriageReturns(std::string_view text);

}  // namespace harwtest
