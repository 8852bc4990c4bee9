// What the self-extractors made from a folder share: the folder's listing
// and checks, and the phase lines of the making.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/extractors/extractor.h"
#include "packer/input/input.h"

namespace harwpack {

/// A self-extractor made from the files of a folder, which it lists and checks once.
class FolderExtractor : public SelfExtractor, public FolderNeeds {
 public:
  /// Packs `folder`.
  explicit FolderExtractor(std::filesystem::path folder) : folder_(std::move(folder)) {}
  std::vector<CheckMessage> CheckInput(const ExtractorInput& input) override;
  std::string CheckedLine() const override;

 protected:
  /// The folder to pack.
  const std::filesystem::path& folder() const { return folder_; }
  /// Its listing, made by CheckInput; the self-extractor is built from exactly this listing.
  std::vector<FolderEntry>& entries() { return entries_; }
  /// Reports the lines after the making: the clamped file times (when a
  /// source date was given) and the self-extractor's size against the
  /// files' `bytes`, with `detail` and the seconds since `start`.
  static void ReportMade(const ExtractorInput& input, std::size_t clamped, const std::filesystem::path& extractor,
                         std::uint64_t bytes, const std::string& detail, std::chrono::steady_clock::time_point start,
                         Reporter& report);

 private:
  std::filesystem::path folder_;
  std::vector<FolderEntry> entries_;
};

}  // namespace harwpack
