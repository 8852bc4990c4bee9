#include "packer/create/create.h"

#include <memory>
#include <system_error>
#include <vector>

#include "packer/extractors/given/given.h"
#include "packer/program/program.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

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

/// The self-extractor the request asks for.
std::unique_ptr<SelfExtractor> ChosenExtractor(const CreateRequest& request) {
  if (!request.folder) return std::make_unique<GivenExtractor>(*request.archive);
  if (request.extractor == ExtractorKind::kNsis) {
    return std::make_unique<NsisExtractor>(*request.folder, request.makensis, request.compression);
  }
  return std::make_unique<BuiltinExtractor>(*request.folder, request.extractor_program, request.level);
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

/// Why the stub is not of the edition asked for; "" when it is or none was asked for.
std::string CheckEdition(const CreateRequest& request, Edition edition) {
  if (!request.edition || *request.edition == edition) return "";
  return "stub '" + PathToUtf8(request.package.stub) + "' is the " + EditionName(edition) + " edition, not the " +
         EditionName(*request.edition) + " edition that --arch asks for";
}

/// What can be checked before any input is read: the parameters, the stub
/// and what the self-extractor needs to be made.
bool CheckRequest(const CreateRequest& request, SelfExtractor& extractor, ExtractorInput& input,
                  std::ostream& err) {
  if (!CheckParameterText(request.package.parameters, input.settings, err)) return false;
  std::string problem = CheckStub(request.package.stub, &input.edition);
  if (problem.empty()) problem = CheckEdition(request, input.edition);
  if (problem.empty()) problem = extractor.CheckTools(request.package, input.edition);
  if (problem.empty()) return true;
  Fail(err, problem);
  return false;
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
  const auto label = [&output] { return "output '" + PathToUtf8(output) + "'"; };
  std::error_code ec;
  if (fs::equivalent(output, request.package.stub, ec)) return label() + " is the stub itself";
  if (request.archive && fs::equivalent(output, *request.archive, ec)) return label() + " is the archive itself";
  if (fs::is_directory(output, ec)) return label() + " is a directory";
  // A package written into the folder would be packed by the next run.
  if (request.folder && FolderHolds(*request.folder, output)) {
    return label() + " is inside the folder to pack, '" + PathToUtf8(*request.folder) + "'; write it elsewhere";
  }
  // A probe where the package's temporary file will go: a folder that is
  // missing, read-only or full shows now, not after the compression.
  StagedOutput probe(output, ".probe");
  const std::uint8_t byte = 0;
  if (!probe.Write(&byte, 1) || !probe.Close()) return label() + " cannot be written: " + probe.error();
  return "";
}

/// Lists and checks the folder (or looks at the given self-extractor), then
/// the output; reports what was checked.
bool CheckInput(const CreateRequest& request, SelfExtractor& extractor, const ExtractorInput& input,
                Reporter& report, std::ostream& err) {
  if (!Report(extractor.CheckInput(input), err)) return false;
  const std::string problem = CheckOutput(request);
  if (!problem.empty()) {
    Fail(err, problem);
    return false;
  }
  report.Line(extractor.CheckedLine());
  return true;
}

/// Signs the self-extractor `package.archive` inside `work`, and has the
/// package signed before it is moved into place.
bool Sign(SignRequest& sign, PackageSpec& package, const TempDirectory& work, Reporter& report, std::ostream& err) {
  sign.log_dir = work.path();
  const fs::path target = work.path() / kExtractorName;
  const std::string error = SignExtractor(sign, package.archive, target, report, err);
  if (!error.empty()) {
    Fail(err, error);
    return false;
  }
  package.archive = target;
  package.before_commit = [&sign, &report, &err](const fs::path& staged) {
    return SignPackage(sign, staged, report, err);
  };
  return true;
}

/// Writes the package and moves it into place; reports the outcome.
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

}  // namespace

int RunCreate(CreateRequest request, std::ostream& out, std::ostream& err) {
  Reporter report(out, request.output);
  const std::unique_ptr<SelfExtractor> extractor = ChosenExtractor(request);
  ExtractorInput input;
  input.source_date_epoch = request.source_date_epoch;
  if (!CheckRequest(request, *extractor, input, err)) return kExitFailure;
  if (!CheckInput(request, *extractor, input, report, err)) return kExitFailure;
  if (InterruptSignal() != 0) return Fail(err, "");
  // The working folder holds the self-extractor and the signer's files until the end.
  std::unique_ptr<TempDirectory> work;
  if (request.folder || request.sign) {
    work = std::make_unique<TempDirectory>();
    if (!work->ok()) return Fail(err, work->error());
  }
  PackageSpec& package = request.package;
  std::string error;
  package.archive = extractor->Make(input, work ? work->path() : fs::path(), report, error);
  if (package.archive.empty()) return Fail(err, error);
  if (request.sign && !Sign(*request.sign, package, *work, report, err)) return kExitFailure;
  return Pack(package, report, err);
}

}  // namespace harwpack
