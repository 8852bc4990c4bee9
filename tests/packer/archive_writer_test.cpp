// The limits of the builtin archive's table, which harwpack checks before it
// compresses anything: an archive past them would be refused by the extractor.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "archive/archive.h"
#include "packer/archive_writer.h"

namespace {

TEST(TableLimitsTest, RefusesExactlyWhatTheExtractorWouldRefuse) {
  constexpr std::uint64_t kEntries = harwarchive::kMaxEntries;
  // The table: one frame record, a fixed record per entry, two bytes a path unit.
  constexpr std::uint64_t kRoom =
      harwarchive::kMaxTableSize - harwarchive::kFrameRecordSize - 1000 * harwarchive::kEntryFixedSize;
  struct Case {
    std::uint64_t entries;
    std::uint64_t path_units;
    const char* refusal;  // "" when it fits
  };
  const Case cases[] = {
      {2, 20, ""},
      {kEntries, kEntries, ""},
      {kEntries + 1, kEntries + 1, "the archive would hold 1048577 files and folders; the builtin extractor reads "
                                    "at most 1048576"},
      {1000, kRoom / 2, ""},
      {1000, kRoom / 2 + 1, "the archive's table of names would take 67108866 bytes; the builtin extractor reads "
                            "at most 67108864 (shorter or fewer names fit)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(harwpack::CheckTableLimits(c.entries, c.path_units), c.refusal) << c.entries << " " << c.path_units;
  }
}

}  // namespace
