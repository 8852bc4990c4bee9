#!/usr/bin/env bash
# The one test command: installs what is missing, builds the Windows tree
# (build/win: the program, its fixtures and tests, cross-compiled) and the
# native tree (build/native: the packer and its tests), then runs every test;
# the Windows ones run under Wine on a virtual X display.
# Arguments are passed to both ctest runs (for example -R e2e_run).
# Exits non-zero if anything fails to build or any test fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/setup-debian.sh

jobs=$(nproc 2>/dev/null || echo 2)

# The native packer first: the Windows tree's vendor walkthrough test uses it.
cmake -S . -B build/native -G Ninja
cmake --build build/native --parallel "$jobs"
cmake -S . -B build/win -G Ninja --toolchain cmake/mingw-i686.cmake \
  -DHARW_NATIVE_HARWPACK="$root/build/native/packer/harwpack"
cmake --build build/win --parallel "$jobs"

# Both suites run even if the first fails, so one run reports every failure.
failed=()
(cd build/native && ctest --output-on-failure --parallel "$jobs" "$@") || failed+=(native)
(cd build/win && xvfb-run -a ctest --output-on-failure --parallel "$jobs" "$@") || failed+=(windows)

if [ "${#failed[@]}" -gt 0 ]; then
  echo "test.sh: tests failed in: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: all tests passed"
