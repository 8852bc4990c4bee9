#include "archive/decode.h"

#include <algorithm>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader and the error codes are not in the stable API
#include <zstd.h>
#include <zstd_errors.h>

namespace harwarchive {
namespace {

/// Compressed bytes read from the source at a time.
constexpr std::size_t kInputSize = 128 * 1024;

ZSTD_DCtx* Context(void* context) { return static_cast<ZSTD_DCtx*>(context); }

/// The failure a zstd error stands for: memory, or damaged data.
bool FailDecoding(std::size_t result, std::size_t frame, Problem& problem) {
  const ZSTD_ErrorCode code = ZSTD_getErrorCode(result);
  if (code == ZSTD_error_memory_allocation) {
    return Fail(problem, Failure::kNoMemory, "not enough memory to decode the archive");
  }
  return Fail(problem, Failure::kDamaged,
              "frame " + std::to_string(frame) + " is damaged (zstd: " + ZSTD_getErrorName(result) + ")");
}

/// Holds a frame's zstd header to the format before any of its bytes are
/// decoded: zstd takes frames without a content size or checksum, and checks
/// the window only when a frame does not lie whole in its input.
bool CheckFrameHeader(const std::uint8_t* bytes, std::size_t size, const Frame& record, unsigned window_log,
                      std::size_t index, Problem& problem) {
  const std::string which = "frame " + std::to_string(index);
  ZSTD_frameHeader header;
  const std::size_t result = ZSTD_getFrameHeader(&header, bytes, size);
  if (ZSTD_isError(result)) {
    return Fail(problem, Failure::kDamaged, which + " is not a zstd frame (zstd: " + ZSTD_getErrorName(result) + ")");
  }
  if (result != 0) return Fail(problem, Failure::kDamaged, which + " is too short to hold its zstd frame header");
  if (header.frameType != ZSTD_frame) return Fail(problem, Failure::kDamaged, which + " is a skippable frame");
  if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    return Fail(problem, Failure::kDamaged, which + " does not name its content size");
  }
  if (header.frameContentSize != record.content_size) {
    return Fail(problem, Failure::kDamaged, which + " names " + std::to_string(header.frameContentSize) +
                                                " bytes of content; its record says " +
                                                std::to_string(record.content_size));
  }
  if (header.checksumFlag == 0) return Fail(problem, Failure::kDamaged, which + " carries no content checksum");
  // A single-segment frame's window is its content size (zstd sets it so).
  if (header.windowSize > (std::uint64_t{1} << window_log)) {
    return Fail(problem, Failure::kDamaged, which + " asks for a decoder window of " +
                                                std::to_string(header.windowSize) +
                                                " bytes, more than the 2^" + std::to_string(window_log) +
                                                " the archive names");
  }
  return true;
}

}  // namespace

Decoder::Decoder(const Table& table, Source& source) : table_(table), source_(source) {
  for (std::size_t i = 0; i < table.entries.size(); ++i) {
    if (table.entries[i].kind == Kind::kFile) files_.push_back(i);
  }
}

Decoder::~Decoder() { ZSTD_freeDCtx(Context(context_)); }

bool Decoder::ReadInput(Problem& problem) {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(input_.size(), frame_input_left_));
  if (!source_.Read(input_.data(), want, problem)) return false;
  input_used_ = want;
  input_pos_ = 0;
  frame_input_left_ -= want;
  return true;
}

bool Decoder::StartFrame(Problem& problem) {
  if (frame_ == table_.frames.size()) {
    return Fail(problem, Failure::kDamaged, "the archive's data ends before its files do");
  }
  if (context_ == nullptr) {
    context_ = ZSTD_createDCtx();
    input_.resize(kInputSize);
    if (context_ == nullptr) return Fail(problem, Failure::kNoMemory, "not enough memory to decode the archive");
    // The header's window was checked against the largest this extractor
    // allows, and every frame's against the header's; zstd holds to it too.
    const std::size_t set = ZSTD_DCtx_setParameter(Context(context_), ZSTD_d_windowLogMax,
                                                   static_cast<int>(table_.header.window_log));
    if (ZSTD_isError(set)) return FailDecoding(set, frame_, problem);
  }
  ZSTD_DCtx_reset(Context(context_), ZSTD_reset_session_only);
  frame_input_left_ = table_.frames[frame_].compressed_size;
  frame_output_left_ = table_.frames[frame_].content_size;
  input_used_ = input_pos_ = 0;
  in_frame_ = true;
  // The frame's first bytes are read now, so that its header is checked
  // before anything of it is decoded.
  return ReadInput(problem) && CheckFrameHeader(input_.data(), input_used_, table_.frames[frame_],
                                                table_.header.window_log, frame_, problem);
}

/// The frame ended in zstd's view: it must have used exactly its record's bytes.
bool Decoder::EndFrame(Problem& problem) {
  if (frame_output_left_ != 0 || frame_input_left_ != 0 || input_pos_ != input_used_) {
    return Fail(problem, Failure::kDamaged, "frame " + std::to_string(frame_) +
                                                " does not match its record: its sizes are not those the table gives");
  }
  in_frame_ = false;
  ++frame_;
  return true;
}

void Decoder::SkipEmptyFiles(Chunk& chunk, Problem& problem, bool& ok) {
  while (ok && file_ < files_.size() && table_.entries[files_[file_]].size == 0) {
    const Entry& entry = table_.entries[files_[file_]];
    if (entry.checksum != empty_checksum_) {
      ok = Fail(problem, Failure::kDamaged, "the empty file " + Quoted(entry.path) + " has a checksum of content");
      return;
    }
    chunk.pieces.push_back(Piece{files_[file_], 0, chunk.used, 0, true});
    ++file_;
  }
}

/// Hands bytes [from, to) of the chunk out as pieces of the files in order.
bool Decoder::Account(Chunk& chunk, std::size_t from, std::size_t to, Problem& problem) {
  bool ok = true;
  while (ok && from < to) {
    if (file_ == files_.size()) return Fail(problem, Failure::kDamaged, "the archive's data outlasts its files");
    const Entry& entry = table_.entries[files_[file_]];
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(entry.size - file_offset_, to - from));
    checksum_.Add(chunk.data.data() + from, take);
    const bool last = file_offset_ + take == entry.size;
    if (last && checksum_.Value() != entry.checksum) {
      return Fail(problem, Failure::kDamaged, "the content of " + Quoted(entry.path) + " does not match its checksum");
    }
    chunk.pieces.push_back(Piece{files_[file_], file_offset_, from, take, last});
    file_offset_ += take;
    from += take;
    if (last) {
      ++file_;
      file_offset_ = 0;
      checksum_ = RunningChecksum();
      SkipEmptyFiles(chunk, problem, ok);
    }
  }
  return ok;
}

/// Decodes the current frame into the chunk until the chunk is full or the frame ends.
bool Decoder::DecodeInto(Chunk& chunk, Problem& problem) {
  while (in_frame_) {
    if (input_pos_ == input_used_ && frame_input_left_ > 0 && !ReadInput(problem)) return false;
    // A frame may not decode to more than its record says: past that, one
    // byte of room is offered, and any byte put there is refused.
    std::uint8_t probe = 0;
    const bool over = frame_output_left_ == 0;
    std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.data.size() - chunk.used, frame_output_left_));
    ZSTD_outBuffer out = {over ? &probe : chunk.data.data() + chunk.used, over ? 1 : room, 0};
    ZSTD_inBuffer in = {input_.data(), input_used_, input_pos_};
    const std::size_t result = ZSTD_decompressStream(Context(context_), &out, &in);
    if (ZSTD_isError(result)) return FailDecoding(result, frame_, problem);
    const bool progressed = in.pos != input_pos_ || out.pos != 0;
    input_pos_ = in.pos;
    if (over && out.pos != 0) {
      return Fail(problem, Failure::kDamaged,
                  "frame " + std::to_string(frame_) + " decodes to more bytes than its record says");
    }
    if (!over) {
      if (!Account(chunk, chunk.used, chunk.used + out.pos, problem)) return false;
      chunk.used += out.pos;
      frame_output_left_ -= out.pos;
    }
    if (result == 0) return EndFrame(problem);
    if (!over && chunk.used == chunk.data.size()) return true;
    if (!progressed && input_pos_ == input_used_ && frame_input_left_ == 0) {
      return Fail(problem, Failure::kDamaged, "frame " + std::to_string(frame_) + " is cut short");
    }
  }
  return true;
}

bool Decoder::Next(Chunk& chunk, Problem& problem) {
  chunk.used = 0;
  chunk.pieces.clear();
  bool ok = true;
  SkipEmptyFiles(chunk, problem, ok);
  while (ok) {
    const bool full = chunk.used == chunk.data.size();
    if (in_frame_) {
      // A frame whose bytes are all out still ends (its checksum) without room.
      if (full && frame_output_left_ != 0) break;
      ok = DecodeInto(chunk, problem);
    } else if (done() || full) {
      break;
    } else {
      ok = StartFrame(problem);
    }
  }
  if (ok && done() && !in_frame_ && frame_ != table_.frames.size()) {
    ok = Fail(problem, Failure::kDamaged, "the archive's data has frames beyond its files");
  }
  return ok;
}

}  // namespace harwarchive
