// The few parts of the PE image format the packer touches: the checksum and
// the security directory, which locates an Authenticode certificate table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harwpack {

/// Bytes read from the start of a file to find its PE headers.
inline constexpr std::size_t kPeHeaderProbe = 4096;
/// Index of the security directory among the data directories.
inline constexpr std::size_t kSecurityDirectory = 4;

/// Where the checksum and the security directory lie in a PE file.
struct PeHeaders {
  std::uint64_t checksum_offset = 0;        ///< file offset of the 4-byte CheckSum field
  std::uint32_t checksum = 0;               ///< its value
  bool has_security_entry = false;          ///< the directory table reaches index 4
  std::uint64_t security_entry_offset = 0;  ///< file offset of the 8-byte security entry
  std::uint32_t security_offset = 0;        ///< file offset of the certificate table, 0 if none
  std::uint32_t security_size = 0;          ///< its size in bytes
};

/// Parses the headers from the first `size` bytes of a file; nullopt when they
/// are not those of a PE image (or lie beyond the bytes given).
std::optional<PeHeaders> ParsePeHeaders(const std::uint8_t* data, std::size_t size);

/// The editions of the program: the same sources built for two machines.
enum class Edition {
  kX86,  ///< 32-bit x86: PE32, machine 0x14C (the default)
  kX64,  ///< 64-bit x86-64: PE32+, machine 0x8664
};

/// "x86" or "x64", as --arch and the reports name the edition.
const char* EditionName(Edition edition);

/// The edition named `name` ("x86" or "x64"); nullopt for any other.
std::optional<Edition> ParseEdition(const std::string& name);

/// How a report shows the edition: "x64 (64-bit, PE32+, machine 0x8664)".
std::string DescribeEdition(Edition edition);

/// The edition of the image whose first `size` bytes are `data`: its machine
/// with the matching optional header (PE32 for 0x14C, PE32+ for 0x8664);
/// nullopt for anything else, or headers beyond the bytes given.
std::optional<Edition> ImageEdition(const std::uint8_t* data, std::size_t size);

/// Why the first `size` bytes of a file of `file_size` bytes are not the
/// headers of a Windows console program of either edition (machine 0x14C
/// with PE32 or 0x8664 with PE32+, an executable image but no DLL, subsystem
/// 3), as a phrase ("is a DLL, not a program"); "" when they are, with its
/// edition in `edition` when given.
std::string CheckConsoleProgram(const std::uint8_t* data, std::size_t size, std::uint64_t file_size,
                                Edition* edition = nullptr);

/// Bytes to overwrite while copying a file.
struct Patch {
  std::uint64_t offset;               ///< file offset of the first byte
  std::vector<std::uint8_t> bytes;    ///< replacement
};

/// Overwrites the parts of `patches` that fall into `data`, which holds the
/// file bytes starting at `base`.
void ApplyPatches(const std::vector<Patch>& patches, std::uint8_t* data, std::size_t size,
                  std::uint64_t base);

/// How to copy a stub so that it carries no certificate table.
struct StubPlan {
  std::uint64_t copy_length = 0;                 ///< bytes of the stub to copy
  std::vector<Patch> patches;                    ///< header changes
  std::optional<std::uint64_t> checksum_offset;  ///< recompute the checksum here afterwards
  std::string note;                              ///< one line for the user, "" if nothing changed
};

/// Plans the copy of a stub of `file_size` bytes whose headers (if any) are
/// `headers`: a certificate table is cut off, the security entry zeroed and a
/// non-zero checksum recomputed. Returns "" or why the stub cannot be stripped.
std::string PlanStubCopy(const std::optional<PeHeaders>& headers, std::uint64_t file_size,
                         StubPlan& plan);

/// The PE image checksum, fed with the file's bytes in order (the CheckSum
/// field itself must be fed as zeros).
class PeChecksum {
 public:
  /// Adds the next bytes of the file.
  void Add(const std::uint8_t* data, std::size_t size);
  /// The checksum of a file of `file_size` bytes whose bytes were all added.
  std::uint32_t Finish(std::uint64_t file_size);

 private:
  void AddWord(std::uint32_t word);

  std::uint32_t sum_ = 0;
  int pending_ = -1;  // a low byte waiting for its high byte
};

}  // namespace harwpack
