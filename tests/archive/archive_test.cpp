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
  const Case cases[] = {{"one_frame", 1, 4 << 20}, {"tiny_chunks", 1, 7}, {"frames_across_files", 5, 4096},
                        {"chunk_of_one_byte", 3, 1}, {"frame_per_byte_range", 40, 1000}};
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
