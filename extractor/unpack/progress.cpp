// The progress line: built in fixed buffers without the C library's
// formatting, so drawing it costs no allocation and no locale, and clearing
// it works while a failure to allocate unwinds.
#include "unpack/progress.h"

#include <limits>

namespace harwarchive {
namespace {

/// Appends `text` to `line` at `length`, as far as `capacity` allows.
void Append(char* line, std::size_t capacity, std::size_t& length, const char* text) {
  for (; *text != '\0' && length < capacity; ++text) line[length++] = *text;
}

/// Appends `value` in decimal, with a comma between groups of three digits when `grouped`.
void AppendNumber(char* line, std::size_t capacity, std::size_t& length, std::uint64_t value, bool grouped) {
  char digits[32];  // at most 20 digits and 6 commas
  std::size_t count = 0;
  do {
    if (grouped && count % 4 == 3) digits[count++] = ',';
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0 && length < capacity) line[length++] = digits[--count];
}

/// Whole per cent of `total` that `done` is, rounded down: 100 only when all is done.
std::uint64_t Percent(std::uint64_t done, std::uint64_t total) {
  if (done >= total) return 100;
  // done * 100 would overflow for a total beyond 2^64 / 100 bytes, which no
  // drive holds; there the share may be one per cent high.
  const std::uint64_t percent =
      total > std::numeric_limits<std::uint64_t>::max() / 100 ? done / (total / 100) : done * 100 / total;
  return percent > 99 ? 99 : percent;
}

}  // namespace

std::size_t FormatProgress(std::uint64_t done, std::uint64_t total, char (&line)[kProgressLineMax]) {
  const std::uint64_t shown = done < total ? done : total;
  std::size_t length = 0;
  Append(line, kProgressLineMax, length, "HarwExtract: ");
  AppendNumber(line, kProgressLineMax, length, Percent(shown, total), false);
  Append(line, kProgressLineMax, length, " % (");
  AppendNumber(line, kProgressLineMax, length, shown, true);
  Append(line, kProgressLineMax, length, " of ");
  AppendNumber(line, kProgressLineMax, length, total, true);
  Append(line, kProgressLineMax, length, " bytes)");
  return length;
}

Progress::Progress(std::uint64_t total, ProgressConsole* console)
    : console_(total == 0 ? nullptr : console), total_(total) {
  if (console_ != nullptr) due_ = console_->Now() + kProgressDelay;
}

Progress::~Progress() { Finish(); }

void Progress::Add(std::uint64_t bytes) {
  done_ += bytes;
  if (console_ == nullptr) return;
  const std::uint64_t now = console_->Now();
  if (now >= due_) Draw(now);
}

void Progress::Draw(std::uint64_t now) {
  char line[kProgressLineMax];
  const std::size_t length = FormatProgress(done_, total_, line);
  char text[kProgressTextMax];
  std::size_t size = 0;
  text[size++] = '\r';
  // The line never gets shorter (the share and the count only grow), so it
  // covers the one drawn before.
  for (std::size_t i = 0; i < length; ++i) text[size++] = line[i];
  if (!console_->Write(text, size)) {
    console_ = nullptr;  // a console that refuses the line gets no more of it
    return;
  }
  shown_ = length;
  due_ = now + kProgressInterval;
}

void Progress::Finish() {
  if (console_ != nullptr && shown_ > 0) {
    char text[kProgressTextMax];
    std::size_t size = 0;
    text[size++] = '\r';
    for (std::size_t i = 0; i < shown_; ++i) text[size++] = ' ';  // shown_ is at most kProgressLineMax
    text[size++] = '\r';
    console_->Write(text, size);  // refused or not, nothing more is drawn
  }
  console_ = nullptr;
}

bool ProgressSink::MakeFolder(const Entry& entry, Problem& problem) { return inner_.MakeFolder(entry, problem); }

bool ProgressSink::WritePiece(const Entry& entry, const Piece& piece, const std::uint8_t* data, Problem& problem) {
  if (!inner_.WritePiece(entry, piece, data, problem)) return false;
  progress_.Add(piece.size);
  return true;
}

}  // namespace harwarchive
