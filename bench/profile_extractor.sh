#!/usr/bin/env bash
# Where the builtin extractor's time goes: runs self-extractors (each a
# HarwExtract.exe with its archive, as `harwpack extract` takes it out of a
# package) alone in an empty folder under 64-bit Wine, and the bench's copy
# program (baseline_tree.exe: CopyFileW of the same folder, then the setup
# program started and the copy removed) beside them, in turns (A, B, ...,
# copy, A, B, ...), and prints per run the wall time, perf's software
# counters (task clock, page faults, context switches) of the process tree,
# the wineserver's processor time and switches, and, for one run of each,
# strace's call counts and the wineserver's requests by name. Each extractor's folder is compared with FOLDER.
#
# Usage: bench/profile_extractor.sh FOLDER BASELINE_TREE.exe RUNS EXTRACTOR.exe...
# Environment: WINEPREFIX (default build/profile/wineprefix, made on first
# use), PROFILE_STRACE=0 to leave strace out, PROFILE_REQUESTS=0 the
# count of the wineserver's requests (it ends the wineserver first). Counts hardly move with the
# machine's load; wall times do, so the load is printed beside each run.
set -euo pipefail

folder=$(realpath "$1")
baseline=$(realpath "$2")
runs=$3
shift 3
extractors=()
for extractor in "$@"; do extractors+=("$(realpath "$extractor")"); done
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$repo/build/profile/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
loader=/usr/lib/wine/wine64
scratch=$(mktemp -d "${TMPDIR:-/tmp}/harw-profile.XXXXXX")

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  WINEARCH=win64 "$loader" wineboot -i >/dev/null 2>&1
fi
# A wineserver that stays up between runs: its time is read from /proc
# around each run, not counted by perf as a child of one run. It is the one
# whose folder is named after the prefix's device and inode.
/usr/lib/wine/wineserver -p 2>/dev/null || true  # fails when it is up already
"$loader" cmd /c exit >/dev/null 2>&1
server_dir=server-$(stat -c %D "$WINEPREFIX")-$(printf '%x' "$(stat -c %i "$WINEPREFIX")")
server=
for pid in $(pgrep -x wineserver64); do
  case $(readlink "/proc/$pid/cwd") in */"$server_dir") server=$pid ;; esac
done
[ -n "$server" ] || { echo "cannot find the wineserver of $WINEPREFIX" >&2; exit 1; }
trap 'rm -rf "$scratch"; /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

# The wineserver's processor time in ms and its context switches so far.
server_usage() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f ", ($14 + $15) * 1000 / hz }' "/proc/$server/stat"
  awk '/ctxt_switches/ { n += $2 } END { print n }' "/proc/$server/status"
}

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Sets `command` to what one run of SIDE (an extractor's path, or copy)
# starts, in a fresh, empty folder $scratch/run.
prepare_run() {
  rm -rf "$scratch/run"
  mkdir -p "$scratch/run"
  command=("$loader" "$1")
  if [ "$1" = copy ]; then
    command=("$loader" "$baseline" "$(windows_path "$folder")" "$(windows_path "$scratch/run/copy")" Setup.exe)
  fi
}

# One run of SIDE (an extractor's path, or copy) under perf stat; prints one line.
run_once() {
  local side=$1 stat=$scratch/stat.txt start end server_before server_after
  prepare_run "$side"
  server_before=$(server_usage)
  start=$EPOCHREALTIME
  (cd "$scratch/run" && perf stat -x, -o "$stat" -e task-clock,page-faults,context-switches \
    "${command[@]}" >"$scratch/out.txt" 2>&1)
  end=$EPOCHREALTIME
  server_after=$(server_usage)
  if [ "$side" != copy ]; then
    diff -rq "$folder" "$scratch/run/Disk1" >/dev/null || { echo "the extractor's folder differs" >&2; exit 1; }
    side=$(basename "$side" .exe)
  fi
  awk -F, -v side="$side" -v wall="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')" \
    -v load="$(cut -d' ' -f1 /proc/loadavg)" -v before="$server_before" -v after="$server_after" '
    $3 == "task-clock" { clock = $1 } $3 == "page-faults" { faults = $1 } $3 == "context-switches" { switches = $1 }
    END { split(before, b, " "); split(after, a, " ")
          printf "%-9s wall %s s  task-clock %.0f ms  page-faults %d  context-switches %d  server %d ms %d switches  load %s\n",
          side, wall, clock, faults, switches, a[1] - b[1], a[2] - b[2], load }' "$stat"
}

# strace's counts for one run of SIDE (an extractor's path, or copy), the wineserver's included.
trace_once() {
  local side=$1
  prepare_run "$side"
  strace -c -f -o "$scratch/server.txt" -p "$server" &
  local tracer=$!
  sleep 0.5
  (cd "$scratch/run" && strace -c -f -o "$scratch/client.txt" "${command[@]}" >/dev/null 2>&1)
  kill -INT "$tracer"
  wait "$tracer" || true
  echo "== $side: the process tree's calls (strace -c -f; times inflated, counts exact)"
  head -n 25 "$scratch/client.txt"
  echo "== $side: the wineserver's calls"
  head -n 15 "$scratch/server.txt"
}

# The wineserver's requests in one run of SIDE, counted by name. The server
# writes the trace, so a new one is started for the run with it on; its
# count includes the prefix's own services starting, the same for each side.
count_requests() {
  local side=$1
  prepare_run "$side"
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w
  (cd "$scratch/run" && WINEDEBUG=+server "${command[@]}" >/dev/null 2>"$scratch/requests.txt")
  /usr/lib/wine/wineserver -w
  echo "== $side: wineserver requests, $(grep -cE '^[0-9a-f]+: [a-z_]+\( ' "$scratch/requests.txt") in all; the most frequent"
  grep -oE '^[0-9a-f]+: [a-z_]+\( ' "$scratch/requests.txt" | awk '{ print $2 }' | sort | uniq -c | sort -rn | head -n 15
}

echo "== $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) CPUs, Linux $(uname -r)"
for ((i = 0; i < runs; i++)); do
  for extractor in "${extractors[@]}"; do run_once "$extractor"; done
  run_once copy
done
if [ "${PROFILE_STRACE:-1}" != 0 ]; then
  for extractor in "${extractors[@]}"; do trace_once "$extractor"; done
  trace_once copy
fi
if [ "${PROFILE_REQUESTS:-1}" != 0 ]; then
  for extractor in "${extractors[@]}"; do count_requests "$extractor"; done
  count_requests copy
fi
