// Running a helper program (the NSIS compiler, a signing tool) and waiting for it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace harwpack {

/// How a helper program ended.
struct ProcessResult {
  std::string error;   ///< "" when it ran to its end, else why it could not start or finish
  int exit_code = -1;  ///< its exit code when error is ""
  bool started = false;  ///< it was started (error then says how it ended abnormally)
};

/// How often `while_running` is called while a helper program runs.
inline constexpr int kWhileRunningMilliseconds = 100;

/// Runs `program` (searched on PATH when it names no directory) with `args`,
/// sends its standard output and error to `log_file`, and waits for it. It
/// starts in `working_directory`, or in the current one when that is empty.
/// `while_running`, when set, is called every kWhileRunningMilliseconds until
/// the program ends (to show its progress, for example). A non-zero
/// `time_limit` ends a program that runs longer (the program itself, not
/// programs it started), and the error says so.
ProcessResult RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& log_file,
                         const std::filesystem::path& working_directory = {},
                         const std::function<void()>& while_running = {},
                         std::chrono::seconds time_limit = std::chrono::seconds{0});

/// The error of a program ended by its time limit.
std::string TimeLimitError(std::chrono::seconds time_limit);

/// Quotes one argument so that the Windows C runtime splits it back unchanged.
std::string QuoteWindowsArgument(const std::string& arg);

}  // namespace harwpack
