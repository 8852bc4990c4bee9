// Scratch directories and whole-file helpers for the packer tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace harwpack_test {

/// Bytes of a test file.
using Bytes = std::vector<std::uint8_t>;

/// A fresh directory removed again when the object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  /// The directory itself.
  const std::filesystem::path& path() const { return path_; }
  /// A path inside it.
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Writes `bytes` to `path`, failing the test on error.
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
/// Reads a whole (small) file; empty when it cannot be read.
Bytes ReadBytes(const std::filesystem::path& path);
/// `size` bytes of a recognisable pattern derived from `seed`.
Bytes Pattern(std::size_t size, std::uint8_t seed);
/// The bytes of a UTF-16LE rendering of ASCII text.
Bytes Utf16Le(const std::string& ascii);
/// Names of the entries in `dir`.
std::vector<std::string> ListDir(const std::filesystem::path& dir);

}  // namespace harwpack_test
