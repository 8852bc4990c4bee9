// Where the archive lies in an extractor's file: found from the image's own
// headers, not by searching, so that nothing in the image can be taken for
// it and a signature appended later changes nothing.
#include "archive/archive.h"

namespace harwarchive {
namespace {

std::uint32_t U16At(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32At(const std::uint8_t* p) { return U16At(p) | (U16At(p + 2) << 16); }

constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSecurityDirectory = 4;

bool NotAnImage(Problem& problem, const std::string& why) {
  return Fail(problem, Failure::kNoArchive, "the extractor's own file " + why);
}

/// The end of the section data that ends last in the file.
bool ImageEnd(const std::uint8_t* head, std::size_t size, std::size_t pe, std::uint64_t& end, Problem& problem) {
  const std::size_t sections = U16At(head + pe + 6);
  const std::size_t table = pe + 24 + U16At(head + pe + 20);
  if (table + sections * kSectionHeaderSize > size) return NotAnImage(problem, "has its section table beyond its headers");
  end = 0;
  for (std::size_t i = 0; i < sections; ++i) {
    const std::uint8_t* section = head + table + i * kSectionHeaderSize;
    const std::uint64_t raw_size = U32At(section + 16);
    const std::uint64_t raw_end = raw_size == 0 ? 0 : U32At(section + 20) + raw_size;
    if (raw_end > end) end = raw_end;
  }
  return true;
}

}  // namespace

bool LocateArchive(const std::uint8_t* head, std::size_t size, std::uint64_t file_size, Placement& placement,
                   Problem& problem) {
  if (size < 0x40 || head[0] != 'M' || head[1] != 'Z') return NotAnImage(problem, "is not a Windows program");
  const std::size_t pe = U32At(head + 0x3C);
  if (pe > size || size - pe < 24 + 2 || U32At(head + pe) != 0x00004550) {
    return NotAnImage(problem, "has no PE header within its first bytes");
  }
  const std::size_t optional = pe + 24;
  const std::uint32_t magic = U16At(head + optional);
  if (magic != 0x10B && magic != 0x20B) return NotAnImage(problem, "has an optional header of unknown kind");
  std::uint64_t end = 0;
  if (!ImageEnd(head, size, pe, end, problem)) return false;
  if (end > file_size) return NotAnImage(problem, "is shorter than its own image");
  placement.start = end;
  placement.available = file_size - end;
  const std::size_t count_at = optional + (magic == 0x10B ? 92 : 108);
  const std::size_t entry_at = optional + (magic == 0x10B ? 96 : 112) + kSecurityDirectory * 8;
  if (entry_at + 8 > size || U32At(head + count_at) <= kSecurityDirectory) return true;
  const std::uint64_t table = U32At(head + entry_at);
  const std::uint64_t table_size = U32At(head + entry_at + 4);
  if (table == 0 && table_size == 0) return true;
  if (table < end || table + table_size != file_size) {
    return NotAnImage(problem, "names a certificate table that does not end it");
  }
  placement.available = table - end;
  return true;
}

}  // namespace harwarchive
