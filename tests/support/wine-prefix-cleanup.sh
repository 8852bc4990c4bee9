#!/bin/sh
# Stops the wineserver of this build tree's prefix, and with it every Wine
# process of the test run; servers of other prefixes are left alone.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
wineserver -k </dev/null >/dev/null 2>&1 || true
# -k only signals; waiting lets the server flush the registry before ctest ends.
wineserver -w </dev/null >/dev/null 2>&1 || true
echo "wineserver stopped for $WINEPREFIX"
