#include "packer/extractors/extractor.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// "12.3 s" from a duration.
std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

}  // namespace

std::vector<CheckMessage> FolderExtractor::CheckInput(const ExtractorInput& input) {
  std::vector<CheckMessage> messages;
  if (!CheckFolder(folder_, input.settings, entries_, messages)) return messages;
  totals_ = CountFiles(entries_);
  CheckLimits(messages);
  const bool refused = std::any_of(messages.begin(), messages.end(),
                                   [](const CheckMessage& m) { return m.severity == Severity::kError; });
  if (refused) return messages;
  // Only now, when nothing else refuses the folder: it opens every file.
  if (hold_files_) {
    HoldFiles(entries_, held_, messages);
  } else {
    CheckFilesReadable(entries_, messages);
  }
  return messages;
}

std::string FolderExtractor::CheckedLine() const {
  const auto folders = std::count_if(entries_.begin(), entries_.end(),
                                     [](const FolderEntry& entry) { return entry.kind == EntryKind::kFolder; });
  return "checked " + PathToUtf8(folder_) + ": " + Counted(totals_.files, "file") + ", " +
         Counted(static_cast<std::uint64_t>(folders), "folder") + ", " + std::to_string(totals_.bytes) + " bytes (" +
         Megabytes(totals_.bytes) + ")";
}

void FolderExtractor::ReportMade(const ExtractorInput& input, std::size_t clamped, const fs::path& extractor,
                                 std::uint64_t bytes, const std::string& detail,
                                 std::chrono::steady_clock::time_point start, Reporter& report) {
  if (input.source_date_epoch) {
    report.Line("stored " + std::to_string(clamped) + " file time(s) as SOURCE_DATE_EPOCH " +
                std::to_string(*input.source_date_epoch) + " (they were newer)");
  }
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(extractor, ec);
  report.Line("self-extractor: " + std::to_string(ec ? 0 : size) + " bytes (" + Megabytes(ec ? 0 : size) +
              " from " + Megabytes(bytes) + detail + ") in " +
              Seconds(std::chrono::steady_clock::now() - start));
}

}  // namespace harwpack
