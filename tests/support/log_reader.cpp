#include "support/log_reader.h"

#include <cctype>
#include <cstdio>
#include <regex>
#include <utility>

#include "support/text.h"

namespace harwtest {

// 'd' is a decimal digit, 'h' an upper-case hexadecimal digit, anything else itself.
static bool MatchesShape(const std::string& text, const char* shape) {
  std::size_t i = 0;
  for (; shape[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool ok = shape[i] == 'd'   ? std::isdigit(c) != 0
              : shape[i] == 'h' ? (std::isdigit(c) != 0 || (c >= 'A' && c <= 'F'))
                                : c == static_cast<unsigned char>(shape[i]);
    if (!ok) return false;
  }
  return true;
}

static std::optional<LogLine> ParseLine(const std::string& text, bool ended) {
  if (!MatchesShape(text, "dddd/dd/dd dd:dd:dd.ddd, 0xhh, ")) return std::nullopt;
  LogLine line;
  line.stamp = text.substr(0, 23);
  line.level = static_cast<unsigned>(std::stoul(text.substr(27, 2), nullptr, 16));
  line.text = text.substr(kLogPrefixLength);
  line.ended = ended;
  return line;
}

Log ParseLog(std::string bytes) {
  Log log;
  log.raw = std::move(bytes);
  std::size_t start = 0;
  while (start < log.raw.size()) {
    std::size_t end = log.raw.find('\n', start);
    bool ended = end != std::string::npos;
    std::string text = log.raw.substr(start, ended ? end - start : std::string::npos);
    std::optional<LogLine> line = ParseLine(text, ended);
    if (!line && log.problem.empty()) {
      log.problem = "line " + std::to_string(log.lines.size() + 1) + " has no valid prefix: " + text;
    }
    if (line) log.lines.push_back(*line);
    if (!ended) break;
    start = end + 1;
  }
  return log;
}

std::optional<Log> ReadLog(const std::filesystem::path& path) {
  std::optional<std::string> bytes = ReadBytes(path);
  if (!bytes) return std::nullopt;
  return ParseLog(std::move(*bytes));
}

static std::string LevelText(unsigned level) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", level);
  return text;
}

std::ostream& operator<<(std::ostream& out, const Expected& line) {
  return out << "{" << LevelText(line.level) << ", \"" << line.text << "\"}";
}

std::vector<Expected> LevelsAndTexts(const Log& log) {
  std::vector<Expected> out;
  for (const auto& line : log.lines) out.push_back({line.level, line.text});
  return out;
}

std::vector<Expected> LinesStartingWith(const Log& log, const std::string& prefix) {
  std::vector<Expected> found;
  for (const auto& line : log.lines) {
    if (line.text.compare(0, prefix.size(), prefix) == 0) found.push_back({line.level, line.text});
  }
  return found;
}

std::string Listing(const Log& log) {
  std::string text;
  for (const LogLine& line : log.lines) text += "  " + LevelText(line.level) + " " + line.text + "\n";
  return text;
}

bool LineCheck::Matches(const LogLine& line) const {
  if (line.level != level_) return false;
  return regex_ ? std::regex_match(line.text, std::regex(text_)) : line.text == text_;
}

std::string LineCheck::Describe() const {
  return "{" + LevelText(level_) + ", \"" + text_ + "\"}" + (regex_ ? " (pattern)" : "");
}

static testing::AssertionResult Failure(const char* what, const Lines& expected, const Log& log) {
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << what << ":\n";
  for (const LineCheck& check : expected) failure << "  " << check.Describe() << "\n";
  return failure << "log lines:\n" << Listing(log);
}

// Whether `expected` matches the log's lines from `start` on, one for one.
static bool MatchesAt(const Log& log, std::size_t start, const Lines& expected) {
  if (start + expected.size() > log.lines.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!expected[i].Matches(log.lines[start + i])) return false;
  }
  return true;
}

testing::AssertionResult MatchesLines(const Log& log, const Lines& expected) {
  if (log.lines.size() == expected.size() && MatchesAt(log, 0, expected)) {
    return testing::AssertionSuccess();
  }
  return Failure("expected exactly these lines", expected, log);
}

testing::AssertionResult HasLines(const Log& log, const Lines& expected) {
  std::size_t next = 0;
  for (const LogLine& line : log.lines) {
    if (next < expected.size() && expected[next].Matches(line)) ++next;
  }
  if (next == expected.size()) return testing::AssertionSuccess();
  return Failure(("expected in this order, missing from " + expected[next].Describe()).c_str(),
                 expected, log);
}

testing::AssertionResult HasBlock(const Log& log, const Lines& expected) {
  for (std::size_t start = 0; start + expected.size() <= log.lines.size(); ++start) {
    if (MatchesAt(log, start, expected)) return testing::AssertionSuccess();
  }
  return Failure("expected as consecutive lines", expected, log);
}

testing::AssertionResult FullMatch(const std::string& text, const std::string& regex) {
  if (std::regex_match(text, std::regex(regex))) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "\"" << text << "\" does not match " << regex;
}

}  // namespace harwtest
