// Little-endian integers as the package's formats store them.
#pragma once

#include <cstdint>
#include <vector>

namespace harwpack {

/// Appends `value` as 4 little-endian bytes.
inline void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

/// Reads 4 little-endian bytes.
inline std::uint32_t ReadU32(const std::uint8_t* data) {
  return static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
         (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
}

}  // namespace harwpack
