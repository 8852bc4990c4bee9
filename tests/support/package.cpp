#include "support/package.h"

#include <system_error>

#include "packer/container/writer.h"
#include "support/paths.h"
#include "support/text.h"

namespace harwtest {

namespace fs = std::filesystem;

const wchar_t kMarkerText[] =
    L"***** Harrowvindalet **** Make Updater ***** Start of Archived Data *****";

static fs::path OrDefault(const fs::path& path, const wchar_t* name) {
  return path.empty() ? BinPath(name) : path;
}

static std::string Utf16Bytes(std::wstring_view text) {
  std::string out;
  for (wchar_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return out;
}

std::string MarkerBytes() { return Utf16Bytes(kMarkerText) + std::string(2, '\0'); }

std::string U32(std::uint32_t value) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  return out;
}

std::string MakePackage(const PackageOptions& options, PackageLayout* layout) {
  harwpack::PackageSpec spec;
  spec.stub = OrDefault(options.stub, L"HarwUpdater.exe");
  spec.archive = OrDefault(options.embedded, L"fake_extractor.exe");
  spec.output = options.output;
  if (options.parameters) spec.parameters = ToUtf8(*options.parameters);
  harwpack::BuildResult built = harwpack::BuildPackage(spec);
  if (!built.error.empty() || layout == nullptr) return built.error;
  std::error_code error;
  layout->marker = static_cast<std::size_t>(built.marker_offset);
  layout->p = options.parameters ? static_cast<std::uint32_t>((options.parameters->size() + 1) * 2) : 0;
  layout->s = static_cast<std::uint32_t>(fs::file_size(spec.archive, error));
  return error ? "cannot read the size of " + ToUtf8(spec.archive.wstring()) : "";
}

std::string ContainerBytes(const RawPackage& spec) {
  std::string out = Utf16Bytes(kMarkerText);
  out += Utf16Bytes(std::wstring(1, static_cast<wchar_t>(spec.marker_terminator)));
  std::string parameters;
  if (spec.parameters) parameters = Utf16Bytes(*spec.parameters) + std::string(2, '\0');
  out += U32(spec.declared_parameters_size.value_or(static_cast<std::uint32_t>(parameters.size())));
  out += parameters;
  out += U32(spec.declared_size.value_or(static_cast<std::uint32_t>(spec.archived_data.size())));
  out += spec.archived_data;
  if (spec.container_length && *spec.container_length < out.size()) out.resize(*spec.container_length);
  return out;
}

std::string MakeRawPackage(const RawPackage& spec, PackageLayout* layout) {
  std::optional<std::string> stub = ReadBytes(BinPath(L"HarwUpdater.exe"));
  if (!stub) return "cannot read bin/HarwUpdater.exe";
  std::string bytes = std::move(*stub);
  bytes.resize((bytes.size() + 255) / 256 * 256 + spec.extra_offset, '\0');
  if (layout != nullptr) {
    layout->marker = bytes.size();
    layout->p = spec.parameters ? static_cast<std::uint32_t>((spec.parameters->size() + 1) * 2) : 0;
    layout->s = static_cast<std::uint32_t>(spec.archived_data.size());
  }
  bytes += ContainerBytes(spec);
  if (!WriteBytes(spec.output, bytes)) return "cannot write " + ToUtf8(spec.output.wstring());
  return "";
}

}  // namespace harwtest
