#include "packer/cli.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "packer/container.h"
#include "packer/file_io.h"
#include "packer/folder_check.h"
#include "packer/inspect.h"
#include "packer/install_paths.h"
#include "packer/nsis.h"
#include "packer/options_check.h"
#include "packer/reader.h"
#include "packer/text.h"

namespace harwpack {
namespace {

/// Which options a command accepts.
struct CommandSyntax {
  std::string name;
  std::set<std::string> valued;    // options followed by a value
  std::set<std::string> switches;  // options standing alone
  std::size_t positional;          // operands required
};

/// A command line taken apart.
struct CommandLine {
  std::string command;
  std::map<std::string, std::string> values;
  std::set<std::string> switches;
  std::vector<std::string> positional;

  std::optional<std::string> Value(const std::string& option) const {
    const auto it = values.find(option);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

const std::vector<CommandSyntax>& Commands() {
  static const std::vector<CommandSyntax> commands = {
      {"create", {"--stub", "--archive", "--folder", "--params", "--out", "--makensis"}, {}, 0},
      {"inspect", {}, {"--json"}, 1},
      {"extract", {"--out"}, {}, 1},
  };
  return commands;
}

/// Splits "--name=value" into its parts; the value is absent without "=".
std::pair<std::string, std::optional<std::string>> SplitOption(const std::string& arg) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos) return {arg, std::nullopt};
  return {arg.substr(0, eq), arg.substr(eq + 1)};
}

/// Fills `line` from the arguments after the command name; returns a usage error or "".
std::string ParseOptions(const CommandSyntax& syntax, const std::vector<std::string>& args,
                         CommandLine& line) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      line.positional.push_back(arg);
      continue;
    }
    auto [name, inline_value] = SplitOption(arg);
    if (syntax.switches.count(name) != 0 && !inline_value) {
      line.switches.insert(name);
      continue;
    }
    if (syntax.valued.count(name) == 0) return "unknown option '" + name + "' for " + syntax.name;
    if (line.values.count(name) != 0) return "option " + name + " given twice";
    if (!inline_value) {
      if (i + 1 >= args.size()) return "option " + name + " needs a value";
      inline_value = args[++i];
    }
    line.values[name] = *inline_value;
  }
  if (line.positional.size() != syntax.positional) {
    return syntax.name + " takes " + std::to_string(syntax.positional) + " operand(s), got " +
           std::to_string(line.positional.size());
  }
  return "";
}

std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine& line) {
  if (args.empty()) return "no command given";
  const auto& commands = Commands();
  const auto it = std::find_if(commands.begin(), commands.end(),
                               [&](const CommandSyntax& c) { return c.name == args[0]; });
  if (it == commands.end()) return "unknown command '" + args[0] + "'";
  line.command = it->name;
  return ParseOptions(*it, args, line);
}

int Fail(std::ostream& err, const std::string& message) {
  err << "harwpack: " << message << "\n";
  return kExitFailure;
}

int UsageError(std::ostream& err, const std::string& message) {
  err << "harwpack: " << message << "\n" << UsageText();
  return kExitUsage;
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
bool CheckParameterText(const std::optional<std::string>& text, UpdaterSettings& settings,
                        std::ostream& err) {
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

/// The checks that only a folder build can make, against the settings of the run.
bool CheckFolderBuild(const std::filesystem::path& folder, const UpdaterSettings& settings,
                      std::ostream& err) {
  std::vector<CheckMessage> messages;
  for (const std::string& problem : {CheckInputFolder(folder), CheckFolderName(settings.folder_name)}) {
    if (!problem.empty()) messages.push_back({Severity::kError, problem});
  }
  if (!messages.empty()) return Report(messages, err);
  CheckFolderContents(folder, messages);
  CheckSetupInFolder(settings, folder, messages);
  return Report(messages, err);
}

/// Compiles the folder into a self-extractor inside `work`; returns its path or "" after an error.
std::filesystem::path MakeExtractor(const CommandLine& line, const UpdaterSettings& settings,
                                    const TempDirectory& work, std::ostream& out, std::ostream& err) {
  ExtractorJob job;
  job.folder = PathFromUtf8(*line.Value("--folder"));
  job.folder_name = settings.folder_name;
  job.makensis = PathFromUtf8(line.Value("--makensis").value_or("makensis"));
  job.output = work.path() / "extractor.exe";
  std::string version;
  std::string error = ProbeMakensis(job.makensis, work.path(), version);
  if (error.empty()) error = BuildExtractor(job, work.path());
  if (!error.empty()) {
    Fail(err, error);
    return {};
  }
  out << "compiled the self-extractor with NSIS " << version << "\n";
  return job.output;
}

/// Warns when the embedded executable does not even start like a Windows program.
void CheckArchiveLooksExecutable(const std::filesystem::path& archive, std::ostream& err) {
  InputFile file(archive, "archive");
  char magic[2] = {0, 0};
  if (file.ok() && file.size() >= 2 && file.ReadExact(magic, 2, "its header") && magic[0] == 'M' &&
      magic[1] == 'Z') {
    return;
  }
  if (file.ok()) err << "harwpack: warning: archive does not start like a Windows executable (no MZ header)\n";
}

std::string CheckCreateLine(const CommandLine& line) {
  if (!line.Value("--out")) return "create needs --out";
  if (line.Value("--archive").has_value() == line.Value("--folder").has_value()) {
    return "create needs exactly one of --archive and --folder";
  }
  if (line.Value("--makensis") && !line.Value("--folder")) return "--makensis only goes with --folder";
  return "";
}

/// Writes the package and reports the outcome.
int Pack(const PackageSpec& spec, std::ostream& out, std::ostream& err) {
  const BuildResult result = BuildPackage(spec);
  for (const std::string& note : result.notes) err << "harwpack: note: " << note << "\n";
  if (!result.error.empty()) return Fail(err, result.error);
  out << "created " << PathToUtf8(spec.output) << " (container at byte " << result.marker_offset << ")\n";
  return kExitOk;
}

/// Checks the folder, compiles it into a self-extractor and packs that.
int PackFolder(const CommandLine& line, PackageSpec spec, const UpdaterSettings& settings,
               std::ostream& out, std::ostream& err) {
  if (!CheckFolderBuild(PathFromUtf8(*line.Value("--folder")), settings, err)) return kExitFailure;
  const TempDirectory work;  // holds the extractor until it is packed
  if (!work.ok()) return Fail(err, work.error());
  spec.archive = MakeExtractor(line, settings, work, out, err);
  return spec.archive.empty() ? kExitFailure : Pack(spec, out, err);
}

int RunCreate(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const std::string usage = CheckCreateLine(line);
  if (!usage.empty()) return UsageError(err, usage);
  PackageSpec spec;
  const ProgramLookup stub = ChooseStub(line.Value("--stub"));
  if (!stub.error.empty()) return Fail(err, stub.error);
  spec.stub = stub.path;
  spec.output = PathFromUtf8(*line.Value("--out"));
  spec.parameters = line.Value("--params");
  UpdaterSettings settings;
  if (!CheckParameterText(spec.parameters, settings, err)) return kExitFailure;
  const std::string stub_problem = CheckInputFile(spec.stub, "stub");
  if (!stub_problem.empty()) return Fail(err, stub_problem);
  if (line.Value("--folder")) return PackFolder(line, spec, settings, out, err);
  spec.archive = PathFromUtf8(*line.Value("--archive"));
  CheckArchiveLooksExecutable(spec.archive, err);
  return Pack(spec, out, err);
}

int RunInspect(const CommandLine& line, std::ostream& out, std::ostream& err) {
  PackageReport report;
  const std::string error = InspectPackage(PathFromUtf8(line.positional[0]), report);
  if (!error.empty()) return Fail(err, error);
  out << (line.switches.count("--json") ? FormatReportJson(report) : FormatReportText(report));
  return kExitOk;
}

int RunExtract(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (!line.Value("--out")) return UsageError(err, "extract needs --out");
  const std::filesystem::path output = PathFromUtf8(*line.Value("--out"));
  const std::string error = ExtractArchive(PathFromUtf8(line.positional[0]), output);
  if (!error.empty()) return Fail(err, error);
  out << "wrote " << PathToUtf8(output) << "\n";
  return kExitOk;
}

}  // namespace

std::string UsageText() {
  return "usage:\n"
         "  harwpack create [--stub PROGRAM] (--folder DIR | --archive EXE) [--params TEXT]\n"
         "                  [--makensis PATH] --out PACKAGE\n"
         "  harwpack inspect [--json] PACKAGE\n"
         "  harwpack extract PACKAGE --out EXE\n"
         "  harwpack --version\n"
         "\n"
         "create   writes PACKAGE: a copy of PROGRAM (without any signature) followed by a\n"
         "         container with the parameter string TEXT and a self-extractor. With\n"
         "         --folder the extractor is compiled with NSIS (makensis on PATH or\n"
         "         --makensis) and unpacks DIR as the folder named by /F (default Disk1)\n"
         "         into the current directory; --archive embeds an existing one. Without\n"
         "         --params no parameter string is stored. TEXT is checked as the program\n"
         "         will read it (options /S /A /F with a value, /X /V /W /D /H).\n"
         "         Without --stub, the HarwUpdater.exe installed with harwpack is used\n"
         "         (beside harwpack, or in ../share/harwupdater from its folder).\n"
         "inspect  shows the container, the tokens and resulting settings, the SHA-256\n"
         "         of the archived data and what follows it (e.g. a signature)\n"
         "extract  writes the embedded executable to EXE\n"
         "\n"
         "exit codes: 0 success, 1 failure, 2 usage error\n";
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    out << UsageText();
    return kExitOk;
  }
  if (!args.empty() && args[0] == "--version") {
    out << VersionText();
    return kExitOk;
  }
  CommandLine line;
  const std::string usage_error = ParseCommandLine(args, line);
  if (!usage_error.empty()) {
    err << "harwpack: " << usage_error << "\n" << UsageText();
    return kExitUsage;
  }
  if (line.command == "create") return RunCreate(line, out, err);
  if (line.command == "extract") return RunExtract(line, out, err);
  return RunInspect(line, out, err);
}

}  // namespace harwpack
