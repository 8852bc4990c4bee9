// The builtin self-extractor: the project's extractor program with an
// archive that harwpack writes itself from the folder's files, held open
// from their check until they are packed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/extractors/builtin/archive_writer.h"
#include "packer/extractors/extractor.h"

namespace harwpack {

/// The builtin self-extractor of a folder; its files are held open from
/// the check, and its archive's table limits are checked while it is written.
class BuiltinExtractor : public FolderExtractor {
 public:
  /// Packs `folder` at zstd `level` on `program` (--extractor-program), else on the installed one.
  BuiltinExtractor(std::filesystem::path folder, std::optional<std::filesystem::path> program, int level)
      : FolderExtractor(std::move(folder), true), given_program_(std::move(program)), level_(level) {}
  /// Finds the extractor program for the stub's edition and checks it.
  std::string CheckTools(const PackageSpec& package, Edition edition) override;
  std::filesystem::path Make(const ExtractorInput& input, const std::filesystem::path& work, Reporter& report,
                             std::string& error) override;

 private:
  std::optional<std::filesystem::path> given_program_;
  int level_;
  std::filesystem::path program_;  // found by CheckTools
};

}  // namespace harwpack
