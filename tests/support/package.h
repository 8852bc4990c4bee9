// Making packages: well-formed ones with the packer library, and damaged
// ones field by field, in layouts the packer never produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace harwtest {

/// The 73 characters of the marker that starts the container.
extern const wchar_t kMarkerText[];

/// The 148 marker bytes: the 73 characters as UTF-16LE and a 16-bit zero.
std::string MarkerBytes();

/// A 32-bit value as 4 little-endian bytes.
std::string U32(std::uint32_t value);

/// Where a package's container and its fields lie, as file offsets (the
/// packages of the tests are small).
struct PackageLayout {
  std::size_t marker = 0;  ///< the marker (the end of the stub, padded to 256)
  std::uint32_t p = 0;     ///< parameters size, terminator included
  std::uint32_t s = 0;     ///< archived data size

  /// File offsets of the fields: P, the parameter string, S, the archived
  /// data and the end of the archived data.
  std::size_t PField() const { return marker + 148; }
  std::size_t ParamsStart() const { return marker + 152; }
  std::size_t SField() const { return ParamsStart() + p; }
  std::size_t ArchiveStart() const { return SField() + 4; }
  std::size_t ArchiveEnd() const { return ArchiveStart() + s; }
};

/// A well-formed package to make.
struct PackageOptions {
  std::filesystem::path output;  ///< the package file
  /// The embedded parameter string; absent: the parameters size is 0.
  std::optional<std::wstring> parameters;
  /// The embedded executable; empty: bin/fake_extractor.exe.
  std::filesystem::path embedded;
  /// The program the container is appended to; empty: bin/HarwUpdater.exe.
  std::filesystem::path stub;
};

/// Writes a package with the packer library; "" on success, else the reason.
/// `layout` receives where its container lies.
std::string MakePackage(const PackageOptions& options, PackageLayout* layout = nullptr);

/// A container written field by field.
struct RawPackage {
  std::filesystem::path output;  ///< the package file
  /// Zero bytes placed after the stub once it is padded to a multiple of 256;
  /// a value that is not a multiple of 256 puts the marker off its boundary.
  std::uint32_t extra_offset = 0;
  /// The 16-bit value after the 73 marker characters; the layout asks for 0.
  std::uint16_t marker_terminator = 0;
  /// The parameter string, written with its terminator; absent: none.
  std::optional<std::wstring> parameters;
  /// The parameters size field; absent: the true size.
  std::optional<std::uint32_t> declared_parameters_size;
  std::string archived_data;  ///< the embedded executable's bytes
  /// The archived data size field; absent: the true size.
  std::optional<std::uint32_t> declared_size;
  /// Keep only this many bytes of the container, counted from the marker.
  std::optional<std::size_t> container_length;
};

/// The container of `spec` as bytes, from the marker on (`output` and
/// `extra_offset` play no part).
std::string ContainerBytes(const RawPackage& spec);

/// Writes bin/HarwUpdater.exe with the raw container behind it; "" on
/// success, else the reason. `layout` receives where the container lies, with
/// the true sizes of the parameters and the archived data.
std::string MakeRawPackage(const RawPackage& spec, PackageLayout* layout = nullptr);

}  // namespace harwtest
