// The create command: from an installation folder (or a ready self-extractor)
// to a package, with the checks before anything is written, the signing of
// both executables and the clamping of file times for reproducible builds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>

#include "packer/container/container.h"
#include "packer/extractors/builtin/builtin.h"
#include "packer/extractors/nsis/nsis.h"
#include "packer/platform/platform.h"
#include "packer/signing/signing.h"

namespace harwpack {

/// What makes the self-extractor of a folder.
enum class ExtractorKind {
  kBuiltin,  ///< the project's extractor with an archive harwpack writes itself (zstd)
  kNsis,     ///< a silent installer compiled by NSIS
};

/// What one create is asked to do.
struct CreateRequest {
  PackageSpec package;                             ///< stub, parameters and output; the archive is decided here
  std::optional<std::filesystem::path> folder;     ///< compile the extractor from this folder...
  std::optional<std::filesystem::path> archive;    ///< ...or embed this one (never modified)
  std::filesystem::path makensis = "makensis";     ///< the NSIS compiler for a folder build
  ExtractorKind extractor = ExtractorKind::kBuiltin;  ///< what makes a folder's self-extractor
  int level = kDefaultLevel;                       ///< the builtin archive's zstd level
  std::optional<std::filesystem::path> extractor_program;  ///< --extractor-program; else the installed one
  Compression compression = Compression::kLzma;    ///< how NSIS packs the contents
  std::optional<SignRequest> sign;                 ///< sign the extractor, then the package
  std::optional<std::uint64_t> source_date_epoch;  ///< file times newer than this are stored as it
  OutputMode output = OutputMode::kLines;          ///< what goes to standard output
  /// The edition the stub must be (--arch, for the program installed with harwpack); any when absent.
  std::optional<Edition> edition;
};

/// Runs create: a line per phase with its figures and the results to `out`
/// (as request.output says), messages (one line each, a failing signer's
/// output indented below) to `err`. Returns the exit code. On any failure
/// nothing is left under the output name and no temporary file stays.
int RunCreate(CreateRequest request, std::ostream& out, std::ostream& err);

}  // namespace harwpack
