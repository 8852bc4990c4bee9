#!/usr/bin/env bash
# The one test command: installs what is missing, builds the native tree
# (build/native: the packer and its tests) and the Windows tree (build/win:
# the program, its fixtures and tests, cross-compiled) with the CMake presets
# "native" and "mingw", and runs
#   - both ctest suites; the Windows one under Wine on a virtual X display;
#   - msvc_check: every file of src/ and packer/ compiled in clang-cl's MSVC
#     mode, and CMake's Microsoft configuration (scripts/msvc-check.sh);
#   - installed_package: the Debian package and the zip made with CPack,
#     unpacked into a temporary root and used without --stub
#     (tests/vendor/installed_package.sh).
# Arguments are passed to both ctest runs (for example -R run_test); with -R,
# msvc_check and installed_package run only when their name matches.
# Exits non-zero if anything fails to build or any test fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/setup-debian.sh

jobs=$(nproc 2>/dev/null || echo 2)

# The native packer first: the Windows tree's vendor walkthrough test uses it.
# The native tree's Debian package takes the Windows tree's program
# (HARW_PROGRAM in CMakePresets.json).
cmake --preset native
cmake --build --preset native --parallel "$jobs"
cmake --preset mingw
cmake --build --preset mingw --parallel "$jobs"

# Which of the checks outside ctest a -R selects.
selected() {
  local args=("${@:2}") i
  for ((i = 0; i < ${#args[@]}; i++)); do
    if [ "${args[i]}" = "-R" ] && [ $((i + 1)) -lt ${#args[@]} ]; then
      echo "$1" | grep -qE -- "${args[i + 1]}"
      return
    fi
  done
  return 0
}

# Every suite runs even if one before it fails, so one run reports every failure.
failed=()
(cd build/native && ctest --output-on-failure --parallel "$jobs" "$@") || failed+=(native)
(cd build/win && xvfb-run -a ctest --output-on-failure --parallel "$jobs" "$@") || failed+=(windows)
if selected msvc_check "$@"; then
  scripts/msvc-check.sh || failed+=(msvc_check)
fi
if selected installed_package "$@"; then
  rm -rf build/native/package build/win/package
  if (cd build/native && cpack -B package >package.log 2>&1) &&
     (cd build/win && cpack -B package >package.log 2>&1); then
    WINEPREFIX="$root/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      xvfb-run -a sh tests/vendor/installed_package.sh build/native/package/harwupdater_*.deb \
        build/win/package/HarwUpdater-*-win32.zip build/win/bin sample/installation \
        build/test-tmp/installed_package || failed+=(installed_package)
  else
    cat build/native/package.log build/win/package.log
    failed+=(installed_package)
  fi
fi

if [ "${#failed[@]}" -gt 0 ]; then
  echo "test.sh: tests failed in: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: all tests passed"
