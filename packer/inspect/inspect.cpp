#include "packer/inspect/inspect.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "packer/container/container.h"
#include "packer/image/image.h"
#include "packer/platform/platform.h"

namespace harwpack {
namespace {

// Keys keep the order in which they are set.
using Json = nlohmann::ordered_json;

/// Authenticode tables end with an entry aligned to 8 bytes, so signing pads at most 7 zeros before it.
constexpr std::uint64_t kMaxTablePadding = 7;
constexpr std::uint16_t kPkcsSignedData = 2;

bool AllZero(const std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

/// Decides whether the trailing bytes are the certificate table the security directory names.
std::string ClassifyTrailer(InputFile& file, const ContainerInfo& info, Trailer& trailer) {
  trailer = Trailer{};
  trailer.size = info.trailing_size;
  if (trailer.size == 0) return "";
  trailer.kind = TrailerKind::kUnknown;
  std::vector<std::uint8_t> probe;
  if (!file.ReadHead(kPeHeaderProbe, probe)) return file.error();
  const auto headers = ParsePeHeaders(probe.data(), probe.size());
  const std::uint64_t data_end = info.data_offset + info.data_size;
  if (!headers || headers->security_size < 8 || headers->security_offset < data_end ||
      headers->security_offset - data_end > kMaxTablePadding ||
      std::uint64_t{headers->security_offset} + headers->security_size != info.file_size) {
    return "";
  }
  std::vector<std::uint8_t> gap(static_cast<std::size_t>(headers->security_offset - data_end));
  std::uint8_t entry[8];
  if (!file.Seek(data_end) || !file.ReadExact(gap.data(), gap.size(), "its padding") ||
      !file.ReadExact(entry, sizeof entry, "its certificate table")) {
    return file.error();
  }
  if (!AllZero(gap) || ReadU32(entry) > headers->security_size) return "";
  trailer.kind = TrailerKind::kCertificateTable;
  trailer.padding = gap.size();
  trailer.table_offset = headers->security_offset;
  trailer.table_size = headers->security_size;
  trailer.revision = static_cast<std::uint16_t>(entry[4] | (entry[5] << 8));
  trailer.type = static_cast<std::uint16_t>(entry[6] | (entry[7] << 8));
  return "";
}

/// Reads the package once for both digests and the self-extractor's headers (into `head`).
std::string ScanPackage(const std::filesystem::path& package, PackageReport& report, std::vector<std::uint8_t>& head) {
  const ContainerInfo& c = report.container;
  InputFile file(package, "package");
  Sha256 whole;
  Sha256 data;
  std::vector<std::uint8_t> buffer(kCopyChunk);
  const std::uint64_t data_end = c.data_offset + c.data_size;
  std::uint64_t offset = 0;
  while (file.ok() && offset < c.file_size) {
    const std::size_t got = file.ReadSome(buffer.data(), buffer.size());
    if (got == 0) break;
    whole.Update(buffer.data(), got);
    const std::uint64_t from = std::max(offset, c.data_offset);
    const std::uint64_t to = std::min(offset + got, data_end);
    if (from < to) {
      const std::uint8_t* piece = buffer.data() + (from - offset);
      data.Update(piece, static_cast<std::size_t>(to - from));
      const std::size_t room = kPeHeaderProbe - head.size();
      head.insert(head.end(), piece, piece + std::min<std::uint64_t>(room, to - from));
    }
    offset += got;
  }
  if (!file.ok()) return file.error();
  if (offset != c.file_size) return "package '" + PathToUtf8(package) + "' changed size while it was read";
  report.package_sha256 = whole.FinishHex();
  report.sha256 = data.FinishHex();
  if (!whole.error().empty() || !data.error().empty()) return whole.error() + data.error();
  report.extractor_signature = CertificateTableOf(head.data(), head.size(), c.data_size);
  report.extractor_edition = ImageEdition(head.data(), head.size());
  return "";
}

/// The package's own signature: the certificate table found after the data.
SignatureStatus PackageSignature(const Trailer& trailer) {
  SignatureStatus status;
  if (trailer.kind != TrailerKind::kCertificateTable) return status;
  status.certificate_table = true;
  status.table_size = trailer.table_size;
  status.verification = Verification::kNotChecked;
  return status;
}

std::string SignatureText(const SignatureStatus& s) {
  if (s.verification == Verification::kNotSigned) return "no";
  if (!s.certificate_table) return "damaged: " + s.detail;
  std::string text = "yes, certificate table of " + std::to_string(s.table_size) + " bytes; ";
  if (s.verification == Verification::kVerified) return text + "osslsigncode verified it";
  if (s.verification == Verification::kFailed) return text + "osslsigncode did NOT verify it: " + s.detail;
  return text + "not verified: " + (s.detail.empty() ? "not checked" : s.detail);
}

Json SignatureJson(const SignatureStatus& s) {
  return {{"certificate_table", s.certificate_table},
          {"table_size", s.table_size},
          {"verification", VerificationName(s.verification)},
          {"detail", s.detail}};
}

const char* RoleName(TokenRole role) {
  switch (role) {
    case TokenRole::kOption: return "option";
    case TokenRole::kValue: return "value";
    case TokenRole::kUnmatched: return "ignored";
    case TokenRole::kNotApplied: return "not applied";
  }
  return "?";
}

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
  return text;
}

/// The settings in the program's own terms, in the order the report shows them.
Json SettingsJson(const UpdaterSettings& s) {
  Json settings = Json::object();
  settings["FolderName"] = Utf16ToUtf8(s.folder_name);
  settings["SetupPath"] = Utf16ToUtf8(s.setup_path);
  settings["SetupParameters"] = Utf16ToUtf8(s.setup_parameters);
  settings["NoExecuteSetup"] = s.no_execute_setup;
  settings["DeleteWithoutAsking"] = s.delete_without_asking;
  settings["WaitForSetup"] = s.wait_for_setup;
  settings["HideConsole"] = s.hide_console;
  settings["ShowDetails"] = s.show_details;
  return settings;
}

std::string TrailerText(const Trailer& t) {
  if (t.kind == TrailerKind::kNothing) return "nothing";
  if (t.kind == TrailerKind::kUnknown) return std::to_string(t.size) + " unknown bytes";
  std::string text = "certificate table of " + std::to_string(t.table_size) + " bytes at offset " +
                     std::to_string(t.table_offset);
  if (t.padding != 0) text += " (after " + std::to_string(t.padding) + " zero bytes)";
  text += ", revision " + Hex16(t.revision) + ", type " + Hex16(t.type);
  if (t.type == kPkcsSignedData) text += " (PKCS#7 signed data)";
  return text;
}

const char* TrailerKindName(TrailerKind kind) {
  switch (kind) {
    case TrailerKind::kNothing: return "nothing";
    case TrailerKind::kCertificateTable: return "certificate_table";
    case TrailerKind::kUnknown: return "unknown";
  }
  return "?";
}

/// An image's edition as the report shows it, or that it is none of the program's.
std::string EditionText(const std::optional<Edition>& edition) {
  return edition ? DescribeEdition(*edition) : "neither x86 nor x64 (not a PE32 i386 or PE32+ x64 image)";
}

Json EditionJson(const std::optional<Edition>& edition) {
  return edition ? Json(EditionName(*edition)) : Json(nullptr);
}

/// One line about the self-extractor: the builtin one with its archive's figures, or another.
std::string ExtractorText(const ArchiveReport& a) {
  if (!a.found) return "not the builtin one (an NSIS installer or another program)";
  if (!a.readable) return "builtin, with a damaged archive: " + a.problem;
  std::size_t files = 0;
  for (const harwarchive::Entry& e : a.table.entries) files += e.kind == harwarchive::Kind::kFile ? 1 : 0;
  const harwarchive::Header& h = a.table.header;
  return "builtin, archive at byte " + std::to_string(a.offset) + ": " + Counted(files, "file") + " and " +
         Counted(a.table.entries.size() - files, "folder") + ", " + std::to_string(h.content_size) + " bytes, " +
         std::to_string(h.data_size) + " compressed, decoder window 2^" + std::to_string(h.window_log);
}

std::string EntryKindName(harwarchive::Kind kind) { return kind == harwarchive::Kind::kFolder ? "folder" : "file"; }

/// The archive's entries, a line each: kind, size, time, read-only mark and path.
void EntriesText(std::ostringstream& out, const ArchiveReport& a) {
  for (const harwarchive::Entry& e : a.table.entries) {
    char fields[96];
    if (e.kind == harwarchive::Kind::kFile) {
      std::snprintf(fields, sizeof fields, "  file   %12llu  %s  %c  ", static_cast<unsigned long long>(e.size),
                    FormatTicks(e.modified).c_str(), (e.attributes & 0x01) != 0 ? 'r' : '-');
    } else {
      std::snprintf(fields, sizeof fields, "  folder %12s  %23s  -  ", "", "");
    }
    out << fields << harwarchive::Printable(e.path) << "\n";
  }
}

std::string Hex64(std::uint64_t value) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

Json ArchiveJson(const ArchiveReport& a) {
  if (!a.found) return {{"kind", "other"}};
  Json archive = {{"kind", "builtin"}, {"archive_offset", a.offset}, {"readable", a.readable},
                  {"verified", a.verified}, {"problem", a.problem}};
  if (!a.readable) return archive;
  archive["content_size"] = a.table.header.content_size;
  archive["data_size"] = a.table.header.data_size;
  archive["window_log"] = a.table.header.window_log;
  Json entries = Json::array();
  for (const harwarchive::Entry& e : a.table.entries) {
    Json entry = {{"kind", EntryKindName(e.kind)}, {"path", harwarchive::ToUtf8(e.path)}};
    if (e.kind == harwarchive::Kind::kFile) {
      entry["size"] = e.size;
      entry["modified"] = FormatTicks(e.modified);
      entry["read_only"] = (e.attributes & 0x01) != 0;
      entry["checksum"] = Hex64(e.checksum);
    }
    entries.push_back(entry);
  }
  archive["entries"] = entries;
  return archive;
}

/// The reader's words for a container found but cut short (reader.cpp).
constexpr char kDamagedContainer[] = "damaged container";

/// The checks of the package's own bytes that failed, in the report's order.
void DamageChecks(const PackageReport& r, std::vector<FailedCheck>& failed) {
  for (const CheckMessage& m : r.parameters.messages) {
    if (m.severity == Severity::kError) failed.push_back({"parameters", m.text});
  }
  if (r.trailer.kind == TrailerKind::kUnknown) failed.push_back({"after_data", TrailerText(r.trailer)});
  if (r.archive.found && !r.archive.verified) failed.push_back({"archive", r.archive.problem});
}

Json VerdictJson(const Verdict& v) {
  Json failed = Json::array();
  for (const FailedCheck& f : v.failed) failed.push_back({{"check", f.check}, {"detail", f.detail}});
  const char* result = v.exit_code == kExitOk            ? "passed"
                       : v.exit_code == kExitDamaged     ? "damaged"
                       : v.exit_code == kExitBadSignature ? "signature_not_valid"
                                                         : "failed";
  return {{"result", result}, {"exit_code", v.exit_code}, {"failed", failed}};
}

/// UTF-8 text from a package (or a message quoting it) as one printable line.
std::string PrintableUtf8(const std::string& text) {
  return harwarchive::Printable(Utf8ToUtf16(text).value_or(u"(not valid UTF-8)"));
}

/// The verdict as one line: passed, or the exit code and every failed check.
/// A detail may quote the parameter string or a signer's output: escaped, it cannot add a line.
std::string VerdictText(const Verdict& v) {
  if (v.failed.empty()) return "passed: every check held";
  std::string text = "FAILED (exit " + std::to_string(v.exit_code) + "): ";
  for (std::size_t i = 0; i < v.failed.size(); ++i) {
    text += (i == 0 ? "" : "; ") + v.failed[i].check + ": " + PrintableUtf8(v.failed[i].detail);
  }
  return text;
}

void Row(std::ostringstream& out, const std::string& label, const std::string& value) {
  out << label << ":" << std::string(label.size() < 19 ? 19 - label.size() : 1, ' ') << value << "\n";
}

void TokensText(std::ostringstream& out, const ParameterReport& p) {
  for (std::size_t i = 0; i < p.tokens.size(); ++i) {
    const Token& t = p.tokens[i];
    std::string what = RoleName(t.role);
    if (t.role == TokenRole::kOption) what += " " + Utf16ToUtf8(t.option);
    if (t.role == TokenRole::kValue) what += " of " + Utf16ToUtf8(t.option);
    out << "  " << (i + 1) << "  \"" << harwarchive::Printable(t.text) << "\"  " << what << "\n";
  }
}

}  // namespace

std::string InspectPackage(const std::filesystem::path& package, PackageReport& report) {
  report = PackageReport{};
  report.path = package;
  std::string error = ReadContainer(package, report.container);
  if (!error.empty()) return error;
  if (report.container.params_size != 0) report.parameters = CheckParameters(report.container.parameters);
  if (!report.container.params_terminated) {
    report.parameters.messages.push_back(
        {Severity::kError, "the parameter string is not ended by a 16-bit zero within its " +
                               std::to_string(report.container.params_size) + " bytes"});
  }
  InputFile file(package, "package");
  std::vector<std::uint8_t> head;
  if (file.ok() && file.ReadHead(kPeHeaderProbe, head)) report.edition = ImageEdition(head.data(), head.size());
  error = file.ok() ? ClassifyTrailer(file, report.container, report.trailer) : file.error();
  std::vector<std::uint8_t> extractor_head;
  if (error.empty()) error = ScanPackage(package, report, extractor_head);
  if (error.empty()) {
    error = ReadArchiveReport(package, extractor_head, report.container.data_offset, report.container.data_size,
                              report.archive);
  }
  report.package_signature = PackageSignature(report.trailer);
  return error;
}

void CheckSignatures(PackageReport& report, const std::filesystem::path& ca_file) {
  const bool extractor = report.extractor_signature.certificate_table;
  if (!extractor && !report.package_signature.certificate_table) return;
  const TempDirectory work;
  std::string error = work.error();
  const std::filesystem::path copy = work.path() / "extractor.exe";
  if (error.empty() && extractor) error = ExtractArchive(report.path, copy);
  for (SignatureStatus* status : {&report.extractor_signature, &report.package_signature}) {
    if (!status->certificate_table) continue;
    if (!error.empty()) {
      status->detail = error;  // it stays kNotChecked
      continue;
    }
    VerifySignature(status == &report.package_signature ? report.path : copy, ca_file, work.path(), *status);
  }
}

Verdict JudgeReport(const PackageReport& r) {
  Verdict verdict;
  DamageChecks(r, verdict.failed);
  const bool damaged = !verdict.failed.empty();
  const std::pair<const char*, const SignatureStatus*> signatures[] = {{"extractor_signature", &r.extractor_signature},
                                                                       {"package_signature", &r.package_signature}};
  for (const auto& [name, status] : signatures) {
    if (status->verification == Verification::kFailed) verdict.failed.push_back({name, status->detail});
  }
  verdict.exit_code = damaged ? kExitDamaged : verdict.failed.empty() ? kExitOk : kExitBadSignature;
  return verdict;
}

Verdict JudgeInspectError(const std::string& error) {
  if (error.rfind(kDamagedContainer, 0) == 0) return {kExitDamaged, {{"container", error}}};
  return {kExitFailure, {{"package", error}}};
}

std::string FormatVerdictJson(const std::filesystem::path& package, const Verdict& verdict) {
  const Json report = {{"package", PathToUtf8(package)}, {"verdict", VerdictJson(verdict)}};
  return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string FormatReportText(const PackageReport& r) {
  std::ostringstream out;
  const ContainerInfo& c = r.container;
  Row(out, "package", PathToUtf8(r.path) + " (" + std::to_string(c.file_size) + " bytes)");
  Row(out, "edition", EditionText(r.edition));
  Row(out, "marker offset", std::to_string(c.marker_offset));
  Row(out, "parameter size", std::to_string(c.params_size));
  Row(out, "parameter string", c.params_size == 0 ? "(none)" : "\"" + harwarchive::Printable(c.parameters) + "\"");
  if (c.params_size != 0) {
    Row(out, "tokens", std::to_string(r.parameters.tokens.size()));
    TokensText(out, r.parameters);
  }
  out << "settings:\n";
  const Json settings = SettingsJson(r.parameters.settings);
  for (const auto& [name, value] : settings.items()) {
    // From the package's parameter string: escaped like it, so that no value makes a line of its own.
    const std::string shown =
        value.is_string() ? "\"" + PrintableUtf8(value.get<std::string>()) + "\"" : value.dump();
    out << "  " << name << std::string(22 - name.size(), ' ') << shown << "\n";
  }
  for (const CheckMessage& m : r.parameters.messages) {
    out << (m.severity == Severity::kError ? "error: " : "warning: ") << m.text << "\n";
  }
  Row(out, "archived data", std::to_string(c.data_size) + " bytes at offset " + std::to_string(c.data_offset));
  Row(out, "sha-256", r.sha256);
  Row(out, "extractor edition", EditionText(r.extractor_edition));
  Row(out, "extractor", ExtractorText(r.archive));
  if (r.archive.readable) {
    Row(out, "checksums", r.archive.verified ? "verified: every file decoded and matched its checksum"
                                             : "NOT verified: " + r.archive.problem);
    out << "entries:\n";
    EntriesText(out, r.archive);
  }
  Row(out, "after the data", TrailerText(r.trailer));
  Row(out, "package sha-256", r.package_sha256);
  Row(out, "extractor signed", SignatureText(r.extractor_signature));
  Row(out, "package signed", SignatureText(r.package_signature));
  Row(out, "verdict", VerdictText(JudgeReport(r)));  // last, so that a script's tail -1 reads it
  return out.str();
}

std::string FormatReportJson(const PackageReport& r) {
  const ContainerInfo& c = r.container;
  Json report = Json::object();
  report["package"] = PathToUtf8(r.path);
  report["file_size"] = c.file_size;
  report["marker_offset"] = c.marker_offset;
  report["parameter_size"] = c.params_size;
  report["parameters"] = c.params_size == 0 ? Json(nullptr) : Json(Utf16ToUtf8(c.parameters));
  Json tokens = Json::array();
  for (const Token& t : r.parameters.tokens) {
    tokens.push_back({{"text", Utf16ToUtf8(t.text)}, {"role", RoleName(t.role)}, {"option", Utf16ToUtf8(t.option)}});
  }
  report["tokens"] = tokens;
  report["settings"] = SettingsJson(r.parameters.settings);
  Json messages = Json::array();
  for (const CheckMessage& m : r.parameters.messages) {
    messages.push_back({{"severity", m.severity == Severity::kError ? "error" : "warning"}, {"text", m.text}});
  }
  report["messages"] = messages;
  report["archived_data"] = {{"offset", c.data_offset},
                             {"size", c.data_size},
                             {"sha256", r.sha256},
                             {"edition", EditionJson(r.extractor_edition)}};
  const Trailer& t = r.trailer;
  Json after = {{"kind", TrailerKindName(t.kind)}, {"size", t.size}};
  if (t.kind == TrailerKind::kCertificateTable) {
    after["padding"] = t.padding;
    after["table_offset"] = t.table_offset;
    after["table_size"] = t.table_size;
    after["revision"] = t.revision;
    after["type"] = t.type;
  }
  report["after_data"] = after;
  report["package_sha256"] = r.package_sha256;
  report["extractor_signature"] = SignatureJson(r.extractor_signature);
  report["package_signature"] = SignatureJson(r.package_signature);
  report["edition"] = EditionJson(r.edition);  // last: scripts may read the keys before it in order
  report["extractor"] = ArchiveJson(r.archive);
  report["verdict"] = VerdictJson(JudgeReport(r));
  // Names and parameters are not always valid UTF-8 (a Linux file name may be
  // any bytes); such bytes are shown as U+FFFD rather than breaking the output.
  return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace harwpack
