#!/usr/bin/env bash
# Measures the package against what any program must do at the least, under a
# Wine prefix of its own, and writes the table to build/bench/results.md and
# bench/RESULTS.md. See bench/README.md for what each figure means.
#
# Environment: BENCH_PAIRS (default 21) pairs for the 171 MB archive and the
# memory, BENCH_PACKER_PAIRS (default 31) for the packer, BENCH_SMALL_PAIRS
# (default 51) for the small, cheap figures, whose process starts scatter most;
# BENCH_E2E_PAIRS (default 5) for the end-to-end runs of the installation
# folder, which take seconds each, and BENCH_COMPRESSIONS (default
# "lzma zlib bzip2 none") the compressions it is packed with.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$repo/build/bench
work=$out/work
win_build=$repo/build/bench-win
native_build=$repo/build/bench-native
tools_build=$repo/build/bench-tools
summaries=$out/summaries.txt
pairs=${BENCH_PAIRS:-21}
packer_pairs=${BENCH_PACKER_PAIRS:-31}
small_pairs=${BENCH_SMALL_PAIRS:-51}
e2e_pairs=${BENCH_E2E_PAIRS:-5}
compressions=${BENCH_COMPRESSIONS:-lzma zlib bzip2 none}

# Archive sizes: the typical package's archive, and two small ones.
size_1m=1048576
size_16m=16777216
size_typical=171436882
# Blocks of padding behind the stub of the marker-search package: 64 MiB, so
# that the extra search stands well above the noise of a process start.
pad_blocks=262144

export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

export LC_ALL=C  # awk and $EPOCHREALTIME use a decimal point

source "$repo/bench/lib.sh"
source "$repo/bench/report.sh"
source "$repo/bench/end_to_end.sh"

main() {
  load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
  mkdir -p "$out"
  rm -rf "$work"
  mkdir -p "$work"
  : >"$summaries"
  build_all
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
  write_table
}

main "$@"
