// Scratch directories and whole-file helpers for the packer tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "packer/image/pe.h"

namespace harwpack_test {

/// Bytes of a test file.
using Bytes = std::vector<std::uint8_t>;

/// A fresh directory removed again when the object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  /// The directory itself.
  const std::filesystem::path& path() const { return path_; }
  /// A path inside it.
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// `path` as a command-line argument of harwpack (UTF-8, as the tool reads it).
std::string P(const std::filesystem::path& path);
/// Writes `bytes` to `path`, failing the test on error.
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
/// Reads a whole (small) file; empty when it cannot be read.
Bytes ReadBytes(const std::filesystem::path& path);
/// `size` bytes of a recognisable pattern derived from `seed`.
Bytes Pattern(std::size_t size, std::uint8_t seed);
/// The bytes of a UTF-16LE rendering of ASCII text.
Bytes Utf16Le(const std::string& ascii);
/// A small valid console image of 1024 bytes, PE32 for x86 or PE32+ for x64
/// (headers, one section holding a return instruction and, unless
/// `held_marker` is false, the program's marker text as the program holds
/// it, at kMinimalPeHeldMarker); `checksum` goes into its CheckSum field.
Bytes MinimalPe(std::uint32_t checksum = 0, bool held_marker = true,
                harwpack::Edition edition = harwpack::Edition::kX86);
/// A stand-in for the builtin extractor's program (HarwExtract.exe) of
/// `edition`: MinimalPe without the program's marker but with the extractor's
/// manifest name, ending with its image. Packages built on it do not run; the
/// archive behind it is read with the archive code itself.
Bytes MinimalExtractor(harwpack::Edition edition = harwpack::Edition::kX86);
/// Writes MinimalExtractor(edition) to `dir`/HarwExtract.exe; returns the "--extractor-program" arguments.
std::vector<std::string> ExtractorArgs(const std::filesystem::path& dir,
                                       harwpack::Edition edition = harwpack::Edition::kX86);
/// What the builtin self-extractor in `package` unpacks, decoded by the
/// archive code as the extractor decodes it: each folder (with a trailing
/// '/') and file below the top folder, with '/' between the parts, and a
/// file's bytes. `error` says why when the archive cannot be read whole.
std::map<std::string, Bytes> BuiltinContents(const std::filesystem::path& package, std::string& error);
/// The program's marker as the program itself holds it: a blank in place of the first '*'.
constexpr char kHeldMarkerText[] = " **** Harrowvindalet **** Make Updater ***** Start of Archived Data *****";
/// Offset of the held marker in MinimalPe.
constexpr std::size_t kMinimalPeHeldMarker = 0x300;
/// Offset of the PE signature in MinimalPe; the file header follows it.
constexpr std::size_t kMinimalPeSignature = 0x40;
/// Offset of the CheckSum field in MinimalPe.
constexpr std::size_t kMinimalPeChecksum = 0x58 + 64;
/// Offset of the security directory entry in MinimalPe's PE32 layout.
constexpr std::size_t kMinimalPeSecurityEntry = 0x58 + 96 + 4 * 8;
/// Stores a little-endian u32 at `offset`.
void PokeU32(Bytes& bytes, std::size_t offset, std::uint32_t value);
/// Reads a little-endian u32 at `offset`.
std::uint32_t PeekU32(const Bytes& bytes, std::size_t offset);
/// Result of running an external program.
struct CommandResult {
  bool started = false;  ///< false when it could not be run at all
  int exit_code = -1;    ///< its exit code
  std::string output;    ///< standard output and error together
};
/// Runs `program` (looked up on PATH) with `args`, logging into `dir`.
CommandResult RunCommand(const std::filesystem::path& dir, const std::string& program,
                         const std::vector<std::string>& args);
/// Names of the entries in `dir`, sorted.
std::vector<std::string> ListDir(const std::filesystem::path& dir);
/// A helper program built beside the tests ("fake_signer"), with ".exe" on Windows.
std::filesystem::path TestProgram(const std::string& name);

}  // namespace harwpack_test
