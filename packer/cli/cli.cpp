#include "packer/cli/cli.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include <CLI/CLI.hpp>

#include "packer/container/container.h"
#include "packer/create/create.h"
#include "packer/inspect/inspect.h"
#include "packer/installed/installed.h"
#include "packer/platform/platform.h"
#include "packer/signing/signing.h"

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
  /// The value of a path option, made a path here once, as given.
  std::optional<std::filesystem::path> PathValue(const std::string& option) const {
    const auto it = values.find(option);
    if (it == values.end()) return std::nullopt;
    return PathFromUtf8(it->second);
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
      {"create",
       {"--stub", "--arch", "--archive", "--folder", "--params", "--out", "--extractor", "--level",
        "--extractor-program", "--makensis", "--compression", "--sign", "--sign-attempts",
        "--sign-timeout"},
       {"--quiet"},
       0},
      {"inspect", {"--ca-file"}, {"--json"}, 1},
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

/// The arguments after the command name as CLI11 reads them, last first. CLI11
/// drops an empty inline value ("--params=") and would take the next argument
/// in its place, so such a value is handed over as an argument of its own.
std::vector<std::string> ArgumentsForParser(const CommandSyntax& syntax, const std::vector<std::string>& args) {
  std::vector<std::string> reversed;
  for (auto it = args.rbegin(); it + 1 != args.rend(); ++it) {
    const std::string name = it->size() > 1 && it->back() == '=' ? it->substr(0, it->size() - 1) : "";
    if (std::find(syntax.valued.begin(), syntax.valued.end(), name) == syntax.valued.end()) {
      reversed.push_back(*it);
      continue;
    }
    reversed.push_back("");
    reversed.push_back(name);
  }
  return reversed;
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
  std::vector<std::string> reversed = ArgumentsForParser(syntax, args);
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

/// Whether `args` are a command followed by --help (or -h) anywhere among its
/// arguments, except as the value of an option ("--params --help" is a value).
bool AsksForHelp(const std::vector<std::string>& args) {
  const auto& commands = Commands();
  const auto it = std::find_if(commands.begin(), commands.end(),
                               [&](const CommandSyntax& c) { return !args.empty() && c.name == args[0]; });
  if (it == commands.end()) return false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") return true;
    if (std::find(it->valued.begin(), it->valued.end(), args[i]) != it->valued.end()) ++i;  // its value
  }
  return false;
}

int Fail(std::ostream& err, const std::string& message) {
  err << "harwpack: " << message << "\n";
  return kExitFailure;
}

int UsageError(std::ostream& err, const std::string& message) {
  err << "harwpack: " << message << "\n" << UsageText();
  return kExitUsage;
}

/// The extractor a folder build uses: --extractor, else NSIS when an NSIS
/// option is given (so command lines from before the builtin extractor keep
/// their meaning), else the builtin one. Empty for an unknown name.
std::optional<ExtractorKind> ChosenExtractor(const CommandLine& line) {
  const std::optional<std::string> name = line.Value("--extractor");
  if (!name) {
    const bool nsis_option = line.Value("--makensis") || line.Value("--compression");
    return nsis_option ? ExtractorKind::kNsis : ExtractorKind::kBuiltin;
  }
  if (*name == "builtin") return ExtractorKind::kBuiltin;
  if (*name == "nsis") return ExtractorKind::kNsis;
  return std::nullopt;
}

/// `text` as a number from `min` to `max`: digits only, no sign, no blanks.
std::optional<int> NumberIn(const std::string& text, int min, int max) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int value = std::stoi(text);
  if (value < min || value > max) return std::nullopt;
  return value;
}

/// The usage error of a number out of its range.
std::string NumberError(const std::string& option, const std::string& text, long long min, long long max) {
  return option + " takes a number from " + std::to_string(min) + " to " + std::to_string(max) + ", not '" + text +
         "'";
}

/// The options that go with one extractor only.
std::string CheckExtractorOptions(const CommandLine& line) {
  const std::optional<ExtractorKind> extractor = ChosenExtractor(line);
  if (!extractor) return "unknown --extractor '" + *line.Value("--extractor") + "' (builtin or nsis)";
  const bool nsis = *extractor == ExtractorKind::kNsis;
  for (const char* option : {"--makensis", "--compression", "--level", "--extractor-program"}) {
    const bool nsis_option = std::string(option) == "--makensis" || std::string(option) == "--compression";
    if (line.Value(option) && nsis_option != nsis) {
      return std::string(option) + " goes with --extractor " + (nsis_option ? "nsis" : "builtin");
    }
  }
  const std::optional<std::string> level = line.Value("--level");
  if (level && !NumberIn(*level, kMinLevel, kMaxLevel)) return NumberError("--level", *level, kMinLevel, kMaxLevel);
  return "";
}

std::string CheckCreateLine(const CommandLine& line) {
  if (!line.Value("--out")) return "create needs --out";
  if (line.Value("--archive").has_value() == line.Value("--folder").has_value()) {
    return "create needs exactly one of --archive and --folder";
  }
  for (const char* folder_only : {"--makensis", "--compression", "--extractor", "--level", "--extractor-program"}) {
    if (line.Value(folder_only) && !line.Value("--folder")) {
      return std::string(folder_only) + " only goes with --folder";
    }
  }
  const std::string extractor = CheckExtractorOptions(line);
  if (!extractor.empty()) return extractor;
  const std::optional<std::string> compression = line.Value("--compression");
  if (compression && !ParseCompression(*compression)) {
    return "unknown compression '" + *compression + "' (lzma, zlib, bzip2 or none)";
  }
  for (const char* sign_only : {"--sign-attempts", "--sign-timeout"}) {
    if (line.Value(sign_only) && !line.Value("--sign")) return std::string(sign_only) + " only goes with --sign";
  }
  const std::optional<std::string> arch = line.Value("--arch");
  if (arch && line.Value("--stub")) return "--arch chooses the installed program; it does not go with --stub";
  if (arch && !ParseEdition(*arch)) return "unknown --arch '" + *arch + "' (x86 or x64)";
  return "";
}

/// The signing settings of the command line; "" or a usage error.
std::string ParseSigning(const CommandLine& line, std::optional<SignRequest>& sign) {
  if (!line.Value("--sign")) return "";
  sign.emplace();
  const std::string error = ParseSignTemplate(*line.Value("--sign"), sign->command);
  if (!error.empty()) return error;
  const std::string attempts = line.Value("--sign-attempts").value_or(std::to_string(kDefaultSignAttempts));
  const std::optional<int> attempt_count = NumberIn(attempts, 1, kMaxSignAttempts);
  if (!attempt_count) return NumberError("--sign-attempts", attempts, 1, kMaxSignAttempts);
  sign->attempts = *attempt_count;
  const std::string timeout = line.Value("--sign-timeout").value_or(std::to_string(kDefaultSignTimeout.count()));
  const std::optional<int> seconds = NumberIn(timeout, 1, static_cast<int>(kMaxSignTimeout.count()));
  if (!seconds) return NumberError("--sign-timeout", timeout, 1, kMaxSignTimeout.count());
  sign->timeout = std::chrono::seconds(*seconds);
  return "";
}

int RunCreateCommand(const CommandLine& line, bool out_is_terminal, std::ostream& out, std::ostream& err) {
  CreateRequest request;
  std::string usage = CheckCreateLine(line);
  if (usage.empty()) usage = ParseSigning(line, request.sign);
  if (!usage.empty()) return UsageError(err, usage);
  const std::string epoch = ParseSourceDateEpoch(std::getenv(kSourceDateEpoch), request.source_date_epoch);
  if (!epoch.empty()) return Fail(err, epoch);
  if (!line.Value("--stub")) request.edition = *ParseEdition(line.Value("--arch").value_or("x86"));
  const ProgramLookup stub = ChooseStub(line.PathValue("--stub"), request.edition.value_or(Edition::kX86));
  if (!stub.error.empty()) return Fail(err, stub.error);
  request.package.stub = stub.path;
  request.package.output = PathFromUtf8(*line.Value("--out"));
  request.package.parameters = line.Value("--params");
  request.folder = line.PathValue("--folder");
  request.archive = line.PathValue("--archive");
  request.extractor = *ChosenExtractor(line);
  request.level = std::stoi(line.Value("--level").value_or(std::to_string(kDefaultLevel)));
  request.extractor_program = line.PathValue("--extractor-program");
  request.makensis = PathFromUtf8(line.Value("--makensis").value_or("makensis"));
  request.compression = *ParseCompression(line.Value("--compression").value_or("lzma"));
  request.output = line.switches.count("--quiet")   ? OutputMode::kQuiet
                   : out_is_terminal               ? OutputMode::kTerminal
                                                   : OutputMode::kLines;
  return RunCreate(std::move(request), out, err);
}

/// Reports the package and ends with the verdict's exit code: 0 only when every check held.
int RunInspect(const CommandLine& line, std::ostream& out, std::ostream& err) {
  PackageReport report;
  const bool json = line.switches.count("--json") != 0;
  const std::filesystem::path package = PathFromUtf8(line.positional[0]);
  const std::filesystem::path ca_file = PathFromUtf8(line.Value("--ca-file").value_or(""));
  std::string error = ca_file.empty() ? "" : CheckInputFile(ca_file, "certificate file");
  if (!error.empty()) return Fail(err, error);
  error = InspectPackage(package, report);
  if (!error.empty()) {
    const Verdict verdict = JudgeInspectError(error);
    // A package found damaged still gets its verdict in JSON; one that could not be read has none.
    if (json && verdict.exit_code == kExitDamaged) out << FormatVerdictJson(package, verdict);
    err << "harwpack: " << error << "\n";
    return verdict.exit_code;
  }
  CheckSignatures(report, ca_file);
  out << (json ? FormatReportJson(report) : FormatReportText(report));
  return JudgeReport(report).exit_code;
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

namespace {

/// One command's part of the usage: its synopsis lines and what it does.
struct CommandHelp {
  const char* name;
  const char* synopsis;
  const char* description;
};

const CommandHelp kCommandHelp[] = {
    {"create",
     "  harwpack create [--stub PROGRAM | --arch x86|x64] (--folder DIR | --archive EXE)\n"
     "                  [--params TEXT] [--extractor builtin|nsis]\n"
     "                  [--level N] [--extractor-program EXE]                (builtin)\n"
     "                  [--makensis PATH] [--compression lzma|zlib|bzip2|none] (nsis)\n"
     "                  [--sign COMMAND [--sign-attempts N] [--sign-timeout S]]\n"
     "                  [--quiet] --out PACKAGE\n",
     "create   writes PACKAGE: a copy of PROGRAM (without any signature) followed by a\n"
     "         container with the parameter string TEXT and a self-extractor that\n"
     "         unpacks DIR as the folder named by /F (default Disk1) into the\n"
     "         current directory; --archive embeds an existing one instead. Without\n"
     "         --params no parameter string is stored. TEXT is checked as the program\n"
     "         will read it (options /S /A /F with a value, /X /V /W /D /H).\n"
     "         --extractor builtin (the default): HarwExtract.exe with an archive\n"
     "         harwpack writes itself, zstd at --level N (1 to 22, default 20);\n"
     "         --extractor-program names HarwExtract.exe (default: the one beside\n"
     "         PROGRAM, else the one of the stub's edition installed with harwpack).\n"
     "         --extractor nsis (also implied by --makensis or --compression): an\n"
     "         installer compiled with NSIS (makensis on PATH or --makensis),\n"
     "         --compression lzma (default; solid), zlib, bzip2, or none.\n"
     "         PROGRAM is HarwUpdater.exe of either edition, x86 (32-bit) or x64\n"
     "         (64-bit); the self-extractor is built for the same one. Without\n"
     "         --stub, the HarwUpdater.exe of the edition --arch names (default x86)\n"
     "         installed with harwpack is used (beside harwpack, or in\n"
     "         ../share/harwupdater from its folder; x64 in a folder x64 there).\n"
     "         --sign runs COMMAND on the self-extractor before it is embedded and on\n"
     "         the finished package: {in} stands for the file to sign, {out} for a new\n"
     "         file to write instead (e.g. 'osslsigncode sign -pkcs12 v.p12 -in {in}\n"
     "         -out {out}'); words are split at blanks, quotes group, no shell runs it.\n"
     "         A failing command is tried N times in all (default 3, at most 10);\n"
     "         a run that takes more than S seconds (default 300) is ended and has\n"
     "         failed.\n"
     "         SOURCE_DATE_EPOCH (seconds since 1970) in the environment: file times\n"
     "         newer than it are stored as it, for reproducible packages.\n"
     "         A line per step shows its figures; on a terminal a line redrawn in\n"
     "         place follows the compression. --quiet shows errors and warnings only.\n"},
    {"inspect", "  harwpack inspect [--json] [--ca-file PEM] PACKAGE\n",
     "inspect  shows the edition of the package and of its self-extractor, the\n"
     "         container, the tokens and resulting settings, the SHA-256\n"
     "         of the archived data and what follows it (e.g. a signature), the\n"
     "         package's SHA-256 and whether the self-extractor and the package are\n"
     "         signed (verified with osslsigncode where it is on PATH, against PEM);\n"
     "         last the verdict (in JSON \"verdict\", with every failed check)\n"},
    {"extract", "  harwpack extract PACKAGE --out EXE\n", "extract  writes the embedded executable to EXE\n"},
};

const char kExitCodes[] =
    "exit codes: 0 success, 1 failure, 2 usage error; inspect: 3 the package is\n"
    "damaged or inconsistent, 4 a signature it carries does not verify\n";

}  // namespace

std::string UsageText() {
  std::string text = "usage:\n";
  for (const CommandHelp& help : kCommandHelp) text += help.synopsis;
  text += "  harwpack --version\n\n";
  for (const CommandHelp& help : kCommandHelp) text += help.description;
  return text +
         "--version names harwpack's version and the version and edition of each\n"
         "         installed program\n"
         "\n" +
         kExitCodes;
}

std::string CommandUsageText(const std::string& command) {
  for (const CommandHelp& help : kCommandHelp) {
    if (command == help.name) return std::string("usage:\n") + help.synopsis + "\n" + help.description + "\n" + kExitCodes;
  }
  return "";
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool out_is_terminal) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    out << UsageText();
    return kExitOk;
  }
  if (!args.empty() && args[0] == "--version") {
    out << VersionText(ZstdVersion());
    return kExitOk;
  }
  if (AsksForHelp(args)) {
    out << CommandUsageText(args[0]);
    return kExitOk;
  }
  CommandLine line;
  const std::string usage_error = ParseCommandLine(args, line);
  if (!usage_error.empty()) {
    err << "harwpack: " << usage_error << "\n" << UsageText();
    return kExitUsage;
  }
  if (line.command == "create") return RunCreateCommand(line, out_is_terminal, out, err);
  if (line.command == "extract") return RunExtract(line, out, err);
  return RunInspect(line, out, err);
}

}  // namespace harwpack
