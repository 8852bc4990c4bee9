// Signing a package's two executables: the self-extractor before it is
// embedded, then the complete package, which must still read the same.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "packer/signing/signer.h"

namespace harwpack {

/// Signs `extractor` as `target` (a given one is copied there first, so
/// that the vendor's file stays as it is); "" or one line of error.
std::string SignExtractor(const SignRequest& sign, const std::filesystem::path& extractor,
                          const std::filesystem::path& target, Reporter& report, std::ostream& err);

/// Signs the complete temporary package `staged` and makes sure the signer
/// kept what the program reads of it; "" or one line of error.
std::string SignPackage(const SignRequest& sign, const std::filesystem::path& staged, Reporter& report,
                        std::ostream& err);

}  // namespace harwpack
