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
/// Exit code of inspect for a package that is damaged or inconsistent (an
/// archive checksum or frame, the container, the parameter string, unknown
/// bytes after the data), whatever its signatures say.
inline constexpr int kExitDamaged = 3;
/// Exit code of inspect for an intact package with a signature that is
/// present but does not verify (or whose certificate table is damaged).
inline constexpr int kExitBadSignature = 4;

/// The usage text.
std::string UsageText();

/// The usage text of one command ("create", "inspect", "extract"): its
/// synopsis, what it does and its exit codes; empty for an unknown name.
std::string CommandUsageText(const std::string& command);

/// Runs one command; `args` are UTF-8 and exclude the program name.
/// Results go to `out`, messages (one line each) to `err`. When
/// `out_is_terminal`, create redraws a live line in place on `out`.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           bool out_is_terminal = false);

}  // namespace harwpack
