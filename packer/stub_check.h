// The check that --stub names the bare program: a 32-bit Windows console
// program holding the program's marker text and no container yet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace harwpack {

/// Bytes of the marker as the program holds it: a blank in place of its
/// first '*', so that the complete marker never stands in the program image.
inline constexpr std::size_t kHeldMarkerSize = 148;

/// The held marker as it stands in the program's file (UTF-16LE with its terminator).
const std::array<std::uint8_t, kHeldMarkerSize>& HeldMarkerBytes();

/// One line saying why `stub` cannot be the program a package is built on
/// ("stub 'x.exe' is a DLL, not a program"); "" when it can. Reads the
/// whole file once.
std::string CheckStub(const std::filesystem::path& stub);

}  // namespace harwpack
