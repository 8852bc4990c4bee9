#include "packer/cli.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include <CLI/CLI.hpp>

#include "packer/container.h"
#include "packer/file_io.h"
#include "packer/folder_check.h"
#include "packer/inspect.h"
#include "packer/nsis.h"
#include "packer/options_check.h"
#include "packer/reader.h"
#include "packer/text.h"

namespace harwpack {
namespace {

/// A command line taken apart.
struct CommandLine {
  std::string command;
  std::map<std::string, std::string> values;  // options given with a value
  std::set<std::string> switches;             // options standing alone
  std::vector<std::string> positional;

  std::optional<std::string> Value(const std::string& option) const {
    const auto it = values.find(option);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

/// Which options a command accepts.
struct CommandSyntax {
  std::string name;
  std::vector<std::string> valued;    // options followed by a value
  std::vector<std::string> switches;  // options standing alone
  std::size_t positional;             // operands required
};

const std::vector<CommandSyntax>& Commands() {
  static const std::vector<CommandSyntax> commands = {
      {"create", {"--stub", "--archive", "--folder", "--params", "--out", "--makensis"}, {}, 0},
      {"inspect", {}, {"--json"}, 1},
      {"extract", {"--out"}, {}, 1},
  };
  return commands;
}

/// Our wording for what CLI11 rejects: a missing value names the option first ("--stub: 1 required TEXT missing").
std::string DescribeParseError(const CommandSyntax& syntax, const CLI::ParseError& error) {
  const std::string text = error.what();
  const std::string option = text.substr(0, text.find(':'));
  const bool valued = std::find(syntax.valued.begin(), syntax.valued.end(), option) != syntax.valued.end();
  if (valued && text.find("missing") != std::string::npos) return "option " + option + " needs a value";
  return text;
}

/// A switch given a value ("--json=1"), which CLI11 would read as true or false.
std::string CheckSwitchValues(const CommandSyntax& syntax, const std::vector<std::string>& args) {
  for (const std::string& name : syntax.switches) {
    for (const std::string& arg : args) {
      if (arg.rfind(name + "=", 0) == 0) return "option " + name + " takes no value";
    }
  }
  return "";
}

/// Sorts what CLI11 did not take: unknown options are errors, the rest are operands.
std::string TakeOperands(const CommandSyntax& syntax, const std::vector<std::string>& extras,
                         CommandLine& line) {
  for (const std::string& arg : extras) {
    if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option '" + arg.substr(0, arg.find('=')) + "' for " + syntax.name;
    }
    line.positional.push_back(arg);
  }
  if (line.positional.size() != syntax.positional) {
    return syntax.name + " takes " + std::to_string(syntax.positional) + " operand(s), got " +
           std::to_string(line.positional.size());
  }
  return "";
}

/// Fills `line` from the arguments after the command name; returns a usage error or "".
std::string ParseOptions(const CommandSyntax& syntax, const std::vector<std::string>& args,
                         CommandLine& line) {
  CLI::App app(syntax.name);
  app.set_help_flag();  // the usage text is the tool's own
  app.allow_extras();
  std::map<std::string, std::string> values;
  std::map<std::string, CLI::Option*> given;
  for (const std::string& name : syntax.valued) {
    // Every occurrence is kept, so that a repeated option can be refused by name.
    given[name] = app.add_option(name, values[name])->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  for (const std::string& name : syntax.switches) given[name] = app.add_flag(name);
  std::string error = CheckSwitchValues(syntax, args);
  if (!error.empty()) return error;
  std::vector<std::string> reversed(args.rbegin(), args.rend() - 1);  // CLI11 takes them last first
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& failure) {
    return DescribeParseError(syntax, failure);
  }
  for (const auto& [name, option] : given) {
    if (option->count() > 1) return "option " + name + " given twice";
    if (option->count() == 0) continue;
    if (option->get_expected_min() == 0) {
      line.switches.insert(name);
    } else {
      line.values[name] = values[name];
    }
  }
  return TakeOperands(syntax, app.remaining(), line);
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
  for (const char* required : {"--stub", "--out"}) {
    if (!line.Value(required)) return std::string("create needs ") + required;
  }
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
  spec.stub = PathFromUtf8(*line.Value("--stub"));
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
         "  harwpack create --stub PROGRAM (--folder DIR | --archive EXE) [--params TEXT]\n"
         "                  [--makensis PATH] --out PACKAGE\n"
         "  harwpack inspect [--json] PACKAGE\n"
         "  harwpack extract PACKAGE --out EXE\n"
         "\n"
         "create   writes PACKAGE: a copy of PROGRAM (without any signature) followed by a\n"
         "         container with the parameter string TEXT and a self-extractor. With\n"
         "         --folder the extractor is compiled with NSIS (makensis on PATH or\n"
         "         --makensis) and unpacks DIR as the folder named by /F (default Disk1)\n"
         "         into the current directory; --archive embeds an existing one. Without\n"
         "         --params no parameter string is stored. TEXT is checked as the program\n"
         "         will read it (options /S /A /F with a value, /X /V /W /D /H).\n"
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
