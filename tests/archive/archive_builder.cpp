#include "tests/archive/archive_builder.h"

#include <memory>
#include <stdexcept>

#include <zstd.h>

namespace harwtest_archive {
namespace {

struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

/// Compresses without telling zstd the size, so that the frame names its
/// window and no content size.
std::string CompressUnsized(ZSTD_CCtx* context, const std::string& content) {
  std::string frame(ZSTD_compressBound(content.size()) + ZSTD_CStreamOutSize(), '\0');
  ZSTD_outBuffer out = {&frame[0], frame.size(), 0};
  ZSTD_inBuffer in = {content.data(), content.size(), 0};
  std::size_t left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
  while (!ZSTD_isError(left) && (left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end)) != 0) {
    if (ZSTD_isError(left) || out.pos == out.size) throw std::runtime_error("ZSTD_compressStream2 failed");
  }
  if (ZSTD_isError(left)) throw std::runtime_error(ZSTD_getErrorName(left));
  frame.resize(out.pos);
  return frame;
}

/// One zstd frame of `content` as `spec` asks: its window, size and checksum.
std::string Compress(const std::string& content, const ArchiveSpec& spec) {
  std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, spec.window_log);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, spec.frame_checksums ? 1 : 0);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, spec.frame_sizes ? 1 : 0);
  if (spec.frame_window_log != 0) {
    std::string frame = CompressUnsized(context.get(), content);
    // RFC 8878: byte 4 the descriptor (no size, not one segment), byte 5 the window.
    frame[5] = static_cast<char>((spec.frame_window_log - 10) << 3);
    if (spec.frame_sizes) {
      frame[4] = static_cast<char>(frame[4] | 0xC0);  // an eight-byte content size after the window
      std::string size;
      for (std::uint64_t v = content.size(), i = 0; i < 8; ++i, v >>= 8) size.push_back(static_cast<char>(v));
      frame.insert(6, size);
    }
    return frame;
  }
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  const std::size_t size = ZSTD_compress2(context.get(), &frame[0], frame.size(), content.data(), content.size());
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
    const std::string frame = Compress(content.substr(at, size), spec);
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
