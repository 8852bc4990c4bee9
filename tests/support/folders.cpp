#include "support/folders.h"

#include <system_error>

#include "support/text.h"

namespace harwtest {

namespace fs = std::filesystem;

std::set<std::wstring> Entries(const fs::path& folder) {
  std::set<std::wstring> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.insert(entry.path().filename().wstring());
  }
  return names;
}

std::set<std::wstring> AllEntries(const fs::path& root) {
  std::set<std::wstring> names;
  for (const auto& [name, state] : Snapshot(root)) names.insert(name);
  return names;
}

TreeSnapshot Snapshot(const fs::path& root) {
  TreeSnapshot snapshot;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    EntryState state;
    state.folder = it->is_directory(error);
    if (!state.folder) state.size = it->file_size(error);
    state.modified = it->last_write_time(error).time_since_epoch().count();
    snapshot[fs::relative(it->path(), root, error).wstring()] = state;
  }
  return snapshot;
}

std::vector<std::string> Differences(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::vector<std::string> lines;
  for (const auto& [name, state] : before) {
    auto found = after.find(name);
    if (found == after.end()) {
      lines.push_back("lost " + ToUtf8(name));
    } else if (!(found->second == state)) {
      lines.push_back("changed " + ToUtf8(name));
    }
  }
  for (const auto& [name, state] : after) {
    if (before.count(name) == 0) lines.push_back("added " + ToUtf8(name));
  }
  return lines;
}

}  // namespace harwtest
