// Signing a package with osslsigncode keeps its container readable; a signed
// stub loses its signature when it is packed.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "packer/container.h"
#include "packer/inspect.h"
#include "packer/text.h"
#include "tests/packer/test_support.h"

namespace {

using harwpack_test::Bytes;
using harwpack_test::ScratchDir;

std::string P(const std::filesystem::path& path) { return harwpack::PathToUtf8(path); }

class SigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto openssl = harwpack_test::RunCommand(dir_.path(), "openssl", {"version"});
    const auto signer = harwpack_test::RunCommand(dir_.path(), "osslsigncode", {"--version"});
    if (!openssl.started || !signer.started) GTEST_SKIP() << "openssl or osslsigncode is not installed";
    const auto made = harwpack_test::RunCommand(
        dir_.path(), "openssl",
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", P(dir_ / "k.pem"), "-out",
         P(dir_ / "c.pem"), "-days", "2", "-subj", "/CN=HarwUpdater Test"});
    ASSERT_EQ(made.exit_code, 0) << made.output;
  }

  harwpack_test::CommandResult Sign(const std::string& in, const std::string& out) {
    return harwpack_test::RunCommand(dir_.path(), "osslsigncode",
                                     {"sign", "-certs", P(dir_ / "c.pem"), "-key", P(dir_ / "k.pem"), "-in",
                                      P(dir_ / in), "-out", P(dir_ / out)});
  }

  harwpack_test::CommandResult Verify(const std::string& file) {
    return harwpack_test::RunCommand(dir_.path(), "osslsigncode",
                                     {"verify", "-CAfile", P(dir_ / "c.pem"), P(dir_ / file)});
  }

  void Pack(const std::string& stub, const std::string& out) {
    harwpack_test::WriteBytes(dir_ / "arc.exe", harwpack_test::Pattern(5001, 4));
    ASSERT_EQ(harwpack::CreatePackage({dir_ / stub, std::string("/X /F Temp1"), dir_ / "arc.exe", dir_ / out}),
              "");
  }

  ScratchDir dir_;
};

TEST_F(SigningTest, SignedPackageShowsItsCertificateTableAfterTheData) {
  harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
  Pack("stub.exe", "pkg.exe");
  const auto signed_run = Sign("pkg.exe", "signed.exe");
  ASSERT_EQ(signed_run.exit_code, 0) << signed_run.output;
  const auto verified = Verify("signed.exe");
  EXPECT_EQ(verified.exit_code, 0) << verified.output;

  harwpack::PackageReport before;
  harwpack::PackageReport after;
  ASSERT_EQ(harwpack::InspectPackage(dir_ / "pkg.exe", before), "");
  ASSERT_EQ(harwpack::InspectPackage(dir_ / "signed.exe", after), "");
  EXPECT_EQ(before.trailer.kind, harwpack::TrailerKind::kNothing);
  EXPECT_EQ(after.container.marker_offset, before.container.marker_offset);
  EXPECT_EQ(after.container.data_size, before.container.data_size);
  EXPECT_EQ(after.sha256, before.sha256);
  EXPECT_TRUE(after.container.parameters == u"/X /F Temp1");

  const Bytes signed_bytes = harwpack_test::ReadBytes(dir_ / "signed.exe");
  const harwpack::Trailer& t = after.trailer;
  EXPECT_EQ(t.kind, harwpack::TrailerKind::kCertificateTable);
  EXPECT_EQ(t.table_offset, harwpack_test::PeekU32(signed_bytes, harwpack_test::kMinimalPeSecurityEntry));
  EXPECT_EQ(t.table_size, harwpack_test::PeekU32(signed_bytes, harwpack_test::kMinimalPeSecurityEntry + 4));
  EXPECT_EQ(t.table_offset + t.table_size, signed_bytes.size());
  EXPECT_EQ(t.padding, (8 - (before.container.file_size % 8)) % 8) << "signing aligns the table to 8";
  EXPECT_EQ(t.type, 2u) << "PKCS#7 signed data";
  EXPECT_NE(harwpack::FormatReportText(after).find("certificate table of"), std::string::npos);
}

TEST_F(SigningTest, SignedStubIsStrippedAndThePackageSignsAgain) {
  harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
  const auto signed_stub = Sign("stub.exe", "signed-stub.exe");
  ASSERT_EQ(signed_stub.exit_code, 0) << signed_stub.output;
  const Bytes signed_bytes = harwpack_test::ReadBytes(dir_ / "signed-stub.exe");
  ASSERT_NE(harwpack_test::PeekU32(signed_bytes, harwpack_test::kMinimalPeChecksum), 0u)
      << "signing sets a checksum, so stripping has to recompute it";

  // An even package size: osslsigncode leaves out a final odd byte that Windows counts.
  harwpack_test::WriteBytes(dir_ / "arc.exe", harwpack_test::Pattern(778, 5));
  const harwpack::BuildResult result = harwpack::BuildPackage(
      {dir_ / "signed-stub.exe", std::nullopt, dir_ / "arc.exe", dir_ / "pkg.exe"});
  ASSERT_EQ(result.error, "");
  ASSERT_EQ(result.notes.size(), 1u);

  harwpack::PackageReport report;
  ASSERT_EQ(harwpack::InspectPackage(dir_ / "pkg.exe", report), "");
  EXPECT_EQ(report.trailer.kind, harwpack::TrailerKind::kNothing);
  const Bytes package = harwpack_test::ReadBytes(dir_ / "pkg.exe");
  EXPECT_EQ(harwpack_test::PeekU32(package, harwpack_test::kMinimalPeSecurityEntry), 0u);
  EXPECT_EQ(harwpack_test::PeekU32(package, harwpack_test::kMinimalPeSecurityEntry + 4), 0u);

  // osslsigncode also checks the checksum of an unsigned file and warns when it is wrong.
  const auto checked = Verify("pkg.exe");
  std::smatch shown;
  ASSERT_TRUE(std::regex_search(checked.output, shown, std::regex("PE checksum\\s*:\\s*([0-9A-F]{8})")))
      << checked.output;
  EXPECT_EQ(std::stoul(shown[1].str(), nullptr, 16), harwpack_test::PeekU32(package, harwpack_test::kMinimalPeChecksum));
  EXPECT_EQ(checked.output.find("invalid PE checksum"), std::string::npos) << checked.output;

  ASSERT_EQ(Sign("pkg.exe", "pkg-signed.exe").exit_code, 0);
  EXPECT_EQ(Verify("pkg-signed.exe").exit_code, 0);
}

}  // namespace
