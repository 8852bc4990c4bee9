// The header and the table: reading them with every check, and writing them.
#include <algorithm>
#include <unordered_set>

#include "archive/archive.h"

namespace harwarchive {
namespace {

std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t GetU32(const std::uint8_t* p) { return GetU16(p) | (static_cast<std::uint32_t>(GetU16(p + 2)) << 16); }
std::uint64_t GetU64(const std::uint8_t* p) { return GetU32(p) | (static_cast<std::uint64_t>(GetU32(p + 4)) << 32); }

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  PutU16(out, static_cast<std::uint16_t>(v));
  PutU16(out, static_cast<std::uint16_t>(v >> 16));
}
void PutU64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  PutU32(out, static_cast<std::uint32_t>(v));
  PutU32(out, static_cast<std::uint32_t>(v >> 32));
}

/// a + b, or false when the sum does not fit in 64 bits.
bool AddChecked(std::uint64_t& sum, std::uint64_t value) {
  if (value > UINT64_MAX - sum) return false;
  sum += value;
  return true;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

std::string Hex(std::uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
  return out;
}

bool CheckCounts(const Header& h, Problem& problem) {
  if (h.entry_count == 0 || h.entry_count > kMaxEntries) {
    return Fail(problem, Failure::kDamaged, "the archive names " + Number(h.entry_count) + " entries (1 to " +
                                                Number(kMaxEntries) + " are possible)");
  }
  if (h.frame_count > kMaxFrames) {
    return Fail(problem, Failure::kDamaged, "the archive names " + Number(h.frame_count) + " frames (at most " +
                                                Number(kMaxFrames) + " are possible)");
  }
  if ((h.frame_count == 0) != (h.content_size == 0)) {
    return Fail(problem, Failure::kDamaged, "the archive's " + Number(h.frame_count) + " frames do not fit its " +
                                                Number(h.content_size) + " bytes of content");
  }
  if (h.table_size > kMaxTableSize) {
    return Fail(problem, Failure::kDamaged, "the archive's table of " + Number(h.table_size) +
                                                " bytes is larger than the " + Number(kMaxTableSize) + " allowed");
  }
  const std::uint64_t least = std::uint64_t{h.frame_count} * kFrameRecordSize +
                              std::uint64_t{h.entry_count} * (kEntryFixedSize + 2);
  if (h.table_size < least) {
    return Fail(problem, Failure::kDamaged, "the archive's table of " + Number(h.table_size) +
                                                " bytes cannot hold its entries and frames");
  }
  return true;
}

/// The window must be one the decoder allocates: checked before anything is.
bool CheckWindow(const Header& h, Problem& problem) {
  if (h.window_log > kMaxWindowLog) {
    return Fail(problem, Failure::kDamaged,
                "the archive asks for a decoder window of 2^" + Number(h.window_log) +
                    " bytes; this extractor allows at most 2^" + Number(kMaxWindowLog) + " (128 MiB)");
  }
  if (h.content_size != 0 && h.window_log < kMinWindowLog) {
    return Fail(problem, Failure::kDamaged, "the archive names a decoder window of 2^" + Number(h.window_log) + " bytes");
  }
  return true;
}

bool CheckFits(const Header& h, std::uint64_t available, Problem& problem) {
  std::uint64_t size = kHeaderSize;
  if (!AddChecked(size, h.table_size) || !AddChecked(size, h.data_size) || size > available) {
    return Fail(problem, Failure::kDamaged, "the archive is cut short: it needs " +
                                                (size > available ? Number(size) : std::string("more than 2^64")) +
                                                " bytes and " + Number(available) + " are there");
  }
  return true;
}

/// Reads the frame records; their sizes must add up to the header's.
bool ReadFrames(const Header& h, const std::uint8_t* data, std::vector<Frame>& frames, Problem& problem) {
  std::uint64_t compressed = 0;
  std::uint64_t content = 0;
  frames.resize(h.frame_count);
  for (std::uint32_t i = 0; i < h.frame_count; ++i) {
    Frame& f = frames[i];
    f.compressed_size = GetU64(data + i * kFrameRecordSize);
    f.content_size = GetU64(data + i * kFrameRecordSize + 8);
    if (f.compressed_size == 0 || f.content_size == 0 || !AddChecked(compressed, f.compressed_size) ||
        !AddChecked(content, f.content_size)) {
      return Fail(problem, Failure::kDamaged, "frame " + Number(i) + " of the archive has impossible sizes");
    }
  }
  if (compressed != h.data_size || content != h.content_size) {
    return Fail(problem, Failure::kDamaged, "the archive's frames hold " + Number(compressed) + " bytes for " +
                                                Number(content) + " bytes of content; the header says " +
                                                Number(h.data_size) + " for " + Number(h.content_size));
  }
  return true;
}

/// Reads one entry record at `data` (with `left` bytes of the table left);
/// `used` receives its length.
bool ReadEntry(const std::uint8_t* data, std::size_t left, std::size_t index, Entry& entry, std::size_t& used,
               Problem& problem) {
  const std::string which = "entry " + Number(index);
  if (left < kEntryFixedSize) return Fail(problem, Failure::kDamaged, which + " runs past the archive's table");
  const std::uint8_t kind = data[0];
  const std::size_t units = GetU16(data + 2);
  used = kEntryFixedSize + 2 * units;
  if (used > left) return Fail(problem, Failure::kDamaged, which + " runs past the archive's table");
  if (kind != 1 && kind != 2) return Fail(problem, Failure::kDamaged, which + " is of unknown kind " + Number(kind));
  if (data[1] != 0) {
    return Fail(problem, Failure::kDamaged, which + " sets its reserved byte to " + Number(data[1]) + " (it must be 0)");
  }
  entry.kind = static_cast<Kind>(kind);
  entry.attributes = GetU32(data + 4);
  entry.size = GetU64(data + 8);
  entry.modified = GetU64(data + 16);
  entry.checksum = GetU64(data + 24);
  entry.path.resize(units);
  for (std::size_t i = 0; i < units; ++i) entry.path[i] = static_cast<char16_t>(GetU16(data + kEntryFixedSize + 2 * i));
  if ((entry.attributes & ~kAllowedAttributes) != 0) {
    return Fail(problem, Failure::kDamaged, which + " has attributes " + Hex(entry.attributes) +
                                                " beyond read-only, hidden, system and archive");
  }
  if (entry.kind == Kind::kFolder && (entry.size != 0 || entry.checksum != 0)) {
    return Fail(problem, Failure::kDamaged, which + " is a folder with content");
  }
  return true;
}

/// The folder part of a path ("" at the top).
std::u16string ParentOf(const std::u16string& path) {
  const std::size_t cut = path.rfind(u'\\');
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
}

/// The rules between entries: one top folder, first; every other entry below
/// a folder listed before it; no path twice; the files' sizes add up.
class EntryRules {
 public:
  // The sets are sized once: rehashing a million names took a tenth of reading them.
  explicit EntryRules(const Header& header) : header_(header) { seen_.reserve(header.entry_count); }

  bool Check(std::size_t index, const Entry& entry, Problem& problem) {
    const std::string shown = Quoted(entry.path);
    const std::string path_problem = CheckEntryPath(entry.path, entry.kind);
    if (!path_problem.empty()) return Fail(problem, Failure::kRefusedEntry, "entry " + shown + " " + path_problem);
    const std::u16string parent = ParentOf(entry.path);
    if (index == 0 && (!parent.empty() || entry.kind != Kind::kFolder)) {
      return Fail(problem, Failure::kRefusedEntry, "the archive's first entry " + shown + " is not one top folder");
    }
    if (index != 0 && folders_.count(FoldCase(parent)) == 0) {
      return Fail(problem, Failure::kRefusedEntry, "entry " + shown + " does not lie in a folder listed before it");
    }
    const std::u16string folded = FoldCase(entry.path);
    if (!seen_.insert(folded).second) {
      return Fail(problem, Failure::kRefusedEntry, "entry " + shown + " is listed twice (letter case aside)");
    }
    if (entry.kind == Kind::kFolder) folders_.insert(folded);
    if (entry.kind == Kind::kFile && !AddChecked(content_, entry.size)) {
      return Fail(problem, Failure::kDamaged, "the archive's files are larger than 2^64 bytes together");
    }
    return true;
  }

  bool Finish(Problem& problem) const {
    if (content_ != header_.content_size) {
      return Fail(problem, Failure::kDamaged, "the archive's files hold " + Number(content_) +
                                                  " bytes; its header says " + Number(header_.content_size));
    }
    return true;
  }

 private:
  const Header& header_;
  std::unordered_set<std::u16string> seen_;
  std::unordered_set<std::u16string> folders_;
  std::uint64_t content_ = 0;
};

}  // namespace

bool Fail(Problem& problem, Failure failure, const std::string& message) {
  problem.failure = failure;
  problem.message = message;
  return false;
}

bool ReadHeader(const std::uint8_t* data, std::uint64_t available, Header& header, Problem& problem) {
  if (available < kHeaderSize || !std::equal(kMagic, kMagic + sizeof kMagic, data)) {
    return Fail(problem, Failure::kNoArchive, "no archive follows the extractor's image");
  }
  if (GetU16(data + 8) != kVersion) {
    return Fail(problem, Failure::kDamaged, "the archive has layout version " + Number(GetU16(data + 8)) +
                                                "; this extractor reads version " + Number(kVersion));
  }
  if (GetU16(data + 10) != kHeaderSize) {
    return Fail(problem, Failure::kDamaged, "the archive's header names its size as " + Number(GetU16(data + 10)) +
                                                " bytes; this layout's header has " + Number(kHeaderSize));
  }
  if (Checksum(data, kHeaderSize - 8) != GetU64(data + kHeaderSize - 8)) {
    return Fail(problem, Failure::kDamaged, "the archive's header is damaged (its checksum does not match)");
  }
  if (GetU32(data + 12) != 0) return Fail(problem, Failure::kDamaged, "the archive's header sets unknown flags");
  header.entry_count = GetU32(data + 16);
  header.frame_count = GetU32(data + 20);
  header.table_size = GetU32(data + 24);
  header.window_log = GetU32(data + 28);
  header.content_size = GetU64(data + 32);
  header.data_size = GetU64(data + 40);
  header.table_checksum = GetU64(data + 48);
  return CheckWindow(header, problem) && CheckCounts(header, problem) && CheckFits(header, available, problem);
}

bool ReadTable(const Header& header, const std::uint8_t* data, Table& table, Problem& problem) {
  if (Checksum(data, header.table_size) != header.table_checksum) {
    return Fail(problem, Failure::kDamaged, "the archive's table is damaged (its checksum does not match)");
  }
  table.header = header;
  if (!ReadFrames(header, data, table.frames, problem)) return false;
  std::size_t at = std::size_t{header.frame_count} * kFrameRecordSize;
  EntryRules rules(header);
  table.entries.clear();
  table.entries.reserve(header.entry_count);
  for (std::size_t i = 0; i < header.entry_count; ++i) {
    Entry entry;
    std::size_t used = 0;
    if (!ReadEntry(data + at, header.table_size - at, i, entry, used, problem)) return false;
    if (!rules.Check(i, entry, problem)) return false;
    table.entries.push_back(std::move(entry));
    at += used;
  }
  if (at != header.table_size) {
    return Fail(problem, Failure::kDamaged, "the archive's table has " + Number(header.table_size - at) +
                                                " bytes beyond its last entry");
  }
  return rules.Finish(problem);
}

std::vector<std::uint8_t> EncodeHeader(const Header& header) {
  std::vector<std::uint8_t> out(kMagic, kMagic + sizeof kMagic);
  PutU16(out, kVersion);
  PutU16(out, static_cast<std::uint16_t>(kHeaderSize));
  PutU32(out, 0);
  PutU32(out, header.entry_count);
  PutU32(out, header.frame_count);
  PutU32(out, header.table_size);
  PutU32(out, header.window_log);
  PutU64(out, header.content_size);
  PutU64(out, header.data_size);
  PutU64(out, header.table_checksum);
  PutU64(out, Checksum(out.data(), out.size()));
  return out;
}

std::vector<std::uint8_t> EncodeTable(const std::vector<Frame>& frames, const std::vector<Entry>& entries) {
  std::vector<std::uint8_t> out;
  for (const Frame& frame : frames) {
    PutU64(out, frame.compressed_size);
    PutU64(out, frame.content_size);
  }
  for (const Entry& entry : entries) {
    out.push_back(static_cast<std::uint8_t>(entry.kind));
    out.push_back(0);
    PutU16(out, static_cast<std::uint16_t>(entry.path.size()));
    PutU32(out, entry.attributes);
    PutU64(out, entry.size);
    PutU64(out, entry.modified);
    PutU64(out, entry.checksum);
    for (char16_t c : entry.path) PutU16(out, static_cast<std::uint16_t>(c));
  }
  return out;
}

}  // namespace harwarchive
