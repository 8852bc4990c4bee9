#include "packer/inspect/archive_report.h"

#include <cstdio>

#include "archive/decode.h"
#include "packer/platform/platform.h"

namespace harwpack {
namespace {

/// The package's bytes from one offset on, for the decoder.
class PackageSource : public harwarchive::Source {
 public:
  explicit PackageSource(InputFile& file) : file_(file) {}
  bool Read(std::uint8_t* buffer, std::size_t size, harwarchive::Problem& problem) override {
    if (InterruptSignal() != 0) return harwarchive::Fail(problem, harwarchive::Failure::kDamaged, InterruptError());
    if (file_.ReadExact(buffer, size, "its archive")) return true;
    return harwarchive::Fail(problem, harwarchive::Failure::kDamaged, file_.error());
  }

 private:
  InputFile& file_;
};

/// Decodes all data, as the extractor would, without writing anything.
bool Verify(InputFile& file, const harwarchive::Table& table, harwarchive::Problem& problem) {
  PackageSource source(file);
  harwarchive::Decoder decoder(table, source);
  harwarchive::Chunk chunk;
  chunk.data.resize(1 << 20);
  while (!decoder.done()) {
    if (!decoder.Next(chunk, problem)) return false;
  }
  return true;
}

/// Days from 1970-01-01 to the civil date, and back (Howard Hinnant's algorithm).
void CivilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

std::string FormatTicks(std::uint64_t ticks) {
  const std::int64_t seconds = static_cast<std::int64_t>(ticks / 10000000) - 11644473600;
  const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const std::int64_t rest = seconds - days * 86400;
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days, year, month, day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u UTC", year, month, day,
                static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                static_cast<unsigned>(rest % 60));
  return text;
}

std::string ReadArchiveReport(const std::filesystem::path& package, const std::vector<std::uint8_t>& head,
                              std::uint64_t data_offset, std::uint64_t data_size, ArchiveReport& report) {
  report = ArchiveReport{};
  harwarchive::Placement placement;
  harwarchive::Problem problem;
  if (!harwarchive::LocateArchive(head.data(), head.size(), data_size, placement, problem) ||
      placement.available < harwarchive::kHeaderSize) {
    return "";  // no image, or nothing behind it: not a builtin self-extractor
  }
  InputFile file(package, "package");
  std::uint8_t header_bytes[harwarchive::kHeaderSize];
  report.offset = data_offset + placement.start;
  if (!file.Seek(report.offset) || !file.ReadExact(header_bytes, sizeof header_bytes, "its archive's header")) {
    return file.error();
  }
  harwarchive::Header header;
  if (!harwarchive::ReadHeader(header_bytes, placement.available, header, problem)) {
    report.found = problem.failure != harwarchive::Failure::kNoArchive;
    report.problem = problem.message;
    return "";
  }
  report.found = true;
  std::vector<std::uint8_t> table(header.table_size);
  if (!file.ReadExact(table.data(), table.size(), "its archive's table")) return file.error();
  report.readable = harwarchive::ReadTable(header, table.data(), report.table, problem);
  report.verified = report.readable && Verify(file, report.table, problem);
  if (!report.verified) report.problem = problem.message;
  return "";
}

}  // namespace harwpack
