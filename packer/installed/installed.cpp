#include "packer/installed/installed.h"

#include <algorithm>
#include <system_error>

#include "packer/image/image.h"
#include "packer/platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifndef HARWPACK_VERSION
#error "HARWPACK_VERSION is set by packer/CMakeLists.txt from the project version"
#endif

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// The program's folder below an install prefix, seen from the prefix's bin folder.
constexpr char kSharedProgramFolder[] = "../share/harwupdater";
/// The x64 edition's folder at each place where the programs lie.
constexpr char kX64Folder[] = "x64";

}  // namespace

#ifdef _WIN32
fs::path OwnExecutable(std::string& error) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const DWORD code = GetLastError();
    if (length == 0) {
      error = "GetModuleFileNameW failed (error " + std::to_string(code) + ")";
      return {};
    }
    if (length < buffer.size()) return fs::path(buffer.substr(0, length));
    if (buffer.size() >= 32768) {  // the longest path Windows has
      error = "GetModuleFileNameW: the path does not fit";
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}
#else
fs::path OwnExecutable(std::string& error) {
  std::error_code ec;
  const fs::path own = fs::read_symlink("/proc/self/exe", ec);
  if (ec) error = "/proc/self/exe cannot be read (" + ec.message() + ")";
  return own;
}
#endif

std::vector<fs::path> ProgramCandidates(const fs::path& own_file, Edition edition, const char* name) {
  const fs::path folder = own_file.parent_path();
  const fs::path shared = folder / PathFromUtf8(kSharedProgramFolder);
  if (edition == Edition::kX64) {
    return {folder / kX64Folder / name, (shared / kX64Folder / name).lexically_normal()};
  }
  return {folder / name, (shared / name).lexically_normal()};
}

ProgramLookup FindProgramBeside(const fs::path& own_file, Edition edition, const char* name) {
  std::string looked;
  for (const fs::path& candidate : ProgramCandidates(own_file, edition, name)) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return {candidate, ""};
    looked += (looked.empty() ? "" : " and ") + PathToUtf8(candidate);
  }
  return {{}, "not installed with harwpack (looked for " + looked + ")"};
}

namespace {

/// `given`, else `first` when it is a file, else the file `file_name` of
/// `edition` installed with harwpack; `option` is the option that would have
/// named it, for the error, which names every place looked at.
ProgramLookup ChooseInstalled(const std::optional<fs::path>& given, Edition edition, const char* file_name,
                              const char* option, const fs::path& first = {}) {
  if (given) return {*given, ""};
  std::error_code ec;
  if (!first.empty() && fs::is_regular_file(first, ec)) return {first, ""};
  const std::string program = std::string(file_name) + " (" + EditionName(edition) + ")";
  const std::string none_given = std::string("no ") + option + " given, and ";
  std::string error;
  const fs::path own = OwnExecutable(error);
  if (own.empty()) return {{}, none_given + "harwpack cannot tell where it lies: " + error};
  ProgramLookup found = FindProgramBeside(own, edition, file_name);
  const std::vector<fs::path> installed = ProgramCandidates(own, edition, file_name);
  // An installed stub's folder is an installed place already: it is named once.
  const bool named = first.empty() || std::find(installed.begin(), installed.end(), first) != installed.end();
  const std::string beside = named ? "" : "not beside the stub (" + PathToUtf8(first) + ") and ";
  if (found.path.empty()) found.error = none_given + program + " is " + beside + found.error;
  return found;
}

}  // namespace

ProgramLookup ChooseStub(const std::optional<fs::path>& given, Edition edition) {
  return ChooseInstalled(given, edition, kProgramFileName, "--stub");
}

ProgramLookup ChooseExtractorProgram(const std::optional<fs::path>& given, const fs::path& stub,
                                     Edition edition) {
  const fs::path beside = (stub.parent_path() / kExtractorFileName).lexically_normal();
  return ChooseInstalled(given, edition, kExtractorFileName, "--extractor-program", beside);
}

std::string PackerVersion() { return HARWPACK_VERSION; }

namespace {

/// The version line of the file that `found` is for `edition`: its version
/// and the edition its headers declare, or why either is unknown.
std::string ProgramLine(const InstalledProgram& found) {
  const std::string name = std::string(found.name) + " " + EditionName(found.edition);
  if (found.lookup.path.empty()) return name + ": " + found.lookup.error + "\n";
  std::string version;
  std::string error = ReadFileVersion(found.lookup.path, version);
  if (!error.empty()) return name + ": version unknown: " + error + "\n";
  InputFile file(found.lookup.path, "program");
  std::vector<std::uint8_t> head;
  const std::optional<Edition> declared =
      file.ReadHead(kPeHeaderProbe, head) ? ImageEdition(head.data(), head.size()) : std::nullopt;
  const std::string shown = declared ? EditionName(*declared) : "of no known edition";
  return std::string(found.name) + " " + version + " " + shown + " (" + PathToUtf8(found.lookup.path) + ")\n";
}

}  // namespace

std::string FormatVersions(const std::vector<InstalledProgram>& programs, const std::string& zstd) {
  std::string text = "harwpack " + PackerVersion() + "\n";
  for (const InstalledProgram& program : programs) text += ProgramLine(program);
  return text + "zstd " + zstd + " (the builtin extractor's archives)\n";
}

std::string VersionText(const std::string& zstd) {
  std::string error;
  const fs::path own = OwnExecutable(error);
  std::vector<InstalledProgram> programs;
  for (const Edition edition : {Edition::kX86, Edition::kX64}) {
    for (const char* name : {kProgramFileName, kExtractorFileName}) {
      programs.push_back({name, edition, own.empty() ? ProgramLookup{{}, "harwpack cannot tell where it lies: " + error}
                                                     : FindProgramBeside(own, edition, name)});
    }
  }
  return FormatVersions(programs, zstd);
}

}  // namespace harwpack
