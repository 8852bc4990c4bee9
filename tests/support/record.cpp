#include "support/record.h"

#include <windows.h>

#include <system_error>

#include "support/text.h"

namespace harwtest {

std::optional<Record> ReadRecord(const std::filesystem::path& path) {
  std::optional<std::string> bytes = ReadBytes(path);
  if (!bytes) return std::nullopt;
  Record record;
  std::size_t start = 0;
  while (start < bytes->size()) {
    std::size_t end = bytes->find('\n', start);
    if (end == std::string::npos) end = bytes->size();
    std::string line = bytes->substr(start, end - start);
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) record[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return record;
}

bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) > 0 && !error) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(20);
  }
}

}  // namespace harwtest
