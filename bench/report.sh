# The packer figure and the table of bench/run.sh. Sourced, not run.

# Milliseconds a native command takes from a clean start: its output file is
# removed and all dirty data written back first, so that no run pays for the
# writeback of the previous one.
time_native() {
  local target=$1
  shift
  rm -f "$target"
  sync
  local start=$EPOCHREALTIME
  "$@" >/dev/null || die "failed: $*"
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) * 1000 }'
}

# column_summary LABEL NAME AWK_EXPRESSION FILE: median, min and max of an
# expression over the lines of FILE, as a summary line like the driver's.
column_summary() {
  awk "{ printf \"%.6f\\n\", $3 }" "$4" | sort -g | awk -v l="$1" -v n="$2" '
    { v[NR] = $1 }
    END {
      m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "summary %s %s %.6f %.6f %.6f\n", l, n, m, v[1], v[NR]
    }' >>"$summaries"
}

time_harwpack() {
  time_native "$work/packed.exe" "$harwpack" create --stub "$stub" \
    --archive "$work/fixture_typical.exe" --params "/X" --out "$work/packed.exe"
}

time_cp() { time_native "$work/copied.exe" cp "$work/BTYPICAL.exe" "$work/copied.exe"; }

# harwpack against cp of the finished package: the same bytes written. Every
# other pair runs cp first, so that neither side always follows the other.
measure_packer() {
  note "measuring the packer ($packer_pairs pairs)"
  local samples=$out/packer.txt a b i
  : >"$samples"
  : >"$out/packer.log"
  for ((i = 0; i <= packer_pairs; i++)); do  # pair 0 warms up
    if ((i % 2 == 0)); then
      a=$(time_harwpack)
      b=$(time_cp)
    else
      b=$(time_cp)
      a=$(time_harwpack)
    fi
    echo "sample packer $i harwpack_ms=$a cp_ms=$b" >>"$out/packer.log"
    [ "$i" -eq 0 ] || echo "$a $b" >>"$samples"
  done
  cmp -s "$work/packed.exe" "$work/BTYPICAL.exe" || die "harwpack made a different package"
  rm -f "$work/packed.exe" "$work/copied.exe"
  column_summary packer a_wall_ms '$1' "$samples"
  column_summary packer b_wall_ms '$2' "$samples"
  column_summary packer wall_ratio '$1 / $2' "$samples"
}

# figure LABEL NAME FIELD: FIELD 1 is the median, 2 the minimum, 3 the maximum.
figure() {
  awk -v l="$1" -v n="$2" -v f="$3" '$2 == l && $3 == n { print $(3 + f); found = 1 }
    END { exit !found }' "$summaries" || die "no figure $1 $2"
}

# cell LABEL NAME [DIVISOR] [DIGITS]: "median [min–max]" of a figure.
cell() {
  awk -v l="$1" -v n="$2" -v s="${3:-1}" -v d="${4:-1}" '$2 == l && $3 == n {
      f = "%." d "f"
      printf f " [" f "–" f "]", $4 / s, $5 / s, $6 / s
      found = 1
    }
    END { exit !found }' "$summaries" || die "no figure $1 $2"
}

# calc EXPRESSION: floating-point arithmetic for the derived figures.
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# verdict VALUE LIMIT: "met" when VALUE <= LIMIT.
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "met" : "**missed**") }'; }

machine_line() {
  local cpu
  cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
  printf 'Machine: %s CPUs (%s), %s, Linux %s. ' "$(nproc)" "$cpu" "$(/usr/lib/wine/wine64 --version)" \
    "$(uname -r)"
  printf 'Pairs: %s for the 171 MB archive and the memory, %s for the packer, %s for the others. ' \
    "$pairs" "$packer_pairs" "$small_pairs"
  printf 'Every cell: median [min–max] over the pairs.\n\n'
  printf 'Load average (1, 5, 15 min) at the start: %s; at the end: %s. ' "$load_at_start" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf 'Figures taken with a load above %s (the CPU count) spread widely; compare medians only.\n' \
    "$(nproc)"
}

# verdict_below VALUE LIMIT: "met" when VALUE < LIMIT.
verdict_below() { awk -v v="$1" -v t="$2" 'BEGIN { print (v < t ? "met" : "**missed**") }'; }

extraction_row() {
  local label=$1 text=$2 limit=$3 target="—" met="—"
  if [ -n "$limit" ]; then
    target="≤ $limit"
    met=$(verdict "$(figure "$label" wall_ratio 1)" "$limit")
  fi
  printf '| Extraction `/X`, %s archive, ms | %s | %s | %s | %s | %s |\n' "$text" \
    "$(cell "$label" a_wall_ms)" "$(cell "$label" b_wall_ms)" "$(cell "$label" wall_ratio 1 3)" \
    "$target" "$met"
}

startup_rows() {
  printf '| Start-up: CreateProcessW to the extractor'"'"'s first instruction, tiny archive, ms | %s | %s (fixture started directly) | +%s | — | — |\n' \
    "$(cell startup a_start_ms)" "$(cell startup b_start_ms)" "$(cell startup start_delta_ms)"
  local offset blocks per_block search own total
  offset=$("$harwpack" inspect "$work/BTINY.exe" | awk -F': *' '/^marker offset/ { print $2 }')
  blocks=$((offset / 256 + 1))
  per_block=$(calc "$(figure marker start_delta_ms 1) * 1000 / $pad_blocks")
  search=$(calc "$per_block * $blocks / 1000")
  own=$(calc "100 * $search / $(figure startup start_delta_ms 1)")
  total=$(calc "100 * $search / $(figure startup a_start_ms 1)")
  printf '| Marker search over the stub (%s reads of 256 B), ms | %.2f (%.2f µs a read; per read [%.2f–%.2f]) | — | %.1f %% of the package'"'"'s own start-up, %.1f %% of its time to the extractor | — | — |\n' \
    "$blocks" "$search" "$per_block" \
    "$(calc "$(figure marker start_delta_ms 2) * 1000 / $pad_blocks")" \
    "$(calc "$(figure marker start_delta_ms 3) * 1000 / $pad_blocks")" "$own" "$total"
}

memory_rows() {
  local mib=1048576 delta
  delta=$(calc "($(figure memory_typical a_peak_bytes 1) - $(figure memory_1m a_peak_bytes 1)) / $mib")
  printf '| Peak working set, 1 MiB archive, MiB | %s | %s | — | — | — |\n' \
    "$(cell memory_1m a_peak_bytes $mib 2)" "$(cell memory_1m b_peak_bytes $mib 2)"
  printf '| Peak working set, 171,436,882 B archive, MiB | %s | %s | %+.2f MiB against 1 MiB | < 1 MiB | %s |\n' \
    "$(cell memory_typical a_peak_bytes $mib 2)" "$(cell memory_typical b_peak_bytes $mib 2)" \
    "$delta" "$(verdict_below "$(calc "sqrt(($delta) ^ 2)")" 1)"
}

# The 171 MB run split at the extractor's start (the memory runs carry the
# probe): before it the start-up and the copy, after it the deletion of the
# 171 MB file and the end of the process.
split_row() {
  printf '| 171,436,882 B archive: CreateProcessW to the extractor / extractor'"'"'s end to the end, ms | %s / %s | %s / %s | %+.1f / %+.1f | — | — |\n' \
    "$(cell memory_typical a_start_ms)" "$(cell memory_typical a_after_ms)" \
    "$(cell memory_typical b_start_ms)" "$(cell memory_typical b_after_ms)" \
    "$(figure memory_typical start_delta_ms 1)" \
    "$(calc "$(figure memory_typical a_after_ms 1) - $(figure memory_typical b_after_ms 1)")"
  printf '| 1 MiB archive, package padded to 171,549,684 B behind the container: CreateProcessW to the extractor, ms | %s | %s (unpadded) | %+.1f | — | — |\n' \
    "$(cell own_file a_start_ms)" "$(cell own_file b_start_ms)" "$(figure own_file start_delta_ms 1)"
}

size_and_packer_rows() {
  local bytes
  bytes=$(stat -c %s "$stub")
  printf '| Stub size (HarwUpdater.exe), bytes | %s (%.1f KiB) | — | — | ≤ 160 KiB (163,840) | %s |\n' \
    "$bytes" "$(calc "$bytes / 1024")" "$(verdict "$bytes" 163840)"
  printf '| Packer: 171 MB package, harwpack create vs cp, ms | %s | %s | %s | ≤ 1.2 | %s |\n' \
    "$(cell packer a_wall_ms)" "$(cell packer b_wall_ms)" "$(cell packer wall_ratio 1 3)" \
    "$(verdict "$(figure packer wall_ratio 1)" 1.2)"
}

# This edition's section: its table and its end-to-end figures.
write_table() {
  {
    printf '\n## The %s\n\n' "$edition_text"
    printf '| Figure, %s edition | HarwUpdater | Baseline | Result | Target | |\n' "$edition"
    printf '| --- | --- | --- | --- | --- | --- |\n'
    extraction_row extract_1m "1 MiB" 1.25
    extraction_row extract_16m "16 MiB" ""
    extraction_row extract_typical "171,436,882 B" 1.10
    startup_rows
    memory_rows
    split_row
    size_and_packer_rows
    e2e_section
  } >"$out/section.md"
}

# The whole table: the machine, then each edition's section.
write_results() {
  local results=$bench_out/results.md edition
  {
    printf '# Benchmark results\n\n'
    printf 'Run of %s. ' "$(date -u '+%Y-%m-%d %H:%M UTC')"
    machine_line
    printf '\nEditions measured: %s.\n' "${editions_note#editions measured: }"
    for edition in "${editions[@]}"; do cat "$bench_out/$edition/section.md"; done
  } >"$results"
  cp "$results" "$repo/bench/RESULTS.md"
  cat "$results"
}
