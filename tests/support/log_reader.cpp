#include "support/log_reader.h"

#include <cctype>
#include <cstdio>
#include <utility>

#include "support/text.h"

namespace harwtest {

std::vector<std::string> Log::Texts() const {
  std::vector<std::string> texts;
  for (const auto& line : lines) texts.push_back(line.text);
  return texts;
}

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

std::ostream& operator<<(std::ostream& out, const Expected& line) {
  char level[8];
  std::snprintf(level, sizeof(level), "0x%02X", line.level);
  return out << "{" << level << ", \"" << line.text << "\"}";
}

std::vector<Expected> LevelsAndTexts(const Log& log) {
  std::vector<Expected> out;
  for (const auto& line : log.lines) out.push_back({line.level, line.text});
  return out;
}

std::string Listing(const std::vector<Expected>& lines) {
  std::string text;
  for (const Expected& line : lines) {
    char level[8];
    std::snprintf(level, sizeof(level), "0x%02X", line.level);
    text += "  " + std::string(level) + " " + line.text + "\n";
  }
  return text;
}

}  // namespace harwtest
