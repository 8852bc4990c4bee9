#!/bin/sh
# What is in the builtin extractor's way, set up from Linux, under Wine as an
# unprivileged user with a prefix of its own (as root Wine opens a read-only
# file for writing, which Windows and an ordinary user cannot):
#  1. a read-only file where the archive has a writable one is replaced, and
#     the new file is writable; a second run over the folder the first one
#     unpacked, with the archive's own read-only file in it, ends with 0 too;
#  2. a Unix link to a file (Wine shows no reparse point) stops the run with
#     exit code 5, and the file it leads to keeps its bytes;
#  3. a small volume mounted as the current folder takes an archive of
#     exactly its free space, and refuses one byte more with exit code 6
#     before anything is written; one mounted where the top folder goes is
#     measured itself.
# Needs root (to mount and to become the user): exits with 77, a skip, else.
# Usage: in_the_way.sh <harwpack> <bin folder> <work folder>
# HARW_WINE names the Wine loader of the bin folder's edition (default: wine).
set -eu

harwpack=$1
bin=$2
work=$3
[ "$(id -u)" -eq 0 ] || { echo "in_the_way: needs root to mount and to run Wine as another user; skipped"; exit 77; }
user=$(id -u nobody)
group=$(id -g nobody)

fail() { echo "in_the_way: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"
mounted=""
stop() {
  for point in $mounted; do umount "$point" 2>/dev/null || true; done
  as_user wineserver -k >/dev/null 2>&1 || true
}
trap stop EXIT

# Runs a command as the user with its own home and prefix.
as_user() {
  setpriv --reuid="$user" --regid="$user" --clear-groups env HOME="$work/home" WINEPREFIX="$work/home/prefix" \
    WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$@"
}
# Runs the extractor ($2, else extractor.exe there) in folder $1 as the user,
# its output in $1.txt; sets $code.
run_extractor() {
  code=0
  (cd "$1" && as_user "${HARW_WINE:-wine}" "${2:-extractor.exe}" </dev/null >"$work/$1.txt" 2>&1) || code=$?
}
# Packs folder $1 (Disk1 below it) and writes its extractor as $2/extractor.exe.
pack() {
  cp setup.exe "$1/Disk1/Setup.exe"
  "$harwpack" create --stub "$bin/HarwUpdater.exe" --extractor-program "$bin/HarwExtract.exe" --folder "$1/Disk1" \
    --out "$1.exe" >create.txt 2>&1 || { cat create.txt; fail "create $1 failed"; }
  mkdir -p "$2"
  "$harwpack" extract "$1.exe" --out "$2/extractor.exe" >/dev/null
}
# The setup program padded to whole 4 KiB pages, so that a volume's pages
# hold the archive's content exactly.
cp "$bin/sample_setup.exe" setup.exe
truncate -s %4096 setup.exe
mkdir -p home
chown "$user:$group" home

# 1. A read-only file in the way, then a second run.
mkdir -p files/Disk1
printf new >files/Disk1/a.txt
printf archive >files/Disk1/r.txt
chmod 444 files/Disk1/r.txt
pack files replace
mkdir -p replace/Disk1
printf old >replace/Disk1/a.txt
chmod 444 replace/Disk1/a.txt
chown -R "$user:$group" replace
run_extractor replace
[ "$code" -eq 0 ] || { cat replace.txt; fail "a read-only file in the way stopped the run (exit $code)"; }
[ "$(cat replace/Disk1/a.txt)" = new ] || fail "the read-only file was not replaced"
[ -n "$(find replace/Disk1/a.txt -perm -u+w)" ] || fail "the new file kept the old one's read-only attribute"
[ -z "$(find replace/Disk1/r.txt -perm -u+w)" ] || fail "the archive's read-only file is writable"
run_extractor replace
[ "$code" -eq 0 ] || { cat replace.txt; fail "a second run over the unpacked folder ended with $code"; }
[ "$(LC_ALL=C ls replace/Disk1 | tr '\n' ' ')" = "Setup.exe a.txt r.txt " ] || { ls -la replace/Disk1; fail "names were left"; }

# 2. A Unix link to a file where the archive has a file.
mkdir -p linked/Disk1
printf outside >outside.txt
ln -s "$work/outside.txt" linked/Disk1/a.txt
cp replace/extractor.exe linked/
chown -R "$user:$group" linked
run_extractor linked
[ "$code" -eq 5 ] || { cat linked.txt; fail "the extractor went on through a link to a file (exit $code)"; }
grep -q "^HarwExtract: 'Disk1.a.txt' leads to '.*outside.txt'; nothing is written through a link" linked.txt ||
  { cat linked.txt; fail "no message about the link"; }
[ "$(cat outside.txt)" = outside ] && [ -L linked/Disk1/a.txt ] || fail "the link or the file it leads to changed"

# 3. Small volumes of 1 MiB: an archive of 1 MiB, and one byte more. As the
# current folder (the extractor started from beside it): the first is
# unpacked, the second refused. As the top folder, which Windows and Wine
# show as a mount point, a reparse point: the first gets past the space check
# to be refused as that, the second is refused for the space of that volume.
for bytes in 1048576 1048577; do
  mkdir -p "content$bytes/Disk1" "current$bytes" "top$bytes/Disk1"
  head -c $((bytes - $(wc -c <setup.exe))) /dev/zero >"content$bytes/Disk1/f.bin"
  pack "content$bytes" "top$bytes"
  for point in "current$bytes" "top$bytes/Disk1"; do
    mount -t tmpfs -o size=1m,uid="$user",gid="$group" tmpfs "$point"
    mounted="$work/$point $mounted"
  done
  chown "$user:$group" "top$bytes" "top$bytes/extractor.exe"
  run_extractor "top$bytes"
  eval "top_code$bytes=\$code"
  run_extractor "current$bytes" "$work/top$bytes/extractor.exe"
  eval "current_code$bytes=\$code"
done
[ "$current_code1048576" -eq 0 ] || { cat current1048576.txt; fail "the volume's exact free space was refused"; }
cmp -s content1048576/Disk1/f.bin current1048576/Disk1/f.bin || fail "the file on the small volume differs"
[ "$current_code1048577" -eq 6 ] || { cat current1048577.txt; fail "one byte more than the volume holds: exit $current_code1048577"; }
grep -q "^HarwExtract: the archive unpacks to 1048577 bytes and the current folder's volume has 1048576 bytes free" \
  current1048577.txt || { cat current1048577.txt; fail "no message about the current folder's volume"; }
[ -z "$(ls -A current1048577)" ] || fail "something was written before the space was checked"
[ "$top_code1048576" -eq 5 ] || { cat top1048576.txt; fail "a mount point as the top folder: exit $top_code1048576"; }
grep -q "^HarwExtract: 'Disk1' is a link or junction" top1048576.txt || { cat top1048576.txt; fail "no message"; }
[ "$top_code1048577" -eq 6 ] || { cat top1048577.txt; fail "one byte more than the top folder's volume holds: exit $top_code1048577"; }
grep -q "^HarwExtract: the archive unpacks to 1048577 bytes and the volume of 'Disk1' has 1048576 bytes free" \
  top1048577.txt || { cat top1048577.txt; fail "no message about the top folder's volume"; }
[ -z "$(find top1048576/Disk1 top1048577/Disk1 -mindepth 1)" ] || fail "something was written on a mount point"

echo "in_the_way: a read-only file replaced twice as an unprivileged user; a link to a file refused; 1 MiB unpacked onto a 1 MiB volume and one byte more refused, as the current and as the top folder"
