// Reading the package's diagnostic log, UTF-8 lines of the form
// "YYYY/MM/DD hh:mm:ss.mmm, 0xLL, text\n", and matching it against the lines
// a test expects.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace harwtest {

/// Characters before the text: the time stamp (23), ", 0x", two digits and ", ".
constexpr std::size_t kLogPrefixLength = 31;

/// One line of the log.
struct LogLine {
  std::string stamp;   ///< "YYYY/MM/DD hh:mm:ss.mmm"
  unsigned level = 0;  ///< the two hexadecimal digits after "0x"
  std::string text;    ///< the message, UTF-8, without the line feed
  bool ended = true;   ///< false for a last line without its line feed
};

/// A log file, parsed.
struct Log {
  std::string raw;  ///< the file's bytes exactly
  std::vector<LogLine> lines;  ///< the lines that have the layout above
  /// Empty when every line has the layout above; otherwise what is wrong first.
  std::string problem;
};

/// Splits bytes into log lines; the bytes are kept in Log::raw.
Log ParseLog(std::string bytes);

/// Reads and parses a log file; nullopt if the file cannot be read.
std::optional<Log> ReadLog(const std::filesystem::path& path);

/// A line as a test expects it: its level and exact text.
struct Expected {
  unsigned level;
  std::string text;
  /// Same level and text.
  bool operator==(const Expected& other) const {
    return level == other.level && text == other.text;
  }
};
/// Prints the line as {0xLL, "text"}, for failure messages.
std::ostream& operator<<(std::ostream& out, const Expected& line);

/// The parsed lines as (level, text) pairs.
std::vector<Expected> LevelsAndTexts(const Log& log);

/// The lines, of any level, whose text starts with `prefix`.
std::vector<Expected> LinesStartingWith(const Log& log, const std::string& prefix);

/// The log's lines as "  0xLL text", one per line, for failure messages.
std::string Listing(const Log& log);

/// A line whose text depends on the machine (a window handle, an error
/// number): `regex` is an ECMAScript regular expression for the whole text.
struct Pattern {
  unsigned level;
  std::string regex;
};

/// One line a test expects: exact ({level, "text"} or Expected) or a Pattern.
class LineCheck {
 public:
  /// An exact line.
  LineCheck(unsigned level, std::string text) : level_(level), text_(std::move(text)) {}
  /// An exact line.
  LineCheck(const Expected& line) : LineCheck(line.level, line.text) {}
  /// A line matching the pattern.
  LineCheck(const Pattern& pattern) : level_(pattern.level), text_(pattern.regex), regex_(true) {}

  /// True if `line` has the level and the text (or matches the pattern).
  bool Matches(const LogLine& line) const;
  /// "{0xLL, "text"}", with " (pattern)" after a pattern.
  std::string Describe() const;

 private:
  unsigned level_;
  std::string text_;
  bool regex_ = false;
};
/// The lines a test expects, in order.
using Lines = std::vector<LineCheck>;

/// Success if the log's lines are exactly `expected`, one for one.
testing::AssertionResult MatchesLines(const Log& log, const Lines& expected);

/// Success if `expected` stand in the log in this order, other lines between.
testing::AssertionResult HasLines(const Log& log, const Lines& expected);

/// Success if `expected` stand in the log as consecutive lines.
testing::AssertionResult HasBlock(const Log& log, const Lines& expected);

/// Success if the whole of `text` matches the ECMAScript regular expression.
testing::AssertionResult FullMatch(const std::string& text, const std::string& regex);

}  // namespace harwtest
