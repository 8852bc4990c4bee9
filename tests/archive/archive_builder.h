// Archives made field by field for the tests: well-formed as the packer
// writes them, or damaged at any layer (a name, a size, a record, the
// compressed bytes, a checksum). Compiled natively and in the Windows trees.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace harwtest_archive {

/// One folder or file of an archive to make.
struct Item {
  std::u16string path;     ///< with '\' between the parts
  std::string content;     ///< a file's bytes ("" for a folder)
  harwarchive::Kind kind = harwarchive::Kind::kFile;
  std::uint32_t attributes = 0;
  std::uint64_t modified = 133000000000000000ull;  ///< 2022-06-15, 100 ns ticks since 1601
};

/// The parts of an archive before they are encoded; a case may change them.
struct Parts {
  harwarchive::Header header;
  std::vector<harwarchive::Frame> frames;
  std::vector<harwarchive::Entry> entries;
  std::string data;  ///< the compressed frames, one after another
};

/// How to make an archive, and where to damage it.
struct ArchiveSpec {
  std::vector<Item> items;
  unsigned frames = 1;                 ///< frames the content is split into (when there is content)
  int window_log = 20;                 ///< the compressor's window
  bool frame_sizes = true;             ///< the frames name their content size
  bool frame_checksums = true;         ///< the frames carry zstd's content checksum
  /// When not 0, the frames name this window (and their size apart) instead
  /// of one segment as large as their content.
  unsigned frame_window_log = 0;
  /// Changes the parts after compression, before the table and header are encoded with their checksums.
  std::function<void(Parts&)> edit;
  /// Changes the encoded archive (the checksums no longer hold, unless it fixes them).
  std::function<void(std::string&)> damage;
};

/// A folder item.
Item Folder(const std::u16string& path);
/// A file item.
Item File(const std::u16string& path, const std::string& content);

/// The archive's bytes: header, table, data.
std::string BuildArchive(const ArchiveSpec& spec);

/// `size` bytes that do not compress.
std::string Noise(std::size_t size, std::uint32_t seed);

}  // namespace harwtest_archive
