#include "packer/platform/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace harwpack {

bool StandardOutputIsTerminal() {
#ifdef _WIN32
  // _isatty is also true for NUL; only a console has a console mode.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
#else
  return isatty(STDOUT_FILENO) == 1;
#endif
}

Reporter::Reporter(std::ostream& out, OutputMode mode) : out_(out), mode_(mode) {}

Reporter::~Reporter() { EndLive(); }

void Reporter::Line(const std::string& text) {
  if (mode_ == OutputMode::kQuiet) return;
  EndLive();
  // Flushed at once: whoever reads a pipe sees each phase as it starts.
  out_ << text << "\n" << std::flush;
}

void Reporter::Live(const std::string& text) {
  if (mode_ != OutputMode::kTerminal) return;
  const auto now = std::chrono::steady_clock::now();
  const std::string shown = text.substr(0, kLiveWidth);
  if (shown_ > 0 && (now - drawn_ < kLiveInterval || shown == live_)) return;
  // Blanks cover what is left of a longer line before; the cursor stays at its end.
  const std::size_t cover = shown_ > shown.size() ? shown_ - shown.size() : 0;
  out_ << "\r" << shown << std::string(cover, ' ') << std::flush;
  shown_ = shown.size() + cover;
  live_ = shown;
  drawn_ = now;
}

void Reporter::EndLive() {
  if (shown_ == 0) return;
  out_ << "\r" << std::string(shown_, ' ') << "\r" << std::flush;
  shown_ = 0;
  live_.clear();
}

std::string Megabytes(std::uint64_t bytes) {
  const std::uint64_t tenths = (bytes + 50000) / 100000;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

std::string Counted(std::uint64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

unsigned PerCent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return 0;
  if (part >= whole) return 100;
  // No overflow: a package stays below 4 GiB, far from 2^64 / 100.
  return static_cast<unsigned>(part * 100 / whole);
}

}  // namespace harwpack
