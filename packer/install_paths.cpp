#include "packer/install_paths.h"

#include <system_error>

#include "packer/text.h"
#include "packer/version_resource.h"

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

std::vector<fs::path> ProgramCandidates(const fs::path& own_file) {
  const fs::path folder = own_file.parent_path();
  return {folder / kProgramFileName,
          (folder / PathFromUtf8(kSharedProgramFolder) / kProgramFileName).lexically_normal()};
}

ProgramLookup FindProgramBeside(const fs::path& own_file) {
  std::string looked;
  for (const fs::path& candidate : ProgramCandidates(own_file)) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return {candidate, ""};
    looked += (looked.empty() ? "" : " and ") + PathToUtf8(candidate);
  }
  return {{}, "not installed with harwpack (looked for " + looked + ")"};
}

ProgramLookup ChooseStub(const std::optional<std::string>& given) {
  if (given) return {PathFromUtf8(*given), ""};
  std::string error;
  const fs::path own = OwnExecutable(error);
  if (own.empty()) return {{}, "no --stub given, and harwpack cannot tell where it lies: " + error};
  ProgramLookup found = FindProgramBeside(own);
  if (found.path.empty()) {
    found.error = std::string("no --stub given, and ") + kProgramFileName + " is " + found.error;
  }
  return found;
}

std::string PackerVersion() { return HARWPACK_VERSION; }

std::string FormatVersions(const ProgramLookup& program) {
  std::string text = "harwpack " + PackerVersion() + "\n";
  if (program.path.empty()) return text + kProgramFileName + ": " + program.error + "\n";
  std::string version;
  const std::string error = ReadFileVersion(program.path, version);
  if (!error.empty()) return text + kProgramFileName + ": version unknown: " + error + "\n";
  return text + kProgramFileName + " " + version + " (" + PathToUtf8(program.path) + ")\n";
}

std::string VersionText() {
  std::string error;
  const fs::path own = OwnExecutable(error);
  if (own.empty()) return FormatVersions({{}, "harwpack cannot tell where it lies: " + error});
  return FormatVersions(FindProgramBeside(own));
}

}  // namespace harwpack
