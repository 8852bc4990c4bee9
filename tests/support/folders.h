// What a folder holds: its entries, and snapshots of a whole tree to show
// that a run added, changed or removed nothing where it must not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace harwtest {

/// Names directly inside a folder, exactly as stored (letter case included);
/// empty if the folder does not exist.
std::set<std::wstring> Entries(const std::filesystem::path& folder);

/// Every file and folder below `root`, as paths relative to it.
std::set<std::wstring> AllEntries(const std::filesystem::path& root);

/// One entry of a tree snapshot.
struct EntryState {
  bool folder = false;       ///< a folder, not a file
  std::uintmax_t size = 0;   ///< a file's size
  std::int64_t modified = 0; ///< the last write time
  /// Same kind, size and time.
  bool operator==(const EntryState& other) const {
    return folder == other.folder && size == other.size && modified == other.modified;
  }
};

/// Relative path -> state, for every file and folder below a root.
using TreeSnapshot = std::map<std::wstring, EntryState>;

/// The state of every entry below `root`.
TreeSnapshot Snapshot(const std::filesystem::path& root);

/// One line per entry that was added, removed or changed.
std::vector<std::string> Differences(const TreeSnapshot& before, const TreeSnapshot& after);

}  // namespace harwtest
