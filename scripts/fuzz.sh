#!/usr/bin/env bash
# Fuzzes the archive reader: builds build/fuzz (clang, libFuzzer, ASan and
# UBSan; tests/fuzz), whose build also makes the seed archives, then runs the
# fuzz target with the corpus in build/fuzz/corpus for [seconds] (default
# 60; the build, about 30 s on two cores from scratch, comes on top). Prints
# one summary line; exits non-zero on any crash, hang, leak or
# sanitizer report, naming the reproducer (kept in build/fuzz/artifacts; run
# build/fuzz/archive_fuzz <file> to see it again).
# Needs: clang-14 libclang-rt-14-dev llvm cmake ninja-build libzstd-dev.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds]" >&2
  exit 2
fi
tree=build/fuzz
runtime=$(ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | head -n 1 || true)
if ! command -v clang++-14 >/dev/null || [ -z "$runtime" ]; then
  echo "fuzz.sh: clang-14 and libFuzzer are needed: apt-get install clang-14 libclang-rt-14-dev" >&2
  exit 1
fi

mkdir -p "$tree"
if ! { cmake -S . -B "$tree" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARW_FUZZ=ON -DHARW_ARCHIVE_VENDORED_DECODER=ON &&
       cmake --build "$tree"; } >"$tree/build.log" 2>&1 </dev/null; then
  cat "$tree/build.log" >&2
  echo "fuzz.sh: the fuzz tree did not build (log: $tree/build.log)" >&2
  exit 1
fi

fuzz_seconds=$seconds
mkdir -p "$tree/corpus" "$tree/artifacts"
log=$tree/fuzz.log
marker=$tree/fuzz.started
touch "$marker"
fuzz_started=$SECONDS
# No allocation of the reader may pass 256 MiB (its largest, the decoder's
# window, is 128 MiB). Inputs are picked less often the longer they run: under
# ASan an input that allocates that window takes ten times as long as most.
# libFuzzer starts afresh every 15 minutes: ASan keeps a record of every
# thread the pipeline starts, some 60 MB per million runs.
slice=900
left=$fuzz_seconds
status=0
: >"$log"
while [ "$left" -gt 0 ] && [ "$status" -eq 0 ]; do
  this=$((left < slice ? left : slice))
  left=$((left - this))
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$tree/archive_fuzz" -max_total_time="$this" -timeout=10 -malloc_limit_mb=256 -rss_limit_mb=2048 \
    -max_len=32768 -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$tree/artifacts/" \
    "$tree/corpus" "$tree/seeds" \
    </dev/null >>"$log" 2>&1 || status=$?
done
fuzzed=$((SECONDS - fuzz_started))

runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | awk '{sum += $2} END {print sum + 0}')
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
corpus=$(find "$tree/corpus" -type f | wc -l)
mapfile -t found < <(find "$tree/artifacts" -type f -newer "$marker" ! -name 'slow-unit-*' | sort)
echo "fuzz: ${fuzzed}s, $runs executions ($((runs / (fuzzed > 0 ? fuzzed : 1)))/s)," \
  "${coverage:-cov: ? ft: ?}, corpus: $corpus inputs ($tree/corpus), crashes: ${#found[@]}"

if [ "$status" -ne 0 ] || [ "${#found[@]}" -ne 0 ] ||
   grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
  report=$(grep -E -A 40 'broken: |ERROR: |runtime error:' "$log" || tail -n 40 "$log")
  head -n 60 <<<"$report" >&2
  for file in "${found[@]}"; do echo "fuzz.sh: reproducer: $file" >&2; done
  echo "fuzz.sh: the fuzzer failed (exit $status; log: $log)" >&2
  exit 1
fi
