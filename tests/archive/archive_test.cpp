// The archive code as the extractor runs it, natively: well-formed archives
// unpacked whole through chunks of any size, and a table of hostile ones
// refused with the failure and message the extractor would end with, before
// anything is written where the table alone tells.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/decode.h"
#include "tests/archive/archive_builder.h"
#include "tests/archive/hostile_archives.h"
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

struct Unpacked {
  harwarchive::Problem problem;
  bool table_read = false;
  RecordingSink sink;
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
  harwarchive::Unpack(table, source, result.sink, result.problem, chunk);
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

}  // namespace
