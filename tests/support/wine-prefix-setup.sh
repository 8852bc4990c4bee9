#!/bin/sh
# Prepares this build tree's Wine prefix and starts one persistent wineserver
# for the whole test run, so each test program starts against a warm server.
# Usage: wine-prefix-setup.sh <log file> [<program that opens a window>]
# WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES come from the test's environment,
# and HARW_WINE and HARW_WINE_ARCH name the edition's Wine loader and the
# prefix's kind (default: wine, win32).
set -eu

log=$1
warmup=${2:-}
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
wine=${HARW_WINE:-wine}

mkdir -p "$(dirname "$log")"
: >"$log"

# Wine's helper processes (services, explorer, plugplay...) inherit the standard
# handles of whoever starts them and live as long as the server. Started from
# here with everything sent to the log, they never hold a test's output pipe
# open, which would keep ctest waiting on that test until its timeout.
run_quiet() { "$@" </dev/null >>"$log" 2>&1; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating $WINEPREFIX"
  # Every program under test is of the tree's edition: a 32-bit prefix for
  # x86 is half the size of a 64-bit one and builds in half the time.
  WINEARCH=${HARW_WINE_ARCH:-win32} run_quiet "$wine" wineboot -i
  run_quiet wineserver -w
fi

# A server left behind by an interrupted run is reused; -p then reports 2.
status=0
run_quiet wineserver -p || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
  echo "wineserver -p failed with $status; see $log" >&2
  exit 1
fi

run_quiet "$wine" cmd /c exit
# The window tests' own window unmanaged: hiding a managed window without a
# window manager waits two seconds for an answer that never comes.
window_key='HKCU\Software\Wine\AppDefaults\run_window_test.exe\X11 Driver'
if ! grep -q 'AppDefaults\\\\run_window_test.exe\\\\X11 Driver' "$WINEPREFIX/user.reg" 2>/dev/null; then
  run_quiet "$wine" reg add "$window_key" /v Managed /d N /f
fi
if [ -n "$warmup" ]; then
  # A window lookup makes Wine start its desktop process now rather than
  # inside the first test that touches a window.
  HARW_SETUP_WINDOW="warm-up" run_quiet "$wine" "$warmup"
fi
echo "wineserver running for $WINEPREFIX"
