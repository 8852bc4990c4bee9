#include "packer/extractors/nsis/nsis.h"

#include <chrono>

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// Compiles the self-extractor with NSIS `version`; on a terminal the live line follows the compiler. "" or the error.
std::string Compile(const ExtractorJob& job, const CompileTotals& totals, const std::string& version,
                    const fs::path& work, std::size_t& clamped, Reporter& report) {
  const std::string files = Counted(totals.files, "file") + " (" + Megabytes(totals.bytes) + ")";
  report.Line(job.compression == Compression::kNone
                  ? "storing " + files + " uncompressed with NSIS " + version
                  : "compressing " + files + " with " + CompressionSettings(job.compression) + ", NSIS " + version);
  CompileWatcher watcher(work, totals, report);
  std::function<void()> update;
  if (report.mode() == OutputMode::kTerminal) update = [&watcher] { watcher.Update(); };
  const std::string error = BuildExtractor(job, work, clamped, update);
  report.EndLive();
  return error;
}

}  // namespace

void NsisExtractor::CheckLimits(std::vector<CheckMessage>& messages) {
  CheckFolderSize(folder(), entries(), messages);
}

fs::path NsisExtractor::Make(const ExtractorInput& input, const fs::path& work, Reporter& report,
                             std::string& error) {
  const CompileTotals counted{totals().files, totals().bytes, compression_};
  ExtractorJob job{std::move(entries()), input.settings.folder_name, makensis_, input.source_date_epoch,
                   compression_, input.edition};
  std::string version;
  std::size_t clamped = 0;
  const auto start = std::chrono::steady_clock::now();
  error = ProbeMakensis(job.makensis, work, version);
  if (error.empty()) error = Compile(job, counted, version, work, clamped, report);
  if (!error.empty()) return {};
  report.Line("compiled the self-extractor with NSIS " + version);
  const fs::path extractor = work / kExtractorName;
  ReportMade(input, clamped, extractor, counted.bytes, "", start, report);
  return extractor;
}

}  // namespace harwpack
