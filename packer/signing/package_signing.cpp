#include "packer/signing/package_signing.h"

#include <system_error>

#include "packer/container/container.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// What a run of the package reads: the container's place, its parameter block and the archived data.
std::string ContainerFingerprint(const fs::path& package, std::string& print) {
  ContainerInfo info;
  std::string digest;
  std::string error = ReadContainer(package, info);
  if (error.empty()) error = HashArchivedData(package, info, digest);
  print = std::to_string(info.marker_offset) + " " + std::to_string(info.params_size) + " " +
          Utf16ToUtf8(info.parameters) + " " + std::to_string(info.data_size) + " " + digest;
  return error;
}

}  // namespace

std::string SignExtractor(const SignRequest& sign, const fs::path& extractor, const fs::path& target,
                          Reporter& report, std::ostream& err) {
  std::error_code ec;
  if (extractor != target && !fs::copy_file(extractor, target, ec)) {
    return "cannot copy the archive '" + PathToUtf8(extractor) + "' to sign it (" + ec.message() + ")";
  }
  const std::string error =
      SignFile(sign, target, target.parent_path() / "extractor.signed.exe", "the self-extractor", report, err);
  if (!error.empty()) return error;
  report.Line("signed the self-extractor");
  return "";
}

std::string SignPackage(const SignRequest& sign, const fs::path& staged, Reporter& report, std::ostream& err) {
  std::string before;
  std::string after;
  std::string error = ContainerFingerprint(staged, before);
  fs::path copy = staged;
  copy.replace_extension();  // "<out>.<random>.partial.exe" -> "<out>.<random>.signed.exe"
  copy.replace_extension(".signed.exe");
  if (error.empty()) error = SignFile(sign, staged, copy, "the package", report, err);
  if (!error.empty()) return error;
  error = ContainerFingerprint(staged, after);
  if (!error.empty() || after != before) {
    return "the signing command changed what the program reads of the package" +
           (error.empty() ? std::string() : " (" + error + ")");
  }
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(staged, ec);
  if (!ec && size > kMaxPackageSize) {
    return "the signed package is " + std::to_string(size) + " bytes; it must stay below 4 GiB";
  }
  report.Line("signed the package");
  return "";
}

}  // namespace harwpack
