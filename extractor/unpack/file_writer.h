// The extractor's Sink: folders and files below the current folder, written
// through no link or junction. A file in the way is moved aside, never
// written into, so a failed run can put it back and a successful one removes
// it. Windows only.
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

  /// After a failed run: removes the files this run created, puts every
  /// file it moved aside back under its name, then removes its folders
  /// deepest first. What was there before keeps content, times, attributes.
  void Undo();
  /// After a successful run: removes the names files were moved aside to.
  /// False, with `problem` naming the first that stays, if one cannot be removed.
  bool RemoveMovedAside(Problem& problem);

 private:
  /// A file that was in the way and the name of the run's own it now has.
  struct MovedAside {
    std::wstring path;
    std::wstring aside;
  };

  /// Creates `path` as a new file, moving aside what is in the way.
  bool CreateOrReplace(const Entry& entry, const std::wstring& path, Problem& problem);
  /// Moves what holds the name `path` aside, after checking it.
  bool ClearTheWay(const std::wstring& path, DWORD attributes, Problem& problem);
  /// Renames the plain file `path` to a free name of the run's own, `aside`.
  bool MoveAside(const std::wstring& path, std::wstring& aside, Problem& problem);
  /// Creates the file and sets its size.
  bool OpenFile(const Entry& entry, Problem& problem);
  /// Sets the file's time, closes it, sets its attributes.
  bool FinishFile(const Entry& entry, Problem& problem);
  /// An existing name must be what the entry is, and no link.
  bool CheckExisting(const std::wstring& path, DWORD attributes, Kind kind, Problem& problem);
  /// Notes a file or folder this run created.
  void Remember(const std::wstring& path, Kind kind);

  ScopedFileHandle file_;                 // the file being written
  std::vector<std::wstring> created_files_;
  std::vector<std::wstring> created_folders_;
  std::unordered_set<std::wstring> created_keys_;  // the same paths, upper-cased as the system compares names
  std::vector<MovedAside> moved_aside_;
  std::unordered_set<std::wstring> aside_keys_;    // the aside names, upper-cased: a later entry may have one
  unsigned long next_aside_ = 1;                   // the number in the next aside name tried
};

}  // namespace harwarchive
