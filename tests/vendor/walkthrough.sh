#!/bin/sh
# The vendor walkthrough of the README, end to end: from the sample
# installation folder to a package (harwpack create), signed with a fresh
# self-signed certificate (osslsigncode sign), verified, inspected, and run
# under Wine: the certificate table behind the archived data must not disturb
# the run, which unpacks Disk1, runs its setup, removes Disk1 and ends with 0.
# Usage: walkthrough.sh <harwpack> <bin folder> <sample folder> <work folder>
set -eu

harwpack=$1
bin=$2
sample=$3
work=$4
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"

fail() { echo "walkthrough: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/Disk1" "$work/run"
cp -r "$sample/." "$work/Disk1/"
cp "$bin/sample_setup.exe" "$work/Disk1/Setup.exe"
cd "$work"

# 1. Create.
"$harwpack" create --stub "$bin/HarwUpdater.exe" --folder Disk1 \
  --params '/A "/vendor-check"' --out VendorCheck.exe

# 2. Sign, and verify against the certificate itself.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=HarwUpdater test vendor" \
  -keyout vendor.key -out vendor.pem >/dev/null 2>&1 || fail "openssl could not make a certificate"
osslsigncode sign -certs vendor.pem -key vendor.key -n "Vendor check" \
  -in VendorCheck.exe -out run/VendorCheck.exe >sign.txt 2>&1 || { cat sign.txt; fail "signing failed"; }
osslsigncode verify -CAfile vendor.pem -in run/VendorCheck.exe >verify.txt 2>&1 ||
  { cat verify.txt; fail "the signature does not verify"; }
grep -q "Signature verification: ok" verify.txt || { cat verify.txt; fail "no 'Signature verification: ok'"; }

# 3. Inspect: the certificate table follows the archived data.
"$harwpack" inspect run/VendorCheck.exe >inspect.txt
grep -qi "certificate" inspect.txt || { cat inspect.txt; fail "inspect does not show the certificate table"; }

# Run the signed package where a person would: in its own folder.
log_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp 2>/dev/null | head -n 1)
[ -n "$log_dir" ] || fail "no temporary folder in $WINEPREFIX"
rm -f "$log_dir/VENDORCHECK.log"
cd run
code=0
wine VendorCheck.exe </dev/null >console.txt 2>&1 || code=$?
[ "$code" -eq 0 ] || { cat console.txt "$log_dir/VENDORCHECK.log"; fail "exit code $code, expected 0"; }
[ -f Installed/HarwDemo.txt ] || fail "the sample setup did not install HarwDemo.txt"
grep -q "started with /vendor-check" Installed/setup-report.txt || fail "the setup did not get /vendor-check"
[ ! -e Disk1 ] || fail "Disk1 was left behind"
[ ! -e ___VENDORCHECK___.exe ] || fail "the temporary executable was left behind"
grep -q ', 0x04, RemoveDirectory("Disk1")$' "$log_dir/VENDORCHECK.log" || fail "no removal of Disk1 logged"
osslsigncode verify -CAfile ../vendor.pem -in VendorCheck.exe >/dev/null 2>&1 || fail "the run changed the package"
echo "walkthrough: signed package verified and ran with exit code 0"
