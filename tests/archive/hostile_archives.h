// The table of hostile archives: every way a name, a size, a record, the
// compressed data or a checksum can be wrong, with the failure the extractor
// ends with, and beside each limit the archive at its edge that is taken
// (failure kNone). The native test runs every row against the archive code; the
// extractor's test under Wine runs rows through the real program.
#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"
#include "tests/archive/archive_builder.h"

namespace harwtest_archive {

/// One hostile archive and how it must end.
struct HostileCase {
  std::string name;
  ArchiveSpec spec;
  harwarchive::Failure failure;
  std::string message;  ///< a part of the one-line message
  bool by_table;        ///< refused from the header and table alone, before anything is written
  bool large = false;   ///< tens of MiB (a limit at its edge): left out of the fuzz seeds
};

/// Every row.
std::vector<HostileCase> HostileArchives();

}  // namespace harwtest_archive
