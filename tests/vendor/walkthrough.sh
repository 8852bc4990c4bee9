#!/bin/sh
# The vendor walkthrough of the README, end to end, from the sample
# installation folder and a fresh self-signed certificate:
#  1. one command: harwpack create --sign signs the self-extractor and the
#     package; both signatures verify, inspect says so, and the package runs
#     under Wine, writing out exactly the signed extractor (its size in the log);
#  2. the three steps: create, then osslsigncode sign, inspect, run;
#  3. a second builder: the same folder copied elsewhere with new file times,
#     built with the same SOURCE_DATE_EPOCH, gives the same package SHA-256;
#  4. the NSIS extractor, for vendors who keep it: created, run.
# Packages are made with the builtin extractor (the default) but in 4.
# Every run unpacks Disk1, runs its setup, removes Disk1 and ends with 0.
# Usage: walkthrough.sh <harwpack> <bin folder> <sample folder> <work folder>
# HARW_WINE and HARW_EDITION name the edition's Wine loader and the edition
# of the program in the bin folder (default: wine, x86).
set -eu

harwpack=$1
bin=$2
sample=$3
work=$4
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"

fail() { echo "walkthrough: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/Disk1" "$work/run" "$work/run3"
cp -r "$sample/." "$work/Disk1/"
cp "$bin/sample_setup.exe" "$work/Disk1/Setup.exe"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=HarwUpdater test vendor" \
  -keyout vendor.key -out vendor.pem >/dev/null 2>&1 || fail "openssl could not make a certificate"
log_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
[ -n "$log_dir" ] || fail "no temporary folder in $WINEPREFIX"

verify() {  # file
  osslsigncode verify -CAfile "$work/vendor.pem" -in "$1" >verify.txt 2>&1 ||
    { cat verify.txt; fail "the signature of $1 does not verify"; }
  grep -q "Signature verification: ok" verify.txt || { cat verify.txt; fail "no 'Signature verification: ok' for $1"; }
}

run_package() {  # folder name: runs <folder>/<name>.exe where a person would, in its own folder
  log="$log_dir/$(echo "$2" | tr '[:lower:]' '[:upper:]').log"
  rm -f "$log"
  code=0
  (cd "$1" && "${HARW_WINE:-wine}" "$2.exe" </dev/null >console.txt 2>&1) || code=$?
  [ "$code" -eq 0 ] || { cat "$1/console.txt" "$log"; fail "$2: exit code $code, expected 0"; }
  [ -f "$1/Installed/HarwDemo.txt" ] || fail "$2: the sample setup did not install HarwDemo.txt"
  grep -q "started with /vendor-check" "$1/Installed/setup-report.txt" || fail "$2: the setup did not get /vendor-check"
  [ ! -e "$1/Disk1" ] || fail "$2: Disk1 was left behind"
  [ ! -e "$1/___$(echo "$2" | tr '[:lower:]' '[:upper:]')___.exe" ] || fail "$2: the temporary executable was left behind"
  grep -q ', 0x04, RemoveDirectory("Disk1")$' "$log" || fail "$2: no removal of Disk1 logged"
  cp "$log" "$1/run.log"
}

# 1. One command: create and sign both executables.
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor-program "$bin/HarwExtract.exe" --folder Disk1 \
  --params '/A "/vendor-check"' \
  --sign "osslsigncode sign -certs vendor.pem -key vendor.key -n 'Vendor check' -in {in} -out {out}" \
  --out run/VendorCheck.exe >create.txt 2>&1 || { cat create.txt; fail "create --sign failed"; }
verify run/VendorCheck.exe
"$harwpack" extract run/VendorCheck.exe --out extractor.exe >/dev/null
verify extractor.exe
"$harwpack" inspect --ca-file vendor.pem run/VendorCheck.exe >inspect.txt
for row in "extractor signed" "package signed"; do
  grep -q "^$row: *yes, certificate table of [0-9]* bytes; osslsigncode verified it$" inspect.txt ||
    { cat inspect.txt; fail "inspect does not show a verified signature in '$row'"; }
done
# One edition throughout: the self-extractor is built for the program's machine.
for row in "edition" "extractor edition"; do
  grep -q "^$row: *${HARW_EDITION:-x86} " inspect.txt ||
    { cat inspect.txt; fail "inspect does not show '$row: ${HARW_EDITION:-x86}'"; }
done
run_package run VendorCheck
osslsigncode verify -CAfile vendor.pem -in run/VendorCheck.exe >/dev/null 2>&1 || fail "the run changed the package"
# The program wrote out the embedded bytes: the signed extractor, not an unsigned one.
signed_size=$(wc -c <extractor.exe | tr -d ' ')
grep -q "Size of Archived Data $signed_size\$" run/run.log ||
  { cat run/run.log; fail "the log shows no 'Size of Archived Data $signed_size' (the signed extractor)"; }

# 2. The three steps: create, sign the package alone, inspect, run.
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor-program "$bin/HarwExtract.exe" --folder Disk1 \
  --params '/A "/vendor-check"' \
  --out VendorCheck3.exe >/dev/null
osslsigncode sign -certs vendor.pem -key vendor.key -n "Vendor check" \
  -in VendorCheck3.exe -out run3/VendorCheck3.exe >sign.txt 2>&1 || { cat sign.txt; fail "signing failed"; }
verify run3/VendorCheck3.exe
"$harwpack" inspect --ca-file vendor.pem run3/VendorCheck3.exe >inspect3.txt
grep -q "^after the data: *certificate table" inspect3.txt || { cat inspect3.txt; fail "inspect shows no certificate table"; }
grep -q "^extractor signed: *no$" inspect3.txt || { cat inspect3.txt; fail "the extractor is not shown unsigned"; }
"$harwpack" extract VendorCheck3.exe --out unsigned-extractor.exe >/dev/null
[ "$(wc -c <unsigned-extractor.exe | tr -d ' ')" -lt "$signed_size" ] || fail "the signed extractor is not larger"
run_package run3 VendorCheck3

# 3. A second builder: a copy made elsewhere, later, with the same SOURCE_DATE_EPOCH.
export SOURCE_DATE_EPOCH=1700000000
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor-program "$bin/HarwExtract.exe" --folder Disk1 \
  --params '/A "/vendor-check"' \
  --out first.exe >/dev/null
mkdir -p "second builder"
cp -r Disk1 "second builder/Disk1"
touch "second builder/Disk1/Setup.exe"
(cd "second builder" && "$harwpack" create --stub "$bin/HarwUpdater.exe" \
  --extractor-program "$bin/HarwExtract.exe" --folder Disk1 \
  --params '/A "/vendor-check"' --out second.exe >/dev/null)
first=$("$harwpack" inspect first.exe | grep '^package sha-256:')
second=$("$harwpack" inspect "second builder/second.exe" | grep '^package sha-256:')
[ -n "$first" ] && [ "$first" = "$second" ] || fail "the second builder got another package: '$first' / '$second'"

# 4. The NSIS extractor still builds and runs.
mkdir -p runn
"$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor nsis --folder Disk1 --params '/A "/vendor-check"' \
  --out runn/VendorCheckNsis.exe >create-nsis.txt 2>&1 || { cat create-nsis.txt; fail "create --extractor nsis failed"; }
"$harwpack" inspect runn/VendorCheckNsis.exe | grep -q "^extractor: *not the builtin one" || fail "inspect calls NSIS builtin"
run_package runn VendorCheckNsis
echo "walkthrough: signed inside and out, verified, ran with exit code 0; rebuilt elsewhere to the same bytes;" \
  "the NSIS extractor too"
