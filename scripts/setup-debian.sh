#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

need_sudo() { if [ "$(id -u)" -ne 0 ]; then echo sudo; fi; }
SUDO=$(need_sudo)

packages=(
  cmake ninja-build make g++
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  googletest
  libcli11-dev nlohmann-json3-dev libssl-dev 7zip
  wine wine32 wine64
  nsis osslsigncode openssl softhsm2 libengine-pkcs11-openssl
  xvfb xauth
  python3
  # The MSVC-mode check (scripts/msvc-check.sh): clang-cl, LLVM's librarian,
  # resource compiler and linker (the packer's header libraries are above).
  clang clang-tools lld llvm
  # The Debian package: dpkg-shlibdeps finds harwpack's library dependencies.
  dpkg-dev
)

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
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"
fi
