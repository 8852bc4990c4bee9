// The harwpack command line: argument parsing and the commands.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "packer/platform/platform.h"

namespace harwpack {

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
