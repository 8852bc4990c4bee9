// The harwpack command line: argument parsing and the commands.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace harwpack {

/// Exit code of a successful command.
inline constexpr int kExitOk = 0;
/// Exit code when the command ran and failed.
inline constexpr int kExitFailure = 1;
/// Exit code for a malformed command line.
inline constexpr int kExitUsage = 2;

/// The usage text.
std::string UsageText();

/// Runs one command; `args` are UTF-8 and exclude the program name.
/// Results go to `out`, messages (one line each) to `err`. When
/// `out_is_terminal`, create redraws a live line in place on `out`.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           bool out_is_terminal = false);

}  // namespace harwpack
