#include "packer/extractors/builtin/archive_writer.h"

#include <algorithm>
#include <memory>
#include <thread>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams: the level's own chain log
#include <zstd.h>

#include "archive/archive.h"
#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// Bytes read from a file at a time.
constexpr std::size_t kReadSize = 1 << 20;
/// The bytes of the manifest name only the project's extractor carries.
constexpr char kExtractorIdentity[] = "name=\"HarwExtract\"";

/// An entry of the archive and, for a file, where it comes from.
struct Planned {
  harwarchive::Entry entry;
  std::size_t listed = 0;  // index into the job's listing (files only)
};

std::u16string Utf16(const std::string& text) { return Utf8ToUtf16(text).value_or(std::u16string()); }

/// The folders the extractor creates for the folder name itself: "Sub\Disk1" gives "Sub" and "Sub\Disk1".
std::vector<std::u16string> RootFolders(const std::u16string& folder_name) {
  std::vector<std::u16string> folders;
  std::u16string path;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = folder_name.find_first_of(u"\\/", start);
    const std::u16string part = folder_name.substr(start, end == std::u16string::npos ? end : end - start);
    if (!part.empty()) {
      path += (path.empty() ? u"" : u"\\") + part;
      folders.push_back(path);
    }
    if (end == std::u16string::npos) return folders;
    start = end + 1;
  }
}

/// The lower-case extension of a name: files of one kind are packed side by side.
std::string Kind(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  std::string kind = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  for (char& c : kind) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return kind;
}

/// The file entries in the order their bytes are packed: by kind, then by path.
std::vector<std::size_t> FileOrder(const std::vector<FolderEntry>& entries) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind == EntryKind::kFile) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&entries](std::size_t a, std::size_t b) {
    const std::string ka = Kind(entries[a].name);
    const std::string kb = Kind(entries[b].name);
    return ka != kb ? ka < kb : RelativeName(entries[a]) < RelativeName(entries[b]);
  });
  return order;
}

/// The file's stored time and attributes, from its held handle.
std::string FileFields(const ArchiveJob& job, std::size_t listed, harwarchive::Entry& entry, ArchiveResult& result) {
  const HeldFile& file = (*job.files)[listed];
  const std::string error = file.ModificationTicks(entry.modified);
  if (!error.empty()) return "cannot read the time of '" + PathToUtf8(job.entries[listed].relative) + "'" + error;
  if (job.source_date_epoch && entry.modified > TicksFromUnixSeconds(*job.source_date_epoch)) {
    entry.modified = TicksFromUnixSeconds(*job.source_date_epoch);
    ++result.clamped;
  }
  entry.attributes = file.read_only() ? 0x01 : 0;  // FILE_ATTRIBUTE_READONLY
  entry.size = job.entries[listed].size;
  return "";
}

/// The archive's entries: the folder name's folders, the listed folders in
/// listing order (each before its contents), then the files in packing order.
std::string PlanEntries(const ArchiveJob& job, std::vector<Planned>& planned, ArchiveResult& result) {
  const std::vector<std::u16string> roots = RootFolders(job.folder_name);
  if (roots.empty()) return "the folder name is empty";
  for (const std::u16string& root : roots) planned.push_back({{harwarchive::Kind::kFolder, 0, 0, 0, 0, root}, 0});
  const std::u16string prefix = roots.back() + u"\\";
  for (std::size_t i = 0; i < job.entries.size(); ++i) {
    if (job.entries[i].kind != EntryKind::kFolder) continue;
    planned.push_back({{harwarchive::Kind::kFolder, 0, 0, 0, 0, prefix + Utf16(RelativeName(job.entries[i]))}, i});
  }
  for (std::size_t i : FileOrder(job.entries)) {
    Planned file{{harwarchive::Kind::kFile, 0, 0, 0, 0, prefix + Utf16(RelativeName(job.entries[i]))}, i};
    const std::string error = FileFields(job, i, file.entry, result);
    if (!error.empty()) return error;
    planned.push_back(std::move(file));
  }
  for (const Planned& p : planned) {
    const std::string problem = harwarchive::CheckEntryPath(p.entry.path, p.entry.kind);
    if (!problem.empty()) return "the archive cannot hold " + harwarchive::Quoted(p.entry.path) + ": it " + problem;
  }
  std::uint64_t path_units = 0;
  for (const Planned& p : planned) path_units += p.entry.path.size();
  return CheckTableLimits(planned.size(), path_units);
}

struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using Context = std::unique_ptr<ZSTD_CCtx, ContextDeleter>;

/// A context set up for the archive: the level, harwpack's window (within
/// what the extractor decodes), long-distance matching, a content checksum
/// and size in the frame, and threads on jobs of a fixed size (zstd gives the
/// same bytes for any number of threads).
std::string MakeContext(const ArchiveJob& job, std::uint64_t content, Context& context) {
  static_assert(kWindowLog <= harwarchive::kMaxWindowLog, "the extractor must decode the window");
  context.reset(ZSTD_createCCtx());
  if (!context) return "not enough memory for the zstd compressor";
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const unsigned threads = job.threads != 0 ? job.threads : std::min(cores, kMaxThreads);
  // 0 leaves the level's own chain; zstd shrinks what is set to a small content.
  const unsigned level_chain = ZSTD_getCParams(job.level, content, 0).chainLog;
  const int chain = job.level >= kChainLevel && level_chain < kChainLog ? static_cast<int>(kChainLog) : 0;
  const std::pair<ZSTD_cParameter, int> settings[] = {
      {ZSTD_c_compressionLevel, job.level},
      {ZSTD_c_windowLog, static_cast<int>(kWindowLog)},
      {ZSTD_c_chainLog, chain},
      {ZSTD_c_enableLongDistanceMatching, 1},
      {ZSTD_c_checksumFlag, 1},
      {ZSTD_c_contentSizeFlag, 1},
      {ZSTD_c_nbWorkers, static_cast<int>(threads)},
      {ZSTD_c_jobSize, kJobSize},
  };
  for (const auto& [parameter, value] : settings) {
    const std::size_t result = ZSTD_CCtx_setParameter(context.get(), parameter, value);
    if (ZSTD_isError(result)) return std::string("zstd refused a compression setting: ") + ZSTD_getErrorName(result);
  }
  const std::size_t pledged = ZSTD_CCtx_setPledgedSrcSize(context.get(), content);
  if (ZSTD_isError(pledged)) return std::string("zstd refused the content size: ") + ZSTD_getErrorName(pledged);
  return "";
}

/// Compresses what the context holds so far (or everything, with ZSTD_e_end) into `out`.
std::string Drain(ZSTD_CCtx* context, ZSTD_inBuffer& in, ZSTD_EndDirective mode, StagedOutput& out,
                  std::vector<std::uint8_t>& buffer, std::vector<std::uint8_t>& frame_start) {
  for (;;) {
    ZSTD_outBuffer chunk = {buffer.data(), buffer.size(), 0};
    const std::size_t left = ZSTD_compressStream2(context, &chunk, &in, mode);
    if (ZSTD_isError(left)) return std::string("zstd failed: ") + ZSTD_getErrorName(left);
    if (frame_start.size() < 32) {
      frame_start.insert(frame_start.end(), buffer.data(), buffer.data() + std::min<std::size_t>(chunk.pos, 32));
    }
    if (chunk.pos != 0 && !out.Write(buffer.data(), chunk.pos)) return out.error();
    const bool finished = mode == ZSTD_e_end ? left == 0 : in.pos == in.size;
    if (finished) return "";
  }
}

/// Feeds one file to the compressor, checking that it still has its listed size.
std::string PackFile(const ArchiveJob& job, const Planned& file, ZSTD_CCtx* context, StagedOutput& out,
                     std::vector<std::uint8_t>& frame_start, harwarchive::Entry& entry, std::uint64_t& done,
                     const ArchiveProgress& progress) {
  HeldFile& held = (*job.files)[file.listed];
  const auto shown = [&] { return "'" + PathToUtf8(job.entries[file.listed].relative) + "'"; };
  std::vector<std::uint8_t> input(kReadSize);
  std::vector<std::uint8_t> buffer(ZSTD_CStreamOutSize());
  harwarchive::RunningChecksum checksum;
  std::uint64_t read = 0;
  for (;;) {
    if (InterruptSignal() != 0) return InterruptError();
    std::size_t got = 0;
    const std::string error = held.Read(input.data(), input.size(), got);
    if (!error.empty()) return shown() + " cannot be read" + error;
    if (got == 0) break;
    read += got;
    if (read > entry.size) break;
    checksum.Add(input.data(), got);
    ZSTD_inBuffer in = {input.data(), got, 0};
    const std::string drained = Drain(context, in, ZSTD_e_continue, out, buffer, frame_start);
    if (!drained.empty()) return drained;
    done += got;
    if (progress) progress(done);
  }
  if (read != entry.size) {
    return shown() + " changed while it was packed (" + std::to_string(entry.size) + " bytes when checked, " +
           (read > entry.size ? "more" : std::to_string(read)) + " now)";
  }
  held.Close();
  entry.checksum = checksum.Value();
  return "";
}

/// The window a zstd frame header names, as a power of two (RFC 8878, 3.1.1.1).
std::uint32_t FrameWindowLog(const std::vector<std::uint8_t>& frame) {
  if (frame.size() < 6) return harwarchive::kMaxWindowLog;
  const std::uint8_t descriptor = frame[4];
  std::uint64_t window = 0;
  if (descriptor & 0x20) {  // single segment: the window is the content
    const int size_bytes[] = {1, 2, 4, 8};
    const int bytes = size_bytes[descriptor >> 6];
    const std::size_t at = 5 + (descriptor & 0x03 ? (1u << ((descriptor & 0x03) - 1)) : 0);
    for (int i = bytes - 1; i >= 0 && at + i < frame.size(); --i) window = (window << 8) | frame[at + i];
    if (bytes == 2) window += 256;
  } else {
    const std::uint32_t log = 10 + (frame[5] >> 3);
    window = (std::uint64_t{1} << log) + ((std::uint64_t{1} << log) / 8) * (frame[5] & 7);
  }
  std::uint32_t log = harwarchive::kMinWindowLog;
  while (log < 63 && (std::uint64_t{1} << log) < window) ++log;
  return log;
}

}  // namespace

std::string CheckTableLimits(std::uint64_t entries, std::uint64_t path_units) {
  if (entries > harwarchive::kMaxEntries) {
    return "the archive would hold " + std::to_string(entries) + " files and folders; the builtin extractor " +
           "reads at most " + std::to_string(harwarchive::kMaxEntries);
  }
  const std::uint64_t table = harwarchive::kFrameRecordSize + entries * harwarchive::kEntryFixedSize + 2 * path_units;
  if (table > harwarchive::kMaxTableSize) {
    return "the archive's table of names would take " + std::to_string(table) + " bytes; the builtin extractor " +
           "reads at most " + std::to_string(harwarchive::kMaxTableSize) + " (shorter or fewer names fit)";
  }
  return "";
}

std::string ZstdVersion() { return ZSTD_versionString(); }

std::string CheckExtractorProgram(const fs::path& program, Edition edition) {
  InputFile file(program, "extractor program");
  std::vector<std::uint8_t> head;
  if (!file.ok() || !file.ReadHead(harwarchive::kImageHeadSize, head)) return file.error();
  const auto label = [&program] { return "extractor program '" + PathToUtf8(program) + "' "; };
  Edition found = Edition::kX86;
  const std::string problem = CheckConsoleProgram(head.data(), head.size(), file.size(), &found);
  if (!problem.empty()) return label() + problem;
  if (found != edition) return label() + "is the " + EditionName(found) + " edition, not the " + EditionName(edition) + " one";
  harwarchive::Placement placement;
  harwarchive::Problem located;
  if (!harwarchive::LocateArchive(head.data(), head.size(), file.size(), placement, located)) {
    return label() + "cannot be read as an image: " + located.message;
  }
  if (placement.available != 0) return label() + "already carries data behind its image; use the bare extractor";
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.size()));
  if (!file.ReadExact(bytes.data(), bytes.size(), "its image")) return file.error();
  const std::string identity(kExtractorIdentity);
  if (std::search(bytes.begin(), bytes.end(), identity.begin(), identity.end()) == bytes.end()) {
    return label() + "is not HarwExtract.exe, the project's extractor";
  }
  return "";
}

std::string WriteBuiltinExtractor(const ArchiveJob& job, const fs::path& program, const fs::path& output,
                                  ArchiveResult& result, const ArchiveProgress& progress) {
  result = ArchiveResult{};
  std::vector<Planned> planned;
  std::string error = PlanEntries(job, planned, result);
  if (!error.empty()) return error;
  harwarchive::Header header;
  std::vector<harwarchive::Entry> entries;
  for (const Planned& p : planned) {
    header.content_size += p.entry.size;
    result.files += p.entry.kind == harwarchive::Kind::kFile ? 1 : 0;
  }
  const std::uint32_t frames = header.content_size != 0 ? 1 : 0;
  StagedOutput out(output);
  InputFile bare(program, "extractor program");
  if (!bare.ok()) return bare.error();
  if (!out.ok()) return out.error();
  std::vector<std::uint8_t> copy(kCopyChunk);
  for (std::uint64_t left = bare.size(); left != 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, copy.size()));
    if (!bare.ReadExact(copy.data(), want, "its image") || !out.Write(copy.data(), want)) {
      return bare.ok() ? out.error() : bare.error();
    }
    left -= want;
  }
  const std::uint64_t archive_start = out.written();
  for (const Planned& p : planned) entries.push_back(p.entry);  // sizes and times known; checksums come
  std::vector<harwarchive::Frame> frame_records(frames);
  const std::vector<std::uint8_t> placeholder = harwarchive::EncodeTable(frame_records, entries);
  header.entry_count = static_cast<std::uint32_t>(entries.size());
  header.frame_count = frames;
  header.table_size = static_cast<std::uint32_t>(placeholder.size());
  const std::vector<std::uint8_t> zeros(harwarchive::kHeaderSize + placeholder.size(), 0);
  if (!out.Write(zeros.data(), zeros.size())) return out.error();
  std::vector<std::uint8_t> frame_start;
  if (frames != 0) {
    Context context;
    error = MakeContext(job, header.content_size, context);
    std::uint64_t done = 0;
    for (std::size_t i = 0; error.empty() && i < planned.size(); ++i) {
      if (planned[i].entry.kind != harwarchive::Kind::kFile) continue;
      error = PackFile(job, planned[i], context.get(), out, frame_start, entries[i], done, progress);
    }
    std::vector<std::uint8_t> buffer(ZSTD_CStreamOutSize());
    ZSTD_inBuffer none = {nullptr, 0, 0};
    if (error.empty()) error = Drain(context.get(), none, ZSTD_e_end, out, buffer, frame_start);
    // An interrupted create ends by its signal right after the clean-up:
    // freeing the context would first wait for the compression threads'
    // jobs, seconds each at the high levels.
    if (InterruptSignal() != 0) context.release();
    if (!error.empty()) return error;
    frame_records[0] = {out.written() - archive_start - zeros.size(), header.content_size};
    header.data_size = frame_records[0].compressed_size;
    header.window_log = FrameWindowLog(frame_start);
  }
  for (harwarchive::Entry& entry : entries) {
    if (entry.kind == harwarchive::Kind::kFile && entry.size == 0) entry.checksum = harwarchive::Checksum(nullptr, 0);
  }
  const std::vector<std::uint8_t> table = harwarchive::EncodeTable(frame_records, entries);
  header.table_checksum = harwarchive::Checksum(table.data(), table.size());
  std::vector<std::uint8_t> head = harwarchive::EncodeHeader(header);
  head.insert(head.end(), table.begin(), table.end());
  if (!out.Patch(archive_start, head.data(), head.size()) || !out.Commit()) return out.error();
  result.content_bytes = header.content_size;
  result.archive_bytes = out.written() - archive_start;
  result.window_log = header.window_log;
  return "";
}

}  // namespace harwpack
