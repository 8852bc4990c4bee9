// The inspect report: everything the program will see in a package, as text or JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "packer/archive_report.h"
#include "packer/options_check.h"
#include "packer/pe.h"
#include "packer/reader.h"
#include "packer/signature_check.h"

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

/// Reads `package` into `report`; "" on success, else one line.
std::string InspectPackage(const std::filesystem::path& package, PackageReport& report);

/// Verifies the signatures the report found with osslsigncode, where it is
/// installed (against `ca_file` when given); the self-extractor is written to
/// a temporary folder for that.
void CheckSignatures(PackageReport& report, const std::filesystem::path& ca_file);

/// The report as aligned text.
std::string FormatReportText(const PackageReport& report);

/// The report as a JSON object.
std::string FormatReportJson(const PackageReport& report);

}  // namespace harwpack
