# Steps of bench/run.sh. Sourced, not run: it uses the variables run.sh sets.

note() { printf '== %s\n' "$*" >&2; }

die() {
  printf 'bench: %s\n' "$*" >&2
  exit 1
}

# "exit code N", or the signal that ended a process: a run killed from
# outside has written nothing, and only its status tells what happened.
exit_text() {
  if [ "$1" -gt 128 ] && kill -l "$(($1 - 128))" >/dev/null 2>&1; then
    printf 'ended by signal SIG%s (status %s)' "$(kill -l "$(($1 - 128))")" "$1"
  else
    printf 'exit code %s' "$1"
  fi
}

# Runs a build or preparation command with its output in a log; shows the log's
# end when it fails.
quietly() {
  local log=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "failed: $* (log: $log)"
  fi
}

# Wine's helper processes (services, explorer...) inherit the standard handles
# of whoever starts them and live as long as the server; started from here
# with everything sent to a log, they never hold this script's output open.
wine_quiet() { "$@" </dev/null >>"$out/wine.log" 2>&1; }

# The Windows name of a Unix path on Wine's Z: drive, in double quotes.
winpath() { printf '"Z:%s"' "${1//\//\\}"; }

## use_edition <x86|x64>: the settings of one edition's run. Its build trees,
## Wine prefix, logs, figures and table section are its own (build/bench/<edition>).
use_edition() {
  edition=$1
  case $edition in
    x86) edition_text="x86 edition (32-bit, under 32-bit Wine)" toolchain=mingw-i686
         loader=/usr/lib/wine/wine wine_arch=win32 ;;
    x64) edition_text="x64 edition (64-bit, under 64-bit Wine)" toolchain=mingw-x86_64
         loader=/usr/lib/wine/wine64 wine_arch=win64 ;;
    *) die "unknown edition '$edition' (x86 or x64)" ;;
  esac
  out=$bench_out/$edition
  work=$out/work
  summaries=$out/summaries.txt
  win_build=$repo/build/bench-win-$edition
  tools_build=$repo/build/bench-tools-$edition
  export WINEPREFIX=$out/wineprefix
  note "measuring the $edition_text"
}

# The packer, natively: one for every edition.
build_packer() {
  note "building harwpack"
  : >"$bench_out/build.log"
  quietly "$bench_out/build.log" cmake -S "$repo" -B "$native_build" -G Ninja
  quietly "$bench_out/build.log" cmake --build "$native_build" --target harwpack
  harwpack=$native_build/packer/harwpack
  [ -x "$harwpack" ] || die "no $harwpack after the build"
}

build_edition() {
  note "building HarwUpdater.exe, HarwExtract.exe and the bench programs ($edition)"
  : >"$out/build.log"
  quietly "$out/build.log" cmake -S "$repo" -B "$win_build" -G Ninja \
    --toolchain "$repo/cmake/$toolchain.cmake"
  quietly "$out/build.log" cmake --build "$win_build" --target HarwUpdater HarwExtract
  quietly "$out/build.log" cmake -S "$repo/bench" -B "$tools_build" -G Ninja \
    --toolchain "$repo/cmake/$toolchain.cmake"
  quietly "$out/build.log" cmake --build "$tools_build"
  stub=$win_build/bin/HarwUpdater.exe
  driver=$tools_build/driver.exe
  # The builtin packages take the extractor from this tree, not whatever
  # harwpack would find installed beside it.
  extractor_program=$win_build/bin/HarwExtract.exe
  [ -f "$stub" ] || die "no $stub after the build"
  [ -f "$extractor_program" ] || die "no $extractor_program after the build"
}

start_prefix() {
  : >"$out/wine.log"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    note "creating the Wine prefix $WINEPREFIX"
    # Every program measured is of the edition, and so is the prefix.
    WINEARCH=$wine_arch wine_quiet "$loader" wineboot -i || die "wineboot -i failed (log: $out/wine.log)"
    wine_quiet wineserver -w || die "wineserver -w failed"
  fi
  # One persistent server for the whole run; 2 means one was still running.
  local status=0
  wine_quiet wineserver -p || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 2 ] || die "wineserver -p failed with $status"
  # The first program of a server starts Wine's helper services; they are to
  # be up before anything is timed.
  wine_quiet "$loader" cmd /c exit || die "$loader cmd /c exit failed (log: $out/wine.log)"
}

# After each edition: the big files go (unless BENCH_KEEP_WORK=1, for a look
# at them afterwards), and so does this prefix's server.
stop_edition() {
  [ "${BENCH_KEEP_WORK:-0}" = 1 ] || rm -rf "$work"
  wine_quiet wineserver -k || true  # no server left is fine
}

# Runs at an exit before the edition is done.
finish() {
  local status=$?
  stop_edition
  exit "$status"
}

# Copies a program and appends zero bytes up to `size`: a PE file with data
# behind its image still runs, and the bytes are really written, not sparse.
pad_to() {
  local source=$1 size=$2 target=$3
  local have
  have=$(stat -c %s "$source")
  [ "$size" -ge "$have" ] || die "$source is larger than $size bytes"
  cp "$source" "$target"
  head -c "$((size - have))" /dev/zero >>"$target"
  [ "$(stat -c %s "$target")" -eq "$size" ] || die "$target is not $size bytes"
}

make_fixtures() {
  note "making the fixtures"
  cp "$tools_build/quick_exit.exe" "$work/quick_exit.exe"
  cp "$tools_build/baseline_copy.exe" "$work/baseline_copy.exe"
  cp "$tools_build/baseline_tree.exe" "$work/baseline_tree.exe"
  pad_to "$work/quick_exit.exe" "$size_1m" "$work/fixture_1m.exe"
  pad_to "$work/quick_exit.exe" "$size_16m" "$work/fixture_16m.exe"
  pad_to "$work/quick_exit.exe" "$size_typical" "$work/fixture_typical.exe"
  local stub_size
  stub_size=$(stat -c %s "$stub")
  pad_to "$stub" "$((stub_size + pad_blocks * 256))" "$work/stub_padded.exe"
}

pack() {
  quietly "$out/pack.log" "$harwpack" create --stub "$1" --archive "$2" --params "/X" --out "$3"
}

make_packages() {
  note "making the packages"
  : >"$out/pack.log"
  pack "$stub" "$work/quick_exit.exe" "$work/BTINY.exe"
  pack "$work/stub_padded.exe" "$work/quick_exit.exe" "$work/BPADDED.exe"
  pack "$stub" "$work/fixture_1m.exe" "$work/B1M.exe"
  pack "$stub" "$work/fixture_16m.exe" "$work/B16M.exe"
  pack "$stub" "$work/fixture_typical.exe" "$work/BTYPICAL.exe"
  # The 1 MiB package padded behind its container to the typical package's
  # size: the program's own file is as large, its copy as small.
  pad_to "$work/B1M.exe" "$(stat -c %s "$work/BTYPICAL.exe")" "$work/B1MPAD.exe"
}

# How a file was written decides how its pages sit in the page cache: one
# built by many small appends reads measurably slower than one the kernel read
# in itself (about 1.4 times for 171 MB here). So that package and baseline
# read inputs in the same state, every input is written back, dropped from the
# cache and read once again.
settle_page_cache() {
  note "settling the inputs in the page cache"
  sync
  local file
  while IFS= read -r -d '' file; do
    dd if="$file" iflag=nocache count=0 status=none || die "cannot drop $file from the cache"
    cat "$file" >/dev/null
  done < <(find "$stub" "$work" -type f -print0)
}

# drive LABEL PAIRS PROBE COMMAND_A COMMAND_B: one driver run under Wine, its
# summaries appended to $summaries. PROBE is "-" or a file name in $work.
drive() {
  local label=$1 count=$2 probe=$3 a=$4 b=$5
  [ "$probe" = "-" ] || probe=Z:${work//\//\\}\\$probe
  note "measuring $label ($count pairs)"
  local status=0
  "$loader" "$driver" "$label" "$count" "Z:${work//\//\\}" "$probe" "$a" "$b" \
    </dev/null >"$out/$label.raw" 2>"$out/$label.err" || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$out/$label.err" >&2
    die "driver failed for $label: $(exit_text "$status") (output: $out/$label.raw, $out/$label.err)"
  fi
  # The C runtime writes text with CR LF.
  tr -d '\r' <"$out/$label.raw" >"$out/$label.txt"
  grep '^summary ' "$out/$label.txt" >>"$summaries" || die "no summary for $label"
}

baseline_command() {
  printf '%s %s ___BASELINE___.exe' "$(winpath "$work/baseline_copy.exe")" "$(winpath "$1")"
}

measure_extraction() {
  drive extract_1m "$small_pairs" - "$(winpath "$work/B1M.exe")" \
    "$(baseline_command "$work/fixture_1m.exe")"
  drive extract_16m "$small_pairs" - "$(winpath "$work/B16M.exe")" \
    "$(baseline_command "$work/fixture_16m.exe")"
  drive extract_typical "$pairs" - "$(winpath "$work/BTYPICAL.exe")" \
    "$(baseline_command "$work/fixture_typical.exe")"
}

measure_startup() {
  drive startup "$small_pairs" probe.bin "$(winpath "$work/BTINY.exe")" \
    "$(winpath "$work/quick_exit.exe")"
  drive marker "$small_pairs" probe.bin "$(winpath "$work/BPADDED.exe")" \
    "$(winpath "$work/BTINY.exe")"
}

measure_memory() {
  drive memory_1m "$pairs" probe.bin "$(winpath "$work/B1M.exe")" \
    "$(baseline_command "$work/fixture_1m.exe")"
  drive memory_typical "$pairs" probe.bin "$(winpath "$work/BTYPICAL.exe")" \
    "$(baseline_command "$work/fixture_typical.exe")"
}

# Does the size of the program's own file cost anything by itself, before the
# copy? The padded 1 MiB package against the plain one.
measure_own_file() {
  drive own_file "$pairs" probe.bin "$(winpath "$work/B1MPAD.exe")" "$(winpath "$work/B1M.exe")"
}

# The figures mean something only if the packages really did the work: the
# log of the typical package names its archive size, and no temporary
# executable is left behind.
check_package_log() {
  local log
  log=$(find "$WINEPREFIX/drive_c/users" -iname 'BTYPICAL.log' | head -n 1)
  [ -n "$log" ] || die "the package wrote no log"
  grep -q "Size of Archived Data $size_typical" "$log" || die "$log shows no full-size extraction"
  if compgen -G "$work/___*___.exe" >/dev/null; then
    die "a temporary executable was left in $work"
  fi
}
