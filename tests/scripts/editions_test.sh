#!/usr/bin/env bash
# The probe that decides whether the x86 suite runs, against stand-ins for
# the 32-bit Wine loader that fail the ways a machine fails (missing, a
# program the kernel cannot start, a loader that breaks), and the line that
# reports the outcome.
# Usage: editions_test.sh <scripts folder>
set -u
source "$1/editions.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check <case> <expected x86_runs> <text the reason must hold>
  if [ "$x86_runs" != "$2" ] || [[ "$x86_reason" != *"$3"* ]]; then
    echo "FAILED $1: x86_runs=$x86_runs, reason '$x86_reason'; expected $2 with '$3'"
    failures=$((failures + 1))
  else
    echo "ok $1"
  fi
}

write_foreign_program "$work/foreign"
printf '#!/bin/sh\necho wine-8.0 "(stand-in)"\n' >"$work/loader"
printf '#!/bin/sh\necho wine-8.0\nexit 3\n' >"$work/failing"
printf '#!/bin/sh\necho "error while loading shared libraries: libc.so.6"\n' >"$work/silent"
chmod +x "$work/loader" "$work/failing" "$work/silent"

HARW_WINE32_LOADER=$work/missing probe_x86
check missing_loader no "32-bit Wine is not installed ($work/missing is missing)"
HARW_WINE32_LOADER=$work/foreign probe_x86
check kernel_refuses no "cannot start 32-bit programs: '$work/foreign --version' ended with 126"
[[ "$x86_reason" == *"Exec format error"* ]] || { echo "FAILED kernel_refuses: no 'Exec format error' in '$x86_reason'"; failures=$((failures + 1)); }
HARW_WINE32_LOADER=$work/failing probe_x86
check loader_fails no "ended with 3 (wine-8.0)"
HARW_WINE32_LOADER=$work/silent probe_x86
check no_version no "ended with 0 (error while loading shared libraries: libc.so.6)"
HARW_WINE32_LOADER=$work/loader probe_x86
check starts yes ""

expect_line() {  # expect_line <case> <expected> <actual>
  if [ "$2" != "$3" ]; then
    echo "FAILED $1: '$3', expected '$2'"
    failures=$((failures + 1))
  else
    echo "ok $1"
  fi
}
expect_line line_both "editions tested: x64 (under 64-bit Wine) and x86 (under 32-bit Wine)" "$(edition_line yes)"
expect_line line_x64_only \
  "editions tested: x64 (under 64-bit Wine) only; x86 NOT run: why not; its image was checked without running it" \
  "$(edition_line no "why not")"

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
echo "all cases passed"
