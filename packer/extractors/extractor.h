// The self-extractor a package embeds, made one of three ways (the builtin
// archive, NSIS, or one given ready) behind one interface that create calls
// the same way whichever was chosen; and what the two made from a folder
// share: the folder's listing and checks, and the phase lines of the making.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/container/container.h"
#include "packer/image/image.h"
#include "packer/input/input.h"
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

/// A self-extractor made from the files of a folder, which it lists and checks once.
class FolderExtractor : public SelfExtractor {
 public:
  /// Packs `folder`; with `hold_files` its files are opened at the check and
  /// held open until they are packed, else only checked to open.
  FolderExtractor(std::filesystem::path folder, bool hold_files)
      : folder_(std::move(folder)), hold_files_(hold_files) {}
  std::vector<CheckMessage> CheckInput(const ExtractorInput& input) override;
  std::string CheckedLine() const override;

 protected:
  /// Appends an error for what this self-extractor's own limits refuse in the listing; none by default.
  virtual void CheckLimits(std::vector<CheckMessage>&) {}
  /// The folder to pack.
  const std::filesystem::path& folder() const { return folder_; }
  /// Its listing, made by CheckInput; the self-extractor is built from exactly this listing.
  std::vector<FolderEntry>& entries() { return entries_; }
  /// The listing's files and their bytes, counted by CheckInput.
  const FolderTotals& totals() const { return totals_; }
  /// The files held open from the check (at their entries' indices), when asked for.
  std::vector<HeldFile>& held() { return held_; }
  /// Reports the lines after the making: the clamped file times (when a
  /// source date was given) and the self-extractor's size against the
  /// files' `bytes`, with `detail` and the seconds since `start`.
  static void ReportMade(const ExtractorInput& input, std::size_t clamped, const std::filesystem::path& extractor,
                         std::uint64_t bytes, const std::string& detail, std::chrono::steady_clock::time_point start,
                         Reporter& report);

 private:
  std::filesystem::path folder_;
  bool hold_files_;
  std::vector<FolderEntry> entries_;
  FolderTotals totals_;
  std::vector<HeldFile> held_;
};

}  // namespace harwpack
