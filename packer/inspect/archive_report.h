// What inspect shows of a builtin self-extractor's archive: its entries, and
// whether every checksum holds, found by decoding it all without unpacking.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace harwpack {

/// A builtin self-extractor's archive as inspect sees it.
struct ArchiveReport {
  bool found = false;           ///< the self-extractor carries an archive of the project's own
  std::uint64_t offset = 0;     ///< its file offset in the package
  harwarchive::Table table;     ///< its header and entries, when they could be read
  bool readable = false;        ///< the header and table passed every check
  bool verified = false;        ///< all data decoded and every checksum matched
  std::string problem;          ///< why it is not readable or not verified
};

/// Looks for a builtin archive in the self-extractor whose first bytes are
/// `head` and which lies at `data_offset` (`data_size` bytes) in `package`;
/// reads and checks it, and decodes all its data to verify every checksum.
/// Returns "" unless the package cannot be read at all.
std::string ReadArchiveReport(const std::filesystem::path& package, const std::vector<std::uint8_t>& head,
                              std::uint64_t data_offset, std::uint64_t data_size, ArchiveReport& report);

/// A FILETIME (100 ns ticks since 1601) as "2023-11-14 22:13:20 UTC".
std::string FormatTicks(std::uint64_t ticks);

}  // namespace harwpack
