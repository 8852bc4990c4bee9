// The NSIS self-extractor: a silent installer that NSIS's compiler builds
// from the folder's files. Its script, its compiler and its limits stay in
// this folder; the rest of the packer sees only this class and its options.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer/extractors/extractor.h"
#include "packer/extractors/nsis/compile_progress.h"
#include "packer/extractors/nsis/compiler.h"

namespace harwpack {

/// The NSIS self-extractor of a folder; its files are checked to open at
/// the check, so that none fails only while compiling.
class NsisExtractor : public FolderExtractor {
 public:
  /// Packs `folder` with the compiler `makensis` (a bare name is searched on PATH), packing as `compression` says.
  NsisExtractor(std::filesystem::path folder, std::filesystem::path makensis, Compression compression)
      : FolderExtractor(std::move(folder), false), makensis_(std::move(makensis)), compression_(compression) {}
  /// The compiler is only asked for its version when it is run.
  std::string CheckTools(const PackageSpec&, Edition) override { return ""; }
  std::filesystem::path Make(const ExtractorInput& input, const std::filesystem::path& work, Reporter& report,
                             std::string& error) override;

 protected:
  /// NSIS's own limit on the bytes it stores.
  void CheckLimits(std::vector<CheckMessage>& messages) override;

 private:
  std::filesystem::path makensis_;
  Compression compression_;
};

}  // namespace harwpack
