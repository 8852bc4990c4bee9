// The file version from a program's version resource, and what a damaged
// resource tree gives: an error, never a read outside the bytes.
#include <gtest/gtest.h>

#include <string>

#include "packer/image/version_resource.h"
#include "tests/packer/test_support.h"

namespace {

using harwpack_test::Bytes;
using harwpack_test::PokeU32;

// MinimalPe with a second section, .rsrc, holding one version resource.
constexpr std::size_t kOptional = 0x58;
constexpr std::size_t kResourceEntry = kOptional + 96 + 2 * 8;
constexpr std::size_t kSection = kOptional + 0xE0 + 40;  // the .rsrc section header
constexpr std::size_t kRsrcRaw = 0x400;
constexpr std::uint32_t kRsrcRva = 0x2000;
// Offsets inside the resource section.
constexpr std::size_t kRootEntry = 0x10;
constexpr std::size_t kNameEntry = 0x28;
constexpr std::size_t kLanguageEntry = 0x40;
constexpr std::size_t kDataEntry = 0x48;
constexpr std::size_t kVersionInfo = 0x58;
constexpr std::size_t kVersionInfoSize = 92;

void PokeU16(Bytes& b, std::size_t offset, std::uint16_t value) {
  b[offset] = static_cast<std::uint8_t>(value);
  b[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

/// A resource directory header with one ID entry pointing at `target`.
void Directory(Bytes& b, std::size_t at, std::uint32_t id, std::uint32_t target) {
  PokeU16(b, at + 14, 1);
  PokeU32(b, at + 16, id);
  PokeU32(b, at + 20, target);
}

Bytes VersionedPe(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
  Bytes pe = harwpack_test::MinimalPe();
  pe.resize(kRsrcRaw + 0x200, 0);
  PokeU16(pe, 0x46, 2);  // two sections
  const std::size_t section = kSection;
  const Bytes name{'.', 'r', 's', 'r', 'c'};
  std::copy(name.begin(), name.end(), pe.begin() + static_cast<std::ptrdiff_t>(section));
  PokeU32(pe, section + 8, 0x200);
  PokeU32(pe, section + 12, kRsrcRva);
  PokeU32(pe, section + 16, 0x200);
  PokeU32(pe, section + 20, kRsrcRaw);
  PokeU32(pe, kResourceEntry, kRsrcRva);
  PokeU32(pe, kResourceEntry + 4, 0x200);

  const std::size_t r = kRsrcRaw;
  Directory(pe, r, 16, 0x80000000u | 0x18);    // RT_VERSION
  Directory(pe, r + 0x18, 1, 0x80000000u | 0x30);
  Directory(pe, r + 0x30, 0x409, kDataEntry);  // the language's data entry
  PokeU32(pe, r + kDataEntry, kRsrcRva + kVersionInfo);
  PokeU32(pe, r + kDataEntry + 4, kVersionInfoSize);
  const std::size_t v = r + kVersionInfo;
  PokeU16(pe, v, kVersionInfoSize);
  PokeU16(pe, v + 2, 52);
  const std::string key = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < key.size(); ++i) PokeU16(pe, v + 6 + 2 * i, static_cast<std::uint16_t>(key[i]));
  PokeU32(pe, v + 40, 0xFEEF04BDu);
  PokeU32(pe, v + 44, 0x00010000u);
  PokeU32(pe, v + 48, (std::uint32_t{a} << 16) | b);
  PokeU32(pe, v + 52, (std::uint32_t{c} << 16) | d);
  return pe;
}

std::string Parse(const Bytes& bytes, std::size_t size, std::string& version) {
  return harwpack::ParseFileVersion(bytes.data(), size, version);
}

TEST(VersionResourceTest, ReadsTheFileVersion) {
  struct Case {
    std::uint16_t parts[4];
    const char* text;
  };
  for (const Case& c : {Case{{1, 0, 0, 6}, "1.0.0.6"}, Case{{65535, 0, 1, 65534}, "65535.0.1.65534"}}) {
    const Bytes pe = VersionedPe(c.parts[0], c.parts[1], c.parts[2], c.parts[3]);
    std::string version;
    EXPECT_EQ(Parse(pe, pe.size(), version), "");
    EXPECT_EQ(version, c.text);
  }
}

TEST(VersionResourceTest, DamagedTreesGiveAnError) {
  struct Damage {
    const char* name;
    std::size_t offset;  // into the file
    std::uint32_t value;
    const char* error;
  };
  const std::size_t r = kRsrcRaw;
  const Damage cases[] = {
      {"no_resources", kResourceEntry, 0, "no resources"},
      {"too_few_directories", kOptional + 92, 2, "no resource directory"},
      {"no_version_type", r + kRootEntry, 3, "no version resource"},
      {"type_is_no_directory", r + kRootEntry + 4, 0x18, "malformed resource directory"},
      {"language_is_a_directory", r + kLanguageEntry + 4, 0x80000000u | 0x48, "malformed resource directory"},
      {"directory_beyond_the_section", r + kNameEntry + 4, 0x80000000u | 0x7FFFFFF0u, "no version resource"},
      {"entry_count_beyond_the_section", r + 12, 0xFFFF0000u, "no version resource"},
      {"data_outside_every_section", r + kDataEntry, 0x9000, "out of bounds"},
      {"data_longer_than_the_file", r + kDataEntry + 4, 0x10000, "out of bounds"},
      {"data_past_the_section_end", kSection + 16, 0xA0, "out of bounds"},
      {"data_too_short", r + kDataEntry + 4, 40, "too short"},
      {"wrong_key", r + kVersionInfo + 6, 'X', "without VS_VERSION_INFO"},
      {"wrong_signature", r + kVersionInfo + 40, 0xFEEF04BCu, "without fixed file information"},
      {"no_fixed_value", r + kVersionInfo + 2, 0, "without fixed file information"},
      {"no_pe_signature", 0x40, 0, "not a PE image"},
      {"section_count_zero", 0x44, 0x014C, "no version resource"},
  };
  for (const Damage& d : cases) {
    Bytes pe = VersionedPe(1, 2, 3, 4);
    PokeU32(pe, d.offset, d.value);
    std::string version;
    EXPECT_NE(Parse(pe, pe.size(), version).find(d.error), std::string::npos) << d.name;
    EXPECT_EQ(version, "") << d.name;
  }
}

TEST(VersionResourceTest, ACutImageIsReadOnlyUpToItsEnd) {
  // Every cut before the end of the version block must fail; from there on
  // the block is whole and the version is read.
  const Bytes pe = VersionedPe(1, 2, 3, 4);
  const std::size_t needed = kRsrcRaw + kVersionInfo + kVersionInfoSize;
  for (std::size_t size = 0; size <= pe.size(); ++size) {
    const Bytes cut(pe.begin(), pe.begin() + static_cast<std::ptrdiff_t>(size));
    std::string version;
    const std::string error = Parse(cut, cut.size(), version);
    if (size < needed) {
      ASSERT_NE(error, "") << "cut at " << size;
    } else {
      ASSERT_EQ(version, "1.2.3.4") << "cut at " << size << ": " << error;
    }
  }
}

TEST(VersionResourceTest, ReadsFromAFileAndNamesItOnError) {
  harwpack_test::ScratchDir dir;
  harwpack_test::WriteBytes(dir / "good.exe", VersionedPe(7, 8, 9, 10));
  harwpack_test::WriteBytes(dir / "text.exe", harwpack_test::Pattern(300, 1));
  std::string version;
  EXPECT_EQ(harwpack::ReadFileVersion(dir / "good.exe", version), "");
  EXPECT_EQ(version, "7.8.9.10");
  for (const char* name : {"text.exe", "missing.exe"}) {
    std::string none;
    const std::string error = harwpack::ReadFileVersion(dir / name, none);
    EXPECT_NE(error.find(name), std::string::npos) << error;
    EXPECT_EQ(none, "");
  }
}

}  // namespace
