// The inspect report: everything the program will see in a package, as text or JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/container/container.h"
#include "packer/image/image.h"
#include "packer/inspect/archive_report.h"
#include "packer/program/program.h"
#include "packer/signing/signing.h"

namespace harwpack {

/// What follows the archived data.
enum class TrailerKind {
  kNothing,           ///< the archived data ends the file
  kCertificateTable,  ///< an Authenticode certificate table that the PE security directory names
  kUnknown,           ///< bytes nobody accounts for
};

/// The bytes after the archived data.
struct Trailer {
  TrailerKind kind = TrailerKind::kNothing;
  std::uint64_t size = 0;          ///< all bytes after the archived data
  std::uint64_t padding = 0;       ///< zero bytes before the certificate table
  std::uint64_t table_offset = 0;  ///< file offset of the certificate table
  std::uint32_t table_size = 0;    ///< its size
  std::uint16_t revision = 0;      ///< WIN_CERTIFICATE revision of its first entry
  std::uint16_t type = 0;          ///< WIN_CERTIFICATE type of its first entry
};

/// Everything inspect shows about a package.
struct PackageReport {
  std::filesystem::path path;    ///< the package
  std::optional<Edition> edition;            ///< the edition of the program the package starts with
  std::optional<Edition> extractor_edition;  ///< the edition of the embedded self-extractor
  ContainerInfo container;       ///< its fields
  ParameterReport parameters;    ///< how the program applies the parameter string
  std::string sha256;            ///< of the archived data, lower-case hex
  Trailer trailer;               ///< what follows the archived data
  std::string package_sha256;    ///< of the whole file, lower-case hex
  SignatureStatus extractor_signature;  ///< the embedded self-extractor's signature
  SignatureStatus package_signature;    ///< the package's own signature (the certificate table after the data)
  ArchiveReport archive;                ///< the builtin self-extractor's archive, when it is one
};

/// A check of inspect's that did not hold.
struct FailedCheck {
  std::string check;   ///< "container", "parameters", "after_data", "archive", "extractor_signature" or "package_signature"
  std::string detail;  ///< why, one line
};

/// What inspect concludes about a package.
struct Verdict {
  int exit_code = 0;                ///< kExitOk, kExitDamaged or kExitBadSignature (see cli.h)
  std::vector<FailedCheck> failed;  ///< every check that did not hold, in the report's order
};

/// Reads `package` into `report`; "" on success, else one line.
std::string InspectPackage(const std::filesystem::path& package, PackageReport& report);

/// Verifies the signatures the report found with osslsigncode, where it is
/// installed (against `ca_file` when given); the self-extractor is written to
/// a temporary folder for that.
void CheckSignatures(PackageReport& report, const std::filesystem::path& ca_file);

/// The verdict on a report whose signatures were checked: damaged when the
/// container's parameters, the bytes after the data or the builtin archive
/// fail, else a bad signature when one present does not verify, else passed.
Verdict JudgeReport(const PackageReport& report);

/// The verdict on a package that InspectPackage could not read, `error`:
/// damaged when its container was found and runs past the end of the file,
/// else kExitFailure (no package at all, or it cannot be read).
Verdict JudgeInspectError(const std::string& error);

/// The JSON of a package inspect could not read: its path and `verdict`.
std::string FormatVerdictJson(const std::filesystem::path& package, const Verdict& verdict);

/// The report as aligned text.
std::string FormatReportText(const PackageReport& report);

/// The report as a JSON object.
std::string FormatReportJson(const PackageReport& report);

}  // namespace harwpack
