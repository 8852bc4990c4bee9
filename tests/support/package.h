// Making packages for end-to-end tests: normal ones with the packer library,
// and deliberately malformed ones byte by byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace harwtest {

/// The 73 characters of the marker that starts the container.
extern const wchar_t kMarkerText[];

struct PackageOptions {
  std::filesystem::path output;
  /// The embedded parameter string; absent: the parameters size is 0.
  std::optional<std::wstring> parameters;
  /// The embedded executable; empty: bin/fake_extractor.exe.
  std::filesystem::path embedded;
  /// The program the container is appended to; empty: bin/HarwUpdater.exe.
  std::filesystem::path stub;
};

/// Writes a package with the packer library; "" on success, else the reason.
std::string MakePackage(const PackageOptions& options);

/// A container written field by field, for layouts the packer never produces.
struct RawPackage {
  std::filesystem::path output;
  /// Zero bytes placed after the stub once it is padded to a multiple of 256;
  /// a value that is not a multiple of 256 puts the marker off its boundary.
  std::uint32_t extra_offset = 0;
  /// The 16-bit value after the 73 marker characters; the layout asks for 0.
  std::uint16_t marker_terminator = 0;
  std::optional<std::wstring> parameters;
  /// The parameters size field; absent: the true size.
  std::optional<std::uint32_t> declared_parameters_size;
  std::string archived_data;
  /// The archived data size field; absent: the true size.
  std::optional<std::uint32_t> declared_size;
  /// Keep only this many bytes of the container, counted from the marker.
  std::optional<std::size_t> container_length;
};

/// Writes the raw package; "" on success, else the reason. `marker_offset`
/// receives the file offset of the marker.
std::string MakeRawPackage(const RawPackage& spec, std::uint64_t* marker_offset = nullptr);

}  // namespace harwtest
