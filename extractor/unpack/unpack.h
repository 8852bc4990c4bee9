// Unpacking an archive: its folders first, then its files, written while the
// next data is decoded on a thread of its own. The pipeline is portable; the
// Sink decides where the entries go (the extractor's is in file_writer.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive.h"
#include "archive/decode.h"

namespace harwarchive {

/// Bytes of one chunk of decoded data: large enough that a file's bytes reach
/// the system in few writes, small enough that the writer starts soon after
/// the decoder and each chunk's pages are touched while still cached.
inline constexpr std::size_t kChunkSize = 1u << 20;
/// Chunks in the pipeline: one being decoded, one being written, two ready.
inline constexpr std::size_t kChunkCount = 4;

/// Where the entries go. Called from one thread only, in table order.
class Sink {
 public:
  virtual ~Sink() = default;
  /// Makes the folder `entry`.
  virtual bool MakeFolder(const Entry& entry, Problem& problem) = 0;
  /// Writes one piece of the file `entry`: the first has offset 0, the last
  /// (`piece.last`) comes once the whole content matched its checksum.
  virtual bool WritePiece(const Entry& entry, const Piece& piece, const std::uint8_t* data, Problem& problem) = 0;
};

/// Makes every folder of `table`, then decodes its data from `source` on a
/// second thread while this one hands the files to `sink` (on one thread in
/// turns if no thread can be started). True when every entry reached the
/// sink whole; otherwise `problem` holds the first failure, of the decoder or
/// the sink, and both have stopped.
bool Unpack(const Table& table, Source& source, Sink& sink, Problem& problem,
            std::size_t chunk_size = kChunkSize);

}  // namespace harwarchive
