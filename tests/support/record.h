// Reading the record files that the fixture programs write: UTF-8 lines of
// "key=value".
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace harwtest {

/// A fixture's record: key -> value.
using Record = std::map<std::string, std::string>;

/// The record's entries; nullopt if the file does not exist or cannot be read.
std::optional<Record> ReadRecord(const std::filesystem::path& path);

/// Waits until `path` exists and is not empty, or the limit passes; a child
/// that writes the file when it starts tells the test it is running this way.
bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds limit);

}  // namespace harwtest
