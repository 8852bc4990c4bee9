// The program installed with harwpack, found relative to harwpack's own file,
// and the versions `harwpack --version` names.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace harwpack {

/// File name of the bare program.
inline constexpr char kProgramFileName[] = "HarwUpdater.exe";

/// Where the program may lie, in the order harwpack looks: beside harwpack's
/// own file (the unpacked Windows zip, a Windows build tree), then
/// `<prefix>/share/harwupdater/` for harwpack in `<prefix>/bin/` (an install).
std::vector<std::filesystem::path> ProgramCandidates(const std::filesystem::path& own_file);

/// The file of the running harwpack; empty, with `error` set, when the system cannot tell.
std::filesystem::path OwnExecutable(std::string& error);

/// A program to pack, or one line saying why there is none.
struct ProgramLookup {
  std::filesystem::path path;  ///< the program, empty when none was found
  std::string error;           ///< "" when found, else why not (where harwpack looked)
};

/// The first of ProgramCandidates(own_file) that is a regular file.
ProgramLookup FindProgramBeside(const std::filesystem::path& own_file);

/// The stub for create: `given` (--stub) when present, else the program
/// installed with the running harwpack.
ProgramLookup ChooseStub(const std::optional<std::string>& given);

/// harwpack's own version.
std::string PackerVersion();

/// The text of --version for a program lookup: harwpack's version, then the
/// program's version as its version resource states it, or why it is unknown.
std::string FormatVersions(const ProgramLookup& program);

/// The text of --version for the running harwpack.
std::string VersionText();

}  // namespace harwpack
