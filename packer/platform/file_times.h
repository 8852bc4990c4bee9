// File modification times in the unit the NSIS compiler stores (FILETIME:
// 100-nanosecond ticks since 1601-01-01 UTC), and the SOURCE_DATE_EPOCH
// convention that clamps them for reproducible builds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace harwpack {

/// The environment variable that fixes the newest time a build may store.
inline constexpr char kSourceDateEpoch[] = "SOURCE_DATE_EPOCH";
/// The largest accepted SOURCE_DATE_EPOCH: 9999-12-31 23:59:59 UTC.
inline constexpr std::uint64_t kMaxSourceDateEpoch = 253402300799;

/// Ticks of a time given in seconds since 1970-01-01 UTC.
std::uint64_t TicksFromUnixSeconds(std::uint64_t seconds);

/// Reads SOURCE_DATE_EPOCH from `value` (the variable's text, nullptr when it
/// is not set): nullopt in `seconds` when unset; "" on success, else an error
/// naming the variable (anything but decimal digits, or a time after year 9999).
std::string ParseSourceDateEpoch(const char* value, std::optional<std::uint64_t>& seconds);

/// The modification time of `path` (links followed); "" or why it cannot be read.
std::string ReadModificationTime(const std::filesystem::path& path, std::uint64_t& ticks);

/// Sets the modification time of `path`; "" or why it cannot be set.
std::string SetModificationTime(const std::filesystem::path& path, std::uint64_t ticks);

}  // namespace harwpack
