// The limits of the builtin archive's table, which harwpack checks before it
// compresses anything: an archive past them would be refused by the extractor;
// and a file that changes size after the check, which is never packed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "packer/extractors/builtin/archive_writer.h"
#include "packer/input/folder_check.h"
#include "packer/input/folder_list.h"
#include "tests/packer/test_support.h"

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

/// In `dir`: a folder `inst` with one file, a.bin, of `size` bytes, and an extractor program.
void MakeInput(const std::filesystem::path& dir, std::uintmax_t size, std::uint8_t seed) {
  std::filesystem::create_directories(dir / "inst");
  harwpack_test::WriteBytes(dir / "inst" / "a.bin", harwpack_test::Pattern(static_cast<std::size_t>(size), seed));
  harwpack_test::WriteBytes(dir / "HarwExtract.exe", harwpack_test::MinimalExtractor());
}

TEST(ArchiveWriterTest, PacksWhatWasCheckedOrFailsLeavingNothing) {
  namespace fs = std::filesystem;
  constexpr std::uintmax_t kMiB = 1 << 20;  // the writer reads a file a MiB at a time
  struct Case {
    const char* name;
    std::uintmax_t checked;  // the file's size when the folder is listed and checked
    std::uintmax_t packed;   // its size when it is packed
    bool after_hold;         // changed once held open (Windows lets nobody write a held file)
    const char* refusal;     // "" when it packs
  };
  const std::vector<Case> cases = {
      {"unchanged", 10, 10, false, ""},
      {"grown_by_one", 10, 11, false, "'a.bin' changed while it was packed (10 bytes when checked, more now)"},
      {"shrunk_by_one", 10, 9, false, "'a.bin' changed while it was packed (10 bytes when checked, 9 now)"},
      {"emptied", 10, 0, false, "(10 bytes when checked, 0 now)"},
      {"a_read_unchanged", kMiB, kMiB, false, ""},
      {"a_read_grown_by_one", kMiB, kMiB + 1, false, "(1048576 bytes when checked, more now)"},
#ifndef _WIN32
      {"grown_while_held", 10, 11, true, "(10 bytes when checked, more now)"},
      {"shrunk_while_held", kMiB + 1, kMiB, true, "(1048577 bytes when checked, 1048576 now)"},
#endif
  };
  for (const Case& c : cases) {
    harwpack_test::ScratchDir dir;
    MakeInput(dir.path(), c.checked, 7);
    fs::create_directories(dir / "out");
    harwpack::ArchiveJob job{{}, nullptr, u"Disk1", std::nullopt, 1, 1};
    std::vector<harwpack::HeldFile> held;
    std::vector<harwpack::CheckMessage> messages;
    ASSERT_EQ(harwpack::ListFolder(dir / "inst", job.entries), "") << c.name;
    if (!c.after_hold) fs::resize_file(dir / "inst" / "a.bin", c.packed);
    harwpack::HoldFiles(job.entries, held, messages);
    ASSERT_TRUE(messages.empty()) << c.name;
    if (c.after_hold) fs::resize_file(dir / "inst" / "a.bin", c.packed);
    job.files = &held;
    harwpack::ArchiveResult result;
    const std::string error =
        harwpack::WriteBuiltinExtractor(job, dir / "HarwExtract.exe", dir / "out" / "extractor.exe", result);
    if (*c.refusal == '\0') {
      EXPECT_EQ(error, "") << c.name;
      EXPECT_EQ(result.content_bytes, c.checked) << c.name;
      EXPECT_EQ(harwpack_test::ListDir(dir / "out"), std::vector<std::string>{"extractor.exe"}) << c.name;
      continue;
    }
    EXPECT_NE(error.find(c.refusal), std::string::npos) << c.name << ": " << error;
    EXPECT_TRUE(harwpack_test::ListDir(dir / "out").empty()) << c.name << ": a partial extractor was left";
  }
}

/// Packs MakeInput's folder in `dir` at level 1 on `threads` threads into dir/extractor.exe.
std::string PackInput(const harwpack_test::ScratchDir& dir, unsigned threads, harwpack::ArchiveResult& result) {
  harwpack::ArchiveJob job{{}, nullptr, u"Disk1", std::nullopt, 1, threads};
  std::vector<harwpack::HeldFile> held;
  std::vector<harwpack::CheckMessage> messages;
  const std::string listed = harwpack::ListFolder(dir / "inst", job.entries);
  if (!listed.empty()) return listed;
  harwpack::HoldFiles(job.entries, held, messages);
  if (!messages.empty()) return "the folder check had " + std::to_string(messages.size()) + " message(s)";
  job.files = &held;
  return harwpack::WriteBuiltinExtractor(job, dir / "HarwExtract.exe", dir / "extractor.exe", result);
}

TEST(ArchiveWriterTest, CompressesWithItsOwnWindowBelowTheExtractorsLargest) {
  constexpr std::uint64_t kWindow = std::uint64_t{1} << harwpack::kWindowLog;
  static_assert(harwpack::kWindowLog < harwarchive::kMaxWindowLog, "a content past the window must show it");
  struct Case {
    std::uint64_t size;
    std::uint32_t window_log;  // what the archive names
  };
  // Up to the window, zstd's window is the content itself; one byte past it
  // the window stays at harwpack's, where the extractor's largest would take the content whole.
  const Case cases[] = {{1000, 10}, {kWindow, harwpack::kWindowLog}, {kWindow + 1, harwpack::kWindowLog}};
  for (const Case& c : cases) {
    harwpack_test::ScratchDir dir;
    MakeInput(dir.path(), c.size, 3);
    harwpack::ArchiveResult result;
    ASSERT_EQ(PackInput(dir, 1, result), "") << c.size;
    EXPECT_EQ(result.window_log, c.window_log) << c.size;
  }
}

TEST(ArchiveWriterTest, WritesTheSameBytesOnAnyNumberOfThreads) {
  // Past one job, so that the content is cut into jobs, the same way whatever the threads.
  harwpack_test::ScratchDir dir;
  MakeInput(dir.path(), static_cast<std::uintmax_t>(harwpack::kJobSize) + 1, 5);
  harwpack_test::Bytes first;
  for (unsigned threads : {1u, 3u}) {
    harwpack::ArchiveResult result;
    ASSERT_EQ(PackInput(dir, threads, result), "") << threads;
    const harwpack_test::Bytes bytes = harwpack_test::ReadBytes(dir / "extractor.exe");
    if (first.empty()) {
      first = bytes;
    } else {
      EXPECT_TRUE(bytes == first) << threads << " threads wrote other bytes than one";
    }
  }
}

}  // namespace
