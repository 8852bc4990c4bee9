// The line that tells the person waiting how far unpacking is: shown once a
// run passes a second, redrawn in place a few times a second, cleared when
// unpacking ends, so that a failure's line that follows stands alone.
// Portable; the extractor gives it the console (and nothing when standard
// error is a file or pipe, whose readers expect at most the one line).
#pragma once

#include <cstddef>
#include <cstdint>

#include "unpack/unpack.h"

namespace harwarchive {

/// Milliseconds of unpacking before the line is first drawn: a short run stays silent.
inline constexpr std::uint64_t kProgressDelay = 1000;
/// Milliseconds at least between two drawings of the line.
inline constexpr std::uint64_t kProgressInterval = 250;
/// Characters the line may take: its longest form (both counts at 20 digits) is 83.
inline constexpr std::size_t kProgressLineMax = 96;
/// Characters one drawing writes at most: the line or its blanks between two carriage returns.
inline constexpr std::size_t kProgressTextMax = kProgressLineMax + 2;

/// The console the line is drawn on, and its clock.
class ProgressConsole {
 public:
  virtual ~ProgressConsole() = default;
  /// Milliseconds on a clock that never goes back.
  virtual std::uint64_t Now() = 0;
  /// Writes `size` ASCII characters as they are ('\r' returns to the line's start); false if refused.
  virtual bool Write(const char* text, std::size_t size) = 0;
};

/// Writes the line for `done` of `total` bytes (no line end) into `line`; returns its length.
std::size_t FormatProgress(std::uint64_t done, std::uint64_t total, char (&line)[kProgressLineMax]);

/// Counts the bytes written and keeps the line on the console up to date.
class Progress {
 public:
  /// Counts toward `total` bytes from now on; draws on `console`, or nowhere when it is nullptr.
  Progress(std::uint64_t total, ProgressConsole* console);
  /// Clears the line, as Finish does.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  /// `bytes` more were written; redraws the line when it is due.
  void Add(std::uint64_t bytes);
  /// Clears the line if it is drawn; nothing is drawn afterwards.
  void Finish();

 private:
  void Draw(std::uint64_t now);

  ProgressConsole* console_;  // nullptr once nothing is to be drawn
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  std::uint64_t due_ = 0;     // when the line is next drawn
  std::size_t shown_ = 0;     // characters the line takes on the console
};

/// Hands every entry on to another Sink and counts the bytes it wrote.
class ProgressSink : public Sink {
 public:
  /// Passes entries to `inner` and counts into `progress`; both outlive the sink.
  ProgressSink(Sink& inner, Progress& progress) : inner_(inner), progress_(progress) {}
  /// Makes the folder through the inner sink.
  bool MakeFolder(const Entry& entry, Problem& problem) override;
  /// Writes the piece through the inner sink and counts it once written.
  bool WritePiece(const Entry& entry, const Piece& piece, const std::uint8_t* data, Problem& problem) override;

 private:
  Sink& inner_;
  Progress& progress_;
};

}  // namespace harwarchive
