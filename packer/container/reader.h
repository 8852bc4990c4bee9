// Reading a package back: locating its container the way the program does and
// taking its fields apart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace harwpack {

/// The fields of a package's container and what surrounds it.
struct ContainerInfo {
  std::uint64_t file_size = 0;      ///< size of the whole package file
  std::uint64_t marker_offset = 0;  ///< M, a multiple of 256
  std::uint32_t params_size = 0;    ///< P
  std::u16string parameters;        ///< the parameter string up to its terminator
  bool params_terminated = true;    ///< a 16-bit zero ends the string within P (and P is even)
  std::uint64_t data_offset = 0;    ///< first byte of the archived data
  std::uint32_t data_size = 0;      ///< S
  std::uint64_t trailing_size = 0;  ///< bytes after the archived data
};

/// Locates the container in `package` and reads its fields; "" on success,
/// else one line (also for a file that is no package).
std::string ReadContainer(const std::filesystem::path& package, ContainerInfo& info);

/// Receives the archived data piece by piece; returns "" or an error that stops the copy.
using DataSink = std::function<std::string(const std::uint8_t* data, std::size_t size)>;

/// Streams the archived data of a package read by ReadContainer to `sink`.
std::string ReadArchivedData(const std::filesystem::path& package, const ContainerInfo& info,
                             const DataSink& sink);

/// The SHA-256 of the archived data of a package read by ReadContainer, as lower-case hex.
std::string HashArchivedData(const std::filesystem::path& package, const ContainerInfo& info, std::string& digest);

/// Writes the embedded executable to `output` (via a temporary file); "" on success.
std::string ExtractArchive(const std::filesystem::path& package, const std::filesystem::path& output);

}  // namespace harwpack
