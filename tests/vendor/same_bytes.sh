#!/bin/sh
# A second builder on the other platform confirms a release: the native
# harwpack and this tree's harwpack.exe (under Wine) pack the same folder with
# the same SOURCE_DATE_EPOCH, stub and extractor program, with the defaults
# (the builtin extractor, level 20, long matches, one compression thread per
# processor), and the two packages are compared byte for byte. The folder is
# a few MB of the bench's mix, enough for a difference between two zstd
# builds to show, plus files at both sides of the clamping time and a
# read-only one, so that file times and marks are read alike on both.
# Usage: same_bytes.sh <harwpack> <bin folder> <work folder>
# (the bin folder holds harwpack.exe, HarwUpdater.exe and HarwExtract.exe).
# HARW_WINE names the Wine loader of the bin folder's edition (default: wine).
set -eu

harwpack=$1
bin=$(cd "$2" && pwd)
work=$3
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
repo=$(cd "$(dirname "$0")/../.." && pwd)
epoch=1700000000

fail() { echo "same_bytes: $*" >&2; exit 1; }
# A Windows program's output goes to a file: Wine's helper processes would hold a pipe open.
run_wine() { # run_wine <output file> <program> [arguments...]
  out=$1
  shift
  code=0
  "${HARW_WINE:-wine}" "$@" </dev/null >"$out" 2>&1 || code=$?
  return "$code"
}

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"

# The folder: 6 MiB of the bench's mix (any small file holds Setup.exe's
# place while the files are chosen, then any Windows program takes it),
# then the odd files.
printf 'MZ' >placeholder.exe
python3 "$repo/bench/make_folder.py" 6291456 placeholder.exe Disk1 >folder.txt || fail "make_folder.py failed"
cp "$bin/HarwExtract.exe" Disk1/Setup.exe
printf 'at the clamping time\n' >Disk1/at-epoch.txt
touch -d "@$epoch" Disk1/at-epoch.txt
printf 'one second past it: stored as the clamping time\n' >Disk1/past-epoch.txt
touch -d "@$((epoch + 1))" Disk1/past-epoch.txt
printf 'just before it, with a fraction of a second kept to 100 ns\n' >Disk1/before-epoch.txt
touch -d "@$((epoch - 1)).1234567" Disk1/before-epoch.txt
printf 'no one may write this\n' >Disk1/read-only.txt
chmod a-w Disk1/read-only.txt
cp "$bin/HarwUpdater.exe" "$bin/HarwExtract.exe" .
export SOURCE_DATE_EPOCH=$epoch
set -- create --stub HarwUpdater.exe --extractor-program HarwExtract.exe --folder Disk1

"$harwpack" "$@" --out linux.exe >linux.txt 2>&1 || { cat linux.txt; fail "the native harwpack's create failed"; }
code=0
run_wine windows.txt "$bin/harwpack.exe" "$@" --out windows.exe || code=$?
[ "$code" -eq 0 ] || { cat windows.txt; fail "harwpack.exe create ended with $code"; }

# Both are whole packages that verify, so that the comparison is of something.
"$harwpack" inspect linux.exe >inspect.txt 2>&1 || { cat inspect.txt; fail "inspect failed"; }
grep -q '^checksums: *verified: every file decoded and matched its checksum$' inspect.txt ||
  { cat inspect.txt; fail "inspect did not verify the checksums"; }

# Each create names the zstd release it compressed with: a difference there is the likely cause.
release() { grep -o 'with zstd [0-9.]*' "$1" || echo "no zstd release in $1"; }
if ! cmp linux.exe windows.exe >cmp.txt 2>&1; then
  fail "the packages differ ($(cat cmp.txt)): linux.exe $(wc -c <linux.exe) bytes $(release linux.txt)," \
    "windows.exe $(wc -c <windows.exe) bytes $(release windows.txt)"
fi

echo "same_bytes: $(cut -d" " -f1-3 folder.txt) and 4 more files packed by harwpack and harwpack.exe" \
  "$(release linux.txt) into the same $(wc -c <linux.exe) bytes"
