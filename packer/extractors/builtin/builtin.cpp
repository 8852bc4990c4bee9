#include "packer/extractors/builtin/builtin.h"

#include <chrono>

#include "packer/installed/installed.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// The live line of the archive's compression, from its own counters.
std::string ArchiveLiveText(std::uint64_t done, std::uint64_t total, std::chrono::steady_clock::time_point start) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  return "compressing with zstd: " + std::to_string(PerCent(done, total)) + " % of " + Megabytes(total) + ", " +
         std::to_string(seconds.count()) + " s";
}

/// A decoder window of 2^`log` bytes as people read it: "256 KiB", "128 MiB".
std::string WindowSize(std::uint32_t log) {
  if (log >= 20) return std::to_string(1u << (log - 20)) + " MiB";
  if (log >= 10) return std::to_string(1u << (log - 10)) + " KiB";
  return std::to_string(1u << log) + " bytes";
}

}  // namespace

std::string BuiltinExtractor::CheckTools(const PackageSpec& package, Edition edition) {
  const ProgramLookup lookup = ChooseExtractorProgram(given_program_, package.stub, edition);
  if (!lookup.error.empty()) return lookup.error;
  program_ = lookup.path;
  return CheckExtractorProgram(program_, edition);
}

fs::path BuiltinExtractor::Make(const ExtractorInput& input, const fs::path& work, Reporter& report,
                                std::string& error) {
  const FolderTotals& counted = totals();
  ArchiveJob job{std::move(entries()), &held(), input.settings.folder_name, input.source_date_epoch, level_, 0};
  report.Line("compressing " + Counted(counted.files, "file") + " (" + Megabytes(counted.bytes) + ") with zstd " +
              ZstdVersion() + " at level " + std::to_string(level_) + " for the " + EditionName(input.edition) +
              " extractor");
  const auto start = std::chrono::steady_clock::now();
  ArchiveProgress progress;
  if (report.mode() == OutputMode::kTerminal) {
    progress = [&](std::uint64_t done) { report.Live(ArchiveLiveText(done, counted.bytes, start)); };
  }
  const fs::path extractor = work / kExtractorName;
  ArchiveResult result;
  error = WriteBuiltinExtractor(job, program_, extractor, result, progress);
  report.EndLive();
  if (!error.empty()) return {};
  report.Line("built the self-extractor on " + PathToUtf8(program_));
  ReportMade(input, result.clamped, extractor, counted.bytes, "; decoder window " + WindowSize(result.window_log),
             start, report);
  return extractor;
}

}  // namespace harwpack
