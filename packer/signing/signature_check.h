// Whether an executable carries an Authenticode signature and, where
// osslsigncode is installed, whether that signature verifies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace harwpack {

/// What is known of a signature.
enum class Verification {
  kNotSigned,   ///< no certificate table
  kVerified,    ///< osslsigncode verified it
  kFailed,      ///< osslsigncode rejected it, or the table is damaged
  kNotChecked,  ///< signed, but nothing could verify it here (detail says why)
};

/// The signature of one executable.
struct SignatureStatus {
  bool certificate_table = false;  ///< the security directory names a table at the end of the file
  std::uint32_t table_size = 0;    ///< its size
  Verification verification = Verification::kNotSigned;
  std::string detail;              ///< why it failed or was not checked
};

/// The name used for `verification` in reports ("verified", "not_checked"...).
const char* VerificationName(Verification verification);

/// Reads the certificate table entry from the first `head_size` bytes of an
/// executable of `file_size` bytes. A security directory that does not end at
/// the end of the file is reported as a failed (damaged) signature.
SignatureStatus CertificateTableOf(const std::uint8_t* head, std::size_t head_size, std::uint64_t file_size);

/// Runs "osslsigncode verify" on `file` (with -CAfile `ca_file` when given,
/// output kept in `work_dir`) and records the outcome in `status`, which must
/// describe a certificate table; kNotChecked when osslsigncode cannot be run.
void VerifySignature(const std::filesystem::path& file, const std::filesystem::path& ca_file,
                     const std::filesystem::path& work_dir, SignatureStatus& status);

}  // namespace harwpack
