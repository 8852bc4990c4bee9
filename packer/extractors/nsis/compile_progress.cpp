#include "packer/extractors/nsis/compile_progress.h"

#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// How every line of an added file starts.
constexpr char kFileLineStart[] = "File: \"";
/// How a complete one ends.
constexpr char kFileLineEnd[] = " bytes";
/// The most a follower reads at one call; the rest comes at the next.
constexpr std::uint64_t kFollowChunk = 1 << 20;

bool StartsWith(const std::string& text, const char* start) { return text.rfind(start, 0) == 0; }

bool AllDigits(const std::string& text) {
  return !text.empty() && text.size() <= 19 && text.find_first_not_of("0123456789") == std::string::npos;
}

/// What the live line says is happening while files are added.
const char* AddingVerb(Compression compression) {
  switch (compression) {
    case Compression::kLzma:
      return "reading files";  // the solid stream is compressed after the last one
    case Compression::kZlib:
      return "compressing with zlib";
    case Compression::kBzip2:
      return "compressing with bzip2";
    case Compression::kNone:
      return "storing files";
  }
  return "";
}

}  // namespace

std::optional<std::uint64_t> AddedFileSize(const std::string& line) {
  std::string text = line;
  if (!text.empty() && text.back() == '\r') text.pop_back();  // the Windows compiler's line ends
  const std::size_t end_size = sizeof kFileLineEnd - 1;
  if (!StartsWith(text, kFileLineStart) || text.size() < end_size ||
      text.compare(text.size() - end_size, end_size, kFileLineEnd) != 0) {
    return std::nullopt;
  }
  // The sizes are the last word; a name cannot reach past its closing quote.
  text.resize(text.size() - end_size);
  const std::size_t blank = text.rfind(' ');
  if (blank == std::string::npos) return std::nullopt;
  std::string sizes = text.substr(blank + 1);
  const std::size_t slash = sizes.find('/');
  if (slash != std::string::npos) {
    if (!AllDigits(sizes.substr(0, slash))) return std::nullopt;
    sizes = sizes.substr(slash + 1);
  }
  if (!AllDigits(sizes)) return std::nullopt;
  return std::stoull(sizes);
}

void CompilerOutputParser::Feed(const std::string& text) {
  pending_ += text;
  std::size_t start = 0;
  for (std::size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
    const std::string line = pending_.substr(start, end - start);
    start = end + 1;
    if (!StartsWith(line, kFileLineStart)) continue;
    ++done_.files_started;
    const std::optional<std::uint64_t> size = AddedFileSize(line);
    if (!size) continue;
    ++done_.files_done;
    done_.bytes_done += *size;
  }
  pending_.erase(0, start);
}

CompilerProgress CompilerOutputParser::progress() const {
  CompilerProgress now = done_;
  // The compiler flushes a line's start before it reads the file.
  if (StartsWith(pending_, kFileLineStart)) ++now.files_started;
  return now;
}

std::string CompileLiveText(const CompileTotals& totals, const CompilerProgress& progress,
                            std::uint64_t seconds, std::uint64_t written) {
  const std::string time = std::to_string(seconds) + " s";
  if (IsSolid(totals.compression) && totals.files > 0 && progress.files_started >= totals.files) {
    return "compressing as one lzma stream: " + time + ", " + Megabytes(written) + " written";
  }
  const unsigned share = totals.bytes > 0 ? PerCent(progress.bytes_done, totals.bytes)
                                          : PerCent(progress.files_done, totals.files);
  return std::string(AddingVerb(totals.compression)) + ": " + std::to_string(share) + " % of " +
         Megabytes(totals.bytes) + ", " + std::to_string(progress.files_done) + " of " +
         std::to_string(totals.files) + " files, " + time;
}

std::string FileFollower::ReadNew() {
  std::ifstream in(path_, std::ios::binary);
  if (!in.seekg(0, std::ios::end)) return "";
  const std::streamoff end = in.tellg();
  if (end < 0 || static_cast<std::uint64_t>(end) <= offset_) return "";
  const std::uint64_t wanted = static_cast<std::uint64_t>(end) - offset_;
  std::string text(static_cast<std::size_t>(wanted < kFollowChunk ? wanted : kFollowChunk), '\0');
  in.seekg(static_cast<std::streamoff>(offset_));
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  offset_ += text.size();
  return text;
}

CompileWatcher::CompileWatcher(const fs::path& work_dir, const CompileTotals& totals, Reporter& report)
    : totals_(totals),
      report_(report),
      log_(work_dir / kCompilerLogName),
      output_(work_dir / kExtractorName),
      start_(std::chrono::steady_clock::now()) {}

void CompileWatcher::Update() {
  parser_.Feed(log_.ReadNew());
  std::error_code ec;
  const std::uintmax_t written = fs::file_size(output_, ec);  // the compiler creates it at the end
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  report_.Live(CompileLiveText(totals_, parser_.progress(), static_cast<std::uint64_t>(seconds), ec ? 0 : written));
}

}  // namespace harwpack
