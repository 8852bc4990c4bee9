#include "packer/container/reader.h"

#include <system_error>
#include <vector>

#include "packer/container/writer.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

std::string Quoted(const fs::path& path) { return "'" + PathToUtf8(path) + "'"; }

/// Scans block starts from the beginning of the file, as the program does.
std::string LocateMarker(InputFile& file, const fs::path& path, std::uint64_t& marker) {
  std::vector<std::uint8_t> buffer(kCopyChunk);
  for (std::uint64_t offset = 0; offset < file.size();) {
    const std::size_t got = file.ReadSome(buffer.data(), buffer.size());
    if (!file.ok()) return file.error();
    if (got == 0) break;
    if (auto found = FindMarkerInBlock(buffer.data(), got, offset)) {
      marker = *found;
      return "";
    }
    offset += got;
  }
  return Quoted(path) + " is not a package: no container marker at any 256-byte block start";
}

std::string ReadParameterBlock(InputFile& file, ContainerInfo& info) {
  std::uint8_t field[4];
  if (!file.ReadExact(field, sizeof field, "the parameter size field")) return file.error();
  info.params_size = ReadU32(field);
  const std::uint64_t params_end = info.marker_offset + kParamsOffset + info.params_size;
  if (params_end + 4 > info.file_size) {
    return "damaged container: the parameter string of " + std::to_string(info.params_size) +
           " bytes runs past the end of the file";
  }
  std::vector<std::uint8_t> bytes(info.params_size);
  if (!file.ReadExact(bytes.data(), bytes.size(), "the parameter string")) return file.error();
  const std::u16string units = Utf16FromLeBytes(bytes.data(), bytes.size());
  const std::size_t zero = units.find(u'\0');
  info.params_terminated =
      info.params_size == 0 || (info.params_size % 2 == 0 && zero != std::u16string::npos);
  info.parameters = units.substr(0, zero);
  return "";
}

std::string ReadDataSize(InputFile& file, ContainerInfo& info) {
  std::uint8_t field[4];
  if (!file.ReadExact(field, sizeof field, "the archived data size field")) return file.error();
  info.data_size = ReadU32(field);
  info.data_offset = info.marker_offset + kParamsOffset + info.params_size + 4;
  const std::uint64_t left = info.file_size - info.data_offset;
  if (info.data_size > left) {
    return "damaged container: the archived data of " + std::to_string(info.data_size) +
           " bytes runs past the end of the file (" + std::to_string(left) + " bytes left)";
  }
  info.trailing_size = left - info.data_size;
  return "";
}

}  // namespace

std::string ReadContainer(const fs::path& package, ContainerInfo& info) {
  info = ContainerInfo{};
  InputFile file(package, "package");
  if (!file.ok()) return file.error();
  info.file_size = file.size();
  std::string error = LocateMarker(file, package, info.marker_offset);
  if (error.empty() && info.marker_offset + kParamsOffset > info.file_size) {
    error = "damaged container: the file ends inside the parameter size field";
  }
  if (error.empty() && !file.Seek(info.marker_offset + kParamsSizeOffset)) error = file.error();
  if (error.empty()) error = ReadParameterBlock(file, info);
  if (error.empty()) error = ReadDataSize(file, info);
  return error;
}

std::string ReadArchivedData(const fs::path& package, const ContainerInfo& info, const DataSink& sink) {
  InputFile file(package, "package");
  if (!file.Seek(info.data_offset)) return file.error();
  std::vector<std::uint8_t> buffer(kCopyChunk);
  std::uint64_t remaining = info.data_size;
  while (remaining > 0) {
    const std::size_t want = remaining < buffer.size() ? static_cast<std::size_t>(remaining)
                                                       : buffer.size();
    if (!file.ReadExact(buffer.data(), want, "its archived data")) return file.error();
    if (InterruptSignal() != 0) return InterruptError();
    const std::string error = sink(buffer.data(), want);
    if (!error.empty()) return error;
    remaining -= want;
  }
  return "";
}

std::string HashArchivedData(const fs::path& package, const ContainerInfo& info, std::string& digest) {
  Sha256 hash;
  const std::string error = ReadArchivedData(package, info, [&hash](const std::uint8_t* data, std::size_t size) {
    return hash.Update(data, size) ? std::string() : hash.error();
  });
  if (!error.empty()) return error;
  digest = hash.FinishHex();
  return hash.error();
}

std::string ExtractArchive(const fs::path& package, const fs::path& output) {
  std::error_code ec;
  if (fs::equivalent(package, output, ec) && !ec) {
    return "output " + Quoted(output) + " is the package itself";
  }
  ContainerInfo info;
  std::string error = ReadContainer(package, info);
  if (!error.empty()) return error;
  StagedOutput out(output);
  if (!out.ok()) return out.error();
  error = ReadArchivedData(package, info, [&out](const std::uint8_t* data, std::size_t size) {
    return out.Write(data, size) ? std::string() : out.error();
  });
  if (error.empty() && !out.Commit()) error = out.error();
  return error;
}

}  // namespace harwpack
