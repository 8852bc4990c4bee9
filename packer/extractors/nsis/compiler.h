// Building the embedded self-extractor from an installation folder with the
// NSIS compiler, so that the same inputs give the same bytes on any machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packer/extractors/extractor.h"
#include "packer/input/input.h"

namespace harwpack {

/// How the compiler packs the folder's contents into the extractor.
enum class Compression {
  kLzma,   ///< solid LZMA: the smallest extractor, the slowest to build and to unpack
  kZlib,   ///< each file deflated on its own
  kBzip2,  ///< each file compressed with bzip2 on its own
  kNone,   ///< stored as they are, for contents that are already compressed
};

/// The compression called `name` ("lzma", "zlib", "bzip2" or "none"); nullopt for any other.
std::optional<Compression> ParseCompression(const std::string& name);

/// True for a compressor that packs all files as one stream after the last is added.
bool IsSolid(Compression compression);

/// The compressor and its settings as the script sets them, for messages: "lzma (solid, 8 MiB dictionary)".
std::string CompressionSettings(Compression compression);

/// What the self-extractor holds and where it unpacks.
struct ExtractorJob {
  std::vector<FolderEntry> entries;                ///< the installation folder's listing (ListFolder)
  std::u16string folder_name;                      ///< the folder it creates in the current directory ("Disk1")
  std::filesystem::path makensis;                  ///< the compiler; a bare name is searched on PATH
  std::optional<std::uint64_t> source_date_epoch;  ///< seconds since 1970; newer file times are stored as it
  Compression compression = Compression::kLzma;    ///< how the contents are packed
  Edition edition = Edition::kX86;                 ///< the machine it runs on: the stub's, so a package is one edition
};

/// Name of the compiler's output there, written as it runs (a line per file added).
inline constexpr char kCompilerLogName[] = "makensis.log";

/// Who reads a string of the script.
enum class NsisReader {
  kExtractor,  ///< the extractor, which expands variables when it runs (SetOutPath, File /oname=)
  kCompiler,   ///< only the compiler (the path of a file to pack)
};

/// `text` written for the inside of a double-quoted string of the script, so
/// that `reader` gets exactly `text`. makensis reads such a string in three
/// passes, which this undoes in reverse: the line preprocessor replaces
/// "${NAME}", "$%NAME%" and "$\r", "$\n", "$\t"; the tokenizer turns "$\"",
/// "$\'" and "$\`" into quotes; the extractor reads "$$" as "$" and
/// "$NAME" as a variable.
std::string NsisLiteral(const std::string& text, NsisReader reader);

/// Where the compiler reads each entry of job.entries from ("" for a folder),
/// as prepared by StageInputs in a working folder.
using ExtractorSources = std::vector<std::string>;

/// Prepares the files for the compiler in `work_dir`. A file newer than the
/// source date is copied there with that time (the installation folder itself
/// is never touched); on Linux every other file is reached through a link
/// there, so that the compiler reads one file per folder and sees no names
/// but ASCII ones. Returns "" or why a file could not be prepared, and counts
/// the clamped files in `clamped`.
std::string StageInputs(const ExtractorJob& job, const std::filesystem::path& work_dir,
                        ExtractorSources& sources, std::size_t& clamped);

/// The NSIS target of an edition: "x86-unicode" or "amd64-unicode".
const char* NsisTarget(Edition edition);

/// The NSIS script (UTF-8) that unpacks every entry, in the listing's order,
/// into FolderName beside the extractor and exits 0 only on success. It is
/// built for job.edition's machine from NSIS's stubs of that target. Every
/// folder of the listing is made, also an empty one: NSIS stores no folder
/// entries, its SetOutPath creates the folder when the extractor runs.
std::string ExtractorScript(const ExtractorJob& job, const ExtractorSources& sources);

/// Runs "makensis -VERSION"; returns "" and the version, or why the compiler is unusable.
std::string ProbeMakensis(const std::filesystem::path& makensis, const std::filesystem::path& work_dir,
                          std::string& version);

/// Stages the inputs, writes the script into `work_dir` and compiles it there
/// to kExtractorName, the compiler's output going to kCompilerLogName;
/// `while_compiling`, when set, is called about ten times a second while the
/// compiler runs. "" on success, else one line that quotes the compiler's error.
std::string BuildExtractor(const ExtractorJob& job, const std::filesystem::path& work_dir, std::size_t& clamped,
                           const std::function<void()>& while_compiling = {});

/// Bytes the NSIS compiler can store: it keeps its data block in buffers
/// indexed by signed 32-bit numbers (NSIS_MAX_EXEDATASIZE, 0x7FFFFFFF).
inline constexpr std::uintmax_t kMaxNsisData = 0x7FFFFFFF;
/// NSIS stores each file's length in 4 bytes of that block.
inline constexpr std::uintmax_t kNsisBytesPerFile = 4;

/// Appends an error when the files of the listing, with NSIS's own bytes, exceed kMaxNsisData.
void CheckFolderSize(const std::filesystem::path& folder, const std::vector<FolderEntry>& entries,
                     std::vector<CheckMessage>& messages);

}  // namespace harwpack
