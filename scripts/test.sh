#!/usr/bin/env bash
# The one test command: installs what is missing, builds the native tree
# (build/native: the packer and its tests) and both Windows trees, each
# cross-compiled for one edition of the program (build/win: x86, 32-bit;
# build/win64: x64, 64-bit) with the CMake presets "native", "mingw" and
# "mingw64", finds out whether this machine can start 32-bit programs, and runs
#   - the native ctest suite;
#   - the Windows ctest suite of the x64 edition under 64-bit Wine, on every
#     machine (it also checks the x86 program's image, which needs no running);
#   - the Windows ctest suite of the x86 edition under 32-bit Wine, where this
#     machine can start 32-bit programs; elsewhere its test programs are not
#     built nor run, and the last lines say so: it is never counted as passed;
#   - msvc_check: every file of src/, extractor/ and packer/ compiled in
#     clang-cl's MSVC mode for both editions, and CMake's Microsoft
#     configuration (scripts/msvc-check.sh);
#   - archive_fuzz: the archive reader under libFuzzer with AddressSanitizer
#     and UndefinedBehaviorSanitizer for 50 seconds (scripts/fuzz.sh);
#   - installed_package: the Debian package and the zips made with CPack,
#     unpacked into a temporary root and used without --stub, for each
#     edition this machine can run (tests/vendor/installed_package.sh);
#   - demo: the README's demo command (scripts/demo.sh) ends with exit code 0
#     and its package's setup program ran.
# Both Windows suites run on a virtual X display, each with its own Wine prefix;
# a test program of theirs that fails is run once more, and one that passes
# only then is named in the last lines.
# Arguments are passed to the ctest runs (for example -R run_test); with -R,
# msvc_check, archive_fuzz and installed_package run only when their name
# matches.
# Exits non-zero if anything fails to build or any test that ran fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/editions.sh

scripts/setup-debian.sh

jobs=$(nproc 2>/dev/null || echo 2)

probe_x86
if [ "$x86_runs" = yes ]; then
  editions=(x64 x86)
  x86_tests=ON
else
  editions=(x64)
  x86_tests=OFF
  echo "test.sh: the x86 suite will not run, and its test programs are not built: $x86_reason"
fi

# The native packer first: the Windows trees' vendor tests use it. Both
# Windows trees build their programs whatever this machine can run: each
# one's zip and the native tree's Debian package carry both editions. The x86
# tree's test programs, a third of the build's time, only where they can run.
cmake --preset native
cmake --build --preset native --parallel "$jobs"
cmake --preset mingw -DBUILD_TESTING="$x86_tests"
cmake --build --preset mingw --parallel "$jobs"
cmake --preset mingw64
cmake --build --preset mingw64 --parallel "$jobs"

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

tree_of() { if [ "$1" = x64 ]; then echo build/win64; else echo build/win; fi; }
zip_of() { if [ "$1" = x64 ]; then echo win64; else echo win32; fi; }
loader_of() { if [ "$1" = x64 ]; then echo /usr/lib/wine/wine64; else echo /usr/lib/wine/wine; fi; }
arch_of() { if [ "$1" = x64 ]; then echo win64; else echo win32; fi; }

# The Debian package and the zips, then the installed-package test per edition.
installed_package() {
  rm -rf build/native/package build/win/package build/win64/package
  if ! { (cd build/native && cpack -B package >package.log 2>&1) &&
         (cd build/win && cpack -B package >package.log 2>&1) &&
         (cd build/win64 && cpack -B package >package.log 2>&1); }; then
    cat build/native/package.log build/win/package.log build/win64/package.log 2>/dev/null || true
    return 1
  fi
  local edition tree status=0
  for edition in "${editions[@]}"; do
    tree=$(tree_of "$edition")
    WINEPREFIX="$root/$tree/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      HARW_WINE=$(loader_of "$edition") HARW_WINE_ARCH=$(arch_of "$edition") \
      xvfb-run -a sh tests/vendor/installed_package.sh "$edition" build/native/package/harwupdater_*.deb \
        "$tree/package/HarwUpdater-"*"-$(zip_of "$edition").zip" "$tree/bin" sample/installation \
        "build/test-tmp/installed_package_$edition" || status=1
  done
  return "$status"
}

# The README's other command, so that it cannot break unseen.
demo() {
  local log=build/test-tmp/demo.log
  mkdir -p build/test-tmp
  if ! scripts/demo.sh >"$log" 2>&1 </dev/null || ! grep -q "^=== exit code: 0 ===" "$log" ||
     ! grep -q "setup-report.txt" "$log"; then
    cat "$log"
    echo "demo: scripts/demo.sh failed (log: $log)" >&2
    return 1
  fi
  echo "demo: $(head -n 1 "$log" | sed 's/^demo: //'), package ran with exit code 0 and its setup program ran"
}

# A Windows suite under Wine: a test program that fails is run once more.
# Wine now and then loses a new process while setting it up (CreateProcessW
# then fails with ERROR_INTERNAL_ERROR, about once in a few thousand starts on
# a busy machine), in the tests' own starts and in the program's. The first
# failure's output stays in the log, and a test that passed only the second
# time is named in the last lines.
windows_suite() {
  local tree=$1 log reran
  shift
  log="$root/$tree/Testing/test-sh.log"
  mkdir -p "$(dirname "$log")"
  (cd "$tree" && xvfb-run -a ctest --output-on-failure --parallel "$jobs" \
     --repeat until-pass:2 --output-log "$log" "$@") || return 1
  reran=$(sed -n 's/^.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*$/\1/p' "$log" | sort -u | tr '\n' ' ')
  if [ -n "$reran" ]; then second_runs+=("$tree: ${reran% }"); fi
}

# Every suite runs even if one before it fails, so one run reports every failure.
failed=()
second_runs=()
(cd build/native && ctest --output-on-failure --parallel "$jobs" "$@") || failed+=(native)
for edition in "${editions[@]}"; do
  windows_suite "$(tree_of "$edition")" "$@" || failed+=("windows-$edition")
done
if selected msvc_check "$@"; then
  scripts/msvc-check.sh || failed+=(msvc_check)
fi
if selected archive_fuzz "$@"; then
  scripts/fuzz.sh 50 || failed+=(archive_fuzz)
fi
if selected installed_package "$@"; then
  installed_package || failed+=(installed_package)
fi

if selected demo "$@"; then
  demo || failed+=(demo)
fi

line=$(edition_line "$x86_runs" "$x86_reason")
for reran in "${second_runs[@]}"; do
  echo "test.sh: failed once and passed when run again (the first output is above): $reran"
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "test.sh: $line"
  echo "test.sh: tests failed in: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: $line"
echo "test.sh: all tests that ran passed"
