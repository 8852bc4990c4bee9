#!/bin/sh
# Names that mean something to makensis, a shell or Windows' command line,
# end to end under Wine:
#  1. the native harwpack packs a folder whose own path and whose files and
#     folders have such names (also empty files and folders) into an output
#     path that has them;
#  2. the package's extractor, run under Wine in a folder of its own, unpacks
#     exactly that tree, empty folders included, with the same bytes and
#     file times: the builtin extractor (the default), and NSIS's;
#  3. a link to a folder put where the builtin extractor makes a folder
#     stops it (exit code 5) before anything is written through it;
#  4. the package itself runs its setup from there and ends with 0;
#  5. the Windows build of harwpack refuses a folder holding a link to a
#     folder, which Wine shows as a reparse point, before anything is built.
# Usage: odd_names.sh <harwpack> <bin folder> <sample folder> <work folder>
# HARW_WINE names the Wine loader of the bin folder's edition (default: wine).
set -eu

harwpack=$1
bin=$2
sample=$3
work=$4
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"

fail() { echo "odd_names: $*" >&2; exit 1; }
# Runs a Windows program with its output in a file: Wine's helper processes
# would hold a pipe open.
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

# 1. The folder, its path and the output path.
src="$work/in \$X {a} \`b\` 'c' %PATH% ;d #e ä ß 中 😀/Disk1"
mkdir -p "$src"
cp -r "$sample/." "$src/"
cp "$bin/sample_setup.exe" "$src/Setup.exe"
for name in 'a b.txt' '$X.txt' '$$.txt' '$0.txt' '${NSISDIR}.txt' '$%PATH%.txt' '%TEMP%.txt' '$(lang).txt' \
  '{braces}.txt' '`tick`.txt' "'quote'.txt" ';semi.txt' '#hash.txt' 'ä ß.txt' '中文.txt' '😀.txt' \
  'x$/rest/r.txt' 'x$/new/n.txt' "y\$/'q/f.txt" 'z$/`b/f.txt' '${NSISDIR}/f.txt' '$%TEMP%/f.txt'; do
  mkdir -p "$src/$(dirname "$name")"
  printf 'content of %s\n' "$name" >"$src/$name"
done
: >"$src/empty.txt"
mkdir -p "$src/void" "$src/a/b/c"
out="$work/out \$Z {x} \`y\` 'z' %PATH% ;# ä 😀"
package="Odd \$V ß.exe"
mkdir -p "$out"
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor-program "$bin/HarwExtract.exe" --folder "$src" \
  --params '/A "/vendor-check"' --out "$out/$package" >create.txt 2>&1 || { cat create.txt; fail "create failed"; }
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor nsis --folder "$src" --params '/A "/vendor-check"' \
  --out nsis.exe >create-nsis.txt 2>&1 || { cat create-nsis.txt; fail "create --extractor nsis failed"; }

# 2. The extractors alone, as the package writes them out and starts them.
# File times to the second (NSIS keeps even seconds, so only the builtin one is held to them).
file_times() { (cd "$1" && find . -type f -printf '%P %T@\n' | awk '{ print $1, int($2) }' | LC_ALL=C sort); }
(cd "$src" && find . | LC_ALL=C sort) >expected.txt
for made in "$out/$package" nsis.exe; do
  kind=$(basename "$made" .exe | tr -cd 'a-z')
  rm -rf unpack
  mkdir unpack
  "$harwpack" extract "$made" --out unpack/extractor.exe >/dev/null
  code=0
  (cd unpack && run_wine ../extractor.txt extractor.exe) || code=$?
  [ "$code" -eq 0 ] || { cat extractor.txt; fail "the $kind extractor ended with $code"; }
  (cd unpack/Disk1 && find . | LC_ALL=C sort) >unpacked.txt
  diff -u expected.txt unpacked.txt || fail "the $kind extractor unpacked other names than the folder holds"
  diff -r "$src" unpack/Disk1 || fail "the $kind extractor unpacked other bytes than the folder holds"
done
rm -rf unpack
mkdir unpack
"$harwpack" extract "$out/$package" --out unpack/extractor.exe >/dev/null
(cd unpack && run_wine ../extractor.txt extractor.exe) || fail "the builtin extractor failed again"
[ "$(file_times "$src")" = "$(file_times unpack/Disk1)" ] || fail "the builtin extractor set other file times"

# 3. A link in the way of a folder the builtin extractor makes.
mkdir -p inway/Disk1 outside
echo kept >outside/kept.txt
ln -s "$work/outside" inway/Disk1/void
cp unpack/extractor.exe inway/
code=0
(cd inway && run_wine ../inway.txt extractor.exe) || code=$?
[ "$code" -eq 5 ] || { cat inway.txt; fail "the extractor went on through a link in its way (exit $code)"; }
grep -q "^HarwExtract: 'Disk1.void' is a link or junction" inway.txt || { cat inway.txt; fail "no message about the link"; }
[ "$(ls outside)" = kept.txt ] || fail "the extractor wrote through the link"

# 4. The package, run where it was written.
log_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
[ -n "$log_dir" ] || fail "no temporary folder in $WINEPREFIX"
code=0
(cd "$out" && run_wine console.txt "$package") || code=$?
[ "$code" -eq 0 ] || { cat "$out/console.txt" "$log_dir"/ODD*.log; fail "the package ended with $code, expected 0"; }
grep -q "started with /vendor-check" "$out/Installed/setup-report.txt" || fail "the setup did not get /vendor-check"
[ ! -e "$out/Disk1" ] || fail "Disk1 was left behind"

# 5. The Windows build: a link to a folder is a reparse point under Wine.
mkdir -p linked/Disk1
cp "$bin/sample_setup.exe" linked/Disk1/Setup.exe
cp "$bin/HarwUpdater.exe" "$bin/HarwExtract.exe" linked/
ln -s /etc linked/Disk1/etc
code=0
(cd linked && run_wine ../linked.txt "$bin/harwpack.exe" create --stub HarwUpdater.exe \
  --extractor-program HarwExtract.exe --folder Disk1 --out Linked.exe) || code=$?
[ "$code" -eq 1 ] || { cat linked.txt; fail "harwpack.exe took a folder with a link to /etc (exit $code)"; }
grep -q "^harwpack: error: 'etc' is a junction, symbolic link or other reparse point: only files and folders are packed" \
  linked.txt || { cat linked.txt; fail "harwpack.exe did not name the link"; }
[ ! -e linked/Linked.exe ] || fail "harwpack.exe wrote a package"
[ "$(ls linked)" = "$(printf 'Disk1\nHarwExtract.exe\nHarwUpdater.exe')" ] || {
  ls -la linked
  fail "harwpack.exe left files behind"
}

echo "odd_names: $(wc -l <expected.txt | tr -d ' ') entries packed and unpacked under Wine with the same names and bytes; the package ran with exit code 0; harwpack.exe refused the link"
