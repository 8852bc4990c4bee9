// Byte-for-byte checks of the packages the packer writes and of reading them back.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "packer/cli/cli.h"
#include "packer/container/writer.h"
#include "packer/container/reader.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;
using harwpack_test::Bytes;
using harwpack_test::ScratchDir;

namespace {

/// The marker spelled out independently of the packer's constant.
Bytes ExpectedMarker() {
  Bytes marker = harwpack_test::Utf16Le(
      "***** Harrowvindalet **** Make Updater ***** Start of Archived Data *****");
  marker.push_back(0);
  marker.push_back(0);
  return marker;
}

void PutU32(Bytes& out, std::uint32_t v) {
  for (int s = 0; s < 32; s += 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

struct LayoutCase {
  const char* name;
  std::size_t stub_size;
  std::optional<std::string> params;  // UTF-8 as given to the packer
  Bytes params_utf16;                 // expected string bytes with terminator
  std::size_t archive_size;
  std::size_t marker_offset;
};

Bytes Terminated(Bytes b) {
  b.push_back(0);
  b.push_back(0);
  return b;
}

std::vector<LayoutCase> LayoutCases() {
  using harwpack_test::Utf16Le;
  return {
      {"aligned_stub_no_params", 1024, std::nullopt, {}, 300, 1024},
      {"unaligned_stub_is_padded", 1000, std::nullopt, {}, 10, 1024},
      {"one_byte_over_a_block", 257, std::nullopt, {}, 10, 512},
      {"empty_params_keep_terminator", 512, std::string(), Terminated({}), 10, 512},
      {"ascii_params", 700, std::string("/X /F Temp1"), Terminated(Utf16Le("/X /F Temp1")), 1, 768},
      {"non_ascii_params", 512, std::string("/F \xC3\x96rdner \xE2\x82\xAC \xF0\x9F\x98\x80"),
       Terminated({'/', 0, 'F', 0, ' ', 0, 0xD6, 0, 'r', 0, 'd', 0, 'n', 0, 'e', 0, 'r', 0, ' ', 0,
                   0xAC, 0x20, ' ', 0, 0x3D, 0xD8, 0x00, 0xDE}),
       5, 512},
      {"empty_archive", 512, std::nullopt, {}, 0, 512},
      {"archive_spanning_copy_pieces", 4096, std::string("/D"), Terminated(Utf16Le("/D")),
       3 * 65536 + 17, 4096},
  };
}

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, WritesStubPaddingAndContainerExactly) {
  const LayoutCase& c = GetParam();
  ScratchDir dir;
  const Bytes stub = harwpack_test::Pattern(c.stub_size, 1);
  const Bytes archive = harwpack_test::Pattern(c.archive_size, 2);
  harwpack_test::WriteBytes(dir / "stub.exe", stub);
  harwpack_test::WriteBytes(dir / "arc.exe", archive);

  harwpack::PackageSpec spec{dir / "stub.exe", c.params, dir / "arc.exe", dir / "out.exe"};
  ASSERT_EQ(harwpack::CreatePackage(spec), "");

  Bytes expected = stub;
  expected.resize(c.marker_offset, 0);
  Append(expected, ExpectedMarker());
  PutU32(expected, static_cast<std::uint32_t>(c.params_utf16.size()));
  Append(expected, c.params_utf16);
  PutU32(expected, static_cast<std::uint32_t>(archive.size()));
  Append(expected, archive);
  EXPECT_TRUE(harwpack_test::ReadBytes(dir / "out.exe") == expected);
  EXPECT_EQ(harwpack_test::ListDir(dir.path()).size(), 3u) << "temporary file left behind";

  harwpack::ContainerInfo info;
  ASSERT_EQ(harwpack::ReadContainer(dir / "out.exe", info), "");
  EXPECT_EQ(info.marker_offset, c.marker_offset);
  EXPECT_EQ(info.params_size, c.params_utf16.size());
  EXPECT_EQ(info.data_size, archive.size());
  EXPECT_EQ(info.data_offset, c.marker_offset + 156 + c.params_utf16.size());
  EXPECT_EQ(info.trailing_size, 0u);
  EXPECT_TRUE(info.params_terminated);
}

INSTANTIATE_TEST_SUITE_P(Packages, LayoutTest, ::testing::ValuesIn(LayoutCases()),
                         [](const auto& info) { return std::string(info.param.name); });

/// A stub holding marker bytes at `offset`, with or without the terminator.
Bytes StubWithMarker(std::size_t size, std::size_t offset, bool terminated) {
  Bytes stub = harwpack_test::Pattern(size, 3);
  Bytes marker = ExpectedMarker();
  if (!terminated) marker[146] = 'x';
  std::copy(marker.begin(), marker.end(), stub.begin() + static_cast<std::ptrdiff_t>(offset));
  return stub;
}

struct PackagedStubCase {
  const char* name;
  std::size_t offset;
  bool terminated;
  bool refused;
};

void PrintTo(const PackagedStubCase& c, std::ostream* os) { *os << c.name; }

class PackagedStubTest : public ::testing::TestWithParam<PackagedStubCase> {};

TEST_P(PackagedStubTest, RefusesOnlyAMarkerTheProgramWouldFind) {
  const PackagedStubCase& c = GetParam();
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", StubWithMarker(200000, c.offset, c.terminated));
  harwpack_test::WriteBytes(dir / "arc.exe", Bytes{1, 2, 3});
  const std::string error =
      harwpack::CreatePackage({dir / "stub.exe", std::nullopt, dir / "arc.exe", dir / "out.exe"});
  if (c.refused) {
    EXPECT_NE(error.find("already carries a container"), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(c.offset)), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    EXPECT_EQ(harwpack_test::ListDir(dir.path()).size(), 2u) << "temporary file left behind";
  } else {
    EXPECT_EQ(error, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, PackagedStubTest,
    ::testing::Values(PackagedStubCase{"at_start", 0, true, true},
                      PackagedStubCase{"in_a_later_copy_piece", 65536 * 2 + 256 * 5, true, true},
                      PackagedStubCase{"off_block_start", 256 * 3 + 2, true, false},
                      PackagedStubCase{"without_terminator", 512, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackagedStubTest, RefusesAPackageAsStub) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::Pattern(600, 4));
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(50, 5));
  ASSERT_EQ(harwpack::CreatePackage({dir / "stub.exe", std::string("/X"), dir / "arc.exe",
                                     dir / "pkg.exe"}),
            "");
  const std::string error =
      harwpack::CreatePackage({dir / "pkg.exe", std::nullopt, dir / "arc.exe", dir / "again.exe"});
  EXPECT_NE(error.find("marker at byte 768"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(dir / "again.exe"));
}

struct BadInputCase {
  const char* name;
  const char* stub;
  const char* archive;
  const char* output;
  std::optional<std::string> params;
  const char* expected;  // part of the message
};

void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }

class BadInputTest : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(BadInputTest, FailsWithOneLineAndWritesNothing) {
  const BadInputCase& c = GetParam();
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::Pattern(512, 6));
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(64, 7));
  const Bytes previous{9, 9, 9};
  harwpack_test::WriteBytes(dir / "old.exe", previous);
  fs::create_directory(dir / "folder");
  const std::size_t entries = harwpack_test::ListDir(dir.path()).size();

  const std::string error = harwpack::CreatePackage(
      {dir / c.stub, c.params, dir / c.archive, dir / c.output});
  EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_EQ(harwpack_test::ListDir(dir.path()).size(), entries) << "a file was left behind";
  EXPECT_TRUE(harwpack_test::ReadBytes(dir / "old.exe") == previous);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadInputTest,
    ::testing::Values(
        BadInputCase{"missing_stub", "nope.exe", "arc.exe", "out.exe", std::nullopt, "does not exist"},
        BadInputCase{"stub_is_folder", "folder", "arc.exe", "out.exe", std::nullopt, "is a directory"},
        BadInputCase{"missing_archive", "stub.exe", "nope.exe", "out.exe", std::nullopt,
                     "archive"},
        BadInputCase{"output_is_stub", "stub.exe", "arc.exe", "stub.exe", std::nullopt,
                     "is the stub itself"},
        BadInputCase{"output_is_archive", "stub.exe", "arc.exe", "arc.exe", std::nullopt,
                     "is the archive itself"},
        BadInputCase{"output_folder_missing", "stub.exe", "arc.exe", "none/out.exe", std::nullopt,
                     "cannot create"},
        BadInputCase{"output_is_folder", "stub.exe", "arc.exe", "folder", std::nullopt,
                     "cannot rename"},
        BadInputCase{"params_not_utf8", "stub.exe", "arc.exe", "old.exe", std::string("/F \xC3("),
                     "not valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CreatePackageTest, NonAsciiPathsWork) {
  ScratchDir dir;
  const fs::path folder = dir.path() / harwpack::PathFromUtf8("Pr\xC3\xBC" "fung \xE6\x97\xA5\xE6\x9C\xAC");
  ASSERT_TRUE(fs::create_directory(folder));
  const fs::path stub = folder / harwpack::PathFromUtf8("st\xC3\xBC" "b.exe");
  const fs::path archive = folder / harwpack::PathFromUtf8("\xE2\x82\xAC.exe");
  const fs::path output = folder / harwpack::PathFromUtf8("\xC3\x96ut.exe");
  harwpack_test::WriteBytes(stub, harwpack_test::Pattern(300, 1));
  harwpack_test::WriteBytes(archive, harwpack_test::Pattern(30, 2));
  ASSERT_EQ(harwpack::CreatePackage({stub, std::nullopt, archive, output}), "");
  harwpack::ContainerInfo info;
  ASSERT_EQ(harwpack::ReadContainer(output, info), "");
  EXPECT_EQ(info.marker_offset, 512u);
  EXPECT_EQ(info.data_size, 30u);
}

TEST(CreatePackageTest, ReplacesAnExistingOutput) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::Pattern(512, 8));
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(10, 9));
  harwpack_test::WriteBytes(dir / "out.exe", harwpack_test::Pattern(5000, 10));
  ASSERT_EQ(harwpack::CreatePackage({dir / "stub.exe", std::nullopt, dir / "arc.exe", dir / "out.exe"}),
            "");
  EXPECT_EQ(fs::file_size(dir / "out.exe"), 512u + 156u + 10u);
}

struct DamageCase {
  const char* name;
  std::size_t keep;    // bytes of the package kept (0: all)
  Bytes appended;      // bytes added after it
  const char* error;   // "" when it still reads
  std::uint64_t trailing;
  int inspect;         // inspect's exit code
  const char* failed;  // the check its verdict names first ("" for none)
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class ReadContainerTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ReadContainerTest, ReportsDamageAndTrailingBytes) {
  const DamageCase& c = GetParam();
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::Pattern(512, 11));
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(100, 12));
  ASSERT_EQ(harwpack::CreatePackage({dir / "stub.exe", std::string("/X"), dir / "arc.exe",
                                     dir / "pkg.exe"}),
            "");
  Bytes bytes = harwpack_test::ReadBytes(dir / "pkg.exe");
  if (c.keep != 0) bytes.resize(c.keep);
  Append(bytes, c.appended);
  harwpack_test::WriteBytes(dir / "pkg.exe", bytes);

  harwpack::ContainerInfo info;
  const std::string error = harwpack::ReadContainer(dir / "pkg.exe", info);
  if (*c.error == '\0') {
    EXPECT_EQ(error, "");
    EXPECT_EQ(info.trailing_size, c.trailing);
    EXPECT_TRUE(info.parameters == u"/X");
  } else {
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
  // inspect's verdict, in text and in JSON: a damaged package is no failure to read one.
  std::ostringstream text;
  std::ostringstream json;
  std::ostringstream messages;
  EXPECT_EQ(harwpack::RunCli({"inspect", harwpack_test::P(dir / "pkg.exe")}, text, messages), c.inspect);
  EXPECT_EQ(harwpack::RunCli({"inspect", "--json", harwpack_test::P(dir / "pkg.exe")}, json, messages), c.inspect);
  if (c.inspect == harwpack::kExitFailure) {
    EXPECT_EQ(json.str(), "") << "no verdict on what is no package";
    return;
  }
  const nlohmann::json report = nlohmann::json::parse(json.str());
  EXPECT_EQ(report["verdict"]["exit_code"], c.inspect);
  EXPECT_EQ(report["verdict"]["failed"].empty(), *c.failed == '\0') << report.dump(2);
  if (*c.failed != '\0') EXPECT_EQ(report["verdict"]["failed"][0]["check"], c.failed) << report.dump(2);
  EXPECT_EQ(text.str().find("verdict:"), *c.error == '\0' ? text.str().rfind('\n', text.str().size() - 2) + 1
                                                          : std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, ReadContainerTest,
    ::testing::Values(DamageCase{"intact", 0, {}, "", 0, 0, ""},
                      DamageCase{"trailing_bytes", 0, Bytes(13, 0xEE), "", 13, 3, "after_data"},
                      DamageCase{"one_trailing_byte", 0, Bytes(1, 0), "", 1, 3, "after_data"},
                      DamageCase{"data_cut_short", 512 + 156 + 6 + 50, {}, "runs past the end", 0, 3, "container"},
                      DamageCase{"data_one_byte_short", 512 + 156 + 6 + 99, {}, "runs past the end", 0, 3,
                                 "container"},
                      DamageCase{"cut_in_parameters", 512 + 152 + 3, {}, "runs past the end", 0, 3, "container"},
                      DamageCase{"cut_in_size_field", 512 + 150, {}, "ends inside", 0, 3, "container"},
                      DamageCase{"no_marker", 500, {}, "is not a package", 0, 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadContainerTest, MarkerOffBlockStartIsNotFound) {
  ScratchDir dir;
  Bytes bytes = harwpack_test::Pattern(300, 13);
  Append(bytes, ExpectedMarker());
  PutU32(bytes, 0);
  PutU32(bytes, 0);
  harwpack_test::WriteBytes(dir / "pkg.exe", bytes);
  harwpack::ContainerInfo info;
  EXPECT_NE(harwpack::ReadContainer(dir / "pkg.exe", info).find("is not a package"), std::string::npos);
}

TEST(ExtractTest, WritesTheEmbeddedExecutableBack) {
  ScratchDir dir;
  const Bytes archive = harwpack_test::Pattern(70000, 14);
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::Pattern(1500, 15));
  harwpack_test::WriteBytes(dir / "arc.exe", archive);
  ASSERT_EQ(harwpack::CreatePackage({dir / "stub.exe", std::nullopt, dir / "arc.exe", dir / "pkg.exe"}),
            "");
  ASSERT_EQ(harwpack::ExtractArchive(dir / "pkg.exe", dir / "back.exe"), "");
  EXPECT_TRUE(harwpack_test::ReadBytes(dir / "back.exe") == archive);
  EXPECT_NE(harwpack::ExtractArchive(dir / "pkg.exe", dir / "pkg.exe"), "");
  EXPECT_NE(harwpack::ExtractArchive(dir / "stub.exe", dir / "x.exe"), "");
  EXPECT_FALSE(fs::exists(dir / "x.exe"));
}

}  // namespace
