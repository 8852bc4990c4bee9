// Signing with osslsigncode: a package signed afterwards keeps its container
// readable, a signed stub loses its signature when it is packed, and create
// --sign signs the self-extractor and the package so that both verify.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "packer/cli/cli.h"
#include "packer/container/writer.h"
#include "packer/inspect/inspect.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

namespace {

using harwpack_test::Bytes;
using harwpack_test::ScratchDir;

using harwpack_test::P;

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

/// The documented osslsigncode templates, with the files they need made by openssl.
struct TemplateCase {
  const char* name;
  const char* sign;  // %D stands for the scratch folder, %M for the PKCS#11 module
  bool token;        // the key lies in a SoftHSM token
};

void PrintTo(const TemplateCase& c, std::ostream* os) { *os << c.name; }

class SignedCreateTest : public SigningTest, public ::testing::WithParamInterface<TemplateCase> {
 protected:
  /// Puts the test key into a fresh SoftHSM token in the scratch folder; "" when SoftHSM is missing.
  std::string MakeToken() {
    std::string module;
    for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so", "/usr/lib/softhsm/libsofthsm2.so",
                                  "/usr/lib64/pkcs11/libsofthsm2.so"}) {
      if (std::filesystem::exists(candidate)) module = candidate;
    }
    if (module.empty() || !harwpack_test::RunCommand(dir_.path(), "softhsm2-util", {"--version"}).started) return "";
    std::filesystem::create_directories(dir_ / "tokens");
    const std::string conf = "directories.tokendir = " + P(dir_ / "tokens") + "\nobjectstore.backend = file\n";
    harwpack_test::WriteBytes(dir_ / "softhsm2.conf", harwpack_test::Bytes(conf.begin(), conf.end()));
    // The signer, started by create, finds the token through this variable.
#ifdef _WIN32
    EXPECT_EQ(_putenv_s("SOFTHSM2_CONF", P(dir_ / "softhsm2.conf").c_str()), 0);
#else
    EXPECT_EQ(setenv("SOFTHSM2_CONF", P(dir_ / "softhsm2.conf").c_str(), 1), 0);
#endif
    harwpack_test::WriteBytes(dir_ / "pin.txt", {'1', '2', '3', '4'});
    const std::vector<std::vector<std::string>> steps = {
        {"softhsm2-util", "--init-token", "--free", "--label", "Vendor", "--pin", "1234", "--so-pin", "5678"},
        {"openssl", "pkcs8", "-topk8", "-nocrypt", "-in", P(dir_ / "k.pem"), "-out", P(dir_ / "k8.pem")},
        {"softhsm2-util", "--import", P(dir_ / "k8.pem"), "--token", "Vendor", "--label", "signing", "--id", "01",
         "--pin", "1234"}};
    for (const auto& step : steps) {
      const auto run = harwpack_test::RunCommand(dir_.path(), step[0], {step.begin() + 1, step.end()});
      EXPECT_EQ(run.exit_code, 0) << step[0] << " " << step[1] << ": " << run.output;
    }
    return module;
  }
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

/// inspect's JSON report of `package`, whose exit code must be `code`, as the
/// report's verdict says, and the text report's last line must agree.
nlohmann::json InspectJson(const std::filesystem::path& package, const std::filesystem::path& ca, int code = 0) {
  std::ostringstream out;
  std::ostringstream err;
  std::ostringstream text;
  EXPECT_EQ(harwpack::RunCli({"inspect", "--json", "--ca-file", P(ca), P(package)}, out, err), code) << err.str();
  EXPECT_EQ(harwpack::RunCli({"inspect", "--ca-file", P(ca), P(package)}, text, err), code) << err.str();
  const std::string shown = text.str();
  const std::string last = shown.substr(shown.rfind('\n', shown.size() - 2) + 1);
  const char* expected = code == 0 ? "verdict:            passed: every check held\n" : "verdict:            FAILED (exit ";
  EXPECT_EQ(last.rfind(expected, 0), 0u) << last;
  const nlohmann::json report = nlohmann::json::parse(out.str());
  EXPECT_EQ(report["verdict"]["exit_code"], code) << report.dump(2);
  return report;
}

/// The checks the verdict of `report` names as failed, in order.
std::vector<std::string> FailedChecks(const nlohmann::json& report) {
  std::vector<std::string> checks;
  for (const auto& failed : report["verdict"]["failed"]) checks.push_back(failed["check"]);
  return checks;
}

/// A create of `package` with `extractor` ("builtin" or "nsis"), signed with `sign`.
int SignedCreate(const ScratchDir& dir, const std::string& extractor, const std::string& sign,
                 const std::string& package, std::string& err) {
  std::vector<std::string> args = {"create", "--stub", P(dir / "stub.exe"), "--folder", P(dir / "inst"), "--sign",
                                   sign, "--extractor", extractor, "--out", P(dir / package)};
  if (extractor == "builtin") {
    const std::vector<std::string> program = harwpack_test::ExtractorArgs(dir.path());
    args.insert(args.end(), program.begin(), program.end());
  }
  std::ostringstream out;
  std::ostringstream errors;
  const int code = harwpack::RunCli(args, out, errors);
  err = errors.str();
  return code;
}

TEST_P(SignedCreateTest, BothSignaturesVerifyAndInspectSaysSo) {
  const bool nsis = harwpack_test::RunCommand(dir_.path(), "makensis", {"-VERSION"}).started;
  const auto p12 = harwpack_test::RunCommand(dir_.path(), "openssl",
                                             {"pkcs12", "-export", "-inkey", P(dir_ / "k.pem"), "-in",
                                              P(dir_ / "c.pem"), "-out", P(dir_ / "v.p12"), "-passout", "pass:secret"});
  ASSERT_EQ(p12.exit_code, 0) << p12.output;
  std::string sign = Replace(GetParam().sign, "%D", P(dir_.path()));
  if (GetParam().token) {
    const std::string module = MakeToken();
    if (module.empty()) GTEST_SKIP() << "SoftHSM is not installed";
    sign = Replace(sign, "%M", module);
  }
  std::filesystem::create_directories(dir_ / "inst");
  harwpack_test::WriteBytes(dir_ / "inst" / "Setup.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir_ / "stub.exe", harwpack_test::MinimalPe());
  for (const std::string extractor : {"builtin", "nsis"}) {
    if (extractor == "nsis" && !nsis) continue;
    const std::string package = extractor + ".exe";
    std::string err;
    ASSERT_EQ(SignedCreate(dir_, extractor, sign, package, err), 0) << err;
    const auto signed_package = Verify(package);
    EXPECT_EQ(signed_package.exit_code, 0) << signed_package.output;
    std::ostringstream ignored;
    ASSERT_EQ(harwpack::RunCli({"extract", P(dir_ / package), "--out", P(dir_ / "extractor.exe")}, ignored, ignored),
              0);
    const auto extractor_signature = Verify("extractor.exe");
    EXPECT_EQ(extractor_signature.exit_code, 0) << extractor_signature.output;

    const nlohmann::json report = InspectJson(dir_ / package, dir_ / "c.pem");
    EXPECT_EQ(report["verdict"]["result"], "passed");
    EXPECT_EQ(report["extractor_signature"]["verification"], "verified") << report.dump(2);
    EXPECT_EQ(report["package_signature"]["verification"], "verified") << report.dump(2);
    // The archive lies under the extractor's signature and is found behind its image all the same.
    if (extractor == "builtin") EXPECT_EQ(report["extractor"]["verified"], true) << report.dump(2);
    const auto digest = harwpack_test::RunCommand(dir_.path(), "openssl", {"dgst", "-sha256", "-r", P(dir_ / package)});
    EXPECT_EQ(digest.output.substr(0, 64), report["package_sha256"]);

    // One changed byte in the embedded extractor's archive breaks both signatures, and inspect says why.
    harwpack_test::Bytes bytes = harwpack_test::ReadBytes(dir_ / package);
    bytes[static_cast<std::size_t>(report["archived_data"]["offset"]) + 1100] ^= 0x01;
    harwpack_test::WriteBytes(dir_ / "changed.exe", bytes);
    // The builtin archive's own checksums find the change too: damaged outranks the signatures.
    const bool builtin = extractor == "builtin";
    const nlohmann::json changed = InspectJson(dir_ / "changed.exe", dir_ / "c.pem", builtin ? 3 : 4);
    for (const char* key : {"extractor_signature", "package_signature"}) {
      EXPECT_EQ(changed[key]["verification"], "failed") << key;
      EXPECT_NE(changed[key]["detail"].get<std::string>().find("digest"), std::string::npos) << changed.dump(2);
    }
    if (builtin) EXPECT_EQ(changed["extractor"]["verified"], false) << changed.dump(2);
    const std::vector<std::string> signatures = {"extractor_signature", "package_signature"};
    std::vector<std::string> expected = signatures;
    if (builtin) expected.insert(expected.begin(), "archive");
    EXPECT_EQ(FailedChecks(changed), expected) << changed.dump(2);
    EXPECT_EQ(changed["verdict"]["result"], builtin ? "damaged" : "signature_not_valid");

    // Intact, but checked against no authority that issued it: present and not valid.
    std::ostringstream no_ca;
    EXPECT_EQ(harwpack::RunCli({"inspect", "--json", P(dir_ / package)}, no_ca, ignored), 4);
    const nlohmann::json untrusted = nlohmann::json::parse(no_ca.str());
    EXPECT_EQ(FailedChecks(untrusted), signatures) << untrusted.dump(2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Osslsigncode, SignedCreateTest,
    ::testing::Values(
        TemplateCase{"certificate_and_key",
                     "osslsigncode sign -certs \"%D/c.pem\" -key \"%D/k.pem\" -n 'Vendor check' -in {in} -out {out}",
                     false},
        TemplateCase{"pkcs12_file", "osslsigncode sign -pkcs12 \"%D/v.p12\" -pass secret -in {in} -out {out}", false},
        TemplateCase{"pkcs11_token",
                     "osslsigncode sign -pkcs11module %M -certs \"%D/c.pem\" "
                     "-key 'pkcs11:token=Vendor;object=signing;type=private' -readpass \"%D/pin.txt\" -in {in} -out {out}",
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
