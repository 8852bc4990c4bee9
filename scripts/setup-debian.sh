#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

need_sudo() { if [ "$(id -u)" -ne 0 ]; then echo sudo; fi; }
SUDO=$(need_sudo)

packages=(
  cmake ninja-build make g++
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  googletest
  libcli11-dev nlohmann-json3-dev libssl-dev 7zip
  wine wine32 wine64
  nsis osslsigncode openssl softhsm2 libengine-pkcs11-openssl
  xvfb xauth
  python3
  # The MSVC-mode check (scripts/msvc-check.sh): clang-cl, LLVM's librarian,
  # resource compiler and linker (the packer's header libraries are above).
  clang clang-tools lld llvm
  # The archive reader's fuzz target (scripts/fuzz.sh): libFuzzer and the
  # sanitizer runtimes for clang 14; its seed maker compresses with the
  # system's zstd (harwpack and the extractor compile the vendored one in).
  clang-14 libclang-rt-14-dev libzstd-dev
  # The Debian package: dpkg-shlibdeps finds harwpack's library dependencies.
  dpkg-dev
)

# apt-get update exits non-zero when any one index cannot be fetched (a
# mirror in mid-sync says "File has unexpected size"), although the others
# arrived. Tried three times; then the install goes on with the lists there
# are, and only if it fails is the missing index named as the likely cause.
update_failures=
update_package_lists() {
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3; do
    if $SUDO apt-get update -q >"$log" 2>&1; then
      cat "$log"
      rm -f "$log"
      update_failures=
      return
    fi
    cat "$log"
    update_failures=$(grep -E '^(E|W): ' "$log" | grep -oE 'https?://[^ ]+' | sort -u | tr '\n' ' ')
    [ -n "$update_failures" ] || update_failures="(apt-get update named none)"
    [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
  done
  rm -f "$log"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  missing+=(wine32)
fi
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  update_package_lists
  if ! $SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"; then
    if [ -n "$update_failures" ]; then
      echo "setup-debian: the package lists could not all be fetched: ${update_failures% }" >&2
    fi
    exit 1
  fi
fi
