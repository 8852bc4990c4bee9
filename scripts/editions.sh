# Which editions of the program this machine can run under Wine, found out by
# trying, and the one line that says what was tested. Sourced by test.sh,
# demo.sh and bench/run.sh.
#
# The x64 edition runs under 64-bit Wine on every x86-64 machine. The x86
# edition needs the 32-bit Wine loader, an i386 program: it is missing where
# wine32 could not be installed, and it cannot start where the kernel runs
# 64-bit code only ("IA-32 emulation off": execve answers "Exec format
# error"). So the loader is started, not guessed at from the CPU's name.

## probe_x86: sets x86_runs to yes or no and, for no, x86_reason to why.
## HARW_WINE32_LOADER names another loader to try (the probe's own test).
probe_x86() {
  local loader=${HARW_WINE32_LOADER:-/usr/lib/wine/wine} out status=0
  x86_runs=no
  x86_reason=
  if [ ! -e "$loader" ]; then
    x86_reason="32-bit Wine is not installed ($loader is missing)"
    return
  fi
  out=$(mktemp)
  "$loader" --version </dev/null >"$out" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && grep -q '^wine-' "$out"; then
    x86_runs=yes
  else
    x86_reason="this machine cannot start 32-bit programs: '$loader --version' ended with $status"
    if [ -s "$out" ]; then
      x86_reason="$x86_reason ($(head -c 300 "$out" | tr '\n' ' ' | sed 's/ *$//'))"
    fi
  fi
  rm -f "$out"
}

## edition_line <x86 tested: yes|no> [<why not>]: the line that says which
## editions the tests ran, and why one did not.
edition_line() {
  if [ "$1" = yes ]; then
    echo "editions tested: x64 (under 64-bit Wine) and x86 (under 32-bit Wine)"
  else
    echo "editions tested: x64 (under 64-bit Wine) only; x86 NOT run: $2;" \
      "its image was checked without running it"
  fi
}

## write_foreign_program <path>: an executable ELF file for a machine no
## kernel here runs (0x9999): starting it fails with ENOEXEC ("Exec format
## error"), as an i386 program does where IA-32 emulation is off.
write_foreign_program() {
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\231\231\001\000\000\000' >"$1"
  head -c 28 /dev/zero >>"$1"
  chmod 755 "$1"
}
