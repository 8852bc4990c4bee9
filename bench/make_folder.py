#!/usr/bin/env python3
"""Builds the bench's installation folder from files that the project's own
setup (scripts/setup-debian.sh) installs on every machine, so that two machines
with the same package versions get the same folder, byte for byte.

The rule:
  1. the files of a fixed list of Debian packages (dpkg-query -L), regular
     files only, named by their path without the leading "/usr/" or "/";
  2. a name is kept only if Windows can hold it: at most 120 characters, no
     character Windows refuses, no part ending in a dot or blank, and no
     clash, regardless of case, with a name kept before it in sorted order;
  3. the kept files are taken in the order of the SHA-256 of their names (a
     fixed shuffle that mixes compilers, libraries, headers, DLLs and
     documents), each one that still fits into the total;
  4. the setup program (the probe given) goes in as Setup.exe, padded with
     zero bytes so that the folder holds exactly TOTAL bytes. 64 KiB of the
     total are kept for it, so that the files chosen do not depend on how
     large the probe happens to be built.

Usage: make_folder.py TOTAL SETUP_PROGRAM TARGET_FOLDER
Prints one summary line: files, folders, bytes, the share of executables and
text, and a digest of names, sizes and contents for comparing machines.
"""

import hashlib
import os
import shutil
import subprocess
import sys

PACKAGES = [
    "binutils-mingw-w64-i686",
    "g++-mingw-w64-i686-posix",
    "gcc-mingw-w64-i686-posix",
    "gcc-mingw-w64-i686-posix-runtime",
    "libwine:i386",
    "mingw-w64-i686-dev",
    "nsis",
    "nsis-common",
]
NAME_LIMIT = 120
FORBIDDEN = set('<>:"|?*\\') | {chr(c) for c in range(32)}
SETUP_NAME = "Setup.exe"
SETUP_ROOM = 65536


def package_files():
    listing = subprocess.run(["dpkg-query", "-L"] + PACKAGES, check=True,
                             capture_output=True, text=True).stdout
    return sorted({line for line in listing.splitlines() if line.startswith("/")})


def relative_name(path):
    return path[len("/usr/"):] if path.startswith("/usr/") else path.lstrip("/")


def windows_can_hold(name):
    if len(name) > NAME_LIMIT:
        return False
    for part in name.split("/"):
        if not part or part[-1] in ". " or any(c in FORBIDDEN for c in part):
            return False
    return True


def candidates():
    """(name, source, size) of every file the rule allows, in sorted order."""
    kept, files, folders = [], {SETUP_NAME.lower()}, set()
    for path in package_files():
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        name = relative_name(path)
        lower = name.lower()
        parents = {"/".join(lower.split("/")[:i]) for i in range(1, lower.count("/") + 1)}
        # Two names that differ in case only, or a file where a folder is, clash.
        if not windows_can_hold(name) or lower in files | folders or parents & files:
            continue
        files.add(lower)
        folders |= parents
        kept.append((name, path, os.path.getsize(path)))
    return kept


def choose(total):
    room = total - SETUP_ROOM
    chosen = []
    for name, path, size in sorted(candidates(), key=lambda c: hashlib.sha256(c[0].encode()).hexdigest()):
        if size <= room:
            chosen.append((name, path, size))
            room -= size
    return chosen


def is_executable(data):
    return data[:2] == b"MZ" or data[:4] == b"\x7fELF"


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: make_folder.py TOTAL SETUP_PROGRAM TARGET_FOLDER")
    total, setup, target = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    if os.path.exists(target):
        sys.exit(f"make_folder.py: {target} exists already")
    setup_size = os.path.getsize(setup)
    if setup_size > SETUP_ROOM:
        sys.exit(f"make_folder.py: {setup} is larger than {SETUP_ROOM} bytes")
    chosen = choose(total)
    padding = total - setup_size - sum(size for _, _, size in chosen)
    digest = hashlib.sha256()
    executables = executable_bytes = 0
    for name, path, size in sorted(chosen):
        destination = os.path.join(target, *name.split("/"))
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copyfile(path, destination)
        with open(destination, "rb") as copied:
            data = copied.read()
        if len(data) != size:
            sys.exit(f"make_folder.py: {path} changed while it was copied")
        if is_executable(data):
            executables += 1
            executable_bytes += size
        digest.update(f"{name}\t{size}\t{hashlib.sha256(data).hexdigest()}\n".encode())
    os.makedirs(target, exist_ok=True)
    setup_path = os.path.join(target, SETUP_NAME)
    shutil.copyfile(setup, setup_path)
    with open(setup_path, "ab") as padded:
        padded.write(b"\0" * padding)
    written = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(target) for f in fs)
    if written != total:
        sys.exit(f"make_folder.py: wrote {written} bytes, not {total}")
    folders = sum(len(ds) for _, ds, _ in os.walk(target))
    print(f"files={len(chosen) + 1} folders={folders} bytes={written} "
          f"executables={executables} executable_bytes={executable_bytes} "
          f"setup_padding={padding} digest={digest.hexdigest()[:16]}")


if __name__ == "__main__":
    main()
