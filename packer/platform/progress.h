// What create tells the user while it works: a line for each phase with its
// figures, and on a terminal a live line redrawn in place while a long step
// runs. Errors and warnings do not pass through here: they go to standard
// error whatever the mode.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace harwpack {

/// How much create writes to standard output.
enum class OutputMode {
  kQuiet,     ///< nothing (--quiet); errors and warnings still go to standard error
  kLines,     ///< the phase and result lines only: for files, pipes and logs
  kTerminal,  ///< the lines, and a live line redrawn with a carriage return
};

/// True when standard output is a terminal (on Windows: a console), where a line can be redrawn.
bool StandardOutputIsTerminal();

/// The live line is redrawn at most this often.
inline constexpr std::chrono::milliseconds kLiveInterval{250};
/// The live line is cut to this many characters, so that it never wraps on an 80-column terminal.
inline constexpr std::size_t kLiveWidth = 79;

/// Writes create's phase lines and live line to one stream.
class Reporter {
 public:
  /// Reports to `out` in `mode`.
  Reporter(std::ostream& out, OutputMode mode);
  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  /// The mode it was made with.
  OutputMode mode() const { return mode_; }
  /// Writes a line of its own (nothing when quiet), after removing the live line.
  void Line(const std::string& text);
  /// On a terminal, shows `text` (ASCII) in place of the live line; a
  /// redraw sooner than kLiveInterval after the last one, or of the same
  /// text, is skipped.
  void Live(const std::string& text);
  /// Removes the live line, so that what follows starts on a clean line.
  void EndLive();

 private:
  std::ostream& out_;
  OutputMode mode_;
  std::size_t shown_ = 0;  // characters of the live line on screen (0: none)
  std::string live_;       // the text drawn last
  std::chrono::steady_clock::time_point drawn_{};
};

/// `bytes` in decimal megabytes with one decimal ("171.4 MB"), for lines a person reads.
std::string Megabytes(std::uint64_t bytes);

/// "1 file", "3 files": `count` and `noun`, plural unless it is one.
std::string Counted(std::uint64_t count, const std::string& noun);

/// `part` of `whole` in whole per cent, rounded down (0 when `whole` is 0).
unsigned PerCent(std::uint64_t part, std::uint64_t whole);

}  // namespace harwpack
