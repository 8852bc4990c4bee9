#include "packer/inspect.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "packer/container.h"
#include "packer/file_io.h"
#include "packer/pe.h"
#include "packer/sha256.h"
#include "packer/text.h"

namespace harwpack {
namespace {

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
  std::vector<std::uint8_t> probe(static_cast<std::size_t>(std::min<std::uint64_t>(info.file_size, kPeHeaderProbe)));
  if (!file.Seek(0) || !file.ReadExact(probe.data(), probe.size(), "its headers")) return file.error();
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

std::string HashArchivedData(const PackageReport& report, std::string& digest) {
  Sha256 hash;
  const std::string error = ReadArchivedData(report.path, report.container,
                                             [&hash](const std::uint8_t* data, std::size_t size) {
                                               hash.Update(data, size);
                                               return std::string();
                                             });
  if (error.empty()) digest = ToHex(hash.Finish());
  return error;
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

/// The settings as name/value pairs in the program's own terms.
std::vector<std::pair<const char*, std::string>> SettingRows(const UpdaterSettings& s, bool json) {
  const auto text = [json](const std::u16string& v) {
    return json ? JsonString(Utf16ToUtf8(v)) : "\"" + Utf16ToUtf8(v) + "\"";
  };
  const auto flag = [](bool v) { return std::string(v ? "true" : "false"); };
  return {{"FolderName", text(s.folder_name)},
          {"SetupPath", text(s.setup_path)},
          {"SetupParameters", text(s.setup_parameters)},
          {"NoExecuteSetup", flag(s.no_execute_setup)},
          {"DeleteWithoutAsking", flag(s.delete_without_asking)},
          {"WaitForSetup", flag(s.wait_for_setup)},
          {"HideConsole", flag(s.hide_console)},
          {"ShowDetails", flag(s.show_details)}};
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

void Row(std::ostringstream& out, const std::string& label, const std::string& value) {
  out << label << ":" << std::string(label.size() < 19 ? 19 - label.size() : 1, ' ') << value << "\n";
}

void TokensText(std::ostringstream& out, const ParameterReport& p) {
  for (std::size_t i = 0; i < p.tokens.size(); ++i) {
    const Token& t = p.tokens[i];
    std::string what = RoleName(t.role);
    if (t.role == TokenRole::kOption) what += " " + Utf16ToUtf8(t.option);
    if (t.role == TokenRole::kValue) what += " of " + Utf16ToUtf8(t.option);
    out << "  " << (i + 1) << "  \"" << Utf16ToUtf8(t.text) << "\"  " << what << "\n";
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
  error = file.ok() ? ClassifyTrailer(file, report.container, report.trailer) : file.error();
  if (error.empty()) error = HashArchivedData(report, report.sha256);
  return error;
}

std::string FormatReportText(const PackageReport& r) {
  std::ostringstream out;
  const ContainerInfo& c = r.container;
  Row(out, "package", PathToUtf8(r.path) + " (" + std::to_string(c.file_size) + " bytes)");
  Row(out, "marker offset", std::to_string(c.marker_offset));
  Row(out, "parameter size", std::to_string(c.params_size));
  Row(out, "parameter string", c.params_size == 0 ? "(none)" : "\"" + Utf16ToUtf8(c.parameters) + "\"");
  if (c.params_size != 0) {
    Row(out, "tokens", std::to_string(r.parameters.tokens.size()));
    TokensText(out, r.parameters);
  }
  out << "settings:\n";
  for (const auto& [name, value] : SettingRows(r.parameters.settings, false)) {
    out << "  " << name << std::string(22 - std::string(name).size(), ' ') << value << "\n";
  }
  for (const CheckMessage& m : r.parameters.messages) {
    out << (m.severity == Severity::kError ? "error: " : "warning: ") << m.text << "\n";
  }
  Row(out, "archived data", std::to_string(c.data_size) + " bytes at offset " + std::to_string(c.data_offset));
  Row(out, "sha-256", r.sha256);
  Row(out, "after the data", TrailerText(r.trailer));
  return out.str();
}

std::string FormatReportJson(const PackageReport& r) {
  std::ostringstream out;
  const ContainerInfo& c = r.container;
  out << "{\n  \"package\": " << JsonString(PathToUtf8(r.path)) << ",\n  \"file_size\": " << c.file_size
      << ",\n  \"marker_offset\": " << c.marker_offset << ",\n  \"parameter_size\": " << c.params_size
      << ",\n  \"parameters\": "
      << (c.params_size == 0 ? std::string("null") : JsonString(Utf16ToUtf8(c.parameters)))
      << ",\n  \"tokens\": [";
  for (std::size_t i = 0; i < r.parameters.tokens.size(); ++i) {
    const Token& t = r.parameters.tokens[i];
    out << (i ? ", " : "") << "{\"text\": " << JsonString(Utf16ToUtf8(t.text)) << ", \"role\": \""
        << RoleName(t.role) << "\", \"option\": " << JsonString(Utf16ToUtf8(t.option)) << "}";
  }
  out << "],\n  \"settings\": {";
  bool first = true;
  for (const auto& [name, value] : SettingRows(r.parameters.settings, true)) {
    out << (first ? "" : ", ") << "\"" << name << "\": " << value;
    first = false;
  }
  out << "},\n  \"messages\": [";
  for (std::size_t i = 0; i < r.parameters.messages.size(); ++i) {
    const CheckMessage& m = r.parameters.messages[i];
    out << (i ? ", " : "") << "{\"severity\": \"" << (m.severity == Severity::kError ? "error" : "warning")
        << "\", \"text\": " << JsonString(m.text) << "}";
  }
  const Trailer& t = r.trailer;
  out << "],\n  \"archived_data\": {\"offset\": " << c.data_offset << ", \"size\": " << c.data_size
      << ", \"sha256\": \"" << r.sha256 << "\"},\n  \"after_data\": {\"kind\": \"" << TrailerKindName(t.kind)
      << "\", \"size\": " << t.size;
  if (t.kind == TrailerKind::kCertificateTable) {
    out << ", \"padding\": " << t.padding << ", \"table_offset\": " << t.table_offset
        << ", \"table_size\": " << t.table_size << ", \"revision\": " << t.revision << ", \"type\": " << t.type;
  }
  out << "}\n}\n";
  return out.str();
}

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(byte));
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

}  // namespace harwpack
