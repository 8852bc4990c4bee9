#!/bin/sh
# The vendor walkthrough as an installed harwpack runs it, for one edition:
# the Debian package is unpacked into a temporary root (nothing is installed
# on the machine), and from there, without --stub, a package of that edition
# is created from the sample folder (--arch), inspected and run under Wine.
# The edition's Windows zip is unpacked the same way and its harwpack.exe,
# under Wine, finds the programs beside itself. Both hold both editions.
# Usage: installed_package.sh <x86|x64> <package.deb> <package.zip> <bin folder> <sample folder> <work folder>
# (the bin folder is the edition's Windows tree's, for the sample setup
# program). HARW_WINE and HARW_WINE_ARCH name the edition's Wine loader and
# prefix kind (default: wine, win32).
set -eu

absolute() { (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")"); }
edition=$1
deb=$(absolute "$2")
zip=$(absolute "$3")
bin=$(absolute "$4")
sample=$(absolute "$5")
work=$6
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
case $edition in
  x86) subfolder= ;;
  x64) subfolder=x64/ ;;
  *) echo "installed_package: unknown edition '$edition'" >&2; exit 2 ;;
esac

fail() { echo "installed_package: $*" >&2; exit 1; }
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

# --- The Debian package: its fields and exactly its files -------------------
version=$(dpkg-deb -f "$deb" Version)
[ -n "$version" ] || fail "no Version in $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -qw libssl3 || fail "Depends lacks libssl3: $depends"
# zstd is compiled in: the system's release would write other bytes than harwpack.exe.
! echo "$depends" | grep -qw libzstd1 || fail "Depends names libzstd1: $depends"
dpkg-deb -f "$deb" Recommends | grep -qw osslsigncode || fail "Recommends lacks osslsigncode"
dpkg-deb -f "$deb" Suggests | grep -qw nsis || fail "Suggests lacks nsis (for --extractor nsis)"
dpkg-deb -c "$deb" | awk '$NF !~ /\/$/ { print $NF }' | sort >"$work/files.txt"
cat >"$work/expected-files.txt" <<'EOF'
./usr/bin/harwpack
./usr/share/doc/harwupdater/FORMAT.md
./usr/share/doc/harwupdater/README.md
./usr/share/harwupdater/HarwExtract.exe
./usr/share/harwupdater/HarwUpdater.exe
./usr/share/harwupdater/x64/HarwExtract.exe
./usr/share/harwupdater/x64/HarwUpdater.exe
./usr/share/man/man1/harwpack.1.gz
EOF
diff -u "$work/expected-files.txt" "$work/files.txt" || fail "the Debian package holds other files than expected"

root=$work/root
dpkg-deb -x "$deb" "$root"
harwpack=$root/usr/bin/harwpack
programs=$root/usr/share/harwupdater
program=$programs/${subfolder}HarwUpdater.exe

# --- Versions: all must be the package's own, each program of its edition ---
"$harwpack" --version >"$work/version.txt"
{
  echo "harwpack $version"
  for each in x86 x64; do
    place=$programs/
    if [ "$each" = x64 ]; then place=$programs/x64/; fi
    echo "HarwUpdater.exe $version $each (${place}HarwUpdater.exe)"
    echo "HarwExtract.exe $version $each (${place}HarwExtract.exe)"
  done
} >"$work/expected-version.txt"
head -n 5 "$work/version.txt" | diff -u "$work/expected-version.txt" - ||
  fail "harwpack --version does not name version $version and the edition of each (is res/program.rc.in behind the project version?)"
sed -n 6p "$work/version.txt" | grep -qE "^zstd [0-9]+\.[0-9]+\.[0-9]+ " || fail "harwpack --version does not name zstd"

# --- The man page documents every option the usage text names ----------------
gzip -dc "$root/usr/share/man/man1/harwpack.1.gz" | sed 's/\\-/-/g' >"$work/harwpack.1"
grep -q "^\.TH HARWPACK 1 .*$version" "$work/harwpack.1" || fail "the man page does not carry version $version"
for option in $("$harwpack" --help | grep -oE -- '--[a-z]+' | sort -u); do
  grep -qe "$option" "$work/harwpack.1" || fail "the man page does not mention $option"
done

# --- The walkthrough without --stub ------------------------------------------
mkdir -p "$work/Disk1" "$work/run"
cp -r "$sample/." "$work/Disk1/"
cp "$bin/sample_setup.exe" "$work/Disk1/Setup.exe"
cd "$work"
"$harwpack" create --arch "$edition" --folder Disk1 --params '/A "/installed-check"' --out run/InstalledCheck.exe \
  >create.txt 2>&1 || { cat create.txt; fail "create without --stub failed"; }
cmp -n "$(wc -c <"$program")" "$program" run/InstalledCheck.exe ||
  fail "the package does not start with the installed $edition program"
"$harwpack" inspect run/InstalledCheck.exe >inspect.txt || { cat inspect.txt; fail "inspect failed"; }
grep -q '/A "/installed-check"' inspect.txt || { cat inspect.txt; fail "inspect does not show the parameter string"; }
for row in "edition" "extractor edition"; do
  grep -q "^$row: *$edition " inspect.txt || { cat inspect.txt; fail "inspect does not show '$row: $edition'"; }
done
grep -q "^checksums: *verified" inspect.txt || { cat inspect.txt; fail "the installed extractor's archive does not verify"; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEARCH=${HARW_WINE_ARCH:-win32} "${HARW_WINE:-wine}" wineboot -i </dev/null >"$work/wineboot.txt" 2>&1
  wineserver -w
fi
status=0
wineserver -p </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 2 ] || fail "wineserver -p failed with $status"
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true; wineserver -w </dev/null >/dev/null 2>&1 || true' EXIT

log_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
[ -n "$log_dir" ] || fail "no temporary folder in $WINEPREFIX"
rm -f "$log_dir/INSTALLEDCHECK.log"
cd "$work/run"
run_wine console.txt InstalledCheck.exe ||
  { cat console.txt "$log_dir/INSTALLEDCHECK.log"; fail "the package ended with $code, expected 0"; }
grep -q "started with /installed-check" Installed/setup-report.txt || fail "the setup did not get /installed-check"
[ ! -e Disk1 ] || fail "Disk1 was left behind"
[ ! -e ___INSTALLEDCHECK___.exe ] || fail "the temporary executable was left behind"
grep -q ', 0x04, RemoveDirectory("Disk1")$' "$log_dir/INSTALLEDCHECK.log" || fail "no removal of Disk1 logged"

# --- The Windows zip: harwpack.exe finds HarwUpdater.exe beside itself ------
mkdir -p "$work/zip"
cd "$work/zip"
cmake -E tar xf "$zip"
find . -type f | sort >../zip-files.txt
top=$(basename "$zip" .zip)
for file in FORMAT.md HarwExtract.exe HarwUpdater.exe README.md harwpack.exe x64/HarwExtract.exe x64/HarwUpdater.exe; do
  echo "./$top/$file"
done >../expected-zip-files.txt
diff -u ../expected-zip-files.txt ../zip-files.txt || fail "the zip holds other files than expected"
cd "$top"
cmp HarwUpdater.exe "$programs/HarwUpdater.exe" || fail "the zip and the Debian package hold different x86 programs"
cmp x64/HarwUpdater.exe "$programs/x64/HarwUpdater.exe" ||
  fail "the zip and the Debian package hold different x64 programs"
cmp HarwExtract.exe "$programs/HarwExtract.exe" && cmp x64/HarwExtract.exe "$programs/x64/HarwExtract.exe" ||
  fail "the zip and the Debian package hold different extractors"
"$harwpack" extract ../../run/InstalledCheck.exe --out extractor.exe >/dev/null
run_wine version.txt harwpack.exe --version || { cat version.txt; fail "harwpack.exe --version ended with $code"; }
for found in "x86 (.*$top.HarwUpdater.exe)" "x64 (.*$top.x64.HarwUpdater.exe)"; do
  grep -q "^HarwUpdater.exe $version $found" version.txt ||
    { cat version.txt; fail "harwpack.exe does not find the programs beside itself ($found)"; }
done
# Both packers carry the same zstd, so that either writes the same package.
tr -d '\r' <version.txt | grep -qxF "$(sed -n 6p "$work/version.txt")" ||
  { cat version.txt; fail "harwpack.exe names another zstd release than harwpack: $(sed -n 6p "$work/version.txt")"; }
run_wine create.txt harwpack.exe create --arch "$edition" --archive extractor.exe --params '/A "/zip-check"' \
  --out ZipCheck.exe || { cat create.txt; fail "harwpack.exe create without --stub ended with $code"; }
rm -f "$log_dir/ZIPCHECK.log"
mkdir ../run
mv ZipCheck.exe ../run/
cd ../run
run_wine console.txt ZipCheck.exe || { cat console.txt "$log_dir/ZIPCHECK.log"; fail "the zip's package ended with $code"; }
grep -q "started with /zip-check" Installed/setup-report.txt || fail "the zip's package did not run its setup"
[ ! -e Disk1 ] || fail "the zip's package left Disk1 behind"

echo "installed_package: $version, $edition edition, from the Debian package and the zip: created without --stub," \
  "inspected, ran with exit code 0"
