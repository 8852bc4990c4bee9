#include "packer/extractors/given/given.h"

#include <system_error>

namespace fs = std::filesystem;

namespace harwpack {

std::string GivenExtractor::CheckTools(const PackageSpec& package, Edition) {
  const std::string problem = CheckInputFile(archive_, "archive");
  if (!problem.empty()) return problem;
  PackageSpec sized = package;
  sized.archive = archive_;
  return CheckPackageSize(sized);
}

// The package would need Windows' 32-bit subsystem, or a 64-bit Windows,
// when the archive is a program of the other edition than the stub's.
std::vector<CheckMessage> GivenExtractor::CheckInput(const ExtractorInput& input) {
  InputFile file(archive_, "archive");
  std::vector<std::uint8_t> head;
  if (!file.ok() || !file.ReadHead(kPeHeaderProbe, head)) return {};
  if (head.size() < 2 || head[0] != 'M' || head[1] != 'Z') {
    return {{Severity::kWarning, "archive does not start like a Windows executable (no MZ header)"}};
  }
  const std::optional<Edition> edition = ImageEdition(head.data(), head.size());
  if (!edition || *edition == input.edition) return {};
  return {{Severity::kWarning, "archive is a program of the " + std::string(EditionName(*edition)) +
                                   " edition, the stub of the " + EditionName(input.edition) +
                                   " edition: the package is not one edition throughout"}};
}

std::string GivenExtractor::CheckedLine() const {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(archive_, ec);
  return "checked the archive " + PathToUtf8(archive_) + ": " + std::to_string(ec ? 0 : size) + " bytes";
}

}  // namespace harwpack
