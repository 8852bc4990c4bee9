// libFuzzer target for the archive reader: every input is read as an archive
// (header, table, then the data unpacked through the two-thread pipeline into
// a sink that checks each promise the pipeline makes, and every frame's header
// when it unpacked), and as an extractor
// image whose archive, if LocateArchive finds one, is read the same way.
// A broken promise traps, so libFuzzer keeps the input as a crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/decode.h"
#include "unpack/unpack.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

namespace {

using harwarchive::Entry;
using harwarchive::Failure;
using harwarchive::Kind;
using harwarchive::Problem;
using harwarchive::Table;

/// Small, so that files of a few KiB cross chunk boundaries.
constexpr std::size_t kFuzzChunkSize = 4096;
/// Decoded bytes the sink takes before it refuses: a few bytes of RLE blocks
/// decode to megabytes, which teach nothing new and slow every run; and the
/// refusal itself drives the pipeline's writer-failure path.
constexpr std::uint64_t kSinkBudget = 1u << 20;
constexpr char kSinkRefusal[] = "the fuzz sink takes no more bytes";

/// Names the broken promise, then traps, so that libFuzzer keeps the input.
[[noreturn]] void Broken(const char* promise, int line) {
  std::fprintf(stderr, "archive_fuzz.cpp:%d: broken: %s\n", line, promise);
  __builtin_trap();
}
#define REQUIRE(promise) ((promise) ? void() : Broken(#promise, __LINE__))

/// The data section from memory; asking for more than the header's data size
/// breaks the decoder's promise to read only what the frame records name.
class MemorySource : public harwarchive::Source {
 public:
  MemorySource(const std::uint8_t* data, std::uint64_t size) : data_(data), left_(size) {}

  bool Read(std::uint8_t* buffer, std::size_t size, Problem&) override {
    REQUIRE(size <= left_);
    if (size != 0) std::memcpy(buffer, data_, size);
    data_ += size;
    left_ -= size;
    return true;
  }

  std::uint64_t left() const { return left_; }

 private:
  const std::uint8_t* data_;
  std::uint64_t left_;
};

/// Checks what reaches it: folders first, each a folder entry, in table order;
/// then the files in table order, each in pieces at increasing offsets that
/// stay within its size, its last piece once and only after its content
/// matched its checksum.
class CheckingSink : public harwarchive::Sink {
 public:
  explicit CheckingSink(const Table& table) : table_(table) {
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
      (table.entries[i].kind == Kind::kFile ? files_ : folders_).push_back(i);
    }
  }

  bool MakeFolder(const Entry& entry, Problem&) override {
    REQUIRE(folder_ < folders_.size() && &entry == &table_.entries[folders_[folder_]]);
    REQUIRE(file_ == 0 && offset_ == 0);
    ++folder_;
    return true;
  }

  bool WritePiece(const Entry& entry, const harwarchive::Piece& piece, const std::uint8_t* data,
                  Problem& problem) override {
    REQUIRE(folder_ == folders_.size() && file_ < files_.size());
    REQUIRE(piece.entry == files_[file_] && &entry == &table_.entries[piece.entry]);
    REQUIRE(piece.offset == offset_ && piece.size <= entry.size - offset_);
    if (taken_ + piece.size > kSinkBudget) {
      refused_ = true;
      return harwarchive::Fail(problem, Failure::kWriteFailed, kSinkRefusal);
    }
    taken_ += piece.size;
    checksum_.Add(data, piece.size);  // reads every byte: a piece outside its chunk is caught by ASan
    offset_ += piece.size;
    if (piece.last) {
      REQUIRE(offset_ == entry.size && checksum_.Value() == entry.checksum);
      ++file_;
      offset_ = 0;
      checksum_ = harwarchive::RunningChecksum();
    }
    return true;
  }

  /// True when every folder was made and every file completed.
  bool complete() const { return folder_ == folders_.size() && file_ == files_.size(); }
  /// True when it refused a piece, over its budget.
  bool refused() const { return refused_; }

 private:
  const Table& table_;
  std::vector<std::size_t> folders_;
  std::vector<std::size_t> files_;
  std::size_t folder_ = 0;
  std::size_t file_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t taken_ = 0;
  bool refused_ = false;
  harwarchive::RunningChecksum checksum_;
};

/// A look of its own at every frame of an archive that unpacked: a zstd
/// frame that names its record's content size and carries a checksum, its
/// window within the archive's.
void RequireFramesKept(const Table& table, const std::uint8_t* data) {
  for (const harwarchive::Frame& frame : table.frames) {
    ZSTD_frameHeader header;
    REQUIRE(ZSTD_getFrameHeader(&header, data, static_cast<std::size_t>(frame.compressed_size)) == 0);
    REQUIRE(header.frameType == ZSTD_frame && header.frameContentSize == frame.content_size);
    REQUIRE(header.checksumFlag != 0 && header.windowSize <= (std::uint64_t{1} << table.header.window_log));
    data += frame.compressed_size;
  }
}

/// Unpacks `table` with its data section at `data` and checks the outcome:
/// success only with every entry whole and every byte of data read, and a
/// failure that is the sink's when the sink refused, else the decoder's.
void CheckUnpack(const Table& table, const std::uint8_t* data) {
  MemorySource source(data, table.header.data_size);
  CheckingSink sink(table);
  Problem problem;
  if (harwarchive::Unpack(table, source, sink, problem, kFuzzChunkSize)) {
    REQUIRE(sink.complete() && source.left() == 0 && problem.failure == Failure::kNone);
    RequireFramesKept(table, data);
  } else if (sink.refused()) {
    REQUIRE(problem.failure == Failure::kWriteFailed && problem.message == kSinkRefusal);
  } else {
    REQUIRE((problem.failure == Failure::kDamaged || problem.failure == Failure::kNoMemory) &&
            !problem.message.empty());
  }
}

/// A look of its own at the rule that matters most, apart from the reader's
/// name checks: no path reaches outside the folder it is unpacked in.
bool StaysBelow(const std::u16string& path) {
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(path.find(u'\\', start), path.size());
    const std::u16string part = path.substr(start, end - start);
    if (part.empty() || part == u"." || part == u".." || part.find_first_of(u":/") != std::u16string::npos) {
      return false;
    }
    if (end == path.size()) return true;
    start = end + 1;
  }
}

/// Reads `archive` as the extractor does, and unpacks it where header and table hold.
void ReadArchive(const std::vector<std::uint8_t>& archive) {
  harwarchive::Header header;
  Problem problem;
  if (!harwarchive::ReadHeader(archive.data(), archive.size(), header, problem)) {
    REQUIRE(problem.failure == Failure::kNoArchive || problem.failure == Failure::kDamaged);
    return;
  }
  Table table;
  if (!harwarchive::ReadTable(header, archive.data() + harwarchive::kHeaderSize, table, problem)) {
    REQUIRE(problem.failure == Failure::kDamaged || problem.failure == Failure::kRefusedEntry);
    return;
  }
  REQUIRE(table.entries.size() == header.entry_count && table.frames.size() == header.frame_count);
  for (const Entry& entry : table.entries) REQUIRE(StaysBelow(entry.path));
  CheckUnpack(table, archive.data() + harwarchive::kHeaderSize + header.table_size);
}

/// The little-endian value of `count` bytes at `at`.
std::uint64_t Load(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = count; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

/// Stores `value` little-endian at `at`; true when that changed the bytes.
bool Store(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value) {
  bool changed = false;
  for (std::size_t i = 0; i < 8; ++i, value >>= 8) {
    changed |= bytes[at + i] != static_cast<std::uint8_t>(value);
    bytes[at + i] = static_cast<std::uint8_t>(value);
  }
  return changed;
}

/// Makes the header's and the table's checksums match (the fields where
/// layout.cpp reads them); true when that changed anything. libFuzzer cannot
/// forge XXH64, and without this nearly every mutation would stop at the
/// header. The files' checksums it finds itself, from the compared values.
bool RepairChecksums(std::vector<std::uint8_t>& archive) {
  if (archive.size() < harwarchive::kHeaderSize) return false;
  const std::uint64_t table_size = Load(archive, 24, 4);
  bool changed = false;
  if (table_size <= archive.size() - harwarchive::kHeaderSize) {
    changed = Store(archive, 48, harwarchive::Checksum(archive.data() + harwarchive::kHeaderSize, table_size));
  }
  const std::size_t covered = harwarchive::kHeaderSize - 8;
  return Store(archive, covered, harwarchive::Checksum(archive.data(), covered)) || changed;
}

/// Reads the bytes as an archive, then once more with its checksums repaired.
void ReadAsArchive(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> archive(data, data + size);  // exactly sized: ASan sees any read past it
  ReadArchive(archive);
  if (RepairChecksums(archive)) ReadArchive(archive);
}

/// Reads the bytes as an extractor image, and the archive behind it if it has one.
void ReadAsImage(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> head(data, data + std::min(size, harwarchive::kImageHeadSize));
  harwarchive::Placement placement;
  Problem problem;
  if (!harwarchive::LocateArchive(head.data(), head.size(), size, placement, problem)) {
    REQUIRE(problem.failure == Failure::kNoArchive && !problem.message.empty());
    return;
  }
  REQUIRE(placement.start <= size && placement.available <= size - placement.start);
  if (placement.start != 0) ReadAsArchive(data + placement.start, static_cast<std::size_t>(placement.available));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReadAsArchive(data, size);
  ReadAsImage(data, size);
  return 0;
}
