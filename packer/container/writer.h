// The container that turns the bare program into a package: layout constants
// and the writer that appends it.
//
// Layout, offsets from the marker start M (M a multiple of 256, integers u32
// little-endian, text UTF-16LE):
//   0        148 bytes  marker: 73 characters and a 16-bit zero
//   148      4          P, byte length of the parameter string with its terminator (0: none)
//   152      P          parameter string
//   152+P    4          S, size of the archived data
//   156+P    S          archived data (the embedded executable)
// Bytes after the archived data, such as a signature's certificate table, are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace harwpack {

/// The 73 marker characters.
inline constexpr char kMarkerText[] =
    "***** Harrowvindalet **** Make Updater ***** Start of Archived Data *****";
/// Marker length in bytes: 73 UTF-16 units and the 16-bit terminator.
inline constexpr std::size_t kMarkerSize = 148;
/// The marker is only searched at multiples of this file offset.
inline constexpr std::uint64_t kMarkerAlignment = 256;
/// Offset of P from the marker start.
inline constexpr std::uint64_t kParamsSizeOffset = 148;
/// Offset of the parameter string from the marker start.
inline constexpr std::uint64_t kParamsOffset = 152;
/// The program addresses its own file with 32-bit positions, so a package must stay below this.
inline constexpr std::uint64_t kMaxPackageSize = 0xFFFFFFFFull;

/// The marker as it stands in the file.
const std::array<std::uint8_t, kMarkerSize>& MarkerBytes();

/// True if the 148 bytes at `data` (with `size` available) are the marker.
bool IsMarkerAt(const std::uint8_t* data, std::size_t size);

/// Offset of the first marker at a 256-byte block start within `data`, which
/// begins at file offset `base` (a multiple of 256); nullopt if none.
std::optional<std::uint64_t> FindMarkerInBlock(const std::uint8_t* data, std::size_t size,
                                               std::uint64_t base);

/// The parameter block: P then the UTF-16LE string with terminator; just
/// P = 0 when `parameters` is absent. nullopt if the text is not valid UTF-8.
std::optional<std::vector<std::uint8_t>> EncodeParameterBlock(
    const std::optional<std::string>& parameters);

/// What goes into a package.
struct PackageSpec {
  std::filesystem::path stub;                 ///< the bare program
  std::optional<std::string> parameters;      ///< UTF-8; absent: P = 0; present (even ""): encoded with terminator
  std::filesystem::path archive;              ///< the embedded executable
  std::filesystem::path output;               ///< the package to write
  /// When set, runs on the complete temporary file before it is renamed into
  /// place (a signer); its error fails the build. The temporary file's name
  /// then ends in ".exe", since some signers go by the extension.
  std::function<std::string(const std::filesystem::path& staged)> before_commit;
};

/// Outcome of BuildPackage: an error, or success with informational notes.
struct BuildResult {
  std::string error;                ///< "" on success, else one line
  std::vector<std::string> notes;   ///< things the user should know, one line each
  std::uint64_t marker_offset = 0;  ///< where the marker landed
};

/// Writes the package (stub, zero padding to 256, container) via a temporary
/// file renamed into place; a stub that already holds a container is refused.
BuildResult BuildPackage(const PackageSpec& spec);

/// Writes the package; returns "" on success or a one-line error message.
std::string CreatePackage(const PackageSpec& spec);

/// Checks, before anything is written, what BuildPackage checks of its
/// inputs: the parameter string, the stub's certificate table and the size
/// of the package, which must stay below 4 GiB; "" or a one-line error.
/// When `size` is given, it receives the bytes BuildPackage will write.
std::string CheckPackageSize(const PackageSpec& spec, std::uint64_t* size = nullptr);

}  // namespace harwpack
