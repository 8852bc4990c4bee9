// The two-thread pipeline of Unpack: the decoder fills chunks, the caller's
// thread writes them, kChunkCount chunks between them.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "unpack/unpack.h"

namespace harwarchive {
namespace {

/// The chunks and who holds them.
class Pipe {
 public:
  explicit Pipe(std::size_t chunk_size) {
    for (Chunk& chunk : chunks_) {
      chunk.data.resize(chunk_size);
      free_.push_back(&chunk);
    }
  }

  /// The decoder's turn: fills free chunks until the data ends, it fails or the writer stops.
  void Decode(Decoder& decoder) {
    for (;;) {
      Chunk* chunk = Take(free_);
      if (chunk == nullptr) return;
      Problem problem;
      bool ok = false;
      try {
        ok = decoder.Next(*chunk, problem);
      } catch (const std::bad_alloc&) {
        ok = Fail(problem, Failure::kNoMemory, "not enough memory to decode the archive");
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ok) {
        decoder_problem_ = problem;
        stopped_ = true;
      } else {
        filled_.push_back(chunk);
        decoder_done_ = decoder.done();
      }
      changed_.notify_all();
      if (!ok || decoder_done_) return;
    }
  }

  /// The next decoded chunk for the writer; nullptr once there is none to come.
  Chunk* NextFilled() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !filled_.empty() || stopped_ || decoder_done_; });
    if (filled_.empty() || stopped_) return nullptr;
    Chunk* chunk = filled_.front();
    filled_.pop_front();
    return chunk;
  }

  /// Hands a written chunk back to the decoder.
  void Release(Chunk* chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(chunk);
    changed_.notify_all();
  }

  /// The writer failed: the decoder stops at its next chunk.
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

  /// The decoder's failure, if it failed.
  bool DecoderFailed(Problem& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (decoder_problem_.failure == Failure::kNone) return false;
    problem = decoder_problem_;
    return true;
  }

  bool decoder_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return decoder_done_;
  }

 private:
  Chunk* Take(std::deque<Chunk*>& queue) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !queue.empty() || stopped_; });
    if (stopped_) return nullptr;
    Chunk* chunk = queue.front();
    queue.pop_front();
    return chunk;
  }

  Chunk chunks_[kChunkCount];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk*> free_;
  std::deque<Chunk*> filled_;
  bool stopped_ = false;
  bool decoder_done_ = false;
  Problem decoder_problem_;
};

bool WriteChunk(const Table& table, const Chunk& chunk, Sink& sink, Problem& problem) {
  for (const Piece& piece : chunk.pieces) {
    if (!sink.WritePiece(table.entries[piece.entry], piece, chunk.data.data() + piece.begin, problem)) return false;
  }
  return true;
}

/// Decoding and writing in turns on this thread, for a system that starts no thread.
bool UnpackInTurns(const Table& table, Decoder& decoder, Sink& sink, Chunk& chunk, Problem& problem) {
  while (!decoder.done()) {
    if (!decoder.Next(chunk, problem) || !WriteChunk(table, chunk, sink, problem)) return false;
  }
  return true;
}

bool WriteFiles(const Table& table, Source& source, Sink& sink, Problem& problem, std::size_t chunk_size) {
  Decoder decoder(table, source);
  Pipe pipe(chunk_size);
  std::thread worker;
  try {
    worker = std::thread([&pipe, &decoder] { pipe.Decode(decoder); });
  } catch (const std::system_error&) {
    Chunk chunk;
    chunk.data.resize(chunk_size);
    return UnpackInTurns(table, decoder, sink, chunk, problem);
  }
  bool ok = true;
  while (Chunk* chunk = pipe.NextFilled()) {
    ok = WriteChunk(table, *chunk, sink, problem);
    pipe.Release(chunk);
    if (!ok) {
      pipe.Stop();
      break;
    }
  }
  worker.join();
  if (ok && pipe.DecoderFailed(problem)) return false;
  return ok && pipe.decoder_done();
}

}  // namespace

bool Unpack(const Table& table, Source& source, Sink& sink, Problem& problem, std::size_t chunk_size) {
  for (const Entry& entry : table.entries) {
    if (entry.kind == Kind::kFolder && !sink.MakeFolder(entry, problem)) return false;
  }
  return WriteFiles(table, source, sink, problem, chunk_size);
}

}  // namespace harwarchive
