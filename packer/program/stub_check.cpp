#include "packer/program/stub_check.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "packer/container/container.h"
#include "packer/image/image.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// What a pass over the whole stub finds.
struct StubScan {
  bool held_marker = false;
  std::optional<std::uint64_t> container;  // offset of a complete marker where the program looks for one
};

/// Reads the stub from its start in pieces: the held marker may lie anywhere
/// (also across two pieces), a container's marker only at a block start,
/// which pieces of kCopyChunk bytes never split.
std::string Scan(InputFile& file, StubScan& scan) {
  const auto& held = HeldMarkerBytes();
  std::vector<std::uint8_t> window;  // the end of the last piece, then the new one
  std::vector<std::uint8_t> piece(kCopyChunk);
  for (std::uint64_t offset = 0; offset < file.size() && !scan.container;) {
    const std::uint64_t left = file.size() - offset;
    const std::size_t want = left < piece.size() ? static_cast<std::size_t>(left) : piece.size();
    if (!file.ReadExact(piece.data(), want, "its data (it became shorter)")) return file.error();
    if (InterruptSignal() != 0) return InterruptError();
    scan.container = FindMarkerInBlock(piece.data(), want, offset);
    window.insert(window.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(want));
    if (!scan.held_marker) scan.held_marker = std::search(window.begin(), window.end(), held.begin(), held.end()) != window.end();
    const std::size_t keep = std::min(window.size(), held.size() - 1);
    window.erase(window.begin(), window.end() - static_cast<std::ptrdiff_t>(keep));
    offset += want;
  }
  return "";
}

}  // namespace

const std::array<std::uint8_t, kHeldMarkerSize>& HeldMarkerBytes() {
  static const std::array<std::uint8_t, kHeldMarkerSize> bytes = [] {
    std::array<std::uint8_t, kHeldMarkerSize> out = MarkerBytes();
    out[0] = ' ';
    return out;
  }();
  return bytes;
}

std::string CheckStub(const fs::path& stub, Edition* edition) {
  InputFile file(stub, "stub");
  if (!file.ok()) return file.error();
  const auto label = [&stub] { return "stub '" + PathToUtf8(stub) + "' "; };
  std::vector<std::uint8_t> headers;
  if (!file.ReadHead(kPeHeaderProbe, headers)) return file.error();
  const std::string problem = CheckConsoleProgram(headers.data(), headers.size(), file.size(), edition);
  if (!problem.empty()) return label() + problem;
  StubScan scan;
  const std::string error = Scan(file, scan);
  if (!error.empty()) return error;
  if (scan.container) {
    return label() + "already carries a container (marker at byte " + std::to_string(*scan.container) +
           "); pack the bare program instead";
  }
  if (!scan.held_marker) return label() + "is not the HarwUpdater program: it does not hold the program's marker text";
  return "";
}

}  // namespace harwpack
