#!/usr/bin/env bash
# Runs a command as on a machine whose kernel starts no 32-bit program ("IA-32
# emulation off"), to try the test command's 64-bit-only path on any machine:
# in a mount namespace of its own, the 32-bit Wine loader (the only 32-bit
# program the project starts) is covered by an ELF file for a machine that no
# kernel here runs, so that starting it fails with "Exec format error", as an
# i386 program does there. Needs root (unshare, mount); changes nothing
# outside the command's own namespace.
# Usage: scripts/without-ia32.sh <command> [arguments...]
set -euo pipefail
[ "$#" -gt 0 ] || { echo "usage: $0 <command> [arguments...]" >&2; exit 2; }
loader=/usr/lib/wine/wine
[ -e "$loader" ] || { echo "without-ia32: $loader is missing; nothing to cover" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/editions.sh"
foreign=$(mktemp)
trap 'rm -f "$foreign"' EXIT
write_foreign_program "$foreign"
unshare --mount --propagation private -- bash -c 'mount --bind "$1" "$2" && shift 2 && "$@"' \
  without-ia32 "$foreign" "$loader" "$@"
