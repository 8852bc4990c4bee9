#include "packer/image/version_resource.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "packer/platform/platform.h"

namespace harwpack {
namespace {

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kResourceDirectory = 2;       // index among the data directories
constexpr std::uint32_t kVersionType = 16;          // RT_VERSION
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr std::size_t kFixedInfoSize = 52;          // VS_FIXEDFILEINFO
constexpr std::size_t kFixedInfoOffset = 40;        // after wLength, wValueLength, wType, the key, padding
constexpr char16_t kVersionKey[] = u"VS_VERSION_INFO";

/// The bytes of the image, with reads that fail instead of running past the end.
struct Image {
  const std::uint8_t* data;
  std::size_t size;

  bool Has(std::uint64_t offset, std::uint64_t count) const {
    return offset <= size && count <= size - offset;
  }
  std::uint16_t U16(std::uint64_t offset) const {
    return static_cast<std::uint16_t>(data[offset] | (data[offset + 1] << 8));
  }
  std::uint32_t U32(std::uint64_t offset) const { return ReadU32(data + offset); }
};

/// Where the resource directory lies, and the section table that maps its RVAs to the file.
struct ResourceSection {
  std::uint32_t rva = 0;            ///< of the resource directory
  std::uint64_t sections = 0;       ///< file offset of the section table
  std::uint16_t section_count = 0;  ///< entries in it
};

/// Reads the headers up to the resource entry of the data directories.
std::string FindResources(const Image& image, ResourceSection& found) {
  if (!image.Has(0, 0x40) || image.data[0] != 'M' || image.data[1] != 'Z') {
    return "not a Windows program (no MZ header)";
  }
  const std::uint64_t pe = image.U32(0x3C);
  if (!image.Has(pe, 4 + kCoffHeaderSize + 2) || image.U32(pe) != kPeSignature) return "not a PE image";
  found.section_count = image.U16(pe + 4 + 2);
  const std::uint64_t optional = pe + 4 + kCoffHeaderSize;
  const std::uint16_t optional_size = image.U16(pe + 4 + 16);
  const std::uint16_t magic = image.U16(optional);
  if (magic != 0x10B && magic != 0x20B) return "unknown optional header";
  const std::uint64_t count_at = magic == 0x20B ? 108 : 92;  // NumberOfRvaAndSizes, PE32+ or PE32
  const std::uint64_t entry = count_at + 4 + kResourceDirectory * 8;
  if (entry + 8 > optional_size || !image.Has(optional, entry + 8)) return "no resource directory";
  if (image.U32(optional + count_at) <= kResourceDirectory) return "no resource directory";
  found.rva = image.U32(optional + entry);
  if (found.rva == 0) return "no resources";
  found.sections = optional + optional_size;
  return "";
}

/// The file offset of `count` bytes at `rva`, when they lie in one section's file data.
std::optional<std::uint64_t> OffsetOf(const Image& image, const ResourceSection& r, std::uint64_t rva,
                                      std::uint64_t count) {
  for (std::uint16_t i = 0; i < r.section_count; ++i) {
    const std::uint64_t header = r.sections + i * std::uint64_t{kSectionHeaderSize};
    if (!image.Has(header, kSectionHeaderSize)) return std::nullopt;
    const std::uint64_t start = image.U32(header + 12);
    const std::uint64_t raw_size = image.U32(header + 16);
    if (rva < start || rva - start >= raw_size || count > raw_size - (rva - start)) continue;
    const std::uint64_t offset = image.U32(header + 20) + (rva - start);
    if (image.Has(offset, count)) return offset;
    return std::nullopt;
  }
  return std::nullopt;
}

/// The entry of the resource directory at `dir` (an offset into the resource
/// data) with `id`, or its first entry when `id` is absent; its OffsetToData.
std::optional<std::uint32_t> DirectoryEntry(const Image& image, const ResourceSection& r, std::uint32_t dir,
                                            std::optional<std::uint32_t> id) {
  const auto header = OffsetOf(image, r, std::uint64_t{r.rva} + dir, 16);
  if (!header) return std::nullopt;
  const std::uint32_t entries = std::uint32_t{image.U16(*header + 12)} + image.U16(*header + 14);
  const auto table = OffsetOf(image, r, std::uint64_t{r.rva} + dir + 16, entries * std::uint64_t{8});
  if (!table) return std::nullopt;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint32_t name = image.U32(*table + i * 8);
    if (!id || name == *id) return image.U32(*table + i * 8 + 4);
  }
  return std::nullopt;
}

/// The version numbers in the VS_VERSIONINFO block at `offset` of `size` bytes.
std::string ReadFixedInfo(const Image& image, std::uint64_t offset, std::uint32_t size,
                          std::string& version) {
  if (size < kFixedInfoOffset + kFixedInfoSize) return "version resource too short";
  const std::size_t key_units = sizeof(kVersionKey) / sizeof(kVersionKey[0]);  // with terminator
  for (std::size_t i = 0; i < key_units; ++i) {
    if (image.U16(offset + 6 + 2 * i) != kVersionKey[i]) return "version resource without VS_VERSION_INFO";
  }
  const std::uint64_t fixed = offset + kFixedInfoOffset;
  if (image.U16(offset + 2) < kFixedInfoSize || image.U32(fixed) != kFixedInfoSignature) {
    return "version resource without fixed file information";
  }
  const std::uint32_t high = image.U32(fixed + 8);
  const std::uint32_t low = image.U32(fixed + 12);
  version = std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
            std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
  return "";
}

}  // namespace

std::string ParseFileVersion(const std::uint8_t* data, std::size_t size, std::string& version) {
  const Image image{data, size};
  ResourceSection r;
  const std::string headers = FindResources(image, r);
  if (!headers.empty()) return headers;
  // type RT_VERSION -> its first name -> its first language -> the data entry
  std::optional<std::uint32_t> next = DirectoryEntry(image, r, 0, kVersionType);
  for (int level = 0; level < 2 && next; ++level) {
    if ((*next & kSubdirectoryBit) == 0) return "malformed resource directory";
    next = DirectoryEntry(image, r, *next & ~kSubdirectoryBit, std::nullopt);
  }
  if (!next) return "no version resource";
  if ((*next & kSubdirectoryBit) != 0) return "malformed resource directory";
  const auto entry = OffsetOf(image, r, std::uint64_t{r.rva} + *next, 16);
  if (!entry) return "malformed resource directory";
  const std::uint32_t data_size = image.U32(*entry + 4);
  const auto block = OffsetOf(image, r, image.U32(*entry), data_size);
  if (!block) return "version resource out of bounds";
  return ReadFixedInfo(image, *block, data_size, version);
}

std::string ReadFileVersion(const std::filesystem::path& file, std::string& version) {
  InputFile input(file, "program");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(
      std::min<std::uint64_t>(input.size(), kVersionProbeLimit)));
  if (!input.ok() || !input.ReadExact(bytes.data(), bytes.size(), "its headers")) return input.error();
  const std::string error = ParseFileVersion(bytes.data(), bytes.size(), version);
  if (!error.empty()) return "program '" + PathToUtf8(file) + "': " + error;
  return "";
}

}  // namespace harwpack
