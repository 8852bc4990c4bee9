#include "packer/platform/process.h"

#include <chrono>
#include <system_error>

#include "packer/platform/interrupt.h"
#include "packer/platform/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace harwpack {

namespace {

using Clock = std::chrono::steady_clock;

/// A program named with a directory part must not be looked up again from
/// another working directory.
std::filesystem::path Resolved(const std::filesystem::path& program) {
  if (!program.has_parent_path() || program.is_absolute()) return program;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(program, ec);
  return ec ? program : absolute;
}

/// When a program given `time_limit` must have ended; never for no limit.
Clock::time_point Deadline(std::chrono::seconds time_limit) {
  return time_limit.count() > 0 ? Clock::now() + time_limit : Clock::time_point::max();
}

}  // namespace

std::string TimeLimitError(std::chrono::seconds time_limit) {
  return "it did not end within " + std::to_string(time_limit.count()) + " s and was stopped";
}

std::string QuoteWindowsArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes only escape when a quote follows them.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string& utf8) {
  const std::optional<std::u16string> units = Utf8ToUtf16(utf8);
  return units ? std::wstring(units->begin(), units->end()) : std::wstring();
}

/// "<call> failed (error N)"; called right after the failing call, before anything can change the error.
std::string LastError(const char* call) {
  const DWORD error = GetLastError();
  return std::string(call) + " failed (error " + std::to_string(error) + ")";
}

/// Waits for the process in short steps, calling `while_running` between
/// them; on an interrupt, or at `deadline`, ends it (it runs without a
/// console of ours, so Ctrl+C does not reach it) and waits for that. ""
/// or the failed call; `out_of_time` says whether the deadline ended it.
std::string WaitUnlessInterrupted(HANDLE process, const std::function<void()>& while_running,
                                  Clock::time_point deadline, bool& out_of_time) {
  for (;;) {
    const DWORD waited = WaitForSingleObject(process, kWhileRunningMilliseconds);
    if (waited == WAIT_OBJECT_0) return "";
    if (waited != WAIT_TIMEOUT) return LastError("WaitForSingleObject");
    out_of_time = Clock::now() >= deadline;
    if (InterruptSignal() == 0 && !out_of_time) {
      if (while_running) while_running();
      continue;
    }
    if (!TerminateProcess(process, 1)) return LastError("TerminateProcess");
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) return LastError("WaitForSingleObject");
    return "";
  }
}

/// Waits for the process and takes its exit code; closes its handles.
ProcessResult Reap(PROCESS_INFORMATION& info, const std::function<void()>& while_running,
                   std::chrono::seconds time_limit) {
  ProcessResult result;
  result.started = true;
  DWORD code = 0;
  bool out_of_time = false;
  result.error = WaitUnlessInterrupted(info.hProcess, while_running, Deadline(time_limit), out_of_time);
  if (result.error.empty() && !GetExitCodeProcess(info.hProcess, &code)) {
    result.error = LastError("GetExitCodeProcess");
  } else if (result.error.empty() && InterruptSignal() != 0) {
    result.error = InterruptError();
  } else if (result.error.empty() && out_of_time) {
    result.error = TimeLimitError(time_limit);
  }
  result.exit_code = static_cast<int>(code);
  // Both are closed whatever happened: a failed first close must not leak the second handle.
  for (HANDLE handle : {info.hThread, info.hProcess}) {
    if (!CloseHandle(handle) && result.error.empty()) result.error = LastError("CloseHandle");
  }
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& log_file, const std::filesystem::path& working_directory,
                         const std::function<void()>& while_running, std::chrono::seconds time_limit) {
  if (InterruptSignal() != 0) return {InterruptError(), -1};
  std::string line = QuoteWindowsArgument(PathToUtf8(Resolved(program)));
  for (const std::string& arg : args) line += " " + QuoteWindowsArgument(arg);
  std::wstring command = Wide(line);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE log = CreateFileW(log_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return {LastError("CreateFile(log)"), -1};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = log;
  startup.hStdError = log;
  PROCESS_INFORMATION info{};
  const wchar_t* directory = working_directory.empty() ? nullptr : working_directory.c_str();
  const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, directory, &startup, &info);
  ProcessResult result;
  if (!started) {
    result.error = "cannot start '" + PathToUtf8(program) + "' (error " + std::to_string(GetLastError()) + ")";
  } else {
    result = Reap(info, while_running, time_limit);
  }
  if (!CloseHandle(log) && result.error.empty()) result.error = LastError("CloseHandle(log)");
  return result;
}

#else

namespace {

std::string Errno(const std::string& what, int code) {
  return what + " (" + std::generic_category().message(code) + ")";
}

/// Seconds a helper may take to end after an interrupt was passed on to it.
constexpr int kGraceSeconds = 5;

/// Steps in which an ended helper is noticed while polling.
constexpr std::chrono::milliseconds kPollStep{20};

/// Waits for the helper; when `while_running` is set or there is a deadline,
/// in short steps that call it every kWhileRunningMilliseconds. After an
/// interrupt (which the signal handler passes on to the helper) or at the
/// deadline (SIGTERM sent here; `out_of_time` then set) it is given
/// kGraceSeconds to end, then killed.
pid_t WaitForChild(pid_t pid, int& status, const std::function<void()>& while_running,
                   Clock::time_point deadline, bool& out_of_time) {
  SetRunningChild(pid);
  if (InterruptSignal() != 0) kill(pid, InterruptSignal());  // it came before the helper was known
  const bool poll = while_running || deadline != Clock::time_point::max();
  Clock::time_point kill_at = Clock::time_point::max();
  Clock::time_point called{};  // long ago: the first call comes at once
  pid_t done;
  for (;;) {
    const bool interrupted = InterruptSignal() != 0;
    done = waitpid(pid, &status, interrupted || poll ? WNOHANG : 0);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (done < 0) continue;  // a signal came during a blocking wait
    const auto now = Clock::now();
    if (!interrupted && while_running && now - called >= std::chrono::milliseconds(kWhileRunningMilliseconds)) {
      while_running();
      called = now;
    }
    if (!interrupted && !out_of_time && now >= deadline) {
      out_of_time = true;
      kill(pid, SIGTERM);
    }
    if ((interrupted || out_of_time) && kill_at == Clock::time_point::max()) {
      kill_at = now + std::chrono::seconds(kGraceSeconds);
    }
    if (now > kill_at) kill(pid, SIGKILL);
    std::this_thread::sleep_for(kPollStep);
  }
  SetRunningChild(0);
  return done;
}

ProcessResult Wait(pid_t pid, const std::function<void()>& while_running, std::chrono::seconds time_limit) {
  int status = 0;
  bool out_of_time = false;
  if (WaitForChild(pid, status, while_running, Deadline(time_limit), out_of_time) < 0) {
    return {Errno("waitpid failed", errno), -1, true};
  }
  if (InterruptSignal() != 0) return {InterruptError(), -1, true};
  if (out_of_time) return {TimeLimitError(time_limit), -1, true};
  if (WIFEXITED(status)) return {"", WEXITSTATUS(status), true};
  return {"it was ended by signal " + std::to_string(WTERMSIG(status)), -1, true};
}

}  // namespace

ProcessResult RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& log_file, const std::filesystem::path& working_directory,
                         const std::function<void()>& while_running, std::chrono::seconds time_limit) {
  if (InterruptSignal() != 0) return {InterruptError(), -1};
  std::vector<std::string> storage{Resolved(program).string()};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) return {Errno("posix_spawn_file_actions_init failed", rc), -1};
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    rc = posix_spawn_file_actions_addopen(&actions, 1, log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (rc == 0 && !working_directory.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&actions, working_directory.c_str());
  }
  pid_t pid = -1;
  // Without a directory part the program is looked up on PATH, as a shell would.
  if (rc == 0) rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  const int destroyed = posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return {Errno("cannot start '" + program.string() + "'", rc), -1};
  ProcessResult result = Wait(pid, while_running, time_limit);
  if (destroyed != 0 && result.error.empty()) result.error = Errno("posix_spawn_file_actions_destroy failed", destroyed);
  return result;
}

#endif

}  // namespace harwpack
