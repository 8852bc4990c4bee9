#!/usr/bin/env bash
# Builds the demo package from the sample installation and runs it under Wine:
# the packer makes the sample folder the archive of the project's
# self-extractor (HarwExtract.exe) and appends that to HarwUpdater.exe, and the
# package unpacks it, runs its Setup.exe and cleans up.
# The package is of the x86 edition (32-bit) where this machine can start
# 32-bit programs, else of the x64 edition (64-bit, under wine64); the first
# line says which.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/editions.sh"
"$root/scripts/setup-debian.sh"

probe_x86
if [ "$x86_runs" = yes ]; then
  edition=x86 preset=mingw win="$root/build/win" loader=/usr/lib/wine/wine arch=win32
  echo "demo: the x86 edition (32-bit), under 32-bit Wine"
else
  edition=x64 preset=mingw64 win="$root/build/win64" loader=/usr/lib/wine/wine64 arch=win64
  echo "demo: the x64 edition (64-bit), under 64-bit Wine; the x86 edition cannot run here: $x86_reason"
fi
native="$root/build/native"
demo="$root/build/demo-$edition"
(cd "$root" && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" --target HarwUpdater HarwExtract sample_setup)
(cd "$root" && cmake --preset native >/dev/null && cmake --build --preset native --target harwpack)

# The installation folder: the sample files and the built setup program.
rm -rf "$demo/installation" "$demo/run"
mkdir -p "$demo/installation" "$demo/run"
cp -r "$root/sample/installation/." "$demo/installation/"
cp "$win/bin/sample_setup.exe" "$demo/installation/Setup.exe"

"$native/packer/harwpack" create --stub "$win/bin/HarwUpdater.exe" \
  --extractor-program "$win/bin/HarwExtract.exe" --folder "$demo/installation" --params '/A "/demo /lang=en"' --out "$demo/run/UpdateDemo.exe"
"$native/packer/harwpack" inspect "$demo/run/UpdateDemo.exe"

export WINEPREFIX="$demo/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the demo's Wine prefix (once)..."
  WINEARCH=$arch "$loader" wineboot -i >/dev/null 2>&1
  wineserver -w
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -p

temp_folder=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
rm -f "$temp_folder/UPDATEDEMO.log"

echo
echo "=== $(basename "$loader") UpdateDemo.exe (the $edition edition, in $demo/run) ==="
cd "$demo/run"
set +e
"$loader" UpdateDemo.exe </dev/null
code=$?
set -e
echo "=== exit code: $code ==="
echo
echo "=== log ($temp_folder/UPDATEDEMO.log) ==="
cat "$temp_folder/UPDATEDEMO.log"
echo
echo "=== left in $demo/run (no Disk1, no temporary executable) ==="
ls -R "$demo/run"
if [ -f "$demo/run/Installed/setup-report.txt" ]; then
  echo
  echo "=== what the sample setup reported (Installed/setup-report.txt) ==="
  cat "$demo/run/Installed/setup-report.txt"
fi
exit "$code"
