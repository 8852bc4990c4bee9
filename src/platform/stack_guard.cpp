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

// splitmix64's finaliser: every bit of the result depends on every bit of
// the input, so the guard's upper half in the 64-bit edition is as hard to
// guess as its lower half, although the time's high word changes slowly.
static uint64_t MixBits(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

static void SeedStackGuard() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  seed = MixBits(seed ^ GetCurrentProcessId() ^ (static_cast<uint64_t>(GetCurrentThreadId()) << 32));
  seed = MixBits(seed ^ GetTickCount() ^ static_cast<uint64_t>(counter.QuadPart));
  seed = MixBits(seed ^ static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed)));
  uintptr_t guard = static_cast<uintptr_t>(seed);  // the low half in the 32-bit edition
  if (guard == 0) guard = 0x2B992DDFu;
  __stack_chk_guard = guard;
}

// Runs among the static constructors, before the entry point: no protected
// frame is active yet.
namespace {
struct StackGuardSeeder {
  StackGuardSeeder() { SeedStackGuard(); }
} Seeder;
}  // namespace
