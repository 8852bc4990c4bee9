// The builtin self-extractor: the project's extractor program with an
// archive of the listed folder behind its image, written by harwpack itself
// from the files it checked and holds open. The layout is
// extractor/FORMAT.md's; the archive code (extractor/archive) is shared.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packer/image/image.h"
#include "packer/input/input.h"

namespace harwpack {

/// zstd levels the builtin archive takes, and the one it uses unless told.
/// On the bench's 171 MB folder (2 cores, zstd alone) 20 made 28.42 MB in
/// 61 s, 21 28.41 MB in 68 s, 22 28.36 MB in 91 to 98 s (on jobs of 32 MiB,
/// or one); NSIS's lzma took 61 to 67 s to create its package: 20 is the
/// highest level that comes close (extractor/FORMAT.md).
inline constexpr int kMinLevel = 1;
inline constexpr int kMaxLevel = 22;
inline constexpr int kDefaultLevel = 20;
/// Most compression threads: zstd's output is the same for any number from
/// one up, and each thread holds its own match tables (hundreds of MiB at the
/// high levels: at level 20 two threads peaked at 801 MiB for the bench's
/// folder). A 32-bit harwpack has 2 GiB to hold them, which four threads with
/// their jobs' input would come close to.
inline constexpr unsigned kMaxThreads = sizeof(void*) < 8 ? 2 : 4;
/// The window the archive is compressed with: 2^26 bytes. The extractor's
/// decoder touches every page of its window once, at several microseconds a
/// page in a virtual machine; half of 2^27 took a fifth of its processor
/// time off on the bench's folder (extractor/FORMAT.md).
inline constexpr unsigned kWindowLog = 26;
/// From kChainLevel up, zstd's match tree covers at least as many positions
/// as 2^kChainLog allows: at level 20 and window 2^26 this packed the bench's
/// folder as small as 2^27 did with the level's own 2^25.
inline constexpr unsigned kChainLog = 26;
inline constexpr int kChainLevel = 20;
/// The content each compression job takes: fixed, since zstd's output
/// depends on it (not on the number of threads); two jobs for the bench's
/// folder, so that two cores share the work.
inline constexpr int kJobSize = 128 << 20;

/// What the archive holds and how it is compressed.
struct ArchiveJob {
  std::vector<FolderEntry> entries;                ///< the folder's checked listing (ListFolder order)
  std::vector<HeldFile>* files = nullptr;          ///< for each entry, its file held open since the check
  std::u16string folder_name;                      ///< where the extractor unpacks ("Disk1", or /F's value)
  std::optional<std::uint64_t> source_date_epoch;  ///< file times newer than this are stored as it
  int level = kDefaultLevel;                       ///< zstd level, kMinLevel to kMaxLevel
  unsigned threads = 0;                            ///< compression threads; 0: one per processor, at most kMaxThreads
};

/// What was written.
struct ArchiveResult {
  std::uint64_t content_bytes = 0;  ///< the files' bytes
  std::uint64_t archive_bytes = 0;  ///< the archive's bytes behind the program
  std::uint32_t window_log = 0;     ///< the decoder window the archive needs: 2^window_log bytes
  std::size_t files = 0;            ///< files packed
  std::size_t clamped = 0;          ///< file times stored as SOURCE_DATE_EPOCH
};

/// The zstd library's version ("1.5.4"): the same inputs and level give the
/// same bytes with the same version.
std::string ZstdVersion();

/// Called as the compression goes: bytes of file content read so far.
using ArchiveProgress = std::function<void(std::uint64_t done)>;

/// Why `program` cannot be the extractor program a builtin self-extractor is
/// built on: it must be the project's extractor (HarwExtract.exe), a console
/// program of `edition`, ending with its image (no archive yet). "" when it can.
std::string CheckExtractorProgram(const std::filesystem::path& program, Edition edition);

/// Why an archive of `entries` files and folders, whose paths take
/// `path_units` UTF-16 units together, has a larger table than the extractor
/// reads (more than harwarchive::kMaxEntries entries or kMaxTableSize bytes):
/// found before anything is compressed. "" when it fits.
std::string CheckTableLimits(std::uint64_t entries, std::uint64_t path_units);

/// Writes `output`: `program`, then the archive of `job`. "" or one line of error.
std::string WriteBuiltinExtractor(const ArchiveJob& job, const std::filesystem::path& program,
                                  const std::filesystem::path& output, ArchiveResult& result,
                                  const ArchiveProgress& progress = {});

}  // namespace harwpack
