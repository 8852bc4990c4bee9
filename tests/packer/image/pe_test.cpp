// PE headers, the checksum and removing a stub's certificate table.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "packer/container/writer.h"
#include "packer/image/pe.h"
#include "packer/program/stub_check.h"
#include "tests/packer/test_support.h"

namespace {

using harwpack_test::Bytes;
using harwpack_test::MinimalPe;
using harwpack_test::ScratchDir;

std::optional<harwpack::PeHeaders> Parse(const Bytes& bytes) {
  return harwpack::ParsePeHeaders(bytes.data(), bytes.size());
}

TEST(PeHeadersTest, FindsChecksumAndSecurityDirectory) {
  Bytes pe = MinimalPe(0xABCD);
  harwpack_test::PokeU32(pe, harwpack_test::kMinimalPeSecurityEntry, 0x1000);
  harwpack_test::PokeU32(pe, harwpack_test::kMinimalPeSecurityEntry + 4, 0x48);
  const auto headers = Parse(pe);
  ASSERT_TRUE(headers.has_value());
  EXPECT_EQ(headers->checksum_offset, harwpack_test::kMinimalPeChecksum);
  EXPECT_EQ(headers->checksum, 0xABCDu);
  EXPECT_TRUE(headers->has_security_entry);
  EXPECT_EQ(headers->security_entry_offset, harwpack_test::kMinimalPeSecurityEntry);
  EXPECT_EQ(headers->security_offset, 0x1000u);
  EXPECT_EQ(headers->security_size, 0x48u);
}

TEST(PeHeadersTest, RejectsWhatIsNoPeImage) {
  struct Damage {
    const char* name;
    std::size_t offset;
    std::uint8_t value;
    std::size_t keep;
  };
  const Damage cases[] = {
      {"no_mz", 0, 'X', 1024},
      {"no_pe_signature", 0x41, 'X', 1024},
      {"header_offset_beyond_file", 0x3D, 0x40, 1024},
      {"unknown_optional_magic", 0x58, 0x07, 1024},
      {"cut_before_optional_header", 0, 'M', 0x60},
      {"too_short_for_dos_header", 0, 'M', 0x20},
  };
  for (const Damage& d : cases) {
    Bytes pe = MinimalPe();
    pe[d.offset] = d.value;
    pe.resize(d.keep);
    EXPECT_FALSE(Parse(pe).has_value()) << d.name;
  }
  Bytes few_directories = MinimalPe();
  harwpack_test::PokeU32(few_directories, 0x58 + 92, 4);
  ASSERT_TRUE(Parse(few_directories).has_value());
  EXPECT_FALSE(Parse(few_directories)->has_security_entry) << "index 4 needs five directories";
}

TEST(PeChecksumTest, MatchesAnIndependentToolInAnySplitting) {
  // osslsigncode reports 0x0000807E as the calculated checksum of this image.
  const Bytes pe = MinimalPe(0, false);
  for (std::size_t piece : {std::size_t{1024}, std::size_t{1}, std::size_t{3}, std::size_t{511}}) {
    harwpack::PeChecksum sum;
    for (std::size_t at = 0; at < pe.size(); at += piece) sum.Add(pe.data() + at, std::min(piece, pe.size() - at));
    EXPECT_EQ(sum.Finish(pe.size()), 0x807Eu) << "pieces of " << piece;
  }
}

TEST(PeChecksumTest, OddLengthTakesTheLastByteAsLowHalf) {
  const std::uint8_t bytes[] = {0x01, 0x02, 0x03};
  harwpack::PeChecksum sum;
  sum.Add(bytes, 3);
  EXPECT_EQ(sum.Finish(3), 0x0201u + 0x03u + 3u);
}

struct PlanCase {
  const char* name;
  std::uint32_t checksum;
  std::uint32_t table_offset;
  std::uint32_t table_size;
  std::uint64_t file_size;
  bool refused;
  std::uint64_t copy_length;
  std::size_t patches;
};

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }

class StubPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(StubPlanTest, CutsOnlyATableAtTheEnd) {
  const PlanCase& c = GetParam();
  Bytes pe = MinimalPe(c.checksum);
  harwpack_test::PokeU32(pe, harwpack_test::kMinimalPeSecurityEntry, c.table_offset);
  harwpack_test::PokeU32(pe, harwpack_test::kMinimalPeSecurityEntry + 4, c.table_size);
  harwpack::StubPlan plan;
  const std::string error = harwpack::PlanStubCopy(Parse(pe), c.file_size, plan);
  EXPECT_EQ(!error.empty(), c.refused) << error;
  if (c.refused) return;
  EXPECT_EQ(plan.copy_length, c.copy_length);
  EXPECT_EQ(plan.patches.size(), c.patches);
  EXPECT_EQ(plan.checksum_offset.has_value(), c.patches == 2);
  EXPECT_EQ(plan.note.empty(), c.patches == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, StubPlanTest,
    ::testing::Values(PlanCase{"unsigned", 0x1234, 0, 0, 1024, false, 1024, 0},
                      PlanCase{"signed_with_checksum", 0x1234, 1024, 600, 1624, false, 1024, 2},
                      PlanCase{"signed_without_checksum", 0, 1024, 600, 1624, false, 1024, 1},
                      PlanCase{"table_not_at_end", 0x1234, 1024, 600, 2000, true, 0, 0},
                      PlanCase{"size_without_offset", 0x1234, 0, 600, 1024, true, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StripTest, PackageFromASignedStubCarriesNoTable) {
  ScratchDir dir;
  Bytes stub = MinimalPe(0x1234);
  const Bytes table = {24, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  harwpack_test::PokeU32(stub, harwpack_test::kMinimalPeSecurityEntry, 1024);
  harwpack_test::PokeU32(stub, harwpack_test::kMinimalPeSecurityEntry + 4, 24);
  stub.insert(stub.end(), table.begin(), table.end());
  harwpack_test::WriteBytes(dir / "stub.exe", stub);
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(333, 1));

  const harwpack::BuildResult result =
      harwpack::BuildPackage({dir / "stub.exe", std::nullopt, dir / "arc.exe", dir / "pkg.exe"});
  ASSERT_EQ(result.error, "");
  ASSERT_EQ(result.notes.size(), 1u);
  EXPECT_NE(result.notes[0].find("certificate table (24 bytes) was removed"), std::string::npos);
  EXPECT_EQ(result.marker_offset, 1024u) << "the table is gone, so nothing needs padding";

  const Bytes package = harwpack_test::ReadBytes(dir / "pkg.exe");
  ASSERT_EQ(package.size(), 1024u + 156u + 333u);
  Bytes expected_stub = MinimalPe(harwpack_test::PeekU32(package, harwpack_test::kMinimalPeChecksum));
  EXPECT_TRUE(Bytes(package.begin(), package.begin() + 1024) == expected_stub);
  EXPECT_NE(harwpack_test::PeekU32(package, harwpack_test::kMinimalPeChecksum), 0x1234u);
  EXPECT_TRUE(harwpack::IsMarkerAt(package.data() + 1024, package.size() - 1024));
}


/// A stub of `size` bytes: MinimalPe without its own marker text, the held
/// marker at `held` (if any) and a complete marker at `container` (if any).
Bytes StubWith(std::size_t size, std::optional<std::size_t> held, std::optional<std::size_t> container) {
  Bytes stub = MinimalPe(0, false);
  stub.resize(size, 0);
  if (held) {
    const Bytes text = harwpack_test::Utf16Le(harwpack_test::kHeldMarkerText);  // its terminator is already zero
    const std::size_t fits = std::min(text.size(), size - *held);  // a marker cut by the end of the file
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(fits), stub.begin() + static_cast<std::ptrdiff_t>(*held));
  }
  if (container) {
    const auto& marker = harwpack::MarkerBytes();
    std::copy(marker.begin(), marker.end(), stub.begin() + static_cast<std::ptrdiff_t>(*container));
  }
  return stub;
}

TEST(StubCheckTest, FindsTheMarkersWhereverThePiecesOfTheReadEnd) {
  // The stub is read in pieces of 64 KiB: a marker must be found across their border too.
  constexpr std::size_t kPiece = 64 * 1024;
  struct Case {
    const char* name;
    std::optional<std::size_t> held;
    std::optional<std::size_t> container;
    const char* problem;  // "" when the stub is accepted
  };
  const Case cases[] = {
      {"held_in_the_first_piece", 0x301, std::nullopt, ""},
      {"held_across_the_border", kPiece - 70, std::nullopt, ""},
      {"held_ending_at_the_border", kPiece - 148, std::nullopt, ""},
      {"held_in_the_last_bytes", 3 * kPiece - 148, std::nullopt, ""},
      {"held_cut_by_the_end", 3 * kPiece - 100, std::nullopt, "does not hold the program's marker text"},
      {"none", std::nullopt, std::nullopt, "does not hold the program's marker text"},
      {"container_in_a_later_piece", 0x301, 2 * kPiece + 512, "already carries a container (marker at byte 131584)"},
      // The program looks for a container only at multiples of 256 bytes.
      {"marker_off_a_block_start", 0x301, 2 * kPiece + 2, ""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::size_t size = c.held && *c.held + 148 > 3 * kPiece ? *c.held + 100 : 3 * kPiece;
    harwpack_test::WriteBytes(dir / "stub.exe", StubWith(size, c.held, c.container));
    const std::string problem = harwpack::CheckStub(dir / "stub.exe");
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "") << c.name;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
    }
  }
}

}  // namespace
