// Following the NSIS compiler while it builds the self-extractor. At
// verbosity 4 it prints a line for every file it adds: the start of the line
// before it reads (and, file by file, compresses) the file, flushed, and the
// sizes after. A solid compressor instead compresses all files as one stream
// at the end, when no line moves; then only its growing output shows progress.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "packer/extractors/nsis/compiler.h"
#include "packer/platform/platform.h"

namespace harwpack {

/// How far the compiler has got, read from its output.
struct CompilerProgress {
  std::size_t files_started = 0;  ///< "File:" lines begun
  std::size_t files_done = 0;     ///< of those, the ones whose sizes are printed
  std::uint64_t bytes_done = 0;   ///< the original bytes of the files done
};

/// The original size a complete "File:" line of the compiler ends with:
/// `File: "f"->"a" 300000 bytes`, or `... [compress] 1101479/5253394 bytes`
/// (stored/original); nullopt for any other line.
std::optional<std::uint64_t> AddedFileSize(const std::string& line);

/// Reads the compiler's output in pieces as they arrive, cut anywhere.
class CompilerOutputParser {
 public:
  /// Takes the next piece of output.
  void Feed(const std::string& text);
  /// The progress so far; a line begun but not ended counts as started.
  CompilerProgress progress() const;

 private:
  std::string pending_;    // the line not ended yet
  CompilerProgress done_;  // from ended lines only
};

/// What the compiler is given: the figures progress is measured against.
struct CompileTotals {
  std::size_t files = 0;                         ///< files of the listing
  std::uint64_t bytes = 0;                       ///< their bytes
  Compression compression = Compression::kLzma;  ///< how they are packed
};

/// The live line: while files are added, the per cent of their bytes, the
/// files and the seconds; once a solid compressor has every file, the
/// seconds and the bytes of the extractor written so far.
std::string CompileLiveText(const CompileTotals& totals, const CompilerProgress& progress,
                            std::uint64_t seconds, std::uint64_t written);

/// Reads what another process appends to a file.
class FileFollower {
 public:
  /// Follows `path`, which need not exist yet.
  explicit FileFollower(std::filesystem::path path) : path_(std::move(path)) {}
  /// The bytes added since the last call; "" when none or the file is not there.
  std::string ReadNew();

 private:
  std::filesystem::path path_;
  std::uint64_t offset_ = 0;
};

/// Redraws the live line from the compiler's log and output in `work_dir`
/// (BuildExtractor's working folder); Update is called while it runs.
class CompileWatcher {
 public:
  CompileWatcher(const std::filesystem::path& work_dir, const CompileTotals& totals, Reporter& report);
  /// Reads what the compiler has written since the last call and redraws.
  void Update();

 private:
  CompileTotals totals_;
  Reporter& report_;
  FileFollower log_;
  std::filesystem::path output_;
  CompilerOutputParser parser_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace harwpack
