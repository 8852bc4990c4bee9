// A self-extractor given ready (--archive): embedded as it is, never modified.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer/extractors/extractor.h"

namespace harwpack {

/// The given self-extractor.
class GivenExtractor : public SelfExtractor {
 public:
  /// Embeds `archive`.
  explicit GivenExtractor(std::filesystem::path archive) : archive_(std::move(archive)) {}
  /// The file must be readable and the package it makes must stay below 4 GiB.
  std::string CheckTools(const PackageSpec& package, Edition edition) override;
  /// Warnings when it does not look like a Windows program of the stub's edition.
  std::vector<CheckMessage> CheckInput(const ExtractorInput& input) override;
  std::string CheckedLine() const override;
  /// The given file itself.
  std::filesystem::path Make(const ExtractorInput&, const std::filesystem::path&, Reporter&,
                             std::string&) override {
    return archive_;
  }

 private:
  std::filesystem::path archive_;
};

}  // namespace harwpack
