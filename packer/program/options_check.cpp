#include "packer/program/options_check.h"

#include <cstdio>

#include "packer/platform/platform.h"

#ifdef _WIN32
#include <cwctype>
#endif

namespace harwpack {
namespace {

#ifndef _WIN32
/// White space in the Unicode sense beyond U+00FF, which the runtime reports as such.
bool IsWideSpace(char16_t unit) {
  return unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) || unit == 0x2028 ||
         unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

/// Surrogate halves and private-use units carry no character class of their own.
bool IsClasslessWide(char16_t unit) {
  return (unit >= 0xD800 && unit <= 0xF8FF) || unit >= 0xFFF0;
}
#endif

std::string Quote(const std::u16string& text) { return "\"" + Utf16ToUtf8(text) + "\""; }

std::string TokenLabel(std::size_t index, const std::u16string& text) {
  return "token " + std::to_string(index + 1) + " " + Quote(text);
}

/// An option that takes the next token as its value.
struct ValueOption {
  const char16_t* name;
  std::u16string UpdaterSettings::*target;
  std::size_t max_units;
};

const ValueOption kValueOptions[] = {
    {u"/S", &UpdaterSettings::setup_path, kMaxPathValue},
    {u"/A", &UpdaterSettings::setup_parameters, kMaxSetupParameters},
    {u"/F", &UpdaterSettings::folder_name, kMaxPathValue},
};

/// The options in the order the program compares them.
const char16_t* const kOptionOrder[] = {u"/S", u"/X", u"/V", u"/W", u"/A", u"/F", u"/D", u"/H", u"/?"};

const char16_t* FindOption(const std::u16string& entry) {
  for (const char16_t* option : kOptionOrder) {
    if (MatchesOption(entry, option)) return option;
  }
  return nullptr;
}

void ApplyFlag(const std::u16string& option, UpdaterSettings& s) {
  if (option == u"/X") s.no_execute_setup = true;
  if (option == u"/V") s.show_details = true;
  if (option == u"/W") s.wait_for_setup = false;
  if (option == u"/D") s.delete_without_asking = true;
  if (option == u"/H") s.hide_console = false;
}

void AddMessage(ParameterReport& report, Severity severity, std::string text) {
  report.messages.push_back({severity, std::move(text)});
}

/// Applies the value option at `index`; returns false when the program would stop there.
bool ApplyValue(const ValueOption& option, std::size_t index, ParameterReport& report) {
  std::vector<Token>& tokens = report.tokens;
  const auto name = [&option] { return Utf16ToUtf8(option.name); };
  if (index + 1 >= tokens.size()) {
    AddMessage(report, Severity::kError,
               name() + " at token " + std::to_string(index + 1) +
                   " has no value; the program stops with \"Error: Parameter " + name() +
                   " <NOT-FOUND>\"");
    return false;
  }
  Token& value = tokens[index + 1];
  value.role = TokenRole::kValue;
  value.option = option.name;
  if (value.text.size() > option.max_units) {
    AddMessage(report, Severity::kError,
               name() + " value at token " + std::to_string(index + 2) + " is " +
                   std::to_string(value.text.size()) + " UTF-16 units long; at most " +
                   std::to_string(option.max_units) + " fit");
    return false;
  }
  report.settings.*option.target = value.text;
  return true;
}

/// Applies the token at `index`; returns the next index, or tokens.size() + 1 to stop.
std::size_t ApplyToken(std::size_t index, ParameterReport& report) {
  Token& token = report.tokens[index];
  const char16_t* option = FindOption(token.text);
  const std::size_t stop = report.tokens.size() + 1;
  if (option == nullptr) {
    token.role = TokenRole::kUnmatched;
    AddMessage(report, Severity::kWarning,
               TokenLabel(index, token.text) + " matches no option; the program ignores it");
    return index + 1;
  }
  token.role = TokenRole::kOption;
  token.option = option;
  for (const ValueOption& value : kValueOptions) {
    if (token.option == value.name) return ApplyValue(value, index, report) ? index + 2 : stop;
  }
  if (token.option == u"/?") {
    AddMessage(report, Severity::kError,
               TokenLabel(index, token.text) + " is /?: every run would only show the help text");
    return stop;
  }
  ApplyFlag(token.option, report.settings);
  return index + 1;
}

void WarnAboutEstimate(std::size_t at, char16_t unit, ParameterReport& report) {
  if (at == std::u16string::npos) return;
  char code[8];
  std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(unit));
  AddMessage(report, Severity::kWarning,
             std::string("character U+") + code + " at position " + std::to_string(at + 1) +
                 " stands outside quotes: Windows' character tables decide whether it (or any later "
                 "character beyond U+00FF) separates tokens; quote the value or check with harwpack "
                 "inspect on Windows");
}

}  // namespace

bool ParameterReport::HasErrors() const {
  for (const CheckMessage& m : messages) {
    if (m.severity == Severity::kError) return true;
  }
  return false;
}

bool IsSeparatorUnit(char16_t unit) {
#ifdef _WIN32
  // The very functions the program calls, so the answer is the program's own.
  const auto wide = static_cast<std::wint_t>(unit);
  return std::iswspace(wide) != 0 || std::iswprint(wide) == 0;
#else
  if (unit < 0x100) {
    // The runtime's fixed table: controls are unprintable, and tab, line breaks,
    // blank and no-break space are white space.
    return unit <= 0x20 || (unit >= 0x7F && unit <= 0xA0);
  }
  return IsWideSpace(unit) || IsClasslessWide(unit);
#endif
}

bool IsSeparatorUnitEstimated(char16_t unit) {
#ifdef _WIN32
  (void)unit;
  return false;
#else
  return unit >= 0x100 && !IsWideSpace(unit) && !IsClasslessWide(unit);
#endif
}

std::vector<std::u16string> Tokenize(const std::u16string& text, std::size_t* estimated) {
  std::vector<std::u16string> tokens;
  std::size_t first_estimate = std::u16string::npos;
  // Only units outside quotes go through the separator test.
  const auto separates = [&](std::size_t at) {
    if (first_estimate == std::u16string::npos && IsSeparatorUnitEstimated(text[at])) first_estimate = at;
    return IsSeparatorUnit(text[at]);
  };
  std::size_t cursor = 0;
  while (cursor < text.size() && text[cursor] != u'\0') {
    if (separates(cursor)) {
      ++cursor;
      continue;
    }
    const bool quoted = text[cursor] == u'"';
    const std::size_t start = quoted ? cursor + 1 : cursor;
    std::size_t end = start;
    while (end < text.size() && text[end] != u'\0' && (quoted ? text[end] != u'"' : !separates(end))) ++end;
    tokens.push_back(text.substr(start, end - start));
    // The program overwrites the unit that ended the token, so it is skipped.
    cursor = (end < text.size() && text[end] != u'\0') ? end + 1 : end;
  }
  if (estimated != nullptr) *estimated = first_estimate;
  return tokens;
}

bool MatchesOption(const std::u16string& entry, const char16_t* option) {
  const auto fold = [](char16_t c) -> char16_t {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
  };
  std::size_t i = 0;
  for (; i < entry.size() && option[i] != u'\0'; ++i) {
    if (fold(entry[i]) != fold(option[i])) return false;
  }
  return i == entry.size() && option[i] == u'\0';
}

ParameterReport CheckParameters(const std::u16string& text) {
  ParameterReport report;
  std::size_t estimated = std::u16string::npos;
  for (std::u16string& token : Tokenize(text, &estimated)) {
    report.tokens.push_back({std::move(token), TokenRole::kNotApplied, u""});
  }
  WarnAboutEstimate(estimated, estimated < text.size() ? text[estimated] : u'\0', report);
  if (report.tokens.size() > kMaxTokens) {
    AddMessage(report, Severity::kError,
               "the string splits into " + std::to_string(report.tokens.size()) +
                   " tokens; the program holds at most " + std::to_string(kMaxTokens) +
                   " and stops without applying any");
    return report;
  }
  for (std::size_t index = 0; index < report.tokens.size();) index = ApplyToken(index, report);
  return report;
}

}  // namespace harwpack
