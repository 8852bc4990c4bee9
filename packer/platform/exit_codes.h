// The exit codes of harwpack's commands, which scripts that run it go by.
#pragma once

namespace harwpack {

/// Exit code of a successful command.
inline constexpr int kExitOk = 0;
/// Exit code when the command ran and failed.
inline constexpr int kExitFailure = 1;
/// Exit code for a malformed command line.
inline constexpr int kExitUsage = 2;
/// Exit code of inspect for a package that is damaged or inconsistent (an
/// archive checksum or frame, the container, the parameter string, unknown
/// bytes after the data), whatever its signatures say.
inline constexpr int kExitDamaged = 3;
/// Exit code of inspect for an intact package with a signature that is
/// present but does not verify (or whose certificate table is damaged).
inline constexpr int kExitBadSignature = 4;

}  // namespace harwpack
