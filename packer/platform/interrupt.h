// Stopping cleanly on Ctrl+C or a termination request: the signal is noted,
// passed on to the helper program that runs at the time, and the packer
// returns from what it is doing, so that its temporary files and its
// unfinished package are removed on the way out.
#pragma once

#include <string>

namespace harwpack {

/// Notes SIGINT and SIGTERM (Ctrl+C and Ctrl+Break on Windows) instead of
/// ending at once. Only the tool's entry point calls it. Returns "" or why
/// the handlers could not be installed (the signals then end the packer at once).
std::string CatchInterrupts();

/// The signal that asked the packer to stop; 0 while none has.
int InterruptSignal();

/// "SIGINT", "SIGTERM"... for messages.
const char* InterruptName(int signal);

/// "" while no interrupt has arrived, else "interrupted by SIGINT" (or the like).
std::string InterruptError();

/// Ends the process the way the noted signal would have (the caller has
/// cleaned up): its exit status then says the run was interrupted.
[[noreturn]] void EndByInterrupt();

/// Waits `seconds`, or less when an interrupt arrives.
void PauseUnlessInterrupted(int seconds);

#ifndef _WIN32
/// Remembers the helper process that runs now (0: none), so that a signal
/// reaches it too, even one that comes before the packer waits for it. (On
/// Windows the wait itself looks for an interrupt and ends the helper.)
void SetRunningChild(int pid);
#endif

}  // namespace harwpack
