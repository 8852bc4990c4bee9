#include "support/package.h"

#include "packer/container.h"
#include "support/paths.h"
#include "support/text.h"

namespace harwtest {

const wchar_t kMarkerText[] =
    L"***** Harrowvindalet **** Make Updater ***** Start of Archived Data *****";

static std::filesystem::path OrDefault(const std::filesystem::path& path, const wchar_t* name) {
  return path.empty() ? BinPath(name) : path;
}

std::string MakePackage(const PackageOptions& options) {
  harwpack::PackageSpec spec;
  spec.stub = OrDefault(options.stub, L"HarwUpdater.exe");
  spec.archive = OrDefault(options.embedded, L"fake_extractor.exe");
  spec.output = options.output;
  if (options.parameters) spec.parameters = ToUtf8(*options.parameters);
  return harwpack::CreatePackage(spec);
}

static void AppendU32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

static void AppendUtf16(std::string& out, std::wstring_view text) {
  for (wchar_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
}

static std::string ContainerBytes(const RawPackage& spec) {
  std::string out;
  AppendUtf16(out, kMarkerText);
  AppendUtf16(out, std::wstring(1, static_cast<wchar_t>(spec.marker_terminator)));
  std::string parameters;
  if (spec.parameters) AppendUtf16(parameters, std::wstring(*spec.parameters) + L'\0');
  AppendU32(out, spec.declared_parameters_size.value_or(static_cast<std::uint32_t>(parameters.size())));
  out += parameters;
  AppendU32(out, spec.declared_size.value_or(static_cast<std::uint32_t>(spec.archived_data.size())));
  out += spec.archived_data;
  if (spec.container_length && *spec.container_length < out.size()) out.resize(*spec.container_length);
  return out;
}

std::string MakeRawPackage(const RawPackage& spec, std::uint64_t* marker_offset) {
  std::optional<std::string> stub = ReadBytes(BinPath(L"HarwUpdater.exe"));
  if (!stub) return "cannot read bin/HarwUpdater.exe";
  std::string bytes = std::move(*stub);
  bytes.resize((bytes.size() + 255) / 256 * 256 + spec.extra_offset, '\0');
  if (marker_offset != nullptr) *marker_offset = bytes.size();
  bytes += ContainerBytes(spec);
  if (!WriteBytes(spec.output, bytes)) return "cannot write " + ToUtf8(spec.output.wstring());
  return "";
}

}  // namespace harwtest
