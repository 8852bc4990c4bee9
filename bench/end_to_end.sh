# The end-to-end figures of bench/run.sh: a realistic installation folder
# packed with each self-extractor (the builtin one at each zstd level, NSIS
# with each compression) and run through it up to its setup program, against a
# plain copy of the same folder. Sourced, not run.

# Builds the folder (see make_folder.py for the rule) with the probe as its
# setup program; its summary line goes into the table.
make_folder() {
  note "building the installation folder from the installed packages"
  folder=$work/tree/Disk1
  folder_line=$(python3 "$repo/bench/make_folder.py" "$size_typical" "$work/quick_exit.exe" "$folder") ||
    die "make_folder.py failed"
  printf '%s\n' "$folder_line" >"$out/folder.txt"
  dpkg-query -W -f '${Package}:${Architecture} ${Version}\n' binutils-mingw-w64-i686 \
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix gcc-mingw-w64-i686-posix-runtime libwine:i386 \
    mingw-w64-i686-dev nsis nsis-common >>"$out/folder.txt"
}

# The level harwpack uses without --level, read from its help so that the
# targets follow the packer when its default moves.
read_default_level() {
  "$harwpack" --help >"$bench_out/help.txt" 2>&1 || die "harwpack --help failed"
  default_level=$(sed -n 's/.*--level N (1 to 22, default \([0-9][0-9]*\)).*/\1/p' "$bench_out/help.txt")
  [ -n "$default_level" ] || die "harwpack --help names no default zstd level (see $bench_out/help.txt)"
}

# The packages of the end-to-end part, a word each: zstd<level> for the
# builtin extractor, the compression's name for NSIS. The word names the
# package, its figures and its row; the builtin rows come first.
choose_variants() {
  local level compression
  variants=()
  for level in $levels; do
    [[ $level =~ ^[0-9]+$ ]] || die "BENCH_LEVELS holds '$level', not a zstd level"
    variants+=("zstd$level")
  done
  for compression in $compressions; do
    case $compression in
      lzma | zlib | bzip2 | none) variants+=("$compression") ;;
      *) die "BENCH_COMPRESSIONS holds '$compression', not an NSIS compression" ;;
    esac
  done
  [ "${#variants[@]}" -gt 0 ] || die "BENCH_LEVELS and BENCH_COMPRESSIONS are both empty"
  [[ $memory_runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_E2E_MEMORY_RUNS is '$memory_runs', not a count of runs"
  note "end-to-end packages: ${variants[*]} (default zstd level $default_level)"
}

is_builtin() { [[ $1 == zstd* ]]; }

has_variant() {
  local variant
  for variant in "${variants[@]}"; do [ "$variant" = "$1" ] && return 0; done
  return 1
}

variant_text() {
  if ! is_builtin "$1"; then
    printf 'NSIS, %s' "$1"
  elif [ "${1#zstd}" = "$default_level" ]; then
    printf 'builtin, zstd level %s (default)' "${1#zstd}"
  else
    printf 'builtin, zstd level %s' "${1#zstd}"
  fi
}

e2e_package() { printf '%s/E2E_%s.exe' "$work" "${1^^}"; }

# The figures must belong to the extractor the row names: harwpack inspect
# reads which one the package carries, for which edition, and (for the builtin
# one) decodes the whole archive against its checksums. Sets `layout` for
# create.txt: where the archived data begins (the stub and the container lie
# before it) and, for the builtin one, the zstd data's size and window log.
check_package() {
  local variant=$1 package=$2 report=$out/inspect_$1.txt line offset data=- window=- program=-
  "$harwpack" inspect "$package" >"$report" 2>&1 || die "harwpack inspect $package failed (report: $report)"
  grep -q "^extractor edition: *$edition " "$report" ||
    die "$package does not carry a self-extractor of the $edition edition (report: $report)"
  line=$(sed -n 's/^extractor: *//p' "$report")
  if is_builtin "$variant"; then
    [[ $line == "builtin, archive at byte "* ]] ||
      die "$package does not carry the builtin extractor with a readable archive: '$line' (report: $report)"
    grep -q '^checksums: *verified' "$report" || die "the archive of $package does not decode (report: $report)"
    program=$(sed -n 's/^builtin, archive at byte \([0-9][0-9]*\):.*/\1/p' <<<"$line")
    data=$(sed -n 's/.* \([0-9][0-9]*\) compressed,.*/\1/p' <<<"$line")
    window=$(sed -n 's/.*decoder window 2^\([0-9][0-9]*\).*/\1/p' <<<"$line")
    [ -n "$program" ] && [ -n "$data" ] && [ -n "$window" ] || die "cannot read the archive's layout from '$line' (report: $report)"
  else
    [[ $line == "not the builtin one"* ]] || die "$package should carry an NSIS extractor: '$line' (report: $report)"
  fi
  offset=$(sed -n 's/^archived data: *[0-9][0-9]* bytes at offset \([0-9][0-9]*\).*/\1/p' "$report")
  [ -n "$offset" ] || die "cannot read where the archived data of $package begins (report: $report)"
  # The archive lies behind the extractor program, which lies at the offset.
  [ "$program" = - ] || program=$((program - offset))
  layout="$offset $data $window $program"
}

# Packs the folder for each variant, timing each create once (level 22 and
# lzma take one to two minutes each): from a clean start like the packer
# figure, with the compressor's own work included. Each option is spelt out,
# defaults included, so that a row never depends on what the packer assumes.
make_e2e_packages() {
  local variant ms package layout
  local -a options
  : >"$out/create.txt"
  for variant in "${variants[@]}"; do
    package=$(e2e_package "$variant")
    if is_builtin "$variant"; then
      options=(--extractor builtin --level "${variant#zstd}" --extractor-program "$extractor_program")
    else
      options=(--extractor nsis --compression "$variant")
    fi
    note "harwpack create ${options[*]:0:4} of the folder"
    ms=$(time_native "$package" "$harwpack" create --stub "$stub" --folder "$folder" "${options[@]}" \
      --out "$package")
    check_package "$variant" "$package"
    echo "$variant $ms $(stat -c %s "$package") $layout" >>"$out/create.txt"
  done
}

# The package's log of one driver run: the extractor's run (its CreateProcess
# line to the end of the wait) per run, in milliseconds, in the order of the runs.
extractor_times() {
  awk -v name="___E2E_${1^^}___.exe" '
    function ms(stamp, t) { split(stamp, t, ":"); return (t[1] * 3600 + t[2] * 60 + t[3]) * 1000 }
    index($0, "CreateProcess(\"" name "\")") { started = ms($2) }
    index($0, "WaitForSingleObject(\"" name "\")") { printf "%.3f\n", ms($2) - started }' "$2"
}

# The program's own part of the time to the setup program, per pair: the
# package's time to the probe less the extractor's own run from its log.
own_share() {
  local variant=$1 label=e2e_$1 log=$2
  extractor_times "$variant" "$log" >"$out/$label.extractor"
  grep "^sample $label [0-9]* a " "$out/$label.txt" | sed 's/.*start_ms=\([0-9.]*\).*/\1/' \
    >"$out/$label.start"
  [ "$(wc -l <"$out/$label.extractor")" -eq "$(wc -l <"$out/$label.start")" ] ||
    die "$log does not hold one extractor run per package run"
  # The first run warmed up; the driver dropped it too.
  paste -d' ' "$out/$label.start" "$out/$label.extractor" | tail -n +2 >"$out/$label.own"
  column_summary "$label" own_ms '$1 - $2' "$out/$label.own"
  column_summary "$label" own_share '100 * ($1 - $2) / $1' "$out/$label.own"
  column_summary "$label" extractor_ms '$2' "$out/$label.own"
}

measure_end_to_end() {
  local variant name log baseline
  baseline="$(winpath "$work/baseline_tree.exe") $(winpath "$folder") $(winpath "$work/BaseDisk1") Setup.exe"
  for variant in "${variants[@]}"; do
    name=E2E_${variant^^}.log
    find "$WINEPREFIX/drive_c/users" -iname "$name" -delete
    drive "e2e_$variant" "$e2e_pairs" probe.bin "$(winpath "$(e2e_package "$variant")")" "$baseline"
    log=$(find "$WINEPREFIX/drive_c/users" -iname "$name" | head -n 1)
    [ -n "$log" ] || die "E2E_${variant^^}.exe wrote no log"
    own_share "$variant" "$log"
    [ ! -e "$work/Disk1" ] && [ ! -e "$work/BaseDisk1" ] || die "an unpacked folder was left in $work"
  done
}

# Runs a program under Wine straight from here, as the package starts its
# extractor (no arguments, the folder it lies in as the current one), and
# prints its exit status (as the shell gives it) and its peak resident set in
# bytes. Wine runs a program started this way in the very process `wine`
# starts as (one exec after another), and whatever the program starts itself
# is forked twice and never waited for here, so wait4's ru_maxrss is the peak
# of that one process: the program with Wine's libraries mapped into it, the
# same number Wine gives as PeakWorkingSetSize while the process lives. Its
# output goes to a file.
peak_alone() {
  local program=$1 output=$2
  python3 -c '
import os, sys
folder, output, argv = sys.argv[1], sys.argv[2], sys.argv[3:]
pid = os.fork()
if pid == 0:
    try:
        os.chdir(folder)
        sink = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(sink, 1)
        os.dup2(sink, 2)
        os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
        os.execv(argv[0], argv)
    except OSError as error:
        print(f"cannot start {argv[0]} in {folder}: {error}", file=sys.stderr)
    os._exit(127)
_, status, usage = os.wait4(pid, 0)
code = os.waitstatus_to_exitcode(status)
print(code if code >= 0 else 128 - code, usage.ru_maxrss * 1024)
' "$(dirname "$program")" "$output" "$loader" "$program"
}

# run_alone LABEL PROGRAM: one run of peak_alone; a non-zero exit stops the
# bench; the peak goes to $out/LABEL.peak.
run_alone() {
  local label=$1 program=$2 result status bytes
  result=$(peak_alone "$program" "$out/$label.alone") || die "could not run $program from the Linux side"
  read -r status bytes <<<"$result"
  if [ "$status" -ne 0 ]; then
    cat "$out/$label.alone" >&2 || true
    die "$program, run alone for its memory: $(exit_text "$status") (output: $out/$label.alone)"
  fi
  echo "$bytes" >>"$out/$label.peak"
}

# The self-extractor's peak memory. Inside a package run nothing can ask for
# it: the setup program's parent is the package, and Wine reports nothing for
# a process that has ended. So each package's extractor is taken out of it
# (harwpack extract) and run on its own in an empty folder, where it unpacks
# the folder as in the package; the folder is compared with the original
# after each run, so the figure is that of a complete, correct extraction.
# The fixture that ends at once, run the same way, gives Wine's own share.
measure_extractor_memory() {
  local variant label i alone=$work/alone
  rm -rf "$alone"
  mkdir -p "$alone"
  note "measuring the peak memory of a program that ends at once ($memory_runs runs)"
  cp "$work/quick_exit.exe" "$alone/quick_exit.exe"
  : >"$out/e2e_floor.peak"
  for ((i = 0; i < memory_runs; i++)); do run_alone e2e_floor "$alone/quick_exit.exe"; done
  column_summary e2e_floor peak_bytes '$1' "$out/e2e_floor.peak"
  rm -f "$alone/quick_exit.exe"
  for variant in "${variants[@]}"; do
    label=e2e_$variant
    note "measuring the peak memory of the extractor of $(variant_text "$variant") ($memory_runs runs)"
    quietly "$out/pack.log" "$harwpack" extract "$(e2e_package "$variant")" --out "$alone/extractor.exe"
    : >"$out/$label.peak"
    for ((i = 0; i < memory_runs; i++)); do
      run_alone "$label" "$alone/extractor.exe"
      diff -rq "$folder" "$alone/Disk1" >"$out/$label.diff" 2>&1 ||
        die "the extractor of $(variant_text "$variant") run alone did not unpack the folder as it is (see $out/$label.diff)"
      rm -rf "$alone/Disk1"
    done
    [ "$(find "$alone" -mindepth 1 | wc -l)" -eq 1 ] || die "the extractor run alone left files in $alone"
    rm -f "$alone/extractor.exe"
    column_summary "$label" peak_bytes '$1' "$out/$label.peak"
  done
  rmdir "$alone"
}

# create.txt into arrays by variant: create time, package size, offset of the
# archived data, and for the builtin extractor the zstd data's size, its
# window log and the size of the extractor program. Read here, not in a
# subshell, so that a gap stops the bench.
load_created() {
  local variant ms bytes offset data window program
  declare -gA create_ms=() package_bytes=() data_offset=() zstd_bytes=() window_log=() program_bytes=()
  while read -r variant ms bytes offset data window program; do
    create_ms[$variant]=$ms package_bytes[$variant]=$bytes data_offset[$variant]=$offset
    zstd_bytes[$variant]=$data window_log[$variant]=$window program_bytes[$variant]=$program
  done <"$out/create.txt"
  for variant in "${variants[@]}"; do
    [ -n "${package_bytes[$variant]:-}" ] || die "no create figures for $variant in $out/create.txt"
  done
}

e2e_rows() {
  local variant
  printf '| Extractor, %s edition | Package, bytes | `create`, s | Start to setup, s | Baseline: copy and start, s | Ratio | Program'"'"'s own, ms | Own share | Extractor'"'"'s peak memory, MiB | Removal after setup, ms (baseline) |\n' "$edition"
  printf '| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |\n'
  for variant in "${variants[@]}"; do
    printf '| %s | %s | %.1f | %s | %s | %s | %s | %s %% | %s | %s (%s) |\n' "$(variant_text "$variant")" \
      "${package_bytes[$variant]}" "$(calc "${create_ms[$variant]} / 1000")" \
      "$(cell "e2e_$variant" a_start_ms 1000 2)" "$(cell "e2e_$variant" b_start_ms 1000 2)" \
      "$(cell "e2e_$variant" start_ratio 1 2)" "$(cell "e2e_$variant" own_ms 1 0)" \
      "$(cell "e2e_$variant" own_share 1 1)" "$(cell "e2e_$variant" peak_bytes 1048576 1)" \
      "$(cell "e2e_$variant" a_after_ms 1 0)" "$(cell "e2e_$variant" b_after_ms 1 0)"
  done
}

# Thousands separators for byte counts in the targets' prose.
grouped() { printf '%s' "$1" | sed ':a; s/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/; ta'; }

# The user's wait at the default level: the median of the per-pair ratios.
wait_target_row() {
  local builtin=zstd$default_level ratio verdict detail
  ratio=$(figure "e2e_$builtin" start_ratio 1)
  verdict=$(verdict "$ratio" 1.3)
  detail=$(printf '%.2f s against %.2f s (medians); of the package'"'"'s time, its extractor'"'"'s run (from the package'"'"'s log) %.2f s, the program'"'"'s own part %.0f ms' \
    "$(calc "$(figure "e2e_$builtin" a_start_ms 1) / 1000")" "$(calc "$(figure "e2e_$builtin" b_start_ms 1) / 1000")" \
    "$(calc "$(figure "e2e_$builtin" extractor_ms 1) / 1000")" "$(figure "e2e_$builtin" own_ms 1)")
  if [ "$verdict" != met ]; then
    detail="$(printf '%.2f over the limit' "$(calc "$ratio - 1.3")"): $detail"
  fi
  if has_variant lzma; then
    detail="$detail; NSIS lzma: ratio $(printf '%.2f' "$(figure e2e_lzma start_ratio 1)"), its extractor's run $(printf '%.2f' "$(calc "$(figure e2e_lzma extractor_ms 1) / 1000")") s"
  fi
  printf '| User'"'"'s wait to the setup program, builtin level %s against the copy baseline (median of the per-pair ratios) | %s | ≤ 1.3 | %s | %s |\n' \
    "$default_level" "$(cell "e2e_$builtin" start_ratio 1 2)" "$verdict" "$detail"
}

# Sets best_level and best_bytes: the smallest builtin package measured.
smallest_builtin() {
  local variant
  best_level="" best_bytes=""
  for variant in "${variants[@]}"; do
    is_builtin "$variant" || continue
    if [ -z "$best_bytes" ] || [ "${package_bytes[$variant]}" -lt "$best_bytes" ]; then
      best_level=${variant#zstd} best_bytes=${package_bytes[$variant]}
    fi
  done
}

# The builtin package against the NSIS lzma one, with the builtin package's
# parts from its inspection, since that is where a difference can be looked for.
size_target_row() {
  local builtin=zstd$default_level bytes lzma_bytes offset data program verdict detail best_level best_bytes
  bytes=${package_bytes[$builtin]} lzma_bytes=${package_bytes[lzma]} offset=${data_offset[$builtin]}
  data=${zstd_bytes[$builtin]} program=${program_bytes[$builtin]}
  verdict=$(verdict "$bytes" "$(calc "$lzma_bytes * 1.05")")
  if [ "$verdict" = met ] && [ "$bytes" -le "$lzma_bytes" ]; then
    verdict="met, and no larger"
  elif [ "$verdict" = met ]; then
    verdict="met, but larger"
  fi
  if [ "$bytes" -gt "$lzma_bytes" ]; then
    detail="$(grouped "$((bytes - lzma_bytes))") B more"
  else
    detail="$(grouped "$((lzma_bytes - bytes))") B less"
  fi
  detail=$(printf '%s; of the builtin package: zstd data %s B, HarwExtract.exe %s B, the archive'"'"'s header and table %s B, stub and container %s B' \
    "$detail" "$(grouped "$data")" "$(grouped "$program")" \
    "$(grouped "$((bytes - offset - program - data))")" "$(grouped "$offset")")
  if [[ $verdict == *missed* ]]; then
    detail="$(grouped "$((bytes - lzma_bytes * 105 / 100))") B over the limit: $detail"
  fi
  smallest_builtin
  if [ "$best_level" != "$default_level" ]; then
    detail="$detail; smallest builtin measured: level $best_level, $(printf '%+.1f' \
      "$(calc "100 * ($best_bytes - $lzma_bytes) / $lzma_bytes")") %"
  fi
  printf '| Package size, builtin level %s against NSIS lzma | %s B against %s B: %+.1f %% | ≤ +5 %% (no larger where possible) | %s | %s |\n' \
    "$default_level" "$(grouped "$bytes")" "$(grouped "$lzma_bytes")" \
    "$(calc "100 * ($bytes - $lzma_bytes) / $lzma_bytes")" "$verdict" "$detail"
}

create_target_row() {
  local builtin=zstd$default_level ms lzma_ms verdict detail variant faster=""
  ms=${create_ms[$builtin]} lzma_ms=${create_ms[lzma]}
  verdict=$(verdict "$ms" "$lzma_ms")
  detail=$(printf '%+.1f s (%+.0f %%), each timed once on the %s CPUs' \
    "$(calc "($ms - $lzma_ms) / 1000")" "$(calc "100 * ($ms - $lzma_ms) / $lzma_ms")" "$(nproc)")
  if [ "$verdict" != met ]; then
    for variant in "${variants[@]}"; do
      is_builtin "$variant" || continue
      if [ "$(verdict "${create_ms[$variant]}" "$lzma_ms")" = met ]; then faster="$faster ${variant#zstd}"; fi
    done
    detail="$detail; builtin levels measured that were no slower:${faster:- none}"
  fi
  printf '| `create`, builtin level %s against NSIS lzma | %.1f s against %.1f s | no slower | %s | %s |\n' \
    "$default_level" "$(calc "$ms / 1000")" "$(calc "$lzma_ms / 1000")" "$verdict" "$detail"
}

# The three targets of the builtin extractor; one whose figures were left out
# of the run (BENCH_LEVELS, BENCH_COMPRESSIONS) says so instead of a verdict.
e2e_targets() {
  local no_default="" missing=""
  has_variant "zstd$default_level" || no_default="the default level $default_level is not in BENCH_LEVELS"
  has_variant lzma || missing="lzma is not in BENCH_COMPRESSIONS"
  missing=$no_default${no_default:+${missing:+; }}$missing
  printf '\n| Target, %s edition | Measured | Limit | | How much, and why |\n' "$edition"
  printf '| --- | --- | --- | --- | --- |\n'
  if [ -z "$no_default" ]; then
    wait_target_row
  else
    printf '| User'"'"'s wait to the setup program, builtin level %s against the copy baseline | — | ≤ 1.3 | not measured | %s |\n' \
      "$default_level" "$no_default"
  fi
  if [ -z "$missing" ]; then
    size_target_row
    create_target_row
  else
    printf '| Package size, builtin level %s against NSIS lzma | — | ≤ +5 %% | not measured | %s |\n' \
      "$default_level" "$missing"
    printf '| `create`, builtin level %s against NSIS lzma | — | no slower | not measured | %s |\n' \
      "$default_level" "$missing"
  fi
}

e2e_section() {
  load_created
  printf '\n### End to end, %s edition: a %s-byte installation folder\n\n' "$edition" "$size_typical"
  printf 'Folder (built by `bench/make_folder.py` from the installed packages below): %s\n\n' \
    "$(head -n 1 "$out/folder.txt")"
  tail -n +2 "$out/folder.txt" | sed 's/^/- /'
  printf '\nPairs: %s (one warm-up pair dropped); `create` timed once per package. ' "$e2e_pairs"
  printf 'Start to setup: the package'"'"'s CreateProcessW to the first instruction of Disk1\\Setup.exe '
  printf 'through its self-extractor (HarwExtract.exe with its zstd archive, or NSIS); baseline: '
  printf '`baseline_tree.exe` copies the folder with CopyFileW '
  printf 'and starts the same program. Program'"'"'s own: that time less the extractor'"'"'s run in the '
  printf 'package'"'"'s log. Removal: from the setup program'"'"'s end to the end of the run. '
  printf 'Extractor'"'"'s peak memory: the peak resident set of the self-extractor taken out of the '
  printf 'package and run alone from the Linux side (%s runs), Wine'"'"'s libraries included; ' "$memory_runs"
  printf 'a program that ends at once peaks at %s MiB the same way.' "$(cell e2e_floor peak_bytes 1048576 1)"
  if has_variant "zstd$default_level"; then
    local window=${window_log[zstd$default_level]}
    printf ' The builtin archive'"'"'s decoder window: 2^%s bytes (%s MiB).' "$window" "$(((1 << window) / 1048576))"
  fi
  printf '\n\n'
  e2e_rows
  e2e_targets
}
