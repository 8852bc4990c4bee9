#!/bin/sh
# What is in the builtin extractor's way, set up from Linux, under Wine as an
# unprivileged user with a prefix of its own (as root Wine opens a read-only
# file for writing, which Windows and an ordinary user cannot):
#  1. a read-only file where the archive has a writable one is replaced, and
#     the new file is writable; a second run over the folder the first one
#     unpacked, with the archive's own read-only file in it, ends with 0 too;
#  2. a Unix link to a file (Wine shows no reparse point) stops the run with
#     exit code 5, and the file it leads to keeps its bytes;
#  3. a small volume mounted where the top folder goes takes an archive of
#     exactly its free space, and refuses one byte more with exit code 6
#     before anything is written; so does a current folder that is one.
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
# Runs the extractor in folder $1 as the user, its output in $1.txt; sets $code.
run_extractor() {
  code=0
  (cd "$1" && as_user "${HARW_WINE:-wine}" extractor.exe </dev/null >"$work/$1.txt" 2>&1) || code=$?
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

# 3. Small volumes: 1 MiB of content, then one byte more.
for bytes in 1048576 1048577; do
  mkdir -p "content$bytes/Disk1"
  head -c $((bytes - $(wc -c <setup.exe))) /dev/zero >"content$bytes/Disk1/f.bin"
  pack "content$bytes" "top$bytes"
  mkdir -p "top$bytes/Disk1"
  mount -t tmpfs -o size=1m,uid="$user",gid="$group" tmpfs "top$bytes/Disk1"
  mounted="$mounted $work/top$bytes/Disk1"
  chown "$user:$group" "top$bytes" "top$bytes/extractor.exe"
  run_extractor "top$bytes"
done
[ "$code" -eq 6 ] || { cat top1048577.txt; fail "one byte more than the top folder's volume holds: exit $code"; }
grep -q "^HarwExtract: the archive unpacks to 1048577 bytes and the volume of 'Disk1' has 1048576 bytes free" \
  top1048577.txt || { cat top1048577.txt; fail "no message about the top folder's volume"; }
[ -z "$(ls -A top1048577/Disk1)" ] || fail "something was written before the space was checked"
cmp -s content1048576/Disk1/f.bin top1048576/Disk1/f.bin || { cat top1048576.txt; fail "the volume's exact free space was refused"; }
mkdir -p current
mount -t tmpfs -o size=1m,uid="$user",gid="$group" tmpfs current
mounted="$mounted $work/current"
cp top1048576/extractor.exe current/
run_extractor current
[ "$code" -eq 6 ] || { cat current.txt; fail "a current folder on a full volume: exit $code"; }
grep -q "^HarwExtract: the archive unpacks to 1048576 bytes and the current folder's volume has [0-9]* bytes free" \
  current.txt || { cat current.txt; fail "no message about the current folder's volume"; }
[ "$(ls -A current)" = extractor.exe ] || fail "something was written on the current folder's volume"

echo "in_the_way: a read-only file replaced twice as an unprivileged user; a link to a file refused; 1 MiB unpacked onto a 1 MiB volume and one byte more refused"
