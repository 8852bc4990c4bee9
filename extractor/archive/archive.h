// The archive that the project's own self-extractor carries: its layout, the
// rules every entry must keep, and the checks a reader makes before anything
// is written. Portable C++17 without exceptions: the extractor, the packer
// (which also writes archives) and the fuzz target compile this one copy.
// extractor/FORMAT.md describes the layout in prose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace harwarchive {

/// The eight bytes an archive starts with.
inline constexpr std::uint8_t kMagic[8] = {'H', 'W', 'X', 'A', 'R', 'C', '\r', '\n'};
/// The layout described here.
inline constexpr std::uint16_t kVersion = 1;
/// Bytes of the header.
inline constexpr std::size_t kHeaderSize = 64;
/// Bytes of a frame record in the table.
inline constexpr std::size_t kFrameRecordSize = 16;
/// Bytes of an entry record before its path.
inline constexpr std::size_t kEntryFixedSize = 32;

/// The largest decoder window an archive may ask for (2^27 bytes, 128 MiB):
/// the extractor allocates it, so a larger one is refused before anything is
/// allocated. harwpack compresses with 2^26 since its decoder's pages were
/// seen to cost most; packages made before ask for 2^27 (extractor/FORMAT.md).
inline constexpr unsigned kMaxWindowLog = 27;
/// The smallest window zstd writes into a frame header.
inline constexpr unsigned kMinWindowLog = 10;
/// Most entries in one archive.
inline constexpr std::uint32_t kMaxEntries = 1u << 20;
/// Most frames in one archive.
inline constexpr std::uint32_t kMaxFrames = 1u << 16;
/// Most bytes of the table (entries and frame records).
inline constexpr std::uint32_t kMaxTableSize = 64u << 20;
/// The longest path below the current folder a file may have (UTF-16 units):
/// the extractor is not long-path aware, and "C:\" plus this is MAX_PATH less one.
inline constexpr std::size_t kMaxFilePath = 256;
/// The same for a folder: CreateDirectoryW leaves room for an 8.3 name.
inline constexpr std::size_t kMaxFolderPath = 244;
/// The attribute bits an entry may carry: read-only, hidden, system, archive.
inline constexpr std::uint32_t kAllowedAttributes = 0x01 | 0x02 | 0x04 | 0x20;

/// What an entry is.
enum class Kind : std::uint8_t {
  kFolder = 1,  ///< a folder; made before any file is written
  kFile = 2,    ///< a file; its bytes follow those of the files before it in the table
};

/// How an archive, an entry or the writing of one failed; the values are the
/// extractor's exit codes (extractor/FORMAT.md).
enum class Failure : int {
  kNone = 0,
  kUsage = 1,         ///< the extractor was started with arguments
  kNoArchive = 2,     ///< the extractor's own file cannot be read, or carries no archive
  kDamaged = 3,       ///< cut, damaged or inconsistent: header, table, data or a checksum
  kRefusedEntry = 4,  ///< an entry's path is one the extractor never writes
  kInTheWay = 5,      ///< something on disk is in the way: a link or junction, a file where a folder goes
  kWriteFailed = 6,   ///< the system refused to create or write something
  kNoMemory = 7,      ///< the memory for decoding cannot be had
};

/// One failure, told in one line.
struct Problem {
  Failure failure = Failure::kNone;
  std::string message;
};

/// Sets `problem` and returns false, for the checks' early returns.
bool Fail(Problem& problem, Failure failure, const std::string& message);

/// The header's fields.
struct Header {
  std::uint32_t entry_count = 0;
  std::uint32_t frame_count = 0;
  std::uint32_t table_size = 0;       ///< bytes of the table, which follows the header
  std::uint32_t window_log = 0;       ///< the decoder window every frame fits in: 2^window_log bytes
  std::uint64_t content_size = 0;     ///< the files' bytes together
  std::uint64_t data_size = 0;        ///< the frames' bytes together, which follow the table
  std::uint64_t table_checksum = 0;   ///< Checksum of the table
};

/// One zstd frame of the data.
struct Frame {
  std::uint64_t compressed_size = 0;  ///< its bytes in the archive
  std::uint64_t content_size = 0;     ///< the bytes it decodes to
};

/// One folder or file.
struct Entry {
  Kind kind = Kind::kFile;
  std::uint32_t attributes = 0;  ///< FILE_ATTRIBUTE_ bits of kAllowedAttributes
  std::uint64_t size = 0;        ///< bytes of a file's content; 0 for a folder
  std::uint64_t modified = 0;    ///< last write time, 100 ns since 1601-01-01 UTC
  std::uint64_t checksum = 0;    ///< Checksum of a file's content; 0 for a folder
  std::u16string path;           ///< below the current folder, parts joined by '\'
};

/// An archive's header and table.
struct Table {
  Header header;
  std::vector<Frame> frames;
  std::vector<Entry> entries;
};

/// XXH64 (seed 0) of `size` bytes: the archive's checksum.
std::uint64_t Checksum(const void* data, std::size_t size);

/// Checksum over bytes that arrive in pieces.
class RunningChecksum {
 public:
  RunningChecksum();
  /// Adds the next `size` bytes.
  void Add(const void* data, std::size_t size);
  /// Checksum of all bytes added so far.
  std::uint64_t Value() const;

 private:
  alignas(8) unsigned char state_[96];  // an XXH64 state, kept opaque here
};

/// Reads the header from its kHeaderSize bytes; `available` is how many bytes
/// the archive may take from its start (up to a signature, or the end of the
/// file). Checks everything the header alone tells: magic, version, its own
/// checksum, the window, and that the archive fits in `available`.
bool ReadHeader(const std::uint8_t* data, std::uint64_t available, Header& header, Problem& problem);

/// Reads the table (header.table_size bytes) and checks it against the header
/// and every entry against the rules (CheckEntryPath, parents before their
/// contents, one top folder, no name twice); `table` holds it on success.
bool ReadTable(const Header& header, const std::uint8_t* data, Table& table, Problem& problem);

/// Why `part`, one name of a path, is one the extractor never writes: empty,
/// "." or "..", a character Windows does not allow (control characters and
/// <>:"/\|?*, so no stream either), a trailing dot or blank, half of a
/// surrogate pair, or a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9 with
/// the superscript digits, CONIN$, CONOUT$), also with an extension. "" when
/// none of these.
std::string CheckName(const std::u16string& part);

/// Why `path` cannot be an entry of kind `kind`: empty, too long, absolute or
/// with a drive, or a part refused by CheckName. "" when it can.
std::string CheckEntryPath(const std::u16string& path, Kind kind);

/// `path` with a to z as A to Z, the way names are compared here; the
/// extractor leaves the rest of Windows' case rules to the system.
std::u16string FoldCase(std::u16string path);

/// The header's kHeaderSize bytes, its own checksum included.
std::vector<std::uint8_t> EncodeHeader(const Header& header);

/// The table's bytes: the frame records, then the entries.
std::vector<std::uint8_t> EncodeTable(const std::vector<Frame>& frames, const std::vector<Entry>& entries);

/// UTF-8 for a message; a half surrogate pair becomes U+FFFD.
std::string ToUtf8(const std::u16string& text);

/// `text` from an archive as one printable line of UTF-8, for a message:
/// control characters (C0, DEL, C1) and line or paragraph separators become
/// "\xNN" or "\uNNNN", half a surrogate pair "\uD800"-style, so that no name
/// can break a message into two lines or send the console a control sequence.
std::string Printable(const std::u16string& text);

/// Printable(text) in single quotes, the way messages show a name.
std::string Quoted(const std::u16string& text);

/// Where an extractor's archive lies: right behind its image, which ends
/// with the section that ends last in the file; it may reach up to an
/// Authenticode certificate table (which signing appends, so the signature
/// covers the archive) or else the end of the file.
struct Placement {
  std::uint64_t start = 0;      ///< file offset of the archive's header
  std::uint64_t available = 0;  ///< bytes from there to the certificate table or the end
};

/// Finds the placement from the first `size` bytes of an extractor of
/// `file_size` bytes (its PE headers and section table must lie in them).
bool LocateArchive(const std::uint8_t* head, std::size_t size, std::uint64_t file_size, Placement& placement,
                   Problem& problem);

/// Bytes of an extractor's start that LocateArchive needs at most.
inline constexpr std::size_t kImageHeadSize = 4096;

}  // namespace harwarchive
