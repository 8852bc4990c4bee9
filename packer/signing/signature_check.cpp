#include "packer/signing/signature_check.h"

#include <fstream>
#include <vector>

#include "packer/image/image.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// osslsigncode's reason for a failed verification, from its output.
std::string FailureReason(const fs::path& log, int exit_code) {
  std::ifstream in(log, std::ios::binary);
  std::string digest;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t verify = line.find("Verify error:");
    if (verify != std::string::npos) return line.substr(verify + 14);
    if (line.find("message digest") != std::string::npos && line.find("MISMATCH") != std::string::npos) {
      digest = "message digest mismatch: the file was changed after it was signed";
    }
  }
  return digest.empty() ? "osslsigncode verify exited with " + std::to_string(exit_code) : digest;
}

}  // namespace

const char* VerificationName(Verification verification) {
  switch (verification) {
    case Verification::kNotSigned: return "not_signed";
    case Verification::kVerified: return "verified";
    case Verification::kFailed: return "failed";
    case Verification::kNotChecked: return "not_checked";
  }
  return "?";
}

SignatureStatus CertificateTableOf(const std::uint8_t* head, std::size_t head_size, std::uint64_t file_size) {
  SignatureStatus status;
  const auto headers = ParsePeHeaders(head, head_size);
  if (!headers || (headers->security_offset == 0 && headers->security_size == 0)) return status;
  if (headers->security_size < 8 || std::uint64_t{headers->security_offset} + headers->security_size != file_size) {
    status.verification = Verification::kFailed;
    status.detail = "the security directory (offset " + std::to_string(headers->security_offset) + ", " +
                    std::to_string(headers->security_size) + " bytes) does not end at the end of the file";
    return status;
  }
  status.certificate_table = true;
  status.table_size = headers->security_size;
  status.verification = Verification::kNotChecked;
  return status;
}

void VerifySignature(const fs::path& file, const fs::path& ca_file, const fs::path& work_dir,
                     SignatureStatus& status) {
  std::vector<std::string> args{"verify"};
  if (!ca_file.empty()) args.insert(args.end(), {"-CAfile", PathToUtf8(ca_file)});
  args.insert(args.end(), {"-in", PathToUtf8(file)});
  const fs::path log = work_dir / "verify.log";
  const ProcessResult run = RunProcess("osslsigncode", args, log);
  if (!run.started) {
    status.verification = Verification::kNotChecked;
    status.detail = "osslsigncode could not be run, so nothing verified it (" + run.error + ")";
  } else if (run.error.empty() && run.exit_code == 0) {
    status.verification = Verification::kVerified;
    status.detail.clear();
  } else {
    status.verification = Verification::kFailed;
    status.detail = run.error.empty() ? FailureReason(log, run.exit_code) : "osslsigncode " + run.error;
  }
}

}  // namespace harwpack
