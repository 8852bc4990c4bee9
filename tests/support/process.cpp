#include "support/process.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

#include "support/text.h"

namespace harwtest {

namespace fs = std::filesystem;

// The rules of CommandLineToArgvW: backslashes are literal unless they precede
// a double quote, where each pair stands for one backslash.
static void AppendQuoted(const std::wstring& arg, std::wstring& out) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    out += arg;
    return;
  }
  out.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    out.push_back(c);
    backslashes = 0;
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
}

std::wstring BuildCommandLine(const std::vector<std::wstring>& argv) {
  std::wstring line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line.push_back(L' ');
    AppendQuoted(argv[i], line);
  }
  return line;
}

static std::wstring NameOf(const std::wstring& entry) {
  // Entries such as "=C:=C:\dir" start with '='; their name runs to the second one.
  std::size_t equals = entry.find(L'=', 1);
  return entry.substr(0, equals);
}

static std::vector<std::wstring> CurrentEnvironment() {
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return entries;
  for (const wchar_t* p = block; *p != L'\0'; p += std::wcslen(p) + 1) entries.emplace_back(p);
  FreeEnvironmentStringsW(block);
  return entries;
}

std::wstring MergeEnvironment(const std::vector<std::pair<std::wstring, std::wstring>>& overrides) {
  std::vector<std::wstring> entries = CurrentEnvironment();
  for (const auto& [name, value] : overrides) {
    std::vector<std::wstring> kept;
    for (auto& entry : entries) {
      if (_wcsicmp(NameOf(entry).c_str(), name.c_str()) != 0) kept.push_back(std::move(entry));
    }
    if (!value.empty()) kept.push_back(name + L"=" + value);
    entries = std::move(kept);
  }
  std::wstring block;
  for (const auto& entry : entries) block += entry + L'\0';
  block.push_back(L'\0');
  return block;
}

static fs::path CaptureFilePath(const wchar_t* kind) {
  static std::atomic<unsigned> counter{0};
  wchar_t folder[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  fs::path base = length == 0 ? fs::current_path() : fs::path(folder);
  return base / (L"harwtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter) + L"." + kind);
}

static Handle OpenInheritable(const fs::path& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return Handle(CreateFileW(path.c_str(), access,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ChildProcess::~ChildProcess() {
  // Closing the job kills the rest of the tree (KILL_ON_JOB_CLOSE).
  job_.Reset();
  stdin_file_.Reset();
  if (!stdin_path_.empty()) DeleteFileW(stdin_path_.c_str());
  // Left when Wait was never called (a debugged child, a failed start).
  for (Handle* file : {&stdout_file_, &stderr_file_}) file->Reset();
  for (fs::path* path : {&stdout_path_, &stderr_path_}) {
    if (!path->empty()) DeleteFileW(path->c_str());
  }
}

bool ChildProcess::Fail(const std::string& what) {
  error_ = what + " failed, error " + std::to_string(GetLastError());
  return false;
}

bool ChildProcess::PrepareFiles(const RunOptions& options) {
  stdout_path_ = CaptureFilePath(L"out");
  stderr_path_ = CaptureFilePath(L"err");
  stdout_file_ = OpenInheritable(stdout_path_, GENERIC_WRITE, CREATE_ALWAYS);
  if (!stdout_file_.valid()) return Fail("creating the standard output file");
  stderr_file_ = OpenInheritable(stderr_path_, GENERIC_WRITE, CREATE_ALWAYS);
  if (!stderr_file_.valid()) return Fail("creating the standard error file");
  if (options.input == Input::kEmpty) {
    stdin_file_ = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    if (!stdin_file_.valid()) return Fail("opening NUL for standard input");
  } else if (options.input == Input::kText) {
    stdin_path_ = CaptureFilePath(L"in");
    if (!WriteBytes(stdin_path_, options.input_text)) return Fail("writing the standard input file");
    stdin_file_ = OpenInheritable(stdin_path_, GENERIC_READ, OPEN_EXISTING);
    if (!stdin_file_.valid()) return Fail("opening the standard input file");
  }
  return true;
}

// Under Wine, a new process that dies while it is being set up, before its
// image is loaded, fails CreateProcessW with ERROR_INTERNAL_ERROR (the system
// learned no exit code). On a busy machine that happens now and then, whatever
// the program; an image the system refuses gives other errors. So such a start
// is tried again, and the result says how often.
constexpr int kStartTries = 3;
constexpr DWORD kStartPauseMs = 200;

static bool KillOnClose(HANDLE job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits)) != FALSE;
}

bool ChildProcess::CreateSuspended(const RunOptions& options, PROCESS_INFORMATION& info) {
  std::vector<std::wstring> argv{options.program.wstring()};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  std::wstring command_line = BuildCommandLine(argv);
  std::wstring environment = MergeEnvironment(options.env);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  if (!options.own_console) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = stdin_file_.get();
    startup.hStdOutput = stdout_file_.get();
    startup.hStdError = stderr_file_.get();
  }
  // Suspended until it is in the job, so not even its first child escapes.
  DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (options.own_console) flags |= CREATE_NEW_CONSOLE;
  if (options.debugged) flags |= DEBUG_ONLY_THIS_PROCESS;
  const wchar_t* directory = options.current_dir.empty() ? nullptr : options.current_dir.c_str();
  for (int tries = 1;; ++tries) {
    if (CreateProcessW(options.program.c_str(), command_line.data(), nullptr, nullptr,
                       options.own_console ? FALSE : TRUE, flags, environment.data(), directory,
                       &startup, &info)) {
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || tries == kStartTries) {
      SetLastError(error);
      return Fail("CreateProcessW(" + ToUtf8(options.program.wstring()) + ")");
    }
    ++start_retries_;
    Sleep(kStartPauseMs);
  }
  return true;
}

bool ChildProcess::Launch(const RunOptions& options) {
  job_ = Handle(CreateJobObjectW(nullptr, nullptr));
  if (!job_.valid()) return Fail("CreateJobObjectW");
  if (!KillOnClose(job_.get())) return Fail("SetInformationJobObject");
  PROCESS_INFORMATION info = {};
  if (!CreateSuspended(options, info)) return false;
  process_ = Handle(info.hProcess);
  id_ = info.dwProcessId;
  Handle thread(info.hThread);
  if (!AssignProcessToJobObject(job_.get(), process_.get())) {
    TerminateProcess(process_.get(), 1);
    return Fail("AssignProcessToJobObject");
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) return Fail("ResumeThread");
  return true;
}

bool ChildProcess::Start(const RunOptions& options) {
  started_at_ = std::chrono::steady_clock::now();
  time_limit_ = options.time_limit;
  return PrepareFiles(options) && Launch(options);
}

bool ChildProcess::Running() const {
  return process_.valid() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::string ChildProcess::Collect(Handle& file, fs::path& path) {
  file.Reset();
  std::string bytes = ReadBytes(path).value_or(std::string());
  DeleteFileW(path.c_str());
  path.clear();
  return bytes;
}

RunResult ChildProcess::Wait() {
  RunResult result;
  result.start_retries = start_retries_;
  if (!process_.valid()) {
    result.error = error_.empty() ? "the child was not started" : error_;
    return result;
  }
  result.started = true;
  auto deadline = started_at_ + time_limit_;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  DWORD wait = WaitForSingleObject(process_.get(), static_cast<DWORD>(std::max<long long>(0, left.count())));
  if (wait == WAIT_TIMEOUT) {
    result.timed_out = true;
    if (!TerminateJobObject(job_.get(), 0xDEAD)) result.error = "TerminateJobObject failed";
    WaitForSingleObject(process_.get(), 10000);
  } else if (wait != WAIT_OBJECT_0) {
    result.error = "WaitForSingleObject failed, error " + std::to_string(GetLastError());
  }
  if (!GetExitCodeProcess(process_.get(), &result.exit_code) && result.error.empty()) {
    result.error = "GetExitCodeProcess failed, error " + std::to_string(GetLastError());
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started_at_);
  result.out = Collect(stdout_file_, stdout_path_);
  result.err = Collect(stderr_file_, stderr_path_);
  return result;
}

RunResult RunProcess(const RunOptions& options) {
  ChildProcess child;
  if (!child.Start(options)) {
    RunResult result;
    result.error = child.error();
    result.start_retries = child.start_retries();
    return result;
  }
  return child.Wait();
}

void SetEnv(RunOptions& options, const std::wstring& name, const std::wstring& value) {
  for (auto& [key, old] : options.env) {
    if (_wcsicmp(key.c_str(), name.c_str()) == 0) {
      old = value;
      return;
    }
  }
  options.env.emplace_back(name, value);
}

RunOptions InFolder(const std::filesystem::path& program, const std::filesystem::path& folder,
                    std::vector<std::wstring> args) {
  RunOptions options;
  options.program = program;
  options.args = std::move(args);
  options.current_dir = folder;
  std::wstring slash = folder.wstring();
  if (slash.empty() || slash.back() != L'\\') slash.push_back(L'\\');
  options.env = {{L"TMP", slash}, {L"TEMP", slash}};
  options.input = Input::kEmpty;
  return options;
}

std::string ConsoleText(const RunResult& result) { return WithoutCarriageReturns(result.out); }

}  // namespace harwtest
