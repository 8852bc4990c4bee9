// SHA-256 from the platform's cryptography library (libcrypto, or BCrypt on
// Windows), for fingerprinting packages and their archived data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace harwpack {

/// Incremental SHA-256: feed any number of pieces, then take the digest once.
class Sha256 {
 public:
  /// Sets up the hash; on failure error() names the call that failed.
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  /// Adds `size` bytes; false once anything has failed.
  bool Update(const std::uint8_t* data, std::size_t size);
  /// The digest as 64 lower-case hexadecimal digits, "" after a failure; the object is spent afterwards.
  std::string FinishHex();
  /// "" while nothing has failed, else which library call failed.
  const std::string& error() const { return error_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string error_;
};

}  // namespace harwpack
