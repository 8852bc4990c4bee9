#!/usr/bin/env bash
# Measures the package against what any program must do at the least, for
# each edition this machine can run (x86 under 32-bit Wine where 32-bit
# programs start, x64 under 64-bit Wine everywhere), each under a Wine prefix
# of its own, and writes the tables, one section per edition, to
# build/bench/results.md and bench/RESULTS.md. See bench/README.md for what
# each figure means.
#
# Environment: BENCH_PAIRS (default 21) pairs for the 171 MB archive and the
# memory, BENCH_PACKER_PAIRS (default 31) for the packer, BENCH_SMALL_PAIRS
# (default 51) for the small, cheap figures, whose process starts scatter most;
# BENCH_E2E_PAIRS (default 5) for the end-to-end runs of the installation
# folder, which take seconds each, BENCH_LEVELS (default "3 19 20 22") the
# zstd levels it is packed with for the builtin extractor and
# BENCH_COMPRESSIONS (default "lzma zlib bzip2 none") the compressions for
# NSIS, BENCH_E2E_MEMORY_RUNS (default 3) the runs of each self-extractor on
# its own for its peak memory, and BENCH_EDITIONS the editions to measure
# (default: those the machine runs).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_out=$repo/build/bench
native_build=$repo/build/bench-native
pairs=${BENCH_PAIRS:-21}
packer_pairs=${BENCH_PACKER_PAIRS:-31}
small_pairs=${BENCH_SMALL_PAIRS:-51}
e2e_pairs=${BENCH_E2E_PAIRS:-5}
levels=${BENCH_LEVELS-3 19 20 22}
compressions=${BENCH_COMPRESSIONS-lzma zlib bzip2 none}
memory_runs=${BENCH_E2E_MEMORY_RUNS:-3}

# Archive sizes: the typical package's archive, and two small ones.
size_1m=1048576
size_16m=16777216
size_typical=171436882
# Blocks of padding behind the stub of the marker-search package: 64 MiB, so
# that the extra search stands well above the noise of a process start.
pad_blocks=262144

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

export LC_ALL=C  # awk and $EPOCHREALTIME use a decimal point

source "$repo/scripts/editions.sh"
source "$repo/bench/lib.sh"
source "$repo/bench/report.sh"
source "$repo/bench/end_to_end.sh"

# The editions to measure: BENCH_EDITIONS, else those this machine can run.
choose_editions() {
  probe_x86
  if [ -n "${BENCH_EDITIONS:-}" ]; then
    read -r -a editions <<<"$BENCH_EDITIONS"
    editions_note="editions measured: ${editions[*]} (BENCH_EDITIONS)"
  elif [ "$x86_runs" = yes ]; then
    editions=(x86 x64)
    editions_note="editions measured: x86 (32-bit Wine) and x64 (64-bit Wine)"
  else
    editions=(x64)
    editions_note="editions measured: x64 (64-bit Wine) only; x86 not measured: $x86_reason"
  fi
  note "$editions_note"
}

# Everything for one edition, from its build to its section of the table.
measure_edition() {
  use_edition "$1"
  mkdir -p "$out"
  rm -rf "$work"
  mkdir -p "$work"
  : >"$summaries"
  build_edition
  start_prefix
  trap finish EXIT
  make_fixtures
  make_folder
  make_packages
  make_e2e_packages
  settle_page_cache
  measure_extraction
  measure_startup
  measure_memory
  measure_own_file
  check_package_log
  measure_packer
  measure_end_to_end
  measure_extractor_memory
  write_table
  stop_edition
  trap - EXIT
}

main() {
  load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
  mkdir -p "$bench_out"
  choose_editions
  build_packer
  read_default_level
  choose_variants
  local edition
  for edition in "${editions[@]}"; do measure_edition "$edition"; done
  write_results
}

main "$@"
