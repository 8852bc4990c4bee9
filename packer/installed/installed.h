// The programs installed with harwpack (one of each edition), found relative
// to harwpack's own file, and the versions `harwpack --version` names.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/image/image.h"

namespace harwpack {

/// File name of the bare program, in either edition.
inline constexpr char kProgramFileName[] = "HarwUpdater.exe";
/// File name of the builtin self-extractor's program, in either edition.
inline constexpr char kExtractorFileName[] = "HarwExtract.exe";

/// Where the program of `edition` (or another file installed with it, such
/// as kExtractorFileName) may lie, in the order harwpack looks: beside
/// harwpack's own file (the unpacked Windows zip, a Windows build tree), then
/// `<prefix>/share/harwupdater/` for harwpack in `<prefix>/bin/` (an
/// install); the x64 edition in a folder `x64` at each place.
std::vector<std::filesystem::path> ProgramCandidates(const std::filesystem::path& own_file, Edition edition,
                                                     const char* name = kProgramFileName);

/// The file of the running harwpack; empty, with `error` set, when the system cannot tell.
std::filesystem::path OwnExecutable(std::string& error);

/// A program to pack, or one line saying why there is none.
struct ProgramLookup {
  std::filesystem::path path;  ///< the program, empty when none was found
  std::string error;           ///< "" when found, else why not (where harwpack looked)
};

/// The first of ProgramCandidates(own_file, edition, name) that is a regular file.
ProgramLookup FindProgramBeside(const std::filesystem::path& own_file, Edition edition,
                                const char* name = kProgramFileName);

/// The builtin self-extractor's program for a package of `edition`: `given`
/// (--extractor-program) when present, else the one beside `stub` (a build
/// tree's bin folder holds both), else the one installed with the running harwpack.
ProgramLookup ChooseExtractorProgram(const std::optional<std::filesystem::path>& given, const std::filesystem::path& stub,
                                     Edition edition);

/// The stub for create: `given` (--stub) when present, else the program of
/// `edition` installed with the running harwpack.
ProgramLookup ChooseStub(const std::optional<std::filesystem::path>& given, Edition edition);

/// harwpack's own version.
std::string PackerVersion();

/// A file installed with harwpack, and where it was looked for.
struct InstalledProgram {
  const char* name;  ///< kProgramFileName or kExtractorFileName
  Edition edition;   ///< the edition whose place it was looked for in
  ProgramLookup lookup;
};

/// The text of --version: harwpack's version, a line for each installed
/// file with the version its version resource states and the edition its
/// headers declare (or why either is unknown), and the zstd release
/// `zstd` that writes the builtin extractor's archives.
std::string FormatVersions(const std::vector<InstalledProgram>& programs, const std::string& zstd);

/// The text of --version for the running harwpack, with zstd release `zstd`.
std::string VersionText(const std::string& zstd);

}  // namespace harwpack
