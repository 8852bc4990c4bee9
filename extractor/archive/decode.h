// Decoding an archive's data: the zstd frames in order, each held to the size
// its record gives, the bytes handed out as pieces of the files in table
// order, and every file's checksum compared before its last piece is handed
// out. Portable; the extractor runs it on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/archive.h"

namespace harwarchive {

/// Where the data section comes from: its bytes, in order.
class Source {
 public:
  virtual ~Source() = default;
  /// Reads exactly `size` bytes into `buffer`; false, with `problem` set, when it cannot.
  virtual bool Read(std::uint8_t* buffer, std::size_t size, Problem& problem) = 0;
};

/// Bytes of one file in a chunk.
struct Piece {
  std::size_t entry = 0;    ///< index of the file in table.entries
  std::uint64_t offset = 0; ///< where the bytes go in the file
  std::size_t begin = 0;    ///< where they are in the chunk
  std::size_t size = 0;     ///< how many (0 for an empty file)
  bool last = false;        ///< the file is complete with these, and its checksum matched
};

/// Decoded bytes and the pieces of files they are.
struct Chunk {
  std::vector<std::uint8_t> data;  ///< its size is the chunk's capacity
  std::size_t used = 0;            ///< bytes decoded into it
  std::vector<Piece> pieces;       ///< in file order
};

/// Decodes the data of one archive.
class Decoder {
 public:
  /// Decodes `table`'s data as read from `source`; neither may go before the decoder.
  Decoder(const Table& table, Source& source);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  /// Fills `chunk` anew with the next decoded bytes and their pieces. False,
  /// with `problem` set, when the data is damaged or the decoder cannot get
  /// its memory; done() once every file's last piece was handed out.
  bool Next(Chunk& chunk, Problem& problem);
  /// True when all data was decoded and every file completed.
  bool done() const { return file_ == files_.size() && !in_frame_; }

 private:
  bool StartFrame(Problem& problem);
  bool DecodeInto(Chunk& chunk, Problem& problem);
  bool EndFrame(Problem& problem);
  bool ReadInput(Problem& problem);
  bool Account(Chunk& chunk, std::size_t from, std::size_t to, Problem& problem);
  void SkipEmptyFiles(Chunk& chunk, Problem& problem, bool& ok);

  const Table& table_;
  Source& source_;
  std::vector<std::size_t> files_;  // indexes of the file entries, in table order
  void* context_ = nullptr;         // the zstd decompression context
  std::vector<std::uint8_t> input_;
  std::size_t input_used_ = 0;      // bytes of input_ read from the source
  std::size_t input_pos_ = 0;       // bytes of input_ the decoder took
  std::size_t frame_ = 0;           // the frame being decoded
  bool in_frame_ = false;
  std::uint64_t frame_input_left_ = 0;   // compressed bytes of the frame not yet read
  std::uint64_t frame_output_left_ = 0;  // bytes the frame has yet to decode to
  std::size_t file_ = 0;            // position in files_
  std::uint64_t file_offset_ = 0;   // bytes of that file decoded so far
  RunningChecksum checksum_;
  const std::uint64_t empty_checksum_ = Checksum(nullptr, 0);
};

}  // namespace harwarchive
