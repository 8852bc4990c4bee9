// Reading the package's diagnostic log: UTF-8 lines of the form
// "YYYY/MM/DD hh:mm:ss.mmm, 0xLL, text\n".
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace harwtest {

/// Characters before the text: the time stamp (23), ", 0x", two digits and ", ".
constexpr std::size_t kLogPrefixLength = 31;

struct LogLine {
  std::string stamp;   ///< "YYYY/MM/DD hh:mm:ss.mmm"
  unsigned level = 0;  ///< the two hexadecimal digits after "0x"
  std::string text;    ///< the message, UTF-8, without the line feed
  bool ended = true;   ///< false for a last line without its line feed
};

struct Log {
  std::string raw;  ///< the file's bytes exactly
  std::vector<LogLine> lines;
  /// Empty when every line has the layout above; otherwise what is wrong first.
  std::string problem;

  /// The texts of all lines, in order.
  std::vector<std::string> Texts() const;
};

/// Splits bytes into log lines; the bytes are kept in Log::raw.
Log ParseLog(std::string bytes);

/// Reads and parses a log file; nullopt if the file cannot be read.
std::optional<Log> ReadLog(const std::filesystem::path& path);

/// A line as a test expects it: its level and exact text.
struct Expected {
  unsigned level;
  std::string text;
  bool operator==(const Expected& other) const {
    return level == other.level && text == other.text;
  }
};
std::ostream& operator<<(std::ostream& out, const Expected& line);

/// The parsed lines as (level, text) pairs, for comparison with a list of Expected.
std::vector<Expected> LevelsAndTexts(const Log& log);

/// Lines as "  0xLL text", one per line, for failure messages.
std::string Listing(const std::vector<Expected>& lines);

}  // namespace harwtest
