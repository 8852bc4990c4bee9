# The end-to-end figures of bench/run.sh: a realistic installation folder packed
# with each compression and run through the real NSIS extractor up to its setup
# program, against a plain copy of the same folder. Sourced, not run.

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

e2e_package() { printf '%s/E2E_%s.exe' "$work" "${1^^}"; }

# Packs the folder with each compression, timing each create once (the lzma
# one alone takes about two minutes): from a clean start like the packer
# figure, with the compiler's own work included.
make_e2e_packages() {
  local compression ms
  : >"$out/create.txt"
  for compression in $compressions; do
    note "harwpack create --compression $compression of the folder"
    ms=$(time_native "$(e2e_package "$compression")" "$harwpack" create --stub "$stub" \
      --folder "$folder" --compression "$compression" --out "$(e2e_package "$compression")")
    echo "$compression $ms $(stat -c %s "$(e2e_package "$compression")")" >>"$out/create.txt"
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
  local compression=$1 label=e2e_$1 log=$2
  extractor_times "$compression" "$log" >"$out/$label.extractor"
  grep "^sample $label [0-9]* a " "$out/$label.txt" | sed 's/.*start_ms=\([0-9.]*\).*/\1/' \
    >"$out/$label.start"
  [ "$(wc -l <"$out/$label.extractor")" -eq "$(wc -l <"$out/$label.start")" ] ||
    die "$log does not hold one extractor run per package run"
  # The first run warmed up; the driver dropped it too.
  paste -d' ' "$out/$label.start" "$out/$label.extractor" | tail -n +2 >"$out/$label.own"
  column_summary "$label" own_ms '$1 - $2' "$out/$label.own"
  column_summary "$label" own_share '100 * ($1 - $2) / $1' "$out/$label.own"
}

measure_end_to_end() {
  local compression name log baseline
  baseline="$(winpath "$work/baseline_tree.exe") $(winpath "$folder") $(winpath "$work/BaseDisk1") Setup.exe"
  for compression in $compressions; do
    name=E2E_${compression^^}.log
    find "$WINEPREFIX/drive_c/users" -iname "$name" -delete
    drive "e2e_$compression" "$e2e_pairs" probe.bin "$(winpath "$(e2e_package "$compression")")" "$baseline"
    log=$(find "$WINEPREFIX/drive_c/users" -iname "$name" | head -n 1)
    [ -n "$log" ] || die "E2E_${compression^^}.exe wrote no log"
    own_share "$compression" "$log"
    [ ! -e "$work/Disk1" ] && [ ! -e "$work/BaseDisk1" ] || die "an unpacked folder was left in $work"
  done
}

e2e_rows() {
  local compression create_ms bytes
  printf '| Compression, %s edition | Package, bytes | `create`, s | Start to setup, s | Baseline: copy and start, s | Ratio | Program'"'"'s own, ms | Own share | Removal after setup, ms (baseline) |\n' "$edition"
  printf '| --- | --- | --- | --- | --- | --- | --- | --- | --- |\n'
  for compression in $compressions; do
    read -r _ create_ms bytes < <(grep "^$compression " "$out/create.txt")
    printf '| %s | %s | %.1f | %s | %s | %s | %s | %s %% | %s (%s) |\n' "$compression" "$bytes" \
      "$(calc "$create_ms / 1000")" "$(cell "e2e_$compression" a_start_ms 1000 2)" \
      "$(cell "e2e_$compression" b_start_ms 1000 2)" "$(cell "e2e_$compression" start_ratio 1 2)" \
      "$(cell "e2e_$compression" own_ms 1 0)" "$(cell "e2e_$compression" own_share 1 1)" \
      "$(cell "e2e_$compression" a_after_ms 1 0)" "$(cell "e2e_$compression" b_after_ms 1 0)"
  done
}

e2e_section() {
  printf '\n### End to end, %s edition: a %s-byte installation folder\n\n' "$edition" "$size_typical"
  printf 'Folder (built by `bench/make_folder.py` from the installed packages below): %s\n\n' \
    "$(head -n 1 "$out/folder.txt")"
  tail -n +2 "$out/folder.txt" | sed 's/^/- /'
  printf '\nPairs: %s (one warm-up pair dropped); `create` timed once per compression. ' "$e2e_pairs"
  printf 'Start to setup: the package'"'"'s CreateProcessW to the first instruction of Disk1\\Setup.exe '
  printf 'through the real NSIS extractor; baseline: `baseline_tree.exe` copies the folder with CopyFileW '
  printf 'and starts the same program. Program'"'"'s own: that time less the extractor'"'"'s run in the '
  printf 'package'"'"'s log. Removal: from the setup program'"'"'s end to the end of the run.\n\n'
  e2e_rows
}
