// The names an entry may have: only what Windows creates as an ordinary file
// or folder below the current folder, nothing that reaches elsewhere (an
// absolute or drive path, "..", a stream, a device).
#include "archive/archive.h"

namespace harwarchive {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

/// Half a surrogate pair: Windows holds it, but no Unicode name has one.
bool HasBrokenPair(const std::u16string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      return true;
    }
  }
  return false;
}

/// The digits Windows reserves after COM and LPT: 0 to 9 and the superscripts 1, 2, 3.
bool IsDeviceDigit(char16_t c) { return (c >= u'0' && c <= u'9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

/// True when `part` names a device, with or without an extension: Windows
/// opens the device for "NUL.txt" too, and drops blanks before the dot.
bool IsDeviceName(const std::u16string& part) {
  std::u16string base = FoldCase(part.substr(0, part.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" || base == u"CONIN$" ||
      base == u"CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
         IsDeviceDigit(base[3]);
}

}  // namespace

std::u16string FoldCase(std::u16string path) {
  for (char16_t& c : path) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
  }
  return path;
}

std::string CheckName(const std::u16string& part) {
  if (part.empty() || part == u"." || part == u"..") return "has an empty, \".\" or \"..\" part";
  for (char16_t c : part) {
    if (c < 0x20 || std::u16string(u"<>:\"|?*\\/").find(c) != std::u16string::npos) {
      return "has a part with a character Windows does not allow in names";
    }
  }
  if (part.back() == u'.' || part.back() == u' ') return "has a part ending in a dot or blank";
  if (HasBrokenPair(part)) return "has a part with half a surrogate pair";
  if (IsDeviceName(part)) return "has a part that names a device";
  return "";
}

std::string CheckEntryPath(const std::u16string& path, Kind kind) {
  const std::size_t limit = kind == Kind::kFolder ? kMaxFolderPath : kMaxFilePath;
  if (path.empty()) return "has an empty path";
  if (path.size() > limit) {
    return "has a path of " + std::to_string(path.size()) + " characters (at most " + std::to_string(limit) + ")";
  }
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find(u'\\', start);
    const std::string problem = CheckName(path.substr(start, end == std::u16string::npos ? end : end - start));
    if (!problem.empty()) return problem;
    if (end == std::u16string::npos) return "";
    start = end + 1;
  }
}

namespace {

/// Appends code point `c` as UTF-8.
void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

/// Characters that would move the cursor, end the line or drive the
/// console: C0 and C1 controls, DEL, the line and paragraph separators.
bool IsUnprintable(std::uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

/// "\xNN" below 256, "\uNNNN" above.
std::string Escape(std::uint32_t c) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = c < 0x100 ? "\\x" : "\\u";
  for (int shift = c < 0x100 ? 4 : 12; shift >= 0; shift -= 4) out.push_back(kDigits[(c >> shift) & 0xF]);
  return out;
}

/// UTF-8 of `text`; `printable` escapes what IsUnprintable names and half pairs,
/// otherwise a half pair becomes U+FFFD.
std::string Encode(const std::u16string& text, bool printable) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      if (printable) {
        out += Escape(c);
        continue;
      }
      c = 0xFFFD;
    }
    if (printable && IsUnprintable(c)) {
      out += Escape(c);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace

std::string ToUtf8(const std::u16string& text) { return Encode(text, false); }

std::string Printable(const std::u16string& text) { return Encode(text, true); }

std::string Quoted(const std::u16string& text) { return "'" + Printable(text) + "'"; }

}  // namespace harwarchive
