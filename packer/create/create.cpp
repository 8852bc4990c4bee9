#include "packer/create/create.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <vector>

#include "packer/cli/cli.h"
#include "packer/extractors/nsis/compile_progress.h"
#include "packer/platform/file_io.h"
#include "packer/input/folder_check.h"
#include "packer/input/folder_list.h"
#include "packer/installed/installed.h"
#include "packer/platform/interrupt.h"
#include "packer/extractors/nsis/compiler.h"
#include "packer/program/options_check.h"
#include "packer/image/pe.h"
#include "packer/container/reader.h"
#include "packer/program/stub_check.h"
#include "packer/platform/text.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// What the checks found out about a request, for the work after them.
struct CheckedRequest {
  UpdaterSettings settings;          ///< the settings the parameter string leads to
  std::vector<FolderEntry> entries;  ///< the folder's listing, for a folder build
  std::vector<HeldFile> held;        ///< its files, held open since the check (builtin extractor)
  Edition edition = Edition::kX86;   ///< the stub's edition, which the extractor is built for
  fs::path extractor_program;        ///< the builtin extractor's program, of that edition
};

/// Prints the failure; after an interrupt, whatever step it ended says only that.
int Fail(std::ostream& err, const std::string& message) {
  if (InterruptSignal() != 0) {
    err << "harwpack: " << InterruptError() << "; no package was written, and the temporary files are removed\n";
  } else {
    err << "harwpack: " << message << "\n";
  }
  return kExitFailure;
}

/// Prints the messages; returns true when none is an error.
bool Report(const std::vector<CheckMessage>& messages, std::ostream& err) {
  bool clean = true;
  for (const CheckMessage& m : messages) {
    const bool error = m.severity == Severity::kError;
    err << "harwpack: " << (error ? "error: " : "warning: ") << m.text << "\n";
    clean = clean && !error;
  }
  return clean;
}

/// Checks the parameter string (when given) and returns the settings it leads to.
bool CheckParameterText(const std::optional<std::string>& text, UpdaterSettings& settings, std::ostream& err) {
  if (!text) return true;
  const std::optional<std::u16string> units = Utf8ToUtf16(*text);
  if (!units) {
    Fail(err, "the parameter string is not valid UTF-8");
    return false;
  }
  const ParameterReport report = CheckParameters(*units);
  settings = report.settings;
  return Report(report.messages, err);
}

/// Lists the folder once and makes the checks that only a folder build can
/// make; the extractor is then built from exactly that listing. The builtin
/// extractor's files are held open from here until they are packed.
bool CheckFolderBuild(const CreateRequest& request, CheckedRequest& checked, std::ostream& err) {
  const fs::path& folder = *request.folder;
  const UpdaterSettings& settings = checked.settings;
  std::vector<FolderEntry>& entries = checked.entries;
  const bool nsis = request.extractor == ExtractorKind::kNsis;
  std::vector<CheckMessage> messages;
  for (const std::string& problem : {CheckInputFolder(folder), CheckFolderName(settings.folder_name)}) {
    if (!problem.empty()) messages.push_back({Severity::kError, problem});
  }
  if (messages.empty()) {
    const std::string error = ListFolder(folder, entries);
    if (!error.empty()) messages.push_back({Severity::kError, error});
  }
  if (!messages.empty()) return Report(messages, err);
  CheckFolderContents(folder, entries, messages);
  CheckSetupInFolder(settings, folder, entries, messages);
  CheckUnpackedPaths(settings.folder_name, entries, messages);
  if (nsis) CheckFolderSize(folder, entries, messages);  // NSIS's own limit
  if (!Report(messages, err)) return false;
  messages.clear();
  // Only now: it opens every file.
  if (nsis) {
    CheckFilesReadable(entries, messages);
  } else {
    HoldFiles(entries, checked.held, messages);
  }
  return Report(messages, err);
}

/// The files of a listing and their bytes.
CompileTotals CountFiles(const std::vector<FolderEntry>& entries, Compression compression) {
  CompileTotals totals;
  totals.compression = compression;
  for (const FolderEntry& entry : entries) {
    if (entry.kind != EntryKind::kFile) continue;
    ++totals.files;
    totals.bytes += entry.size;
  }
  return totals;
}

/// The phase line of a check that passed: what was checked, with its figures.
std::string CheckedLine(const CreateRequest& request, const std::vector<FolderEntry>& entries) {
  if (!request.folder) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(*request.archive, ec);
    return "checked the archive " + PathToUtf8(*request.archive) + ": " + std::to_string(ec ? 0 : size) + " bytes";
  }
  const CompileTotals totals = CountFiles(entries, request.compression);
  const auto folders = std::count_if(entries.begin(), entries.end(),
                                     [](const FolderEntry& entry) { return entry.kind == EntryKind::kFolder; });
  return "checked " + PathToUtf8(*request.folder) + ": " + Counted(totals.files, "file") + ", " +
         Counted(static_cast<std::uint64_t>(folders), "folder") + ", " + std::to_string(totals.bytes) + " bytes (" + Megabytes(totals.bytes) + ")";
}

/// "12.3 s" from a duration.
std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

/// Compiles the extractor with NSIS `version`; on a terminal the live line follows the compiler. "" or the error.
std::string Compile(const ExtractorJob& job, const CompileTotals& totals, const std::string& version,
                    const TempDirectory& work, std::size_t& clamped, Reporter& report) {
  const std::string files = Counted(totals.files, "file") + " (" + Megabytes(totals.bytes) + ")";
  report.Line(job.compression == Compression::kNone
                  ? "storing " + files + " uncompressed with NSIS " + version
                  : "compressing " + files + " with " + CompressionSettings(job.compression) + ", NSIS " + version);
  CompileWatcher watcher(work.path(), totals, report);
  std::function<void()> update;
  if (report.mode() == OutputMode::kTerminal) update = [&watcher] { watcher.Update(); };
  const std::string error = BuildExtractor(job, work.path(), clamped, update);
  report.EndLive();
  return error;
}

/// Compiles the listing into a self-extractor inside `work`; returns its path or "" after an error.
fs::path MakeNsisExtractor(const CreateRequest& request, CheckedRequest checked, const TempDirectory& work,
                           Reporter& report, std::ostream& err) {
  const CompileTotals totals = CountFiles(checked.entries, request.compression);
  ExtractorJob job{std::move(checked.entries), checked.settings.folder_name, request.makensis,
                   request.source_date_epoch, request.compression, checked.edition};
  std::string version;
  std::size_t clamped = 0;
  const auto start = std::chrono::steady_clock::now();
  std::string error = ProbeMakensis(job.makensis, work.path(), version);
  if (error.empty()) error = Compile(job, totals, version, work, clamped, report);
  if (!error.empty()) {
    Fail(err, error);
    return {};
  }
  report.Line("compiled the self-extractor with NSIS " + version);
  if (request.source_date_epoch) {
    report.Line("stored " + std::to_string(clamped) + " file time(s) as SOURCE_DATE_EPOCH " +
                std::to_string(*request.source_date_epoch) + " (they were newer)");
  }
  const fs::path extractor = work.path() / kExtractorName;
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(extractor, ec);
  report.Line("self-extractor: " + std::to_string(ec ? 0 : size) + " bytes (" + Megabytes(ec ? 0 : size) +
              " from " + Megabytes(totals.bytes) + ") in " + Seconds(std::chrono::steady_clock::now() - start));
  return extractor;
}

/// The live line of the builtin archive's compression, from its own counters.
std::string ArchiveLiveText(std::uint64_t done, std::uint64_t total, std::chrono::steady_clock::time_point start) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  return "compressing with zstd: " + std::to_string(PerCent(done, total)) + " % of " + Megabytes(total) + ", " +
         std::to_string(seconds.count()) + " s";
}

/// A decoder window of 2^`log` bytes as people read it: "256 KiB", "128 MiB".
std::string WindowSize(std::uint32_t log) {
  if (log >= 20) return std::to_string(1u << (log - 20)) + " MiB";
  if (log >= 10) return std::to_string(1u << (log - 10)) + " KiB";
  return std::to_string(1u << log) + " bytes";
}

/// Writes the builtin self-extractor of the listing inside `work`; returns its path or "" after an error.
fs::path MakeBuiltinExtractor(const CreateRequest& request, CheckedRequest checked, const TempDirectory& work,
                              Reporter& report, std::ostream& err) {
  const CompileTotals totals = CountFiles(checked.entries, request.compression);
  ArchiveJob job{std::move(checked.entries), &checked.held, checked.settings.folder_name,
                 request.source_date_epoch, request.level, 0};
  report.Line("compressing " + Counted(totals.files, "file") + " (" + Megabytes(totals.bytes) + ") with zstd " +
              ZstdVersion() + " at level " + std::to_string(request.level) + " for the " +
              EditionName(checked.edition) + " extractor");
  const auto start = std::chrono::steady_clock::now();
  ArchiveProgress progress;
  if (report.mode() == OutputMode::kTerminal) {
    progress = [&](std::uint64_t done) { report.Live(ArchiveLiveText(done, totals.bytes, start)); };
  }
  const fs::path extractor = work.path() / kExtractorName;
  ArchiveResult result;
  const std::string error = WriteBuiltinExtractor(job, checked.extractor_program, extractor, result, progress);
  report.EndLive();
  if (!error.empty()) {
    Fail(err, error);
    return {};
  }
  report.Line("built the self-extractor on " + PathToUtf8(checked.extractor_program));
  if (request.source_date_epoch) {
    report.Line("stored " + std::to_string(result.clamped) + " file time(s) as SOURCE_DATE_EPOCH " +
                std::to_string(*request.source_date_epoch) + " (they were newer)");
  }
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(extractor, ec);
  report.Line("self-extractor: " + std::to_string(ec ? 0 : size) + " bytes (" + Megabytes(ec ? 0 : size) +
              " from " + Megabytes(totals.bytes) + "; decoder window " + WindowSize(result.window_log) + ") in " +
              Seconds(std::chrono::steady_clock::now() - start));
  return extractor;
}

/// Warns when the embedded executable does not even start like a Windows
/// program, or is a program of the other edition than the stub's: the
/// package would then need Windows' 32-bit subsystem, or a 64-bit Windows.
void CheckArchiveLooksExecutable(const fs::path& archive, Edition stub_edition, std::ostream& err) {
  InputFile file(archive, "archive");
  std::vector<std::uint8_t> head;
  if (!file.ok() || !file.ReadHead(kPeHeaderProbe, head)) return;
  if (head.size() < 2 || head[0] != 'M' || head[1] != 'Z') {
    err << "harwpack: warning: archive does not start like a Windows executable (no MZ header)\n";
    return;
  }
  const std::optional<Edition> edition = ImageEdition(head.data(), head.size());
  if (edition && *edition != stub_edition) {
    err << "harwpack: warning: archive is a program of the " << EditionName(*edition) << " edition, the stub of the "
        << EditionName(stub_edition) << " edition: the package is not one edition throughout\n";
  }
}

/// Signs the self-extractor in the working folder (a given one is copied
/// there first, so that the vendor's file stays as it is); returns its path or "".
fs::path SignExtractor(const SignRequest& sign, const fs::path& extractor, const TempDirectory& work,
                       Reporter& report, std::ostream& err) {
  const fs::path target = work.path() / kExtractorName;
  std::error_code ec;
  if (extractor != target && !fs::copy_file(extractor, target, ec)) {
    Fail(err, "cannot copy the archive '" + PathToUtf8(extractor) + "' to sign it (" + ec.message() + ")");
    return {};
  }
  const std::string error =
      SignFile(sign, target, work.path() / "extractor.signed.exe", "the self-extractor", report, err);
  if (!error.empty()) {
    Fail(err, error);
    return {};
  }
  report.Line("signed the self-extractor");
  return target;
}

/// What a run of the package reads: the container's place, its parameter block and the archived data.
std::string ContainerFingerprint(const fs::path& package, std::string& print) {
  ContainerInfo info;
  std::string digest;
  std::string error = ReadContainer(package, info);
  if (error.empty()) error = HashArchivedData(package, info, digest);
  print = std::to_string(info.marker_offset) + " " + std::to_string(info.params_size) + " " +
          Utf16ToUtf8(info.parameters) + " " + std::to_string(info.data_size) + " " + digest;
  return error;
}

/// Signs the complete temporary package and makes sure the signer kept what the program reads.
std::string SignPackage(const SignRequest& sign, const fs::path& staged, Reporter& report, std::ostream& err) {
  std::string before;
  std::string after;
  std::string error = ContainerFingerprint(staged, before);
  fs::path copy = staged;
  copy.replace_extension();  // "<out>.<random>.partial.exe" -> "<out>.<random>.signed.exe"
  copy.replace_extension(".signed.exe");
  if (error.empty()) error = SignFile(sign, staged, copy, "the package", report, err);
  if (!error.empty()) return error;
  error = ContainerFingerprint(staged, after);
  if (!error.empty() || after != before) {
    return "the signing command changed what the program reads of the package" +
           (error.empty() ? std::string() : " (" + error + ")");
  }
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(staged, ec);
  if (!ec && size > kMaxPackageSize) {
    return "the signed package is " + std::to_string(size) + " bytes; it must stay below 4 GiB";
  }
  report.Line("signed the package");
  return "";
}

/// Writes the package and reports the outcome.
int Pack(const PackageSpec& package, Reporter& report, std::ostream& err) {
  std::uint64_t size = 0;
  if (CheckPackageSize(package, &size).empty()) {  // else writing fails the same way, and says so
    report.Line("writing " + std::to_string(size) + " bytes (" + Megabytes(size) + ") to " +
                PathToUtf8(package.output));
  }
  const BuildResult result = BuildPackage(package);
  for (const std::string& note : result.notes) err << "harwpack: note: " << note << "\n";
  if (!result.error.empty()) return Fail(err, result.error);
  report.Line("created " + PathToUtf8(package.output) + " (container at byte " +
              std::to_string(result.marker_offset) + ")");
  return kExitOk;
}

/// Whether `folder` holds `file` or a folder on its way, compared as the
/// same folder (so links, case and `..` do not hide it) along the path as
/// written and along the path with its links resolved.
bool FolderHolds(const fs::path& folder, const fs::path& file) {
  std::error_code ec;
  const fs::path written = fs::absolute(file, ec);
  if (ec) return false;
  const fs::path resolved = fs::weakly_canonical(written, ec);
  for (const fs::path& path : {written, ec ? written : resolved}) {
    for (fs::path at = path.parent_path(); !at.empty(); at = at.parent_path()) {
      if (fs::equivalent(at, folder, ec)) return true;
      if (at == at.parent_path()) break;
    }
  }
  return false;
}

/// Why the output cannot be written, found before any work: it names an
/// input, a folder or a place inside the folder to pack, or no file can be
/// created and written beside it.
std::string CheckOutput(const CreateRequest& request) {
  const fs::path& output = request.package.output;
  const std::string label = "output '" + PathToUtf8(output) + "'";
  std::error_code ec;
  if (fs::equivalent(output, request.package.stub, ec)) return label + " is the stub itself";
  if (request.archive && fs::equivalent(output, *request.archive, ec)) return label + " is the archive itself";
  if (fs::is_directory(output, ec)) return label + " is a directory";
  // A package written into the folder would be packed by the next run.
  if (request.folder && FolderHolds(*request.folder, output)) {
    return label + " is inside the folder to pack, '" + PathToUtf8(*request.folder) + "'; write it elsewhere";
  }
  // A probe where the package's temporary file will go: a folder that is
  // missing, read-only or full shows now, not after the compression.
  StagedOutput probe(output, ".probe");
  const std::uint8_t byte = 0;
  if (!probe.Write(&byte, 1) || !probe.Close()) return label + " cannot be written: " + probe.error();
  return "";
}

/// Why the stub is not of the edition asked for; "" when it is or none was asked for.
std::string CheckEdition(const CreateRequest& request, Edition edition) {
  if (!request.edition || *request.edition == edition) return "";
  return "stub '" + PathToUtf8(request.package.stub) + "' is the " + EditionName(edition) + " edition, not the " +
         EditionName(*request.edition) + " edition that --arch asks for";
}

/// The builtin extractor's program for the stub's edition, found and checked.
std::string FindExtractorProgram(const CreateRequest& request, CheckedRequest& checked) {
  const ProgramLookup lookup = ChooseExtractorProgram(request.extractor_program, request.package.stub, checked.edition);
  if (!lookup.error.empty()) return lookup.error;
  checked.extractor_program = lookup.path;
  return CheckExtractorProgram(lookup.path, checked.edition);
}

/// Everything that can be checked before work starts: the parameters, the
/// stub, the archive or the folder, the package's size and the output.
bool CheckRequest(const CreateRequest& request, CheckedRequest& checked, Reporter& report, std::ostream& err) {
  if (!CheckParameterText(request.package.parameters, checked.settings, err)) return false;
  std::string problem = CheckStub(request.package.stub, &checked.edition);
  if (problem.empty()) problem = CheckEdition(request, checked.edition);
  if (problem.empty() && request.folder && request.extractor == ExtractorKind::kBuiltin) {
    problem = FindExtractorProgram(request, checked);
  }
  if (problem.empty() && request.archive) problem = CheckInputFile(*request.archive, "archive");
  if (problem.empty() && request.archive) {
    PackageSpec sized = request.package;
    sized.archive = *request.archive;
    problem = CheckPackageSize(sized);
  }
  if (!problem.empty()) {
    Fail(err, problem);
    return false;
  }
  if (request.folder && !CheckFolderBuild(request, checked, err)) return false;
  if (request.archive) CheckArchiveLooksExecutable(*request.archive, checked.edition, err);
  problem = CheckOutput(request);
  if (!problem.empty()) {
    Fail(err, problem);
    return false;
  }
  report.Line(CheckedLine(request, checked.entries));
  return true;
}

}  // namespace

int RunCreate(CreateRequest request, std::ostream& out, std::ostream& err) {
  Reporter report(out, request.output);
  CheckedRequest checked;
  if (!CheckRequest(request, checked, report, err)) return kExitFailure;
  if (InterruptSignal() != 0) return Fail(err, "");

  std::unique_ptr<TempDirectory> work;  // holds the extractor and the signer's files until the end
  if (request.folder || request.sign) {
    work = std::make_unique<TempDirectory>();
    if (!work->ok()) return Fail(err, work->error());
  }
  PackageSpec& package = request.package;
  if (!request.folder) {
    package.archive = *request.archive;
  } else if (request.extractor == ExtractorKind::kNsis) {
    package.archive = MakeNsisExtractor(request, std::move(checked), *work, report, err);
  } else {
    package.archive = MakeBuiltinExtractor(request, std::move(checked), *work, report, err);
  }
  if (package.archive.empty()) return kExitFailure;
  if (request.sign) {
    SignRequest& sign = *request.sign;
    sign.log_dir = work->path();
    package.archive = SignExtractor(sign, package.archive, *work, report, err);
    if (package.archive.empty()) return kExitFailure;
    package.before_commit = [&sign, &report, &err](const fs::path& staged) {
      return SignPackage(sign, staged, report, err);
    };
  }
  return Pack(package, report, err);
}

}  // namespace harwpack
