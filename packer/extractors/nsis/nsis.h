// The NSIS self-extractor: a silent installer that NSIS's compiler builds
// from the folder's files. Its script, its compiler and its limits stay in
// this folder; the rest of the packer sees only this class and its options.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer/extractors/folder_extractor.h"
#include "packer/extractors/nsis/compile_progress.h"
#include "packer/extractors/nsis/compiler.h"

namespace harwpack {

/// The NSIS self-extractor of a folder.
class NsisExtractor : public FolderExtractor {
 public:
  /// Packs `folder` with the compiler `makensis` (a bare name is searched on PATH), packing as `compression` says.
  NsisExtractor(std::filesystem::path folder, std::filesystem::path makensis, Compression compression)
      : FolderExtractor(std::move(folder)), makensis_(std::move(makensis)), compression_(compression) {}
  /// The compiler is only asked for its version when it is run.
  std::string CheckTools(const PackageSpec&, Edition) override { return ""; }
  /// NSIS's own limit on the bytes it stores.
  void CheckLimits(const std::filesystem::path& folder, const std::vector<FolderEntry>& entries,
                   std::vector<CheckMessage>& messages) const override;
  /// Makes sure every file opens, so that none fails only while compiling.
  void OpenFiles(const std::vector<FolderEntry>& entries, std::vector<CheckMessage>& messages) override;
  std::filesystem::path Make(const ExtractorInput& input, const std::filesystem::path& work, Reporter& report,
                             std::string& error) override;

 private:
  std::filesystem::path makensis_;
  Compression compression_;
};

}  // namespace harwpack
