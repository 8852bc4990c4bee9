// The compiler's stack protector for mingw-w64 builds. GCC's own runtime for it
// seeds the guard through the cryptography library (ADVAPI32), which the
// package must not import, so the guard is provided here from kernel sources,
// the way the Microsoft compiler seeds its security cookie.
//
// This file is compiled without the stack protector: it changes the guard, and
// a protected frame active across that change would report an overrun.
#include "platform/windows_api.h"

#include <stdint.h>

extern "C" {

uintptr_t __stack_chk_guard = 0x2B992DDFu;

void __stack_chk_fail(void) {
  // An overrun stack must not run any more of the program: no clean-up, no log.
  TerminateProcess(GetCurrentProcess(), 0xC0000409u);  // STATUS_STACK_BUFFER_OVERRUN
  for (;;) {
  }
}

}  // extern "C"

static void SeedStackGuard() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uintptr_t seed = time.dwLowDateTime ^ time.dwHighDateTime;
  seed ^= GetCurrentProcessId() ^ (GetCurrentThreadId() << 16);
  seed ^= GetTickCount() ^ counter.LowPart ^ counter.HighPart;
  seed ^= reinterpret_cast<uintptr_t>(&seed);
  if (seed == 0) seed = 0x2B992DDFu;
  __stack_chk_guard = seed;
}

// Runs among the static constructors, before the entry point: no protected
// frame is active yet.
namespace {
struct StackGuardSeeder {
  StackGuardSeeder() { SeedStackGuard(); }
} Seeder;
}  // namespace
