#include "packer/platform/file_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <system_error>

#include "packer/platform/text.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

std::string Quoted(const fs::path& path) { return "'" + PathToUtf8(path) + "'"; }

/// Twelve random hexadecimal digits.
std::string RandomSuffix() {
  std::uint64_t seed = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    seed ^= (static_cast<std::uint64_t>(device()) << 32) | device();
  } catch (const std::exception&) {
    // The clock alone still separates runs well enough.
  }
  std::mt19937_64 mix(seed);
  static const char kHex[] = "0123456789abcdef";
  std::string suffix;
  std::uint64_t value = mix();
  for (int i = 0; i < 12; ++i, value >>= 4) suffix.push_back(kHex[value & 0xF]);
  return suffix;
}

/// A name unlikely to collide with a concurrent packer writing beside the same
/// target. The added text is ASCII, which every code page spells alike.
fs::path TempNameBeside(const fs::path& target, const std::string& suffix) {
  fs::path temp = target;
  temp += "." + RandomSuffix() + suffix;
  return temp;
}

}  // namespace

std::string ErrnoSuffix() {
  const int code = errno;
  if (code == 0) return "";
  return " (" + std::generic_category().message(code) + ")";
}

std::string CheckInputFile(const fs::path& path, const std::string& role) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return role + " " + Quoted(path) + " does not exist";
  if (ec) return role + " " + Quoted(path) + " cannot be examined (" + ec.message() + ")";
  if (fs::is_directory(status)) return role + " " + Quoted(path) + " is a directory, not a file";
  if (!fs::is_regular_file(status)) return role + " " + Quoted(path) + " is not a regular file";
  return "";
}

InputFile::InputFile(const fs::path& path, std::string role) : path_(path), role_(std::move(role)) {
  error_ = CheckInputFile(path_, role_);
  if (!error_.empty()) return;
  std::error_code ec;
  size_ = fs::file_size(path_, ec);
  if (ec) {
    Fail("size cannot be determined (" + ec.message() + ")");
    return;
  }
  errno = 0;
  stream_.open(path_, std::ios::binary);
  if (!stream_) Fail("cannot be opened for reading" + ErrnoSuffix());
}

std::string InputFile::Fail(const std::string& message) {
  if (error_.empty()) error_ = role_ + " " + Quoted(path_) + " " + message;
  return error_;
}

bool InputFile::Seek(std::uint64_t offset) {
  if (!ok()) return false;
  stream_.clear();
  stream_.seekg(static_cast<std::streamoff>(offset));
  if (!stream_) Fail("cannot be positioned at byte " + std::to_string(offset));
  return ok();
}

std::size_t InputFile::ReadSome(void* out, std::size_t count) {
  if (!ok() || count == 0) return 0;
  errno = 0;
  stream_.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
  const auto got = static_cast<std::size_t>(stream_.gcount());
  if (stream_.bad()) Fail("cannot be read" + ErrnoSuffix());
  // A short read means the end was reached; clear eof so that Seek keeps working.
  if (stream_.eof()) stream_.clear();
  return ok() ? got : 0;
}

bool InputFile::ReadExact(void* out, std::size_t count, const char* what) {
  std::size_t done = 0;
  while (ok() && done < count) {
    const std::size_t got = ReadSome(static_cast<char*>(out) + done, count - done);
    if (got == 0) break;
    done += got;
  }
  if (ok() && done < count) Fail(std::string("ends inside ") + what);
  return ok();
}

bool InputFile::ReadHead(std::size_t limit, std::vector<std::uint8_t>& out) {
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size_, limit)));
  return Seek(0) && ReadExact(out.data(), out.size(), "its headers") && Seek(0);
}

TempDirectory::TempDirectory() {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) {
    error_ = "cannot find the temporary folder (" + ec.message() + ")";
    return;
  }
  for (int attempt = 0; attempt < 10; ++attempt) {
    const fs::path candidate = base / ("harwpack-" + RandomSuffix());  // ASCII, alike in every code page
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
    if (ec) break;
  }
  error_ = "cannot create a working folder in " + Quoted(base) + (ec ? " (" + ec.message() + ")" : "");
}

TempDirectory::~TempDirectory() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);  // A leftover in the temporary folder is harmless.
}

StagedOutput::StagedOutput(const fs::path& target, const std::string& suffix)
    : target_(target), temp_(TempNameBeside(target, suffix)) {
  // Writes go straight to the file: callers write whole pieces, and a second
  // buffer would only split them off their alignment.
  stream_.rdbuf()->pubsetbuf(nullptr, 0);
  errno = 0;
  stream_.open(temp_, std::ios::binary | std::ios::trunc);
  if (!stream_) {
    error_ = "cannot create " + Quoted(temp_) + ErrnoSuffix();
    temp_.clear();
  }
}

StagedOutput::~StagedOutput() {
  if (committed_ || temp_.empty()) return;
  if (stream_.is_open()) stream_.close();
  std::error_code ec;
  fs::remove(temp_, ec);  // Nothing more can be done about a failure while unwinding.
}

bool StagedOutput::Fail(const std::string& action) {
  if (error_.empty()) error_ = action + " " + Quoted(temp_) + " failed" + ErrnoSuffix();
  return false;
}

bool StagedOutput::Write(const void* data, std::size_t size) {
  if (!ok()) return false;
  errno = 0;
  stream_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!stream_) return Fail("writing");
  written_ += size;
  return true;
}

bool StagedOutput::Patch(std::uint64_t offset, const void* data, std::size_t size) {
  if (!ok()) return false;
  if (offset + size > written_) {
    error_ = "internal error: patch beyond the written data of " + Quoted(temp_);
    return false;
  }
  errno = 0;
  stream_.seekp(static_cast<std::streamoff>(offset));
  stream_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  stream_.seekp(0, std::ios::end);
  if (!stream_) return Fail("patching");
  return true;
}

bool StagedOutput::Close() {
  if (!ok()) return false;
  if (!stream_.is_open()) return true;
  errno = 0;
  stream_.flush();
  if (!stream_) return Fail("flushing");
  stream_.close();
  if (!stream_) return Fail("closing");
  return true;
}

bool StagedOutput::Commit() {
  if (!Close()) return false;
  std::error_code ec;
  fs::rename(temp_, target_, ec);
  if (ec) {
    error_ = "cannot rename " + Quoted(temp_) + " to " + Quoted(target_) + " (" + ec.message() + ")";
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace harwpack
