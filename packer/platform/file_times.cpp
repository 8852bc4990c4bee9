#include "packer/platform/file_times.h"

#include "packer/platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#endif

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kUnixEpochSeconds = 11644473600;
constexpr std::uint64_t kTicksPerSecond = 10000000;

std::string Quoted(const fs::path& path) { return "'" + PathToUtf8(path) + "'"; }

}  // namespace

std::uint64_t TicksFromUnixSeconds(std::uint64_t seconds) {
  return (seconds + kUnixEpochSeconds) * kTicksPerSecond;
}

std::string ParseSourceDateEpoch(const char* value, std::optional<std::uint64_t>& seconds) {
  seconds.reset();
  if (value == nullptr) return "";
  const std::string text = value;
  const std::string problem = std::string(kSourceDateEpoch) + " must be a whole number of seconds since " +
                              "1970-01-01 UTC, at most " + std::to_string(kMaxSourceDateEpoch) + ", not '" +
                              text + "'";
  if (text.empty() || text.size() > 12) return problem;
  std::uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return problem;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (number > kMaxSourceDateEpoch) return problem;
  seconds = number;
  return "";
}

#ifdef _WIN32

namespace {

std::uint64_t TicksOf(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::string WindowsError(const char* call, const fs::path& path) {
  return std::string(call) + "(" + Quoted(path) + ") failed (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

std::string ReadModificationTime(const fs::path& path, std::uint64_t& ticks) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return WindowsError("GetFileAttributesEx", path);
  }
  ticks = TicksOf(data.ftLastWriteTime);
  return "";
}

std::string SetModificationTime(const fs::path& path, std::uint64_t ticks) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return WindowsError("CreateFile", path);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  std::string error;
  if (!SetFileTime(file, nullptr, nullptr, &time)) error = WindowsError("SetFileTime", path);
  if (!CloseHandle(file) && error.empty()) error = WindowsError("CloseHandle", path);
  return error;
}

#else

namespace {

std::string PosixError(const char* call, const fs::path& path) {
  return std::string(call) + "(" + Quoted(path) + ") failed (" + std::generic_category().message(errno) + ")";
}

}  // namespace

std::string ReadModificationTime(const fs::path& path, std::uint64_t& ticks) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return PosixError("stat", path);
  // Times before 1601 cannot be stored; they count as the earliest one.
  const long long seconds = static_cast<long long>(status.st_mtim.tv_sec) + static_cast<long long>(kUnixEpochSeconds);
  ticks = seconds < 0 ? 0
                      : static_cast<std::uint64_t>(seconds) * kTicksPerSecond +
                            static_cast<std::uint64_t>(status.st_mtim.tv_nsec) / 100;
  return "";
}

std::string SetModificationTime(const fs::path& path, std::uint64_t ticks) {
  const long long seconds = static_cast<long long>(ticks / kTicksPerSecond) - static_cast<long long>(kUnixEpochSeconds);
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(ticks % kTicksPerSecond) * 100;
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return PosixError("utimensat", path);
  return "";
}

#endif

}  // namespace harwpack
