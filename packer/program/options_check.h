// How the program will read an embedded parameter string: the same tokenizer
// and option rules, plus the checks the packer makes before writing a package.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace harwpack {

/// Most tokens the program's argument vector can hold.
inline constexpr std::size_t kMaxTokens = 62;
/// Longest FolderName and SetupPath, in UTF-16 units.
inline constexpr std::size_t kMaxPathValue = 259;
/// Longest SetupParameters, in UTF-16 units.
inline constexpr std::size_t kMaxSetupParameters = 1023;

/// The settings of a run, starting from the program's defaults.
struct UpdaterSettings {
  std::u16string folder_name = u"Disk1";                  ///< /F
  std::u16string setup_path = u"Disk1\\Setup.exe";        ///< /S
  std::u16string setup_parameters;                        ///< /A
  bool no_execute_setup = false;                          ///< /X sets it
  bool delete_without_asking = false;                     ///< /D sets it
  bool wait_for_setup = true;                             ///< /W clears it
  bool hide_console = true;                               ///< /H clears it
  bool show_details = false;                              ///< /V sets it (log echoed on the console)
};

/// What the program makes of one token.
enum class TokenRole {
  kOption,      ///< an option; for /S /A /F the next token is its value
  kValue,       ///< the value consumed by the preceding /S, /A or /F
  kUnmatched,   ///< matches no option; the program ignores it
  kNotApplied,  ///< never reached: it follows /?, a missing value or the 62-token limit
};

/// One token and its part in the run.
struct Token {
  std::u16string text;   ///< the token without quotes
  TokenRole role;        ///< how it is applied
  std::u16string option; ///< for kOption: the canonical option ("/S"); for kValue: the option it belongs to
};

/// Severity of a check message.
enum class Severity { kWarning, kError };

/// One finding about the parameter string, one line of text.
struct CheckMessage {
  Severity severity;  ///< an error makes create refuse the string
  std::string text;   ///< UTF-8
};

/// The parameter string as the program applies it.
struct ParameterReport {
  std::vector<Token> tokens;            ///< every token, also beyond the limit
  UpdaterSettings settings;             ///< the result of applying them to the defaults
  std::vector<CheckMessage> messages;   ///< errors and warnings in token order
  /// True if any message is an error.
  bool HasErrors() const;
};

/// True when the program's tokenizer treats `unit` as a separator (white space
/// or not printable in the Windows C runtime's sense).
bool IsSeparatorUnit(char16_t unit);

/// True when this host can only estimate IsSeparatorUnit for `unit`: outside
/// Windows the packer knows the runtime's table exactly up to U+00FF only.
bool IsSeparatorUnitEstimated(char16_t unit);

/// Splits the string exactly as the program does; returns every token found.
/// `estimated`, when given, receives the index of the first unit whose
/// separator test this host could only estimate, or npos.
std::vector<std::u16string> Tokenize(const std::u16string& text, std::size_t* estimated = nullptr);

/// True when `entry` equals `option`, folding only A-Z/a-z.
bool MatchesOption(const std::u16string& entry, const char16_t* option);

/// Tokenizes and applies the string to the default settings, with the checks.
ParameterReport CheckParameters(const std::u16string& text);

}  // namespace harwpack
