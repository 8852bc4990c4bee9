#!/usr/bin/env bash
# The MSVC-mode check: keeps the code buildable by the Microsoft compiler
# without a Windows machine.
#  1. Compiles every .cpp of src/, extractor/ and packer/ that a Windows build compiles with clang-cl as cl would see it,
#     for both editions (i686-pc-windows-msvc and x86_64-pc-windows-msvc,
#     C++17, /W4 /permissive-, GNU extensions and variable-length arrays as
#     errors, warnings as errors; for x64 also every implicit narrowing of a
#     64-bit value, which cl reports as C4244 and C4267 there), against the
#     MinGW-w64 headers and libstdc++ (there is no Microsoft SDK or STL here).
#  2. Configures the project with clang-cl in the place of cl, for each
#     edition, so that CMake takes its Microsoft branches, and checks what
#     they give: the static runtime everywhere, /utf-8, the program linked
#     without a manifest of the linker's own (x64: with high-entropy
#     addresses), and no GCC-only flag anywhere.
# Whatever the MinGW-w64 headers need to be read in this mode is set here and
# nowhere in the code. Usage: scripts/msvc-check.sh (from anywhere).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
here=$root/scripts/msvc-check
llvm=${HARW_LLVM_BIN:-/usr/lib/llvm-14/bin}
clang_cl=$llvm/clang-cl
for tool in "$clang_cl" "$llvm/clang" "$llvm/llvm-lib" "$llvm/llvm-rc" i686-w64-mingw32-g++-posix \
  x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { echo "msvc-check: $tool not found (scripts/setup-debian.sh installs it)" >&2; exit 1; }
done
work=$(mktemp -d)
trap '[ -n "${HARW_KEEP_WORK:-}" ] && echo "msvc-check: work folder $work" || rm -rf "$work"' EXIT

fail() { echo "msvc-check: $*" >&2; exit 1; }

# --- What the headers need -------------------------------------------------
# MinGW-w64's headers and libstdc++ are written for GCC. In MSVC mode clang
# defines _MSC_VER but neither __GNUC__ nor _X86_/_AMD64_, and the headers' own
# MSVC branch defines __attribute__ away, which clang's intrinsics headers
# cannot take. So the headers are given the GNU identity clang itself
# announces for the MinGW target (__GNUC__ 4.2, the __GCC_ATOMIC_ values
# <atomic> reads, for x64 the __int128 type libstdc++ expects by its name),
# _X86_ or _AMD64_ (which GCC predefines for MinGW), and
# __declspec as a macro of itself, which makes _mingw.h import CRT data with
# __declspec(dllimport).
# Header-only libraries of the packer, from Debian, without the rest of /usr/include.
mkdir -p "$work/include"
for library in CLI nlohmann; do
  [ -d "/usr/include/$library" ] || fail "/usr/include/$library missing (scripts/setup-debian.sh installs it)"
  ln -s "/usr/include/$library" "$work/include/$library"
done

## use_edition <x86|x64>: sets headers, msvc and edition for the compiles below.
use_edition() {
  local triplet machine_macro gcc_include gnu_identity
  edition=$1
  case $edition in
    x86) triplet=i686-w64-mingw32 machine_macro=_X86_
         # cl as the Windows build uses it: Visual Studio 2022, SSE2 (cl's
         # default for x86), exceptions as CMake enables them, sources in UTF-8.
         msvc=(--target=i686-pc-windows-msvc /arch:SSE2) ;;
    x64) triplet=x86_64-w64-mingw32 machine_macro=_AMD64_
         # cl for x64 warns of every narrowing of a size_t or a 64-bit value
         # (C4267, C4244); clang names that -Wshorten-64-to-32.
         msvc=(--target=x86_64-pc-windows-msvc -Wshorten-64-to-32) ;;
  esac
  msvc+=(-fms-compatibility-version=19.30 /std:c++17 /W4 /permissive- -Wgnu -Wvla /WX /utf-8 /EHsc /nologo)
  gcc_include=$("$triplet-g++-posix" -print-file-name=include)
  [ -d "$gcc_include/c++" ] || fail "libstdc++ headers not found under $gcc_include/c++"
  mapfile -t gnu_identity < <("$llvm/clang" --target="${triplet/-w64-mingw32/-w64-windows-gnu}" -dM -E -x c++ /dev/null |
    awk '$2 ~ /^__GNUC(_MINOR|_PATCHLEVEL)?__$|^__GCC_ATOMIC_|^__GLIBCXX_/ { print "-D" $2 "=" $3 }')
  [ "${#gnu_identity[@]}" -ge 4 ] || fail "clang announced no GNU identity for the MinGW target $triplet"
  headers=(
    -imsvc "$gcc_include/c++" -imsvc "$gcc_include/c++/$triplet" -imsvc "$gcc_include/c++/backward"
    -imsvc "/usr/$triplet/include" -imsvc "$work/include"
    "-D$machine_macro" "-D__declspec(x)=__declspec(x)" "${gnu_identity[@]}"
  )
}

# The check defines __GNUC__ for the headers' sake: code of the project that
# tested it would be compiled here as GCC's and escape the check.
if grep -rnE '\b__GNUC__\b' "$root/src" "$root/packer" --include='*.cpp' --include='*.h'; then
  fail "the code above tests __GNUC__; name the compiler feature it needs instead"
fi

compile() {  # compile <source> [flags...]: object into $work/obj/<edition>
  local source=$1
  shift
  "$clang_cl" "${msvc[@]}" "${headers[@]}" "$@" /c "/Fo$work/obj/$edition/$(echo "$source" | tr / _).obj" -- "$source"
}
mkdir -p "$work/obj/x86" "$work/obj/x64"

# The check itself: the headers must be readable, and what it is there to
# catch must be caught, in each edition.
for edition in x86 x64; do
  use_edition "$edition"
  compile "$here/probe.cpp" >"$work/probe.txt" 2>&1 ||
    { cat "$work/probe.txt"; fail "the packer's library headers do not compile in MSVC mode ($edition)"; }
  canaries=(vla statement_expression unused_parameter range_case)
  [ "$edition" = x64 ] && canaries+=(narrowing)
  for canary in "${canaries[@]}"; do
    if compile "$here/$canary.cpp" >/dev/null 2>&1; then
      fail "scripts/msvc-check/$canary.cpp compiled for $edition: the check no longer catches what it is for"
    fi
  done
done

# --- 1. Every file of the program and the packer --------------------------
# All but packer/platform/sha256_openssl.cpp, the libcrypto half of the packer's
# SHA-256 that only builds outside Windows (Windows builds take BCrypt's).
# The definitions their targets give them (src/CMakeLists.txt, packer/CMakeLists.txt).
program_flags=(-I "$root/src" -DUNICODE -D_UNICODE -D_CRT_SECURE_NO_WARNINGS)
# The archive code and the vendored zstd's headers, which the extractor and the packer share.
archive_flags=(-I "$root/extractor" -I "$root/third_party/zstd/lib" -DZSTD_DISABLE_ASM)
extractor_flags=("${archive_flags[@]}" -I "$root/src" -I "$root/third_party/zstd/lib/common" -DUNICODE -D_UNICODE)
packer_flags=(-I "$root" "${archive_flags[@]}" '-DHARWPACK_VERSION="0.0.0.0"')
failed=0
count=0
for edition in x86 x64; do
use_edition "$edition"
while IFS= read -r -d '' source; do
  case $source in
    "$root"/src/*) flags=("${program_flags[@]}") ;;
    "$root"/extractor/*) flags=("${extractor_flags[@]}") ;;
    *) flags=("${packer_flags[@]}") ;;
  esac
  count=$((count + 1))
  compile "$source" "${flags[@]}" || { failed=1; echo "msvc-check: FAILED ${source#"$root"/} ($edition)" >&2; }
done < <(find "$root/src" "$root/extractor" "$root/packer" -name '*.cpp' ! -name sha256_openssl.cpp -print0 | sort -z)
done
[ "$failed" -eq 0 ] || fail "files above do not compile as the Microsoft compiler would take them"
echo "msvc-check: $((count / 2)) files of src/, extractor/ and packer/ compile in MSVC mode for x86 and x64" \
  "(/W4 /permissive- -Wgnu -Wvla /WX; x64 also -Wshorten-64-to-32)"

# --- 2. The Microsoft branches of the CMake files --------------------------
## check_configuration <edition>: configures for the edition and checks the flags.
check_configuration() {
  local build=$work/cmake-$1 ninja_file program_link flag objects
  cmake -S "$root" -B "$build" -G Ninja --toolchain "$here/clang-cl.cmake" -DHARW_MSVC_EDITION="$1" \
    -DHARW_LLVM_BIN="$llvm" -DCMAKE_BUILD_TYPE=Release >"$work/configure-$1.txt" 2>&1 ||
    { cat "$work/configure-$1.txt"; fail "CMake cannot configure the project for a Microsoft compiler ($1)"; }
  grep -q "Windows edition: $1" "$work/configure-$1.txt" || fail "the $1 configuration does not build the $1 edition"
  ninja_file=$build/build.ninja
  # Compile flags of every C and C++ object (resource scripts take none of these).
  awk '/^build / { compiling = ($3 ~ /^(C|CXX)_COMPILER__/); object = $2 }
       compiling && /^  FLAGS = / { print object $0 }' "$ninja_file" >"$work/compile-flags.txt"
  [ -s "$work/compile-flags.txt" ] || fail "no compile statements in $ninja_file"
  if grep -vqE -- '(^| )-MT( |$)' "$work/compile-flags.txt"; then
    grep -vE -- '(^| )-MT( |$)' "$work/compile-flags.txt" | head -3
    fail "objects above are not built for the static runtime (-MT, $1)"
  fi
  if grep -vq -- '/utf-8' "$work/compile-flags.txt"; then
    grep -v -- '/utf-8' "$work/compile-flags.txt" | head -3
    fail "objects above are compiled without /utf-8 ($1)"
  fi
  if grep -nE -- '-municode|-Wall|-Wextra|-Wpedantic|-fstack-protector|-ffunction-sections|-Os\b|-static|-Wl,' "$ninja_file"; then
    fail "GCC-only flags above reach the Microsoft compiler or linker ($1)"
  fi
  for program in HarwUpdater HarwExtract; do
    program_link=$(awk -v p="build bin/$program.exe:" 'index($0, p) == 1 { found = 1 } found && /^  LINK_FLAGS = / { print; exit }' "$ninja_file")
    for flag in /MANIFEST:NO /DYNAMICBASE /NXCOMPAT /STACK:1048576 /OPT:REF $([ "$1" = x64 ] && echo /HIGHENTROPYVA); do
      [[ " $program_link " == *" $flag "* ]] || fail "$program.exe ($1) is linked without $flag: $program_link"
    done
  done
  objects=$(wc -l <"$work/compile-flags.txt")
  echo "msvc-check: CMake's Microsoft configuration for $1: static runtime and /utf-8 in $objects objects," \
    "HarwUpdater.exe and HarwExtract.exe linked with /MANIFEST:NO$([ "$1" = x64 ] && echo " and /HIGHENTROPYVA")"
}
check_configuration x86
check_configuration x64
