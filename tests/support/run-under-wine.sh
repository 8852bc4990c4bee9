#!/bin/sh
# Runs one Windows test program under Wine with its output in a file, shown
# when it ends. Wine may start its desktop process during a test; that process
# inherits the test's standard handles and outlives it, and ctest would wait
# on a pipe it holds open until the test's timeout.
# Usage: run-under-wine.sh <program.exe> [arguments...]
# HARW_WINE names the edition's Wine loader (default: wine).
out=$(mktemp) || exit 1
"${HARW_WINE:-wine}" "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit "$status"
