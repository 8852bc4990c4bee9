#!/usr/bin/env bash
# The MSVC-mode check: keeps the code buildable by the Microsoft compiler
# without a Windows machine.
#  1. Compiles every .cpp of src/ and packer/ that a Windows build compiles with clang-cl as cl would see it
#     (i686-pc-windows-msvc, C++17, /W4 /permissive-, GNU extensions and
#     variable-length arrays as errors, warnings as errors), against the
#     MinGW-w64 headers and libstdc++ (there is no Microsoft SDK or STL here).
#  2. Configures the project with clang-cl in the place of cl, so that CMake
#     takes its Microsoft branches, and checks what they give: the static
#     runtime everywhere, /utf-8, the program linked without a manifest of the
#     linker's own, and no GCC-only flag anywhere.
# Whatever the MinGW-w64 headers need to be read in this mode is set here and
# nowhere in the code. Usage: scripts/msvc-check.sh (from anywhere).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
here=$root/scripts/msvc-check
llvm=${HARW_LLVM_BIN:-/usr/lib/llvm-14/bin}
clang_cl=$llvm/clang-cl
for tool in "$clang_cl" "$llvm/clang" "$llvm/llvm-lib" "$llvm/llvm-rc" i686-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { echo "msvc-check: $tool not found (scripts/setup-debian.sh installs it)" >&2; exit 1; }
done
work=$(mktemp -d)
trap '[ -n "${HARW_KEEP_WORK:-}" ] && echo "msvc-check: work folder $work" || rm -rf "$work"' EXIT

fail() { echo "msvc-check: $*" >&2; exit 1; }

# --- What the headers need -------------------------------------------------
# MinGW-w64's headers and libstdc++ are written for GCC. In MSVC mode clang
# defines _MSC_VER but neither __GNUC__ nor _X86_, and the headers' own MSVC
# branch defines __attribute__ away, which clang's intrinsics headers cannot
# take. So the headers are given the GNU identity clang itself announces for
# the MinGW target (__GNUC__ 4.2, the __GCC_ATOMIC_ values <atomic> reads),
# _X86_ (which GCC predefines for i686 MinGW), and __declspec as a macro of
# itself, which makes _mingw.h import CRT data with __declspec(dllimport).
gcc_include=$(i686-w64-mingw32-g++-posix -print-file-name=include)
[ -d "$gcc_include/c++" ] || fail "libstdc++ headers not found under $gcc_include/c++"
mingw_include=/usr/i686-w64-mingw32/include
mapfile -t gnu_identity < <("$llvm/clang" --target=i686-w64-windows-gnu -dM -E -x c++ /dev/null |
  awk '$2 ~ /^__GNUC(_MINOR|_PATCHLEVEL)?__$|^__GCC_ATOMIC_/ { print "-D" $2 "=" $3 }')
[ "${#gnu_identity[@]}" -ge 4 ] || fail "clang announced no GNU identity for the MinGW target"
# Header-only libraries of the packer, from Debian, without the rest of /usr/include.
mkdir -p "$work/include"
for library in CLI nlohmann; do
  [ -d "/usr/include/$library" ] || fail "/usr/include/$library missing (scripts/setup-debian.sh installs it)"
  ln -s "/usr/include/$library" "$work/include/$library"
done
headers=(
  -imsvc "$gcc_include/c++" -imsvc "$gcc_include/c++/i686-w64-mingw32" -imsvc "$gcc_include/c++/backward"
  -imsvc "$mingw_include" -imsvc "$work/include"
  -D_X86_ "-D__declspec(x)=__declspec(x)" "${gnu_identity[@]}"
)
# cl as the Windows build uses it: Visual Studio 2022, SSE2 (cl's default for
# x86), exceptions as CMake enables them, sources in UTF-8.
msvc=(--target=i686-pc-windows-msvc -fms-compatibility-version=19.30 /std:c++17 /W4 /permissive-
      -Wgnu -Wvla /WX /utf-8 /EHsc /arch:SSE2 /nologo)

# The check defines __GNUC__ for the headers' sake: code of the project that
# tested it would be compiled here as GCC's and escape the check.
if grep -rnE '\b__GNUC__\b' "$root/src" "$root/packer" --include='*.cpp' --include='*.h'; then
  fail "the code above tests __GNUC__; name the compiler feature it needs instead"
fi

compile() {  # compile <source> [flags...]: object into $work/obj
  local source=$1
  shift
  "$clang_cl" "${msvc[@]}" "${headers[@]}" "$@" /c "/Fo$work/obj/$(echo "$source" | tr / _).obj" -- "$source"
}
mkdir -p "$work/obj"

# The check itself: the headers must be readable, and what it is there to
# catch must be caught.
compile "$here/probe.cpp" >"$work/probe.txt" 2>&1 ||
  { cat "$work/probe.txt"; fail "the packer's library headers do not compile in MSVC mode"; }
for canary in vla statement_expression unused_parameter range_case; do
  if compile "$here/$canary.cpp" >/dev/null 2>&1; then
    fail "scripts/msvc-check/$canary.cpp compiled: the check no longer catches what it is for"
  fi
done

# --- 1. Every file of the program and the packer --------------------------
# All but packer/sha256_openssl.cpp, the libcrypto half of the packer's
# SHA-256 that only builds outside Windows (Windows builds take BCrypt's).
# The definitions their targets give them (src/CMakeLists.txt, packer/CMakeLists.txt).
program_flags=(-I "$root/src" -DUNICODE -D_UNICODE -D_CRT_SECURE_NO_WARNINGS)
packer_flags=(-I "$root" '-DHARWPACK_VERSION="0.0.0.0"')
failed=0
count=0
while IFS= read -r -d '' source; do
  case $source in
    "$root"/src/*) flags=("${program_flags[@]}") ;;
    *) flags=("${packer_flags[@]}") ;;
  esac
  count=$((count + 1))
  compile "$source" "${flags[@]}" || { failed=1; echo "msvc-check: FAILED ${source#"$root"/}" >&2; }
done < <(find "$root/src" "$root/packer" -name '*.cpp' ! -name sha256_openssl.cpp -print0 | sort -z)
[ "$failed" -eq 0 ] || fail "files above do not compile as the Microsoft compiler would take them"
echo "msvc-check: $count files of src/ and packer/ compile in MSVC mode (/W4 /permissive- -Wgnu -Wvla /WX)"

# --- 2. The Microsoft branches of the CMake files --------------------------
cmake -S "$root" -B "$work/cmake" -G Ninja --toolchain "$here/clang-cl.cmake" \
  -DHARW_LLVM_BIN="$llvm" -DCMAKE_BUILD_TYPE=Release >"$work/configure.txt" 2>&1 ||
  { cat "$work/configure.txt"; fail "CMake cannot configure the project for a Microsoft compiler"; }
ninja_file=$work/cmake/build.ninja
# Compile flags of every C and C++ object (resource scripts take none of these).
awk '/^build / { compiling = ($3 ~ /^(C|CXX)_COMPILER__/); object = $2 }
     compiling && /^  FLAGS = / { print object $0 }' "$ninja_file" >"$work/compile-flags.txt"
[ -s "$work/compile-flags.txt" ] || fail "no compile statements in $ninja_file"
if grep -vqE -- '(^| )-MT( |$)' "$work/compile-flags.txt"; then
  grep -vE -- '(^| )-MT( |$)' "$work/compile-flags.txt" | head -3
  fail "objects above are not built for the static runtime (-MT)"
fi
if grep -vq -- '/utf-8' "$work/compile-flags.txt"; then
  grep -v -- '/utf-8' "$work/compile-flags.txt" | head -3
  fail "objects above are compiled without /utf-8"
fi
if grep -nE -- '-municode|-Wall|-Wextra|-Wpedantic|-fstack-protector|-ffunction-sections|-Os\b|-static|-Wl,' "$ninja_file"; then
  fail "GCC-only flags above reach the Microsoft compiler or linker"
fi
program_link=$(awk '/^build bin\/HarwUpdater\.exe:/ { found = 1 } found && /^  LINK_FLAGS = / { print; exit }' "$ninja_file")
for flag in /MANIFEST:NO /DYNAMICBASE /NXCOMPAT /STACK:1048576 /OPT:REF; do
  [[ " $program_link " == *" $flag "* ]] || fail "HarwUpdater.exe is linked without $flag: $program_link"
done
objects=$(wc -l <"$work/compile-flags.txt")
echo "msvc-check: CMake's Microsoft configuration: static runtime and /utf-8 in $objects objects," \
  "HarwUpdater.exe linked with /MANIFEST:NO"
