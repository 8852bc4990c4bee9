#include "packer/cli.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "packer/container.h"
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
      {"create", {"--stub", "--archive", "--params", "--out"}, {}, 0},
      {"inspect", {}, {}, 1},
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

int RunCreate(const CommandLine& line, std::ostream& out, std::ostream& err) {
  for (const char* required : {"--stub", "--archive", "--out"}) {
    if (!line.Value(required)) {
      err << "harwpack: create needs " << required << "\n" << UsageText();
      return kExitUsage;
    }
  }
  PackageSpec spec;
  spec.stub = PathFromUtf8(*line.Value("--stub"));
  spec.archive = PathFromUtf8(*line.Value("--archive"));
  spec.output = PathFromUtf8(*line.Value("--out"));
  spec.parameters = line.Value("--params");
  const BuildResult result = BuildPackage(spec);
  for (const std::string& note : result.notes) err << "harwpack: " << note << "\n";
  if (!result.error.empty()) return Fail(err, result.error);
  out << "created " << PathToUtf8(spec.output) << " (container at byte " << result.marker_offset
      << ")\n";
  return kExitOk;
}

int RunInspect(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const std::filesystem::path package = PathFromUtf8(line.positional[0]);
  ContainerInfo info;
  const std::string error = ReadContainer(package, info);
  if (!error.empty()) return Fail(err, error);
  out << "marker offset:    " << info.marker_offset << "\n"
      << "parameter size:   " << info.params_size << "\n"
      << "parameters:       ";
  if (info.params_size == 0) {
    out << "(none)\n";
  } else {
    out << "\"" << Utf16ToUtf8(info.parameters) << "\"\n";
  }
  out << "archived size:    " << info.data_size << "\n"
      << "after data:       " << info.trailing_size << " bytes\n";
  return kExitOk;
}

}  // namespace

std::string UsageText() {
  return "usage:\n"
         "  harwpack create --stub PROGRAM --archive EXE [--params TEXT] --out PACKAGE\n"
         "  harwpack inspect PACKAGE\n"
         "\n"
         "create   appends a container holding EXE and the parameter string TEXT to a copy\n"
         "         of PROGRAM and writes it as PACKAGE; without --params none is stored\n"
         "inspect  shows the container of PACKAGE\n"
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
  return RunInspect(line, out, err);
}

}  // namespace harwpack
