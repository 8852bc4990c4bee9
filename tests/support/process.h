// Starting a program under test as a real child process: an argument vector
// quoted the way the C runtime splits it again, a chosen current directory,
// environment overrides, standard input from text or from nothing, standard
// output and error captured through files, and a time bound after which the
// child and everything it started are killed.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/handle.h"

namespace harwtest {

/// What the child reads as standard input.
enum class Input {
  kEmpty,   ///< the NUL device: the first read reports end of input
  kClosed,  ///< no standard input handle at all
  kText,    ///< RunOptions::input_text, then end of input
};

/// How to start a child.
struct RunOptions {
  /// The program's path, also entry 0 of its argument vector.
  std::filesystem::path program;
  /// Entries 1 onward of the child's argument vector; entry 0 is the program path.
  std::vector<std::wstring> args;
  /// Empty: the child inherits the test program's current directory.
  std::filesystem::path current_dir;
  /// Set or replace these variables (names compared without regard to case)
  /// in the environment the child inherits; an empty value removes the variable.
  std::vector<std::pair<std::wstring, std::wstring>> env;
  /// What the child reads as standard input, and the text for Input::kText.
  Input input = Input::kEmpty;
  std::string input_text;
  /// Counted from the start; then the child and what it started are killed.
  std::chrono::milliseconds time_limit{30000};
  /// A console of its own, so that a console control event sent to it reaches
  /// this child alone; the child then writes there, and nothing is captured.
  bool own_console = false;
  /// Started under the debugger of the thread that calls Start, which must
  /// handle the child's debug events; Wait cannot be used then.
  bool debugged = false;
};

/// How a child's run went.
struct RunResult {
  bool started = false;  ///< the child was started
  std::string error;  ///< why the child could not be started or observed
  DWORD exit_code = 0;  ///< the child's exit code
  bool timed_out = false;  ///< the time limit passed and the process tree was killed
  std::string out;         ///< standard output, bytes as written
  std::string err;         ///< standard error, bytes as written
  std::chrono::milliseconds elapsed{0};  ///< from the start to the end of the wait
  int start_retries = 0;  ///< starts the system failed internally, then tried again
};

/// The command line that CommandLineToArgvW and the C runtime split back
/// into exactly `argv`.
std::wstring BuildCommandLine(const std::vector<std::wstring>& argv);

/// The current environment with `overrides` applied, as a CreateProcessW block.
std::wstring MergeEnvironment(const std::vector<std::pair<std::wstring, std::wstring>>& overrides);

/// A running child. The child and every process it starts belong to one job;
/// destroying the object kills whatever of that tree is still alive, so no
/// test leaves a process behind for the next.
class ChildProcess {
 public:
  ChildProcess() = default;
  /// Kills whatever of the child's tree still runs and removes the capture files.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Starts the child; false with error() set if it could not be started.
  bool Start(const RunOptions& options);
  /// Why Start failed.
  const std::string& error() const { return error_; }
  /// How often Start tried again after the system failed a start internally.
  int start_retries() const { return start_retries_; }

  /// True while the child itself is running.
  bool Running() const;

  /// The child's process handle and identifier, for what a test does to it itself.
  HANDLE process() const { return process_.get(); }
  DWORD id() const { return id_; }

  /// Waits for the child until its time limit, counted from Start; on expiry
  /// kills the whole tree. Then collects the captured output.
  RunResult Wait();

 private:
  bool Fail(const std::string& what);
  bool PrepareFiles(const RunOptions& options);
  bool CreateSuspended(const RunOptions& options, PROCESS_INFORMATION& info);
  bool Launch(const RunOptions& options);
  std::string Collect(Handle& file, std::filesystem::path& path);

  std::string error_;
  Handle job_;
  Handle process_;
  Handle stdin_file_;
  Handle stdout_file_;
  Handle stderr_file_;
  std::filesystem::path stdin_path_;
  std::filesystem::path stdout_path_;
  std::filesystem::path stderr_path_;
  std::chrono::steady_clock::time_point started_at_;
  std::chrono::milliseconds time_limit_{0};
  DWORD id_ = 0;
  int start_retries_ = 0;
};

/// Start, then Wait.
RunResult RunProcess(const RunOptions& options);

/// Sets or replaces one environment entry in `options` (names compared
/// without regard to case); a new name is appended.
void SetEnv(RunOptions& options, const std::wstring& name, const std::wstring& value);

/// A run of `program` in `folder`: current directory, TMP and TEMP are the
/// folder (with a trailing backslash), standard input empty, the default
/// time limit.
RunOptions InFolder(const std::filesystem::path& program, const std::filesystem::path& folder,
                    std::vector<std::wstring> args = {});

/// The console text of a run with carriage returns before line feeds removed.
std::string ConsoleText(const RunResult& result);

}  // namespace harwtest
