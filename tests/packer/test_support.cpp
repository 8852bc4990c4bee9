#include "tests/packer/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "archive/decode.h"
#include "packer/inspect/inspect.h"
#include "packer/platform/process.h"
#include "packer/platform/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace harwpack_test {

ScratchDir::ScratchDir() {
  std::random_device device;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("harwpack-test-" + std::to_string(device()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  ADD_FAILURE() << "cannot create a scratch directory in " << base;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

std::string P(const fs::path& path) { return harwpack::PathToUtf8(path); }

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out) << "cannot write " << path;
}

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

Bytes Utf16Le(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

void PokeU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t PeekU32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

namespace {

void PokeU16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

Bytes MinimalPe(std::uint32_t checksum, bool held_marker, harwpack::Edition edition) {
  const bool plus = edition == harwpack::Edition::kX64;
  const std::size_t optional_size = plus ? 0xF0 : 0xE0;
  Bytes b(1024, 0);
  b[0] = 'M';
  b[1] = 'Z';
  PokeU32(b, 0x3C, 0x40);
  const Bytes signature{'P', 'E', 0, 0};
  std::copy(signature.begin(), signature.end(), b.begin() + 0x40);
  PokeU16(b, 0x44, plus ? 0x8664 : 0x14C);
  PokeU16(b, 0x46, 1);       // one section
  PokeU16(b, 0x54, static_cast<std::uint16_t>(optional_size));
  PokeU16(b, 0x56, plus ? 0x0022 : 0x0102);  // executable; large addresses or 32-bit
  const std::size_t o = 0x58;
  PokeU16(b, o, plus ? 0x20B : 0x10B);
  PokeU32(b, o + 16, 0x1000);    // entry point
  PokeU32(b, o + 20, 0x1000);    // base of code
  if (plus) {
    PokeU32(b, o + 24, 0x40000000);  // image base 0x140000000
    PokeU32(b, o + 28, 1);
  } else {
    PokeU32(b, o + 28, 0x400000);  // image base
  }
  PokeU32(b, o + 32, 0x1000);    // section alignment
  PokeU32(b, o + 36, 0x200);     // file alignment
  PokeU16(b, o + 40, plus ? 6 : 4);
  PokeU16(b, o + 48, plus ? 6 : 4);
  PokeU32(b, o + 56, 0x2000);    // size of image
  PokeU32(b, o + 60, 0x200);     // size of headers
  PokeU32(b, o + 64, checksum);
  PokeU16(b, o + 68, 3);         // console
  const std::size_t stack = o + 72;  // reserve and commit of stack and heap, 4 or 8 bytes each
  const std::size_t width = plus ? 8 : 4;
  PokeU32(b, stack, 0x100000);
  PokeU32(b, stack + width, 0x1000);
  PokeU32(b, stack + 2 * width, 0x100000);
  PokeU32(b, stack + 3 * width, 0x1000);
  PokeU32(b, o + (plus ? 108 : 92), 16);  // data directories
  const std::size_t section = o + optional_size;
  const Bytes name{'.', 't', 'e', 'x', 't'};
  std::copy(name.begin(), name.end(), b.begin() + static_cast<std::ptrdiff_t>(section));
  PokeU32(b, section + 8, 0x200);
  PokeU32(b, section + 12, 0x1000);
  PokeU32(b, section + 16, 0x200);
  PokeU32(b, section + 20, 0x200);
  PokeU32(b, section + 36, 0x60000020);
  b[0x200] = 0xC3;  // ret
  if (held_marker) {
    const Bytes held = Utf16Le(kHeldMarkerText);
    std::copy(held.begin(), held.end(), b.begin() + kMinimalPeHeldMarker);  // the terminator is already zero
  }
  return b;
}

Bytes MinimalExtractor(harwpack::Edition edition) {
  Bytes b = MinimalPe(0, false, edition);
  const std::string identity = "name=\"HarwExtract\"";
  std::copy(identity.begin(), identity.end(), b.begin() + kMinimalPeHeldMarker);
  return b;
}

std::vector<std::string> ExtractorArgs(const fs::path& dir, harwpack::Edition edition) {
  WriteBytes(dir / "HarwExtract.exe", MinimalExtractor(edition));
  return {"--extractor-program", P(dir / "HarwExtract.exe")};
}

namespace {

/// The package file from the archive's data on, for the decoder.
class FileSource : public harwarchive::Source {
 public:
  explicit FileSource(std::ifstream& in) : in_(in) {}
  bool Read(std::uint8_t* buffer, std::size_t size, harwarchive::Problem& problem) override {
    if (in_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size))) return true;
    return harwarchive::Fail(problem, harwarchive::Failure::kDamaged, "the package ends inside its archive");
  }

 private:
  std::ifstream& in_;
};

/// An archive path below its top folder, with '/' between the parts.
std::string BelowTop(const std::u16string& path) {
  std::string text = harwarchive::ToUtf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  const std::size_t slash = text.find('/');
  return slash == std::string::npos ? "" : text.substr(slash + 1);
}

}  // namespace

std::map<std::string, Bytes> BuiltinContents(const fs::path& package, std::string& error) {
  std::map<std::string, Bytes> contents;
  harwpack::PackageReport report;
  error = harwpack::InspectPackage(package, report);
  if (error.empty() && !report.archive.readable) error = "no readable builtin archive: " + report.archive.problem;
  if (!error.empty()) return contents;
  const harwarchive::Table& table = report.archive.table;
  for (const harwarchive::Entry& entry : table.entries) {
    if (entry.kind == harwarchive::Kind::kFolder && !BelowTop(entry.path).empty()) contents[BelowTop(entry.path) + "/"];
  }
  std::ifstream in(package, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(report.archive.offset + harwarchive::kHeaderSize + table.header.table_size));
  FileSource source(in);
  harwarchive::Decoder decoder(table, source);
  harwarchive::Chunk chunk;
  chunk.data.resize(64 * 1024);
  harwarchive::Problem problem;
  while (!decoder.done()) {
    if (!decoder.Next(chunk, problem)) {
      error = problem.message;
      return contents;
    }
    for (const harwarchive::Piece& piece : chunk.pieces) {
      Bytes& file = contents[BelowTop(table.entries[piece.entry].path)];
      file.insert(file.end(), chunk.data.begin() + static_cast<std::ptrdiff_t>(piece.begin),
                  chunk.data.begin() + static_cast<std::ptrdiff_t>(piece.begin + piece.size));
    }
  }
  return contents;
}

CommandResult RunCommand(const fs::path& dir, const std::string& program,
                         const std::vector<std::string>& args) {
  const fs::path log = dir / "command.log";
  const harwpack::ProcessResult run = harwpack::RunProcess(program, args, log);
  CommandResult result;
  result.started = run.error.empty();
  result.exit_code = run.exit_code;
  const Bytes text = ReadBytes(log);
  result.output.assign(text.begin(), text.end());
  std::error_code ec;
  fs::remove(log, ec);
  return result;
}

std::vector<std::string> ListDir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

fs::path TestProgram(const std::string& name) {
#ifdef _WIN32
  // Under Wine the build tree's Unix paths mean nothing; the helpers lie beside this program.
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
  EXPECT_TRUE(length > 0 && length < buffer.size()) << "GetModuleFileNameW failed: " << GetLastError();
  buffer.resize(length);
  return fs::path(buffer).parent_path() / (name + ".exe");
#else
  return fs::path(HARWPACK_TEST_BIN_DIR) / name;
#endif
}

}  // namespace harwpack_test
