// Building the embedded self-extractor from an installation folder with the
// NSIS compiler.
#pragma once

#include <filesystem>
#include <string>

namespace harwpack {

/// What the self-extractor holds and where it unpacks.
struct ExtractorJob {
  std::filesystem::path folder;    ///< the installation folder whose contents are packed
  std::u16string folder_name;      ///< the folder it creates in the current directory ("Disk1")
  std::filesystem::path makensis;  ///< the compiler; a bare name is searched on PATH
  std::filesystem::path output;    ///< the extractor to write
};

/// Escapes text for use inside a double-quoted NSIS string.
std::string NsisEscaped(const std::string& text);

/// The text as a double-quoted NSIS string.
std::string NsisQuoted(const std::string& text);

/// The NSIS script (UTF-8) for `job`: a silent extractor that unpacks the
/// folder's contents into FolderName beside itself and exits 0 only on success.
std::string ExtractorScript(const ExtractorJob& job);

/// Runs "makensis -VERSION"; returns "" and the version, or why the compiler is unusable.
std::string ProbeMakensis(const std::filesystem::path& makensis, const std::filesystem::path& work_dir,
                          std::string& version);

/// Writes the script into `work_dir` and compiles it to job.output; "" on
/// success, else one line that quotes the compiler's error.
std::string BuildExtractor(const ExtractorJob& job, const std::filesystem::path& work_dir);

}  // namespace harwpack
