#include "packer/input/held_file.h"

#include "packer/platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace harwpack {

HeldFile::~HeldFile() { Close(); }

HeldFile::HeldFile(HeldFile&& other) noexcept { *this = std::move(other); }

#ifdef _WIN32

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    read_only_ = other.read_only_;
    other.handle_ = nullptr;
  }
  return *this;
}

namespace {

std::string LastError(const char* call) {
  const DWORD error = GetLastError();
  return "(" + std::string(call) + " failed, error " + std::to_string(error) + ")";
}

}  // namespace

std::string HeldFile::Open(const std::filesystem::path& path) {
  Close();
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError("CreateFileW");
  handle_ = handle;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return LastError("GetFileInformationByHandle");
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    Close();
    return "(it is no longer a plain file)";
  }
  read_only_ = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return "";
}

bool HeldFile::is_open() const { return handle_ != nullptr; }

std::string HeldFile::Size(std::uint64_t& size) const {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(static_cast<HANDLE>(handle_), &value)) return LastError("GetFileSizeEx");
  size = static_cast<std::uint64_t>(value.QuadPart);
  return "";
}

std::string HeldFile::Read(void* out, std::size_t count, std::size_t& got) {
  DWORD read = 0;
  const DWORD want = static_cast<DWORD>(count < (1u << 30) ? count : (1u << 30));
  if (!ReadFile(static_cast<HANDLE>(handle_), out, want, &read, nullptr)) return LastError("ReadFile");
  got = read;
  return "";
}

std::string HeldFile::ModificationTicks(std::uint64_t& ticks) const {
  FILETIME written;
  if (!GetFileTime(static_cast<HANDLE>(handle_), nullptr, nullptr, &written)) return LastError("GetFileTime");
  ticks = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
  return "";
}

void HeldFile::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

std::string AllowOpenFiles(std::size_t) { return ""; }  // Windows has no small handle limit

#else

namespace {

/// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kUnixEpochSeconds = 11644473600;

}  // namespace

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    read_only_ = other.read_only_;
    other.fd_ = -1;
  }
  return *this;
}

std::string HeldFile::Open(const std::filesystem::path& path) {
  Close();
  errno = 0;
  // O_NOFOLLOW: a link put in the file's place after the listing is not followed.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return ErrnoSuffix();
  fd_ = fd;
  struct stat info;
  if (fstat(fd, &info) != 0) return ErrnoSuffix();
  if (!S_ISREG(info.st_mode)) {
    Close();
    return " (it is no longer a plain file)";
  }
  read_only_ = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return "";
}

bool HeldFile::is_open() const { return fd_ >= 0; }

std::string HeldFile::Size(std::uint64_t& size) const {
  struct stat info;
  errno = 0;
  if (fstat(fd_, &info) != 0) return ErrnoSuffix();
  size = static_cast<std::uint64_t>(info.st_size);
  return "";
}

std::string HeldFile::Read(void* out, std::size_t count, std::size_t& got) {
  for (;;) {
    errno = 0;
    const ssize_t n = read(fd_, out, count);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return "";
    }
    if (errno != EINTR) return ErrnoSuffix();
  }
}

std::string HeldFile::ModificationTicks(std::uint64_t& ticks) const {
  struct stat info;
  errno = 0;
  if (fstat(fd_, &info) != 0) return ErrnoSuffix();
  const std::int64_t seconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  if (seconds < -static_cast<std::int64_t>(kUnixEpochSeconds)) {
    ticks = 0;  // before 1601: stored as the earliest time Windows has
    return "";
  }
  ticks = static_cast<std::uint64_t>(seconds + static_cast<std::int64_t>(kUnixEpochSeconds)) * 10000000 +
          static_cast<std::uint64_t>(info.st_mtim.tv_nsec) / 100;
  return "";
}

void HeldFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string AllowOpenFiles(std::size_t count) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "getrlimit(RLIMIT_NOFILE) failed" + ErrnoSuffix();
  // Room for what else the process holds: its standard handles, the output, a signer's pipes.
  const rlim_t wanted = static_cast<rlim_t>(count) + 64;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
      return "the folder has " + std::to_string(count) + " files, and this system lets harwpack hold only " +
             std::to_string(limit.rlim_max) + " open at once (ulimit -Hn)";
    }
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setrlimit(RLIMIT_NOFILE) failed" + ErrnoSuffix();
  }
  return "";
}

#endif

}  // namespace harwpack
