// Streamed file access with one-line error messages, and an output that only
// appears under its final name once it has been written completely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace harwpack {

/// Inputs are read in pieces of this size and never held whole in memory.
constexpr std::size_t kCopyChunk = 64 * 1024;

/// Explains in one line why `path`, playing `role` ("stub", "archive"...),
/// cannot be used as an input file; "" when it is a readable regular file.
std::string CheckInputFile(const std::filesystem::path& path, const std::string& role);

/// A regular file opened for sequential reading.
class InputFile {
 public:
  /// Opens `path`; on failure error() holds the reason.
  InputFile(const std::filesystem::path& path, std::string role);

  /// True while no open or read has failed.
  bool ok() const { return error_.empty(); }
  /// The one-line reason of the first failure.
  const std::string& error() const { return error_; }
  /// The file size when it was opened.
  std::uint64_t size() const { return size_; }

  /// Moves the read position to `offset`.
  bool Seek(std::uint64_t offset);
  /// Reads up to `count` bytes; returns how many arrived (0 at the end or on failure).
  std::size_t ReadSome(void* out, std::size_t count);
  /// Reads exactly `count` bytes or fails with an error naming what was cut short.
  bool ReadExact(void* out, std::size_t count, const char* what);
  /// Reads the first `limit` bytes (all of a shorter file) into `out`, such
  /// as an image's headers, and leaves the read position at the start.
  bool ReadHead(std::size_t limit, std::vector<std::uint8_t>& out);

 private:
  std::string Fail(const std::string& message);

  std::filesystem::path path_;
  std::string role_;
  std::ifstream stream_;
  std::uint64_t size_ = 0;
  std::string error_;
};

/// A file written under a temporary name beside `target` and renamed into
/// place by Commit(); if it is destroyed uncommitted, the temporary file is removed,
/// so a failed write never leaves a partial file under the target name.
class StagedOutput {
 public:
  /// Creates the temporary file `<target>.<random><suffix>` (`suffix` in ASCII); on failure error() holds the reason.
  explicit StagedOutput(const std::filesystem::path& target, const std::string& suffix = ".partial");
  ~StagedOutput();
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  /// True while no write has failed.
  bool ok() const { return error_.empty(); }
  /// The one-line reason of the first failure.
  const std::string& error() const { return error_; }
  /// Bytes appended so far.
  std::uint64_t written() const { return written_; }
  /// The temporary file's path (for tests and messages).
  const std::filesystem::path& temp_path() const { return temp_; }

  /// Appends bytes at the end.
  bool Write(const void* data, std::size_t size);
  /// Overwrites already written bytes at `offset`, then continues appending at the end.
  bool Patch(std::uint64_t offset, const void* data, std::size_t size);
  /// Flushes and closes the file, so that another program may work on it before Commit.
  bool Close();
  /// Closes the file if still open and renames it to the target name.
  bool Commit();

 private:
  bool Fail(const std::string& action);

  std::filesystem::path target_;
  std::filesystem::path temp_;
  std::ofstream stream_;
  std::uint64_t written_ = 0;
  bool committed_ = false;
  std::string error_;
};

/// A private directory under the system's temporary folder, removed with its
/// contents when the object goes away.
class TempDirectory {
 public:
  /// Creates the directory; on failure error() holds the reason.
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  /// True when the directory exists.
  bool ok() const { return error_.empty(); }
  /// Why it could not be created.
  const std::string& error() const { return error_; }
  /// The directory.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::string error_;
};

/// Text for the current errno, for appending to a message; "" when errno is 0.
std::string ErrnoSuffix();

}  // namespace harwpack
