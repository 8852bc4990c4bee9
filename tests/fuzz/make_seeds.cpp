// Writes the fuzz target's seed corpus into a folder: a handful of
// well-formed archives, each reaching a different part of the reader,
// compressed with the system's zstd and encoded with the project's own
// encoder, as the packer writes them; and every row of the hostile archives
// table (tests/archive) but the largest, each a step past one rule, which
// leads the fuzzer to the edges of the checks. Usage: make_seeds <folder>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "tests/archive/hostile_archives.h"

namespace {

using harwarchive::Kind;
using Bytes = std::vector<std::uint8_t>;

/// One folder or file of a seed.
struct Item {
  Kind kind;
  std::u16string path;
  std::string content;
  std::uint32_t attributes = 0;
};

/// One seed archive and how its content is compressed.
struct Seed {
  const char* name;
  std::vector<Item> items;
  std::size_t frame_content = 0;  ///< content bytes per frame; 0: one frame
  int window_log = 17;
  bool behind_image = false;      ///< written behind an extractor image, as the packer writes it
};

Item Folder(const std::u16string& path) { return {Kind::kFolder, path, ""}; }
Item File(const std::u16string& path, const std::string& content, std::uint32_t attributes = 0) {
  return {Kind::kFile, path, content, attributes};
}

/// Lines of text that compress well: repeats for zstd's matches.
std::string Text(const std::string& line, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += line + " " + std::to_string(i % 37) + "\n";
  return text;
}

/// Bytes that do not compress: raw blocks and literals.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

/// Compresses `size` bytes at `source` into one frame, its size pledged so
/// that the frame names it, as every frame of an archive must.
std::string CompressFrame(ZSTD_CCtx* context, const char* source, std::size_t size, Bytes& data) {
  std::size_t result = ZSTD_CCtx_reset(context, ZSTD_reset_session_only);
  if (!ZSTD_isError(result)) result = ZSTD_CCtx_setPledgedSrcSize(context, size);
  if (ZSTD_isError(result)) return std::string("starting a zstd frame failed: ") + ZSTD_getErrorName(result);
  Bytes frame(ZSTD_compressBound(size) + ZSTD_CStreamOutSize());
  ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
  ZSTD_inBuffer in = {source, size, 0};
  result = ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
  while (!ZSTD_isError(result) && in.pos == size) {
    result = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
    if (result == 0) {
      data.insert(data.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(out.pos));
      return "";
    }
    if (out.pos == out.size) return "ZSTD_compressStream2 ran out of room";
  }
  const char* why = ZSTD_isError(result) ? ZSTD_getErrorName(result) : "input left";
  return std::string("ZSTD_compressStream2 failed: ") + why;
}

/// Compresses `content` into frames of at most seed.frame_content bytes each.
std::string Compress(const Seed& seed, const std::string& content, std::vector<harwarchive::Frame>& frames,
                     Bytes& data) {
  std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
  if (!context) return "ZSTD_createCCtx failed";
  const std::pair<ZSTD_cParameter, int> settings[] = {
      {ZSTD_c_compressionLevel, 3},
      {ZSTD_c_windowLog, seed.window_log},
      {ZSTD_c_checksumFlag, 1},
      {ZSTD_c_contentSizeFlag, 1},
  };
  for (const auto& [parameter, value] : settings) {
    const std::size_t result = ZSTD_CCtx_setParameter(context.get(), parameter, value);
    if (ZSTD_isError(result)) return std::string("ZSTD_CCtx_setParameter failed: ") + ZSTD_getErrorName(result);
  }
  const std::size_t step = seed.frame_content != 0 ? seed.frame_content : content.size();
  for (std::size_t at = 0; at < content.size(); at += step) {
    const std::size_t size = std::min(step, content.size() - at);
    const std::size_t before = data.size();
    const std::string error = CompressFrame(context.get(), content.data() + at, size, data);
    if (!error.empty()) return error;
    frames.push_back({data.size() - before, size});
  }
  return "";
}

/// The archive's bytes: header, table, data.
std::string Build(const Seed& seed, Bytes& archive) {
  std::vector<harwarchive::Entry> entries;
  std::string content;
  for (const Item& item : seed.items) {
    harwarchive::Entry entry;
    entry.kind = item.kind;
    entry.attributes = item.attributes;
    entry.modified = 133000000000000000ull;  // 2022-06-15
    entry.path = item.path;
    if (item.kind == Kind::kFile) {
      entry.size = item.content.size();
      entry.checksum = harwarchive::Checksum(item.content.data(), item.content.size());
      content += item.content;
    }
    entries.push_back(entry);
  }
  std::vector<harwarchive::Frame> frames;
  Bytes data;
  const std::string error = Compress(seed, content, frames, data);
  if (!error.empty()) return error;
  const Bytes table = harwarchive::EncodeTable(frames, entries);
  harwarchive::Header header;
  header.entry_count = static_cast<std::uint32_t>(entries.size());
  header.frame_count = static_cast<std::uint32_t>(frames.size());
  header.table_size = static_cast<std::uint32_t>(table.size());
  header.window_log = frames.empty() ? 0 : static_cast<std::uint32_t>(seed.window_log);
  header.content_size = content.size();
  header.data_size = data.size();
  header.table_checksum = harwarchive::Checksum(table.data(), table.size());
  archive = harwarchive::EncodeHeader(header);
  archive.insert(archive.end(), table.begin(), table.end());
  archive.insert(archive.end(), data.begin(), data.end());
  return "";
}

void Put(Bytes& bytes, std::size_t at, std::uint32_t value, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, value >>= 8) bytes[at + i] = static_cast<std::uint8_t>(value);
}

/// `archive` behind the smallest PE32+ image LocateArchive reads (one section
/// of 0x200 bytes at 0x200), followed by a certificate table as signing appends it.
Bytes BehindImage(const Bytes& archive) {
  constexpr std::size_t kPe = 0x40, kOptional = kPe + 24, kSections = kOptional + 0xF0;
  constexpr std::size_t kCertificateSize = 16;
  Bytes image(0x400, 0);
  Put(image, 0, 'M' | 'Z' << 8, 2);
  Put(image, 0x3C, kPe, 4);
  Put(image, kPe, 0x00004550, 4);        // "PE\0\0"
  Put(image, kPe + 4, 0x8664, 2);        // x86-64
  Put(image, kPe + 6, 1, 2);             // one section
  Put(image, kPe + 20, 0xF0, 2);         // the optional header's size
  Put(image, kOptional, 0x20B, 2);       // PE32+
  Put(image, kOptional + 108, 16, 4);    // data directories
  Put(image, kOptional + 144, static_cast<std::uint32_t>(0x400 + archive.size()), 4);  // the certificate table
  Put(image, kOptional + 148, kCertificateSize, 4);
  Put(image, kSections + 16, 0x200, 4);  // raw size
  Put(image, kSections + 20, 0x200, 4);  // raw offset
  image.insert(image.end(), archive.begin(), archive.end());
  image.resize(image.size() + kCertificateSize, 0);
  return image;
}

/// The seeds, one per shape of archive the reader must take.
std::vector<Seed> Seeds() {
  const std::u16string top = u"Setup";
  const std::u16string donnees = u"Setup\\Donn\u00E9es";
  return {
      {"folder_only", {Folder(top)}},
      {"folders_and_files",
       {Folder(top), Folder(u"Setup\\Bin"), Folder(u"Setup\\Docs"),
        File(u"Setup\\readme.txt", Text("Read me", 60), 0x01),
        File(u"Setup\\Bin\\tool.dat", Noise(3000, 7), 0x02 | 0x20),
        File(u"Setup\\Docs\\guide.txt", Text("Guide", 500))}},
      {"empty_files",
       {Folder(top), File(u"Setup\\empty.txt", ""), File(u"Setup\\one.txt", "1"), Folder(u"Setup\\Logs"),
        File(u"Setup\\Logs\\a.log", ""), File(u"Setup\\Logs\\b.log", "")}},
      {"several_frames",
       {Folder(top), File(u"Setup\\a.txt", Text("Alpha", 200)), File(u"Setup\\b.bin", Noise(2000, 11)),
        File(u"Setup\\c.txt", Text("Gamma", 150)), File(u"Setup\\d.bin", Noise(1500, 13))},
       2500},
      {"file_spanning_frames", {Folder(top), File(u"Setup\\big.txt", Text("A line of a large file", 900))},
       8192, 12},
      {"non_ascii_names",
       {Folder(top), Folder(donnees), File(donnees + u"\\r\u00E9sum\u00E9.txt", Text("R\xC3\xA9sum\xC3\xA9", 40)),
        File(u"Setup\\\u65E5\u672C\u8A9E.txt", Text("Nihongo", 30)),
        File(u"Setup\\\U0001F4E6 package.bin", Noise(700, 3))}},
      {"extractor_image",
       {Folder(top), Folder(u"Setup\\Bin"), File(u"Setup\\Bin\\tool.dat", Noise(900, 5)),
        File(u"Setup\\readme.txt", Text("Read me", 40))},
       0, 17, true},
      {"largest_window", {Folder(top), File(u"Setup\\data.txt", Text("The largest window", 100))},
       0, static_cast<int>(harwarchive::kMaxWindowLog)},
  };
}

bool WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

/// Bytes the fuzzer reads of an input at most (scripts/fuzz.sh, -max_len).
constexpr std::size_t kLongestSeed = 32768;

/// Writes the hostile rows that fit in kLongestSeed as seeds "hostile_<name>".
bool WriteHostileSeeds(const std::filesystem::path& folder) {
  for (const harwtest_archive::HostileCase& c : harwtest_archive::HostileArchives()) {
    if (c.large) continue;
    const std::string archive = harwtest_archive::BuildArchive(c.spec);
    if (archive.size() > kLongestSeed) continue;
    const std::filesystem::path path = folder / ("hostile_" + c.name);
    if (!WriteFile(path, Bytes(archive.begin(), archive.end()))) {
      std::fprintf(stderr, "make_seeds: writing %s failed\n", path.string().c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <folder>\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    std::fprintf(stderr, "make_seeds: create_directories(%s) failed: %s\n", argv[1], code.message().c_str());
    return 1;
  }
  for (const Seed& seed : Seeds()) {
    Bytes archive;
    const std::string error = Build(seed, archive);
    if (!error.empty()) {
      std::fprintf(stderr, "make_seeds: %s: %s\n", seed.name, error.c_str());
      return 1;
    }
    const std::filesystem::path path = folder / seed.name;
    if (!WriteFile(path, seed.behind_image ? BehindImage(archive) : archive)) {
      std::fprintf(stderr, "make_seeds: writing %s failed\n", path.string().c_str());
      return 1;
    }
  }
  return WriteHostileSeeds(folder) ? 0 : 1;
}
