#include "packer/container/writer.h"

#include <cstring>
#include <system_error>

#include "packer/image/image.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

std::string Quoted(const fs::path& path) { return "'" + PathToUtf8(path) + "'"; }

/// True when `output` names the same file as `input` (also through links).
bool SameFile(const fs::path& output, const fs::path& input) {
  std::error_code ec;
  return fs::equivalent(output, input, ec) && !ec;
}

std::string CheckPaths(const PackageSpec& spec) {
  if (spec.output.empty()) return "no output path given";
  if (SameFile(spec.output, spec.stub)) return "output " + Quoted(spec.output) + " is the stub itself";
  if (SameFile(spec.output, spec.archive)) {
    return "output " + Quoted(spec.output) + " is the archive itself";
  }
  std::string error = CheckInputFile(spec.stub, "stub");
  if (error.empty()) error = CheckInputFile(spec.archive, "archive");
  return error;
}

/// Writes to the output while keeping the PE checksum, if one is to be recomputed.
class Emitter {
 public:
  Emitter(StagedOutput& out, bool checksum) : out_(out), checksum_(checksum) {}
  std::string Write(const std::uint8_t* data, std::size_t size) {
    if (!out_.Write(data, size)) return out_.error();
    if (checksum_) sum_.Add(data, size);
    return "";
  }
  /// Stores the checksum of everything written at `offset`.
  std::string StoreChecksum(std::uint64_t offset) {
    std::vector<std::uint8_t> field;
    AppendU32(field, sum_.Finish(out_.written()));
    return out_.Patch(offset, field.data(), field.size()) ? std::string() : out_.error();
  }
  std::uint64_t written() const { return out_.written(); }

 private:
  StagedOutput& out_;
  bool checksum_;
  PeChecksum sum_;
};

/// Copies the planned part of the stub, applying the header patches and
/// checking every block start for a marker, so that a package is never packed twice.
std::string CopyStub(InputFile& stub, const StubPlan& plan, Emitter& out) {
  std::vector<std::uint8_t> buffer(kCopyChunk);
  for (std::uint64_t offset = 0; offset < plan.copy_length;) {
    const std::uint64_t left = plan.copy_length - offset;
    const std::size_t want = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
    const std::size_t got = stub.ReadSome(buffer.data(), want);
    if (!stub.ok()) return stub.error();
    if (InterruptSignal() != 0) return InterruptError();
    if (got == 0) return "stub changed while it was being read (it became shorter)";
    if (auto found = FindMarkerInBlock(buffer.data(), got, offset)) {
      return "stub already carries a container (marker at byte " + std::to_string(*found) +
             "); pack the bare program instead";
    }
    ApplyPatches(plan.patches, buffer.data(), got, offset);
    const std::string error = out.Write(buffer.data(), got);
    if (!error.empty()) return error;
    offset += got;
  }
  return "";
}

std::string CopyArchive(InputFile& archive, std::uint32_t size, Emitter& out) {
  std::vector<std::uint8_t> buffer(kCopyChunk);
  std::uint64_t remaining = size;
  while (remaining > 0) {
    if (InterruptSignal() != 0) return InterruptError();
    // Pieces end on multiples of their size in the output, which spares the
    // file system writes that straddle its pages.
    const std::size_t room = kCopyChunk - static_cast<std::size_t>(out.written() % kCopyChunk);
    const std::size_t want = remaining < room ? static_cast<std::size_t>(remaining) : room;
    if (!archive.ReadExact(buffer.data(), want, "its data (it became shorter)")) {
      return archive.error();
    }
    const std::string error = out.Write(buffer.data(), want);
    if (!error.empty()) return error;
    remaining -= want;
  }
  return "";
}

/// Reads the stub's PE headers (if it has any) and decides how to copy it.
std::string PlanStub(InputFile& stub, StubPlan& plan) {
  std::vector<std::uint8_t> probe;
  if (!stub.ReadHead(kPeHeaderProbe, probe)) return stub.error();
  return PlanStubCopy(ParsePeHeaders(probe.data(), probe.size()), stub.size(), plan);
}

std::uint64_t PaddingFor(std::uint64_t size) {
  const std::uint64_t rest = size % kMarkerAlignment;
  return rest == 0 ? 0 : kMarkerAlignment - rest;
}

/// Bytes of a package with a stub copy of `stub_size` bytes.
std::uint64_t PackageBytes(std::uint64_t stub_size, std::size_t params_block, std::uint64_t archive_size) {
  return stub_size + PaddingFor(stub_size) + kMarkerSize + params_block + 4 + archive_size;
}

std::string CheckSizes(std::uint64_t stub_size, std::size_t params_block, std::uint64_t archive_size) {
  if (archive_size > 0xFFFFFFFFull) {
    return "archive is " + std::to_string(archive_size) + " bytes; at most 4294967295 fit";
  }
  const std::uint64_t total = PackageBytes(stub_size, params_block, archive_size);
  if (total > kMaxPackageSize) {
    return "package would be " + std::to_string(total) + " bytes; it must stay below 4 GiB (at most " +
           std::to_string(kMaxPackageSize) + " bytes), since the program reads its own file with 32-bit positions";
  }
  return "";
}

/// Writes zero padding up to the next block start, then marker, parameter
/// block, S and the archived data.
std::string WriteContainer(const std::vector<std::uint8_t>& params_block, InputFile& archive,
                           Emitter& out) {
  const auto size = static_cast<std::uint32_t>(archive.size());
  std::vector<std::uint8_t> head(static_cast<std::size_t>(PaddingFor(out.written())), 0);
  head.insert(head.end(), MarkerBytes().begin(), MarkerBytes().end());
  head.insert(head.end(), params_block.begin(), params_block.end());
  AppendU32(head, size);
  const std::string error = out.Write(head.data(), head.size());
  return error.empty() ? CopyArchive(archive, size, out) : error;
}

/// Streams stub and container into `out` following `plan`, lets `before_commit` work on it, and commits it.
std::string WritePackage(InputFile& stub, const StubPlan& plan,
                         const std::vector<std::uint8_t>& params_block, InputFile& archive,
                         const PackageSpec& spec, StagedOutput& out) {
  Emitter emitter(out, plan.checksum_offset.has_value());
  std::string error = CopyStub(stub, plan, emitter);
  if (error.empty()) error = WriteContainer(params_block, archive, emitter);
  if (error.empty() && plan.checksum_offset) error = emitter.StoreChecksum(*plan.checksum_offset);
  if (error.empty() && spec.before_commit) {
    error = out.Close() ? spec.before_commit(out.temp_path()) : out.error();
  }
  if (error.empty() && !out.Commit()) error = out.error();
  return error;
}

/// Encodes the parameter block, plans the copy of the opened stub and checks
/// that the package will not be too large; "" or why it cannot be built.
std::string Prepare(const PackageSpec& spec, InputFile& stub, InputFile& archive,
                    std::vector<std::uint8_t>& params_block, StubPlan& plan) {
  const auto block = EncodeParameterBlock(spec.parameters);
  if (!block) return "parameter string is not valid UTF-8";
  params_block = *block;
  std::string error = !stub.ok() ? stub.error() : archive.error();
  if (error.empty()) error = PlanStub(stub, plan);
  if (error.empty()) error = CheckSizes(plan.copy_length, params_block.size(), archive.size());
  return error;
}

}  // namespace

const std::array<std::uint8_t, kMarkerSize>& MarkerBytes() {
  static const std::array<std::uint8_t, kMarkerSize> bytes = [] {
    std::array<std::uint8_t, kMarkerSize> out{};  // The last two bytes stay zero: the terminator.
    for (std::size_t i = 0; i + 1 < sizeof kMarkerText; ++i) {
      out[2 * i] = static_cast<std::uint8_t>(kMarkerText[i]);
    }
    return out;
  }();
  return bytes;
}

bool IsMarkerAt(const std::uint8_t* data, std::size_t size) {
  return size >= kMarkerSize && std::memcmp(data, MarkerBytes().data(), kMarkerSize) == 0;
}

std::optional<std::uint64_t> FindMarkerInBlock(const std::uint8_t* data, std::size_t size,
                                               std::uint64_t base) {
  for (std::size_t at = 0; at < size; at += kMarkerAlignment) {
    if (IsMarkerAt(data + at, size - at)) return base + at;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> EncodeParameterBlock(
    const std::optional<std::string>& parameters) {
  std::vector<std::uint8_t> block;
  if (!parameters) {
    AppendU32(block, 0);
    return block;
  }
  std::optional<std::u16string> text = Utf8ToUtf16(*parameters);
  if (!text) return std::nullopt;
  text->push_back(u'\0');
  const std::vector<std::uint8_t> bytes = Utf16ToLeBytes(*text);
  AppendU32(block, static_cast<std::uint32_t>(bytes.size()));
  block.insert(block.end(), bytes.begin(), bytes.end());
  return block;
}

BuildResult BuildPackage(const PackageSpec& spec) {
  BuildResult result;
  result.error = CheckPaths(spec);
  if (!result.error.empty()) return result;
  InputFile stub(spec.stub, "stub");
  InputFile archive(spec.archive, "archive");
  std::vector<std::uint8_t> params_block;
  StubPlan plan;
  result.error = Prepare(spec, stub, archive, params_block, plan);
  if (!result.error.empty()) return result;

  StagedOutput out(spec.output, spec.before_commit ? ".partial.exe" : ".partial");
  result.error = out.ok() ? WritePackage(stub, plan, params_block, archive, spec, out) : out.error();
  if (result.error.empty()) {
    result.marker_offset = plan.copy_length + PaddingFor(plan.copy_length);
    if (!plan.note.empty()) result.notes.push_back(plan.note);
  }
  return result;
}

std::string CreatePackage(const PackageSpec& spec) { return BuildPackage(spec).error; }

std::string CheckPackageSize(const PackageSpec& spec, std::uint64_t* size) {
  InputFile stub(spec.stub, "stub");
  InputFile archive(spec.archive, "archive");
  std::vector<std::uint8_t> params_block;
  StubPlan plan;
  const std::string error = Prepare(spec, stub, archive, params_block, plan);
  if (error.empty() && size != nullptr) *size = PackageBytes(plan.copy_length, params_block.size(), archive.size());
  return error;
}

}  // namespace harwpack
