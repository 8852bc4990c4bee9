// The pure parts of the log: formatting with the Microsoft wide conventions,
// composing a line with its cuts, and the UTF-8 conversion.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <optional>
#include <string>

#include "log/log.h"

namespace {

std::wstring Format(const wchar_t* format, ...) {
  wchar_t out[LogBufferChars];
  va_list args;
  va_start(args, format);
  FormatMessageText(out, format, args);
  va_end(args);
  return out;
}

// mingw-w64's C99 printf would read "%s" as a narrow string and stop after
// the first byte of L"wide"; the program relies on the Microsoft meaning.
TEST(FormatMessageText, FollowsTheWideConventions) {
  struct Row {
    std::wstring got;
    std::wstring want;
  };
  const Row rows[] = {
      {Format(L"[%s]", L"wide"), L"[wide]"},
      {Format(L"%s=%s", L"\u00e4", L"\u0416"), L"\u00e4=\u0416"},
      {Format(L"%c", L'W'), L"W"},
      {Format(L"ans=%c)", 0), L"ans="},  // a zero character ends the message
      {Format(L"%u", 4294967295u), L"4294967295"},
      {Format(L"%08X", 0x1a2bu), L"00001A2B"},  // a window handle, in both editions
      {Format(L"0x%08X", 0xabcu), L"0x00000ABC"},
      {Format(L"0x%02X", 1u), L"0x01"},
      {Format(L"%s", std::wstring(2000, L'x').c_str()), std::wstring(1024, L'x')},
      {Format(L"%s", std::wstring(1024, L'y').c_str()), std::wstring(1024, L'y')},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
}

std::optional<std::wstring> Compose(DWORD level, const std::wstring& message) {
  const SYSTEMTIME time = {2024, 1, 3, 2, 4, 5, 6, 7};  // 2024/01/02 04:05:06.007
  wchar_t text[LogBufferChars] = {};
  std::wmemcpy(text, message.c_str(), message.size());
  wchar_t line[LogBufferChars];
  if (!ComposeLogLine(time, level, text, line)) return std::nullopt;
  return std::wstring(line);
}

TEST(ComposeLogLine, LayoutTrailingLineFeedAndCut) {
  const std::wstring prefix = L"2024/01/02 04:05:06.007, 0x04, ";
  ASSERT_EQ(prefix.size(), 31u);
  struct Row {
    DWORD level;
    std::wstring message;
    std::optional<std::wstring> line;
  };
  const Row rows[] = {
      {4, L"CreateMutex(\"A\")", prefix + L"CreateMutex(\"A\")\n"},
      {1, L"x", L"2024/01/02 04:05:06.007, 0x01, x\n"},
      {0xAB, L"x", L"2024/01/02 04:05:06.007, 0xAB, x\n"},
      {4, L"", prefix + L"\n"},
      {4, L"ends\n", prefix + L"ends\n"},
      {4, L"two\n\n", prefix + L"two\n\n"},
      {4, L"\n", std::nullopt},
      {4, std::wstring(992, L'm'), prefix + std::wstring(992, L'm') + L"\n"},
      {4, std::wstring(993, L'm'), prefix + std::wstring(993, L'm')},
      {4, std::wstring(1024, L'm'), prefix + std::wstring(993, L'm')},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Compose(row.level, row.message), row.line) << "message of " << row.message.size();
  }
}

TEST(ConvertLineToUtf8, EncodesAndCutsAtACharacterBoundary) {
  struct Row {
    std::wstring line;
    std::string bytes;
  };
  const Row rows[] = {
      {L"", ""},
      {L"plain\n", "plain\n"},
      {L"\u00e4\u0416\u20ac\U0001D11E", "\xC3\xA4\xD0\x96\xE2\x82\xAC\xF0\x9D\x84\x9E"},
      {std::wstring(1024, L'\u00e4'), [] {
         std::string s;
         for (int i = 0; i < 1024; ++i) s += "\xC3\xA4";
         return s;
       }()},
      // 1,024 three-byte characters do not fit 2,055 bytes: whole characters only.
      {std::wstring(1024, L'\u20ac'), [] {
         std::string s;
         for (int i = 0; i < 685; ++i) s += "\xE2\x82\xAC";
         return s;
       }()},
  };
  for (const Row& row : rows) {
    char out[LogUtf8Bytes];
    size_t length = ConvertLineToUtf8(row.line.c_str(), out);
    EXPECT_EQ(std::string(out, length), row.bytes) << "line of " << row.line.size();
    EXPECT_EQ(std::strlen(out), length);
  }
}

}  // namespace
