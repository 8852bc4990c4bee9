// Files of a listing opened once, at the check, and held open until they are
// packed: what is packed is what was checked, whatever happens to the names
// meanwhile. A link is never opened, not even one that appears after the
// listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace harwpack {

/// One regular file, open for reading.
class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile();
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  /// Opens `path` without following a link; "" or why not (for a message
  /// after the entry's name: "cannot be opened for reading (...)").
  std::string Open(const std::filesystem::path& path);
  /// True while open.
  bool is_open() const;
  /// The file's size now.
  std::string Size(std::uint64_t& size) const;
  /// Reads up to `count` bytes at the current position; "" or why not; `got` is 0 at the end.
  std::string Read(void* out, std::size_t count, std::size_t& got);
  /// The modification time in FILETIME ticks (100 ns since 1601).
  std::string ModificationTicks(std::uint64_t& ticks) const;
  /// True when nobody may write the file (no write permission bit; on Windows, read-only).
  bool read_only() const { return read_only_; }
  /// Closes the file.
  void Close();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool read_only_ = false;
};

/// Lets this process hold `count` files open at once, raising its own limit
/// where the system allows; "" or why it cannot.
std::string AllowOpenFiles(std::size_t count);

}  // namespace harwpack
