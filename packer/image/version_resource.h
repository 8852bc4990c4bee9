// The file version a Windows program carries in its version resource
// (VS_VERSION_INFO), read without Windows' own loader so that it works the
// same on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace harwpack {

/// Bytes read from the start of a program to find its version; the program
/// is about 110 KiB, and its resources lie inside its image.
inline constexpr std::size_t kVersionProbeLimit = 16 * 1024 * 1024;

/// Reads the file version ("1.0.0.6") from the fixed part of the version
/// resource of the PE image in `data`. Returns "" and sets `version`, or
/// returns why there is none; never reads outside the `size` bytes given.
std::string ParseFileVersion(const std::uint8_t* data, std::size_t size, std::string& version);

/// ParseFileVersion over the first kVersionProbeLimit bytes of `file`; the
/// error names the file.
std::string ReadFileVersion(const std::filesystem::path& file, std::string& version);

}  // namespace harwpack
