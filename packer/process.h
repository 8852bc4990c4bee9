// Running a helper program (the NSIS compiler) and waiting for it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace harwpack {

/// How a helper program ended.
struct ProcessResult {
  std::string error;   ///< "" when it ran to its end, else why it could not start or finish
  int exit_code = -1;  ///< its exit code when error is ""
};

/// Runs `program` (searched on PATH when it names no directory) with `args`,
/// sends its standard output and error to `log_file`, and waits for it.
ProcessResult RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& log_file);

/// Quotes one argument so that the Windows C runtime splits it back unchanged.
std::string QuoteWindowsArgument(const std::string& arg);

}  // namespace harwpack
