// The archive code as the extractor runs it, natively: well-formed archives
// unpacked whole through chunks of any size, and a table of hostile ones
// refused with the failure and message the extractor would end with, before
// anything is written where the table alone tells; the progress line on a
// console of its own with a clock the test sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/decode.h"
#include "tests/archive/archive_builder.h"
#include "tests/archive/hostile_archives.h"
#include "unpack/progress.h"
#include "unpack/unpack.h"

namespace {

using harwarchive::Failure;
using harwtest_archive::ArchiveSpec;
using harwtest_archive::File;
using harwtest_archive::Folder;
using harwtest_archive::Parts;

class MemorySource : public harwarchive::Source {
 public:
  MemorySource(const std::string& bytes, std::size_t at) : bytes_(bytes), at_(at) {}
  bool Read(std::uint8_t* buffer, std::size_t size, harwarchive::Problem& problem) override {
    if (size > bytes_.size() - at_) return harwarchive::Fail(problem, Failure::kDamaged, "read past the end");
    std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
              bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + size), buffer);
    at_ += size;
    return true;
  }

 private:
  const std::string& bytes_;
  std::size_t at_;
};

/// Collects what the pipeline hands out and holds it to its promises.
class RecordingSink : public harwarchive::Sink {
 public:
  bool MakeFolder(const harwarchive::Entry& entry, harwarchive::Problem&) override {
    EXPECT_EQ(entry.kind, harwarchive::Kind::kFolder);
    EXPECT_TRUE(files.empty()) << "a folder came after a file";
    folders.push_back(harwarchive::ToUtf8(entry.path));
    return true;
  }
  bool WritePiece(const harwarchive::Entry& entry, const harwarchive::Piece& piece, const std::uint8_t* data,
                  harwarchive::Problem&) override {
    std::string& file = files[harwarchive::ToUtf8(entry.path)];
    EXPECT_EQ(piece.offset, file.size()) << "pieces out of order";
    file.append(reinterpret_cast<const char*>(data), piece.size);
    EXPECT_LE(file.size(), entry.size);
    if (piece.last) {
      EXPECT_EQ(file.size(), entry.size);
      ++completed;
    }
    return true;
  }

  std::vector<std::string> folders;
  std::map<std::string, std::string> files;
  std::size_t completed = 0;
};

/// One console line as a console keeps it: '\r' returns to its start, other
/// characters overwrite; a line feed is remembered. Its clock is set by the
/// test, or steps a second at every look.
class ScreenLine : public harwarchive::ProgressConsole {
 public:
  std::uint64_t Now() override {
    const std::uint64_t now = time;
    time += step;
    return now;
  }
  bool Write(const char* text, std::size_t size) override {
    ++writes;
    if (refuse) return false;
    for (std::size_t i = 0; i < size; ++i) Put(text[i]);
    return true;
  }
  /// What the line shows, without the blanks at its end.
  std::string Shown() const { return screen.substr(0, screen.find_last_not_of(' ') + 1); }

  std::uint64_t time = 0;
  std::uint64_t step = 0;
  bool refuse = false;
  std::size_t writes = 0;  // calls of Write, refused ones too
  std::string screen;
  std::size_t column = 0;
  bool line_feed = false;

 private:
  void Put(char c) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      line_feed = true;
    } else {
      if (column == screen.size()) screen.push_back(c);
      screen[column++] = c;
    }
  }
};

struct Unpacked {
  harwarchive::Problem problem;
  bool table_read = false;
  RecordingSink sink;
  std::string last_line;  // the progress line as it stood when unpacking ended
};

/// Reads and unpacks `archive` as the extractor does, through chunks of `chunk` bytes.
Unpacked Unpack(const std::string& archive, std::size_t chunk = 4096) {
  Unpacked result;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(archive.data());
  harwarchive::Header header;
  if (!harwarchive::ReadHeader(bytes, archive.size(), header, result.problem)) return result;
  harwarchive::Table table;
  if (!harwarchive::ReadTable(header, bytes + harwarchive::kHeaderSize, table, result.problem)) return result;
  result.table_read = true;
  MemorySource source(archive, harwarchive::kHeaderSize + header.table_size);
  ScreenLine console;
  console.step = harwarchive::kProgressDelay;  // every piece is late enough to be drawn
  harwarchive::Progress progress(header.content_size, &console);
  harwarchive::ProgressSink sink(result.sink, progress);
  harwarchive::Unpack(table, source, sink, result.problem, chunk);
  result.last_line = console.Shown();
  return result;
}

std::vector<harwtest_archive::Item> Installation() {
  return {Folder(u"Disk1"),
          Folder(u"Disk1\\empty"),
          Folder(u"Disk1\\sub"),
          File(u"Disk1\\Setup.exe", harwtest_archive::Noise(30000, 1)),
          File(u"Disk1\\zero.txt", ""),
          File(u"Disk1\\sub\\\u00e4 \u4e2d \U0001F600.txt", std::string(50000, 'x')),
          File(u"Disk1\\sub\\last", "end")};
}

TEST(ArchiveTest, UnpacksWholeThroughChunksAndFramesOfAnySize) {
  struct Case {
    const char* name;
    unsigned frames;
    std::size_t chunk;
  };
  const Case cases[] = {{"one_frame", 1, harwarchive::kChunkSize},
                        {"two_frames", 2, harwarchive::kChunkSize},
                        {"four_frames", 4, harwarchive::kChunkSize},
                        {"tiny_chunks", 1, 7},
                        {"frames_across_files", 5, 4096},
                        {"chunk_of_one_byte", 3, 1},
                        {"frame_per_byte_range", 40, 1000}};
  for (const Case& c : cases) {
    ArchiveSpec spec;
    spec.items = Installation();
    spec.frames = c.frames;
    const Unpacked result = Unpack(harwtest_archive::BuildArchive(spec), c.chunk);
    EXPECT_EQ(result.problem.failure, Failure::kNone) << c.name << ": " << result.problem.message;
    EXPECT_EQ(result.sink.folders, (std::vector<std::string>{"Disk1", "Disk1\\empty", "Disk1\\sub"})) << c.name;
    EXPECT_EQ(result.sink.completed, 4u) << c.name;
    EXPECT_EQ(result.last_line, "HarwExtract: 100 % (80,003 of 80,003 bytes)") << c.name;
    for (const harwtest_archive::Item& item : spec.items) {
      if (item.kind == harwarchive::Kind::kFile) {
        EXPECT_EQ(result.sink.files.at(harwarchive::ToUtf8(item.path)), item.content) << c.name;
      }
    }
  }
}

TEST(ArchiveTest, AFolderAloneAndEmptyFilesNeedNoData) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\a", ""), File(u"Disk1\\b", "")};
  const Unpacked result = Unpack(harwtest_archive::BuildArchive(spec));
  EXPECT_EQ(result.problem.failure, Failure::kNone) << result.problem.message;
  EXPECT_EQ(result.sink.completed, 2u);
}

TEST(ArchiveTest, EveryHostileArchiveEndsWithItsFailure) {
  for (const harwtest_archive::HostileCase& c : harwtest_archive::HostileArchives()) {
    const Unpacked result = Unpack(harwtest_archive::BuildArchive(c.spec));
    EXPECT_EQ(result.problem.failure, c.failure) << c.name << ": " << result.problem.message;
    EXPECT_NE(result.problem.message.find(c.message), std::string::npos) << c.name << ": " << result.problem.message;
    EXPECT_EQ(result.problem.message.find('\n'), std::string::npos) << c.name << ": one line";
    // What the table alone tells is refused before any folder is made.
    EXPECT_EQ(!result.table_read, c.by_table) << c.name;
    if (c.by_table) {
      EXPECT_TRUE(result.sink.folders.empty() && result.sink.files.empty()) << c.name;
    }
  }
}

TEST(ArchiveTest, NamesReachMessagesAsOnePrintableLine) {
  struct Case {
    std::u16string name;
    std::string shown;
  };
  const Case cases[] = {
      {u"a\nb", "a\\x0Ab"},
      {u"\x1B[31mred", "\\x1B[31mred"},
      {u"\a", "\\x07"},
      {u"\x1F \x7E", "\\x1F ~"},  // the last control character, then the first printable ones
      {u"\x7F", "\\x7F"},
      {u"\x85\x9F\xA0", "\\x85\\x9F\xC2\xA0"},  // C1 controls up to U+009F, not the no-break space
      {u"\u2027\u2028\u2029\u202A", "\xE2\x80\xA7\\u2028\\u2029\xE2\x80\xAA"},
      {std::u16string(u"a") + char16_t{0xD800} + u"b", "a\\uD800b"},
      {std::u16string(u"a") + char16_t{0xDFFF}, "a\\uDFFF"},
      {std::u16string(1, char16_t{0xDC00}) + char16_t{0xD800}, "\\uDC00\\uD800"},  // a pair the wrong way round
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\u00e4 \u4e2d\u6587", "\xC3\xA4 \xE4\xB8\xAD\xE6\x96\x87"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(harwarchive::Printable(c.name), c.shown) << c.shown;
    EXPECT_EQ(harwarchive::Quoted(c.name), "'" + c.shown + "'") << c.shown;
  }
}

/// The head of a PE image whose section table lists `sections` (raw offset,
/// raw size) in that order, with `directories` data directories and the
/// certificate table `certificate` (offset, size) in the fifth.
std::vector<std::uint8_t> ImageHead(std::uint16_t magic, std::vector<std::pair<std::uint32_t, std::uint32_t>> sections,
                                    std::uint32_t directories, std::pair<std::uint32_t, std::uint32_t> certificate) {
  std::vector<std::uint8_t> head(0x400, 0);
  auto put = [&head](std::size_t at, std::uint32_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i, value >>= 8) head[at + i] = static_cast<std::uint8_t>(value);
  };
  const std::size_t pe = 0x40, optional = pe + 24, wide = magic == 0x20B ? 16 : 0;
  put(0, 'M' | 'Z' << 8, 2);
  put(0x3C, pe, 4);
  put(pe, 0x00004550, 4);
  put(pe + 6, static_cast<std::uint32_t>(sections.size()), 2);
  put(pe + 20, static_cast<std::uint32_t>(0xE0 + wide), 2);
  put(optional, magic, 2);
  put(optional + 92 + wide, directories, 4);
  put(optional + 96 + wide + 4 * 8, certificate.first, 4);
  put(optional + 100 + wide + 4 * 8, certificate.second, 4);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    put(optional + 0xE0 + wide + i * 40 + 16, sections[i].second, 4);
    put(optional + 0xE0 + wide + i * 40 + 20, sections[i].first, 4);
  }
  return head;
}

TEST(ArchiveTest, TheArchiveLiesBehindTheImageUpToItsSignature) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> head;
    std::uint64_t file_size;
    std::uint64_t start;      // the placement found,
    std::uint64_t available;  // when failure is kNone
    Failure failure;
    const char* message;
  };
  const std::pair<std::uint32_t, std::uint32_t> unsigned_ = {0, 0}, signature = {0x800, 0x100};
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> one = {{0x200, 0x200}};
  const Case cases[] = {
      {"one_section", ImageHead(0x20B, one, 16, unsigned_), 0x1000, 0x400, 0xC00, Failure::kNone, ""},
      {"sections_out_of_file_order", ImageHead(0x20B, {{0x600, 0x200}, {0x200, 0x400}}, 16, unsigned_), 0x1000,
       0x800, 0x800, Failure::kNone, ""},
      {"empty_section_far_out", ImageHead(0x20B, {{0x200, 0x200}, {0x5000, 0}}, 16, unsigned_), 0x1000, 0x400,
       0xC00, Failure::kNone, ""},
      {"image_is_the_file", ImageHead(0x20B, one, 16, unsigned_), 0x400, 0x400, 0, Failure::kNone, ""},
      {"image_beyond_the_file", ImageHead(0x20B, one, 16, unsigned_), 0x3FF, 0, 0, Failure::kNoArchive,
       "shorter than its own image"},
      {"signed", ImageHead(0x20B, one, 16, signature), 0x900, 0x400, 0x400, Failure::kNone, ""},
      {"signed_pe32", ImageHead(0x10B, one, 16, signature), 0x900, 0x400, 0x400, Failure::kNone, ""},
      {"bytes_behind_the_signature", ImageHead(0x20B, one, 16, signature), 0x901, 0, 0, Failure::kNoArchive,
       "names a certificate table that does not end it"},
      {"bytes_behind_the_signature_pe32", ImageHead(0x10B, one, 16, signature), 0x901, 0, 0, Failure::kNoArchive,
       "does not end it"},
      {"signature_inside_the_image", ImageHead(0x20B, one, 16, {0x3FF, 0x501}), 0x900, 0, 0, Failure::kNoArchive,
       "does not end it"},
      {"signature_right_behind_the_image", ImageHead(0x20B, one, 16, {0x400, 0x500}), 0x900, 0x400, 0,
       Failure::kNone, ""},
      // Four directories end before the security directory: its bytes are not one.
      {"no_security_directory", ImageHead(0x20B, one, 4, signature), 0x901, 0x400, 0x501, Failure::kNone, ""},
      {"fifth_directory", ImageHead(0x20B, one, 5, signature), 0x901, 0, 0, Failure::kNoArchive, "does not end it"},
      {"unknown_optional_header", ImageHead(0x10C, one, 16, unsigned_), 0x1000, 0, 0, Failure::kNoArchive,
       "optional header of unknown kind"},
  };
  for (const Case& c : cases) {
    harwarchive::Placement placement;
    harwarchive::Problem problem;
    const bool found = harwarchive::LocateArchive(c.head.data(), c.head.size(), c.file_size, placement, problem);
    EXPECT_EQ(problem.failure, c.failure) << c.name << ": " << problem.message;
    EXPECT_EQ(found, c.failure == Failure::kNone) << c.name;
    EXPECT_NE(problem.message.find(c.message), std::string::npos) << c.name << ": " << problem.message;
    if (found) {
      EXPECT_EQ(placement.start, c.start) << c.name;
      EXPECT_EQ(placement.available, c.available) << c.name;
    }
  }
}

TEST(ArchiveTest, ProgressLineShowsAfterASecondRedrawsInPlaceAndIsClearedAtTheEnd) {
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  struct Step {
    std::uint64_t at;     // the clock when the bytes are counted
    std::uint64_t bytes;
  };
  struct Case {
    const char* name;
    std::uint64_t start;  // the clock when unpacking starts
    std::uint64_t total;
    std::vector<Step> steps;
    bool refuse;          // the console refuses every write
    std::string line;     // what the line shows before the end
    std::size_t writes;   // calls of Write, the clearing one included
  };
  const Case cases[] = {
      {"silent_before_a_second", 0, 1000, {{999, 500}}, false, "", 0},
      {"drawn_at_a_second", 0, 1000, {{999, 100}, {1000, 400}}, false, "HarwExtract: 50 % (500 of 1,000 bytes)", 2},
      {"the_second_counts_from_the_start", 5000, 1000, {{5999, 100}}, false, "", 0},
      {"drawn_a_second_after_the_start", 5000, 1000, {{6000, 100}}, false, "HarwExtract: 10 % (100 of 1,000 bytes)", 2},
      {"not_redrawn_within_the_interval", 0, 1000, {{1000, 100}, {1249, 100}}, false,
       "HarwExtract: 10 % (100 of 1,000 bytes)", 2},
      {"redrawn_after_the_interval", 0, 1000, {{1000, 100}, {1249, 100}, {1250, 100}}, false,
       "HarwExtract: 30 % (300 of 1,000 bytes)", 3},
      {"a_longer_line_over_a_shorter_one", 0, 171447667, {{1000, 9}, {1250, 63412215}}, false,
       "HarwExtract: 36 % (63,412,224 of 171,447,667 bytes)", 3},
      {"short_of_the_end_is_99", 0, 1000, {{1000, 999}}, false, "HarwExtract: 99 % (999 of 1,000 bytes)", 2},
      {"the_end_is_100", 0, 1000, {{1000, 1000}}, false, "HarwExtract: 100 % (1,000 of 1,000 bytes)", 2},
      {"largest_sizes", 0, kMost, {{1000, kMost / 2}, {1250, kMost / 2}}, false,
       "HarwExtract: 99 % (18,446,744,073,709,551,614 of 18,446,744,073,709,551,615 bytes)", 3},
      {"nothing_to_unpack", 0, 0, {{5000, 0}}, false, "", 0},
      {"a_refusing_console_is_not_asked_again", 0, 1000, {{1000, 100}, {2000, 100}}, true, "", 1},
  };
  for (const Case& c : cases) {
    ScreenLine console;
    console.time = c.start;
    console.refuse = c.refuse;
    std::string line;
    {
      harwarchive::Progress progress(c.total, &console);
      for (const Step& step : c.steps) {
        console.time = step.at;
        progress.Add(step.bytes);
      }
      line = console.Shown();
    }  // the end clears it
    EXPECT_EQ(line, c.line) << c.name;
    EXPECT_EQ(console.writes, c.writes) << c.name;
    EXPECT_FALSE(console.line_feed) << c.name << ": redrawn in place";
    EXPECT_EQ(console.Shown(), "") << c.name << ": cleared";
    EXPECT_EQ(console.column, 0u) << c.name << ": a failure's line starts the line";
  }
}

}  // namespace
