// SHA-256 (FIPS 180-4), for fingerprinting the archived data of a package.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace harwpack {

/// Incremental SHA-256: feed any number of pieces, then take the digest once.
class Sha256 {
 public:
  Sha256();
  /// Adds `size` bytes to the message.
  void Update(const std::uint8_t* data, std::size_t size);
  /// Pads the message and returns the digest; the object is spent afterwards.
  std::array<std::uint8_t, 32> Finish();

 private:
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes
};

/// Lower-case hexadecimal rendering of a digest.
std::string ToHex(const std::array<std::uint8_t, 32>& digest);

}  // namespace harwpack
