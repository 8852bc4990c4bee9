#include "extract/extract.h"

#include <new>
#include <string>
#include <vector>

#include "archive/decode.h"
#include "platform/scoped_handle.h"
#include "platform/system_library.h"
#include "unpack/file_writer.h"
#include "unpack/progress.h"
#include "unpack/unpack.h"

using harwarchive::Fail;
using harwarchive::Failure;
using harwarchive::Problem;

namespace {

/// The extractor's own file, read from where its archive's data begins.
class OwnFile : public harwarchive::Source {
 public:
  bool Open(Problem& problem) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return FailCall(problem, "GetModuleFileName");
    path.resize(length);
    file_.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_.IsValid()) return FailCall(problem, "CreateFile");
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_.Get(), &size)) return FailCall(problem, "GetFileSizeEx");
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    return true;
  }

  std::uint64_t size() const { return size_; }

  /// Reads `size` bytes at `offset`.
  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, Problem& problem) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.Get(), at, nullptr, FILE_BEGIN)) return FailCall(problem, "SetFilePointerEx");
    return Read(buffer, size, problem);
  }

  bool Read(std::uint8_t* buffer, std::size_t size, Problem& problem) override {
    for (std::size_t done = 0; done < size;) {
      const DWORD want = static_cast<DWORD>(size - done < (1u << 30) ? size - done : (1u << 30));
      DWORD got = 0;
      if (!ReadFile(file_.Get(), buffer + done, want, &got, nullptr)) return FailCall(problem, "ReadFile");
      if (got == 0) return Fail(problem, Failure::kDamaged, "the extractor's own file ends inside its archive");
      done += got;
    }
    return true;
  }

 private:
  static bool FailCall(Problem& problem, const char* call) {
    const DWORD error = GetLastError();
    return Fail(problem, Failure::kNoArchive,
                std::string(call) + " on the extractor's own file failed (error " + std::to_string(error) + ")");
  }

  ScopedFileHandle file_;
  std::uint64_t size_ = 0;
};

/// Standard error as the progress line draws on it: only a console, never a
/// file or pipe, whose reader expects at most the one line of a failure.
class ErrorConsole : public harwarchive::ProgressConsole {
 public:
  /// True when standard error is a console.
  bool Open() {
    handle_ = GetStdHandle(STD_ERROR_HANDLE);  // not ours to close
    DWORD mode = 0;
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
  }

  /// Milliseconds since the system started.
  std::uint64_t Now() override { return GetTickCount64(); }

  /// Writes the ASCII text to the console as UTF-16, which it takes whatever its code page.
  bool Write(const char* text, std::size_t size) override {
    wchar_t wide[harwarchive::kProgressTextMax];
    if (size > sizeof wide / sizeof wide[0]) return false;
    for (std::size_t i = 0; i < size; ++i) wide[i] = static_cast<unsigned char>(text[i]);  // ASCII
    DWORD written = 0;
    return WriteConsoleW(handle_, wide, static_cast<DWORD>(size), &written, nullptr) && written == size;
  }

 private:
  HANDLE handle_ = nullptr;
};

/// Unpacks into `writer` with the progress line on a console, gone again
/// when this returns (also when it throws), before any failure is told.
bool UnpackShowingProgress(const harwarchive::Table& table, OwnFile& own, harwarchive::FileWriter& writer,
                           Problem& problem) {
  ErrorConsole console;
  harwarchive::Progress progress(table.header.content_size, console.Open() ? &console : nullptr);
  harwarchive::ProgressSink sink(writer, progress);
  const bool unpacked = harwarchive::Unpack(table, own, sink, problem);
  progress.Finish();
  return unpacked;
}

/// Reads the header and the table, with every check made before anything is
/// written; the file's position is then where the data begins.
bool ReadArchive(OwnFile& own, harwarchive::Table& table, Problem& problem) {
  std::vector<std::uint8_t> head(static_cast<std::size_t>(
      own.size() < harwarchive::kImageHeadSize ? own.size() : harwarchive::kImageHeadSize));
  harwarchive::Placement placement;
  if (!own.ReadAt(0, head.data(), head.size(), problem) ||
      !harwarchive::LocateArchive(head.data(), head.size(), own.size(), placement, problem)) {
    return false;
  }
  std::uint8_t header_bytes[harwarchive::kHeaderSize] = {};
  harwarchive::Header header;
  if (placement.available < harwarchive::kHeaderSize) {
    return harwarchive::ReadHeader(header_bytes, placement.available, header, problem);  // says: no archive
  }
  if (!own.ReadAt(placement.start, header_bytes, sizeof header_bytes, problem) ||
      !harwarchive::ReadHeader(header_bytes, placement.available, header, problem)) {
    return false;
  }
  std::vector<std::uint8_t> bytes(header.table_size);
  return own.Read(bytes.data(), bytes.size(), problem) && harwarchive::ReadTable(header, bytes.data(), table, problem);
}

/// Refuses to start when the folder's volume cannot take the files: a small
/// archive may decode to far more than it is. The files go below the top
/// folder, which may exist already on a volume of its own (a mount point);
/// else below the current folder, which may be one.
bool CheckSpace(const harwarchive::Table& table, Problem& problem) {
  const std::u16string& top = table.entries.front().path;
  const std::wstring top_path(top.begin(), top.end());
  const DWORD attributes = GetFileAttributesW(top_path.c_str());
  const bool top_exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  ULARGE_INTEGER free_bytes;
  if (!GetDiskFreeSpaceExW(top_exists ? top_path.c_str() : L".", &free_bytes, nullptr, nullptr)) {
    return true;  // not told: the writes will tell
  }
  if (free_bytes.QuadPart >= table.header.content_size) return true;
  const std::string volume = top_exists ? "the volume of " + harwarchive::Quoted(top) : "the current folder's volume";
  return Fail(problem, Failure::kWriteFailed,
              "the archive unpacks to " + std::to_string(table.header.content_size) + " bytes and " + volume + " has " +
                  std::to_string(free_bytes.QuadPart) + " bytes free");
}

/// Writes one line to standard error: UTF-16 to a console, UTF-8 to a file or pipe.
void Tell(const std::string& line) {
  const std::string text = "HarwExtract: " + line + "\n";
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  if (GetConsoleMode(error, &mode)) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0 && MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units) > 0) {
      WriteConsoleW(error, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
    }
    return;
  }
  WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int Extract(Problem& problem) {
  OwnFile own;
  harwarchive::Table table;
  if (!own.Open(problem) || !ReadArchive(own, table, problem) || !CheckSpace(table, problem)) {
    return static_cast<int>(problem.failure);
  }
  harwarchive::FileWriter writer;
  bool unpacked = false;
  try {
    unpacked = UnpackShowingProgress(table, own, writer, problem);
  } catch (const std::bad_alloc&) {
    Fail(problem, Failure::kNoMemory, "not enough memory to unpack the archive");
  }
  if (!unpacked) {
    writer.Undo();
    return static_cast<int>(problem.failure);
  }
  // Every file is in place: a moved-aside name that stays is told, not undone.
  Problem left;
  if (!writer.RemoveMovedAside(left)) Tell(left.message + "; what the name held stays there");
  return 0;
}

}  // namespace

int RunExtractor(int argc, wchar_t** argv) {
  (void)argv;
  RestrictDllSearch();
  Problem problem;
  if (argc > 1) {
    Fail(problem, Failure::kUsage, "takes no arguments; it unpacks the archive it carries into the current folder");
  } else {
    try {
      if (Extract(problem) == 0) return 0;
    } catch (const std::bad_alloc&) {
      Fail(problem, Failure::kNoMemory, "not enough memory to read the archive");
    }
  }
  Tell(problem.message);
  return static_cast<int>(problem.failure);
}
