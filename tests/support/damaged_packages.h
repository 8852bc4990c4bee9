// The damaged packages of the malformed-package campaign: each one is a list
// of edits applied to the bytes of a valid package, generated from a fixed
// seed so that every run of the campaign tries exactly the same files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/package.h"

namespace harwtest {

/// A valid package's bytes and where its container lies: what every damaged
/// package of the campaign starts from.
struct ValidPackage {
  std::string bytes;     ///< the whole file
  PackageLayout layout;  ///< where its container lies
};

/// One change to the bytes of a valid package.
struct Edit {
  /// What the edit does.
  enum class Kind {
    kTruncate,   ///< keep the first `at` bytes
    kXor,        ///< xor the byte at `at` with bytes[0]
    kOverwrite,  ///< put `bytes` at `at`, growing the file if needed
    kInsert,     ///< insert `bytes` before offset `at`
    kErase,      ///< remove bytes.size() bytes at `at` (the content is ignored)
    kAppend,     ///< add `bytes` at the end
  };
  Kind kind;
  std::size_t at = 0;  ///< a file offset
  std::string bytes;   ///< what to put, insert or xor with
};

/// A damaged package: the edits that make it from the valid one.
struct DamagedPackage {
  std::string label;  ///< what was done to the valid package
  std::vector<Edit> edits;  ///< applied in order
  /// The program's own image is damaged, so the system may refuse to start it.
  bool image_damaged = false;
  /// The valid package itself, whose run shows that the campaign's packages
  /// can succeed at all.
  bool intact = false;
};

/// The valid package's bytes with the edits applied in order.
std::string Apply(const std::string& valid, const std::vector<Edit>& edits);

/// Every damaged package of the campaign, from `seed`.
std::vector<DamagedPackage> MakeCampaign(const ValidPackage& valid, std::uint32_t seed);

/// True if the program, reading `bytes` as its own file, would find among its
/// embedded parameters a "/D" switch: with it a damaged /F value could make
/// the run delete a folder outside its own, so the campaign never tries one.
bool CouldRequestDeletion(const std::string& bytes);

}  // namespace harwtest
