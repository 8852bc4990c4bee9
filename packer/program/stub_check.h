// The check that --stub names the bare program: a Windows console program of
// either edition holding the program's marker text and no container yet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "packer/image/image.h"

namespace harwpack {

/// Bytes of the marker as the program holds it: a blank in place of its
/// first '*', so that the complete marker never stands in the program image.
inline constexpr std::size_t kHeldMarkerSize = 148;

/// The held marker as it stands in the program's file (UTF-16LE with its terminator).
const std::array<std::uint8_t, kHeldMarkerSize>& HeldMarkerBytes();

/// One line saying why `stub` cannot be the program a package is built on
/// ("stub 'x.exe' is a DLL, not a program"); "" when it can, with its edition
/// in `edition` when given. Reads the whole file once.
std::string CheckStub(const std::filesystem::path& stub, Edition* edition = nullptr);

}  // namespace harwpack
