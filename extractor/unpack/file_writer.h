// The extractor's Sink: folders and files below the current folder, written
// through no link or junction, and what this run created removed again when
// it fails. Windows only.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "platform/scoped_handle.h"
#include "unpack/unpack.h"

namespace harwarchive {

/// Writes entries below the current folder.
class FileWriter : public Sink {
 public:
  FileWriter() = default;
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  /// Makes the folder, or takes an existing one that is a plain folder.
  bool MakeFolder(const Entry& entry, Problem& problem) override;
  /// Creates the file at its first piece (its size set before any byte is
  /// written), writes, and at its last piece sets its time and attributes.
  bool WritePiece(const Entry& entry, const Piece& piece, const std::uint8_t* data, Problem& problem) override;

  /// Removes what this run created: its files, then its folders deepest
  /// first. Files and folders that were there before are never touched.
  void RemoveCreated();

 private:
  bool CreateOrReplace(const Entry& entry, const std::wstring& path, Problem& problem);
  bool OpenFile(const Entry& entry, Problem& problem);
  bool FinishFile(const Entry& entry, Problem& problem);
  bool CheckExisting(const std::wstring& path, DWORD attributes, Kind kind, Problem& problem);
  void Remember(const std::wstring& path, Kind kind);

  ScopedFileHandle file_;                 // the file being written
  std::vector<std::wstring> created_files_;
  std::vector<std::wstring> created_folders_;
  std::unordered_set<std::wstring> created_keys_;  // the same paths, upper-cased as the system compares names
};

}  // namespace harwarchive
