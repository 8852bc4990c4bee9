#include "packer/platform/interrupt.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "packer/platform/file_io.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace harwpack {
namespace {

// Atomic, not only volatile: on Windows the console handler sets it from a
// thread of its own. Lock-free, so that a signal handler may use it too.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");

/// Keeps the first interrupt: a second one must not rename what stopped the work.
void Record(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
}

#ifdef _WIN32

/// Runs on a thread of its own; the waits of the main thread look at the flag.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  Record(event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
  return TRUE;
}

#else

std::atomic<pid_t> g_child{0};

extern "C" void OnSignal(int signal) {
  Record(signal);
  const pid_t child = g_child;
  if (child > 0) kill(child, signal);  // async-signal-safe; errno is not looked at afterwards
}

/// Installs the handler, unless the signal was ignored when the packer
/// started (a background job keeps ignoring Ctrl+C); false when it fails.
bool Catch(int signal) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait for a helper program returns at once
  if (sigaction(signal, nullptr, &previous) != 0) return false;
  if (previous.sa_handler == SIG_IGN) return true;
  return sigaction(signal, &action, nullptr) == 0;
}

#endif

}  // namespace

std::string CatchInterrupts() {
#ifdef _WIN32
  if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    return "SetConsoleCtrlHandler failed (error " + std::to_string(GetLastError()) + ")";
  }
#else
  if (!Catch(SIGINT) || !Catch(SIGTERM)) return "sigaction failed" + ErrnoSuffix();
#endif
  return "";
}

int InterruptSignal() { return g_signal; }

const char* InterruptName(int signal) {
  switch (signal) {
#ifdef _WIN32
    case SIGINT:
      return "Ctrl+C";
    case SIGBREAK:
      return "Ctrl+Break";
#else
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
#endif
    default:
      return "an interrupt";
  }
}

std::string InterruptError() {
  const int signal = g_signal;
  return signal == 0 ? std::string() : std::string("interrupted by ") + InterruptName(signal);
}

void EndByInterrupt() {
#ifdef _WIN32
  ExitProcess(STATUS_CONTROL_C_EXIT);
#else
  const int signal = g_signal;
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);  // only if the signal did not end the process
#endif
}

void PauseUnlessInterrupted(int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (g_signal == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

#ifndef _WIN32
void SetRunningChild(int pid) { g_child = pid; }
#endif

}  // namespace harwpack
