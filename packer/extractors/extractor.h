// The self-extractor a package embeds, made one of three ways (the builtin
// archive, NSIS, or one given ready) behind one interface that create calls
// the same way whichever was chosen.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/container/container.h"
#include "packer/image/image.h"
#include "packer/platform/platform.h"
#include "packer/program/program.h"

namespace harwpack {

/// What the request's checks found out, for the self-extractor to be made from.
struct ExtractorInput {
  UpdaterSettings settings;                        ///< the settings the parameter string leads to
  Edition edition = Edition::kX86;                 ///< the stub's edition, which the self-extractor is built for
  std::optional<std::uint64_t> source_date_epoch;  ///< file times newer than this are stored as it
};

/// Name of the self-extractor in the working folder where it is made (and signed).
inline constexpr char kExtractorName[] = "extractor.exe";

/// One way of making the self-extractor.
class SelfExtractor {
 public:
  virtual ~SelfExtractor() = default;
  /// Why it cannot be made for `package`, whose stub is of `edition`, found before its input is read; "" when it can.
  virtual std::string CheckTools(const PackageSpec& package, Edition edition) = 0;
  /// Checks its input (a folder, listed once, or the given file) for `input`; the messages found.
  virtual std::vector<CheckMessage> CheckInput(const ExtractorInput& input) = 0;
  /// The phase line of the checked input: what was checked, with its figures.
  virtual std::string CheckedLine() const = 0;
  /// Makes the self-extractor inside `work`, reporting its phases; its path, or empty with `error` set.
  virtual std::filesystem::path Make(const ExtractorInput& input, const std::filesystem::path& work,
                                     Reporter& report, std::string& error) = 0;
};

}  // namespace harwpack
