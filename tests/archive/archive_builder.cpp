#include "tests/archive/archive_builder.h"

#include <stdexcept>

#include <zstd.h>

namespace harwtest_archive {
namespace {

/// One zstd frame of `content` with the window 2^window_log, its size and checksum inside.
std::string Compress(const std::string& content, int window_log) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  const std::size_t size = ZSTD_compress2(context, &frame[0], frame.size(), content.data(), content.size());
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(size)) throw std::runtime_error(ZSTD_getErrorName(size));
  frame.resize(size);
  return frame;
}

}  // namespace

Item Folder(const std::u16string& path) { return Item{path, "", harwarchive::Kind::kFolder}; }

Item File(const std::u16string& path, const std::string& content) { return Item{path, content}; }

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed | 1;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state);
  }
  return bytes;
}

std::string BuildArchive(const ArchiveSpec& spec) {
  Parts parts;
  std::string content;
  for (const Item& item : spec.items) {
    harwarchive::Entry entry{item.kind, item.attributes, item.content.size(), item.modified, 0, item.path};
    if (item.kind == harwarchive::Kind::kFile) {
      entry.checksum = harwarchive::Checksum(item.content.data(), item.content.size());
      content += item.content;
    } else {
      entry.modified = 0;
    }
    parts.entries.push_back(entry);
  }
  const std::size_t frames = content.empty() ? 0 : spec.frames;
  for (std::size_t i = 0, at = 0; i < frames; ++i) {
    const std::size_t size = i + 1 == frames ? content.size() - at : content.size() / frames;
    const std::string frame = Compress(content.substr(at, size), spec.window_log);
    parts.frames.push_back({frame.size(), size});
    parts.data += frame;
    at += size;
  }
  parts.header.entry_count = static_cast<std::uint32_t>(parts.entries.size());
  parts.header.frame_count = static_cast<std::uint32_t>(parts.frames.size());
  parts.header.window_log = frames == 0 ? 0 : static_cast<std::uint32_t>(spec.window_log);
  parts.header.content_size = content.size();
  parts.header.data_size = parts.data.size();
  if (spec.edit) spec.edit(parts);
  const std::vector<std::uint8_t> table = harwarchive::EncodeTable(parts.frames, parts.entries);
  parts.header.table_size = static_cast<std::uint32_t>(table.size());
  parts.header.table_checksum = harwarchive::Checksum(table.data(), table.size());
  const std::vector<std::uint8_t> header = harwarchive::EncodeHeader(parts.header);
  std::string archive(header.begin(), header.end());
  archive.append(table.begin(), table.end());
  archive += parts.data;
  if (spec.damage) spec.damage(archive);
  return archive;
}

}  // namespace harwtest_archive
