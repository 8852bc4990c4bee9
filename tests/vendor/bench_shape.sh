#!/bin/sh
# The bench's folder in small, end to end under Wine with the defaults:
#  1. bench/make_folder.py builds 16 MiB of the bench's mix (programs,
#     libraries, headers, documents, deep folders) from installed packages,
#     the sample installation's setup program and file beside them; the
#     native harwpack packs it
#     with its defaults (the builtin extractor, level 20, long matches);
#  2. inspect decodes the archive and finds every checksum matching;
#  3. the extractor alone, run under Wine in an empty folder, unpacks exactly
#     that tree with the same bytes and file times; more data than the
#     unpacking pipeline's buffers hold, so they are reused many times;
#  4. the package runs its setup and ends with 0, the folder removed.
# Usage: bench_shape.sh <harwpack> <bin folder> <work folder>
# HARW_WINE names the Wine loader of the bin folder's edition (default: wine).
set -eu

harwpack=$1
bin=$2
work=$3
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
repo=$(cd "$(dirname "$0")/../.." && pwd)

fail() { echo "bench_shape: $*" >&2; exit 1; }
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

# 1. The folder: any small file holds Setup.exe's place while the files are chosen.
printf 'MZ' >placeholder.exe
python3 "$repo/bench/make_folder.py" 16777216 placeholder.exe src/Disk1 >folder.txt || fail "make_folder.py failed"
cp "$bin/sample_setup.exe" src/Disk1/Setup.exe
cp "$repo/sample/installation/HarwDemo.txt" src/Disk1/
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor-program "$bin/HarwExtract.exe" --folder src/Disk1 \
  --out pkg.exe >create.txt 2>&1 || { cat create.txt; fail "create failed"; }

# 2. The archive's own checks, without unpacking.
"$harwpack" inspect pkg.exe >inspect.txt 2>&1 || { cat inspect.txt; fail "inspect failed"; }
grep -q '^checksums: *verified: every file decoded and matched its checksum$' inspect.txt ||
  { cat inspect.txt; fail "inspect did not verify the checksums"; }

# 3. The extractor alone.
mkdir unpack
"$harwpack" extract pkg.exe --out unpack/extractor.exe >/dev/null
code=0
(cd unpack && run_wine ../extractor.txt extractor.exe) || code=$?
[ "$code" -eq 0 ] || { cat extractor.txt; fail "the extractor ended with $code"; }
listing() { (cd "$1" && find . -printf '%y %P\n' | LC_ALL=C sort); }
file_times() { (cd "$1" && find . -type f -printf '%P %T@\n' | awk '{ print $1, int($2) }' | LC_ALL=C sort); }
[ "$(listing src/Disk1)" = "$(listing unpack/Disk1)" ] || fail "the extractor unpacked other names than the folder holds"
diff -r src/Disk1 unpack/Disk1 >/dev/null || fail "the extractor unpacked other bytes than the folder holds"
[ "$(file_times src/Disk1)" = "$(file_times unpack/Disk1)" ] || fail "the extractor set other file times"
rm -rf unpack

# 4. The package, its setup run and the folder removed.
mkdir run
cp pkg.exe run/
code=0
(cd run && run_wine ../console.txt pkg.exe) || code=$?
[ "$code" -eq 0 ] || { cat console.txt; fail "the package ended with $code, expected 0"; }
cmp -s run/Installed/HarwDemo.txt src/Disk1/HarwDemo.txt || fail "the setup did not install HarwDemo.txt"
[ ! -e run/Disk1 ] || fail "Disk1 was left behind"

echo "bench_shape: $(cut -d" " -f1-3 folder.txt) packed with the defaults into $(wc -c <pkg.exe) bytes, unpacked under Wine with the same names, bytes and times; the package ran its setup"
