// The command line: exit codes, one-line messages and the create/inspect round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/archive.h"
#include "packer/cli/cli.h"
#include "packer/platform/text.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;
using harwpack_test::ScratchDir;

namespace {

/// Result of one in-process run of the tool.
struct ToolRun {
  int code;
  std::string out;
  std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = harwpack::RunCli(args, out, err);
  return {code, out.str(), err.str()};
}

using harwpack_test::P;

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  int code;
  const char* message;  // expected in stderr
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, MalformedCommandLinesExitWithTwo) {
  const UsageCase& c = GetParam();
  const ToolRun run = RunTool(c.args);
  EXPECT_EQ(run.code, c.code);
  EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("usage:"), std::string::npos) << "usage text expected";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageTest,
    ::testing::Values(
        UsageCase{"nothing", {}, 2, "no command"},
        UsageCase{"unknown_command", {"pack"}, 2, "unknown command 'pack'"},
        UsageCase{"unknown_option", {"create", "--stub", "a", "--bogus", "b"}, 2, "unknown option '--bogus'"},
        UsageCase{"missing_value", {"create", "--stub"}, 2, "--stub needs a value"},
        UsageCase{"repeated_option", {"create", "--out", "a", "--out=b"}, 2, "given twice"},
        UsageCase{"missing_out", {"create", "--stub", "s", "--archive", "a"}, 2, "needs --out"},
        UsageCase{"inspect_without_package", {"inspect"}, 2, "takes 1 operand"},
        UsageCase{"inspect_two_packages", {"inspect", "a", "b"}, 2, "takes 1 operand"},
        UsageCase{"archive_and_folder", {"create", "--stub", "s", "--archive", "a", "--folder", "f", "--out", "o"},
                  2, "exactly one of --archive and --folder"},
        UsageCase{"neither_archive_nor_folder", {"create", "--stub", "s", "--out", "o"}, 2, "exactly one"},
        UsageCase{"makensis_without_folder", {"create", "--stub", "s", "--archive", "a", "--makensis", "m",
                                              "--out", "o"}, 2, "--makensis only goes with --folder"},
        UsageCase{"compression_without_folder", {"create", "--stub", "s", "--archive", "a", "--compression",
                                                 "zlib", "--out", "o"}, 2, "--compression only goes with --folder"},
        UsageCase{"unknown_compression", {"create", "--stub", "s", "--folder", "f", "--compression", "LZMA",
                                          "--out", "o"}, 2, "unknown compression 'LZMA' (lzma, zlib, bzip2 or none)"},
        UsageCase{"empty_compression", {"create", "--stub", "s", "--folder", "f", "--compression=", "--out", "o"},
                  2, "unknown compression ''"},
        UsageCase{"extract_without_out", {"extract", "p"}, 2, "extract needs --out"},
        UsageCase{"json_takes_no_value", {"inspect", "--json=1", "p"}, 2, "option --json takes no value"},
        UsageCase{"operand_for_create", {"create", "stray", "--stub", "s"}, 2, "create takes 0 operand(s), got 1"},
        UsageCase{"unknown_short_option", {"extract", "-x", "p", "--out", "o"}, 2, "unknown option '-x'"},
        UsageCase{"arch_with_stub", {"create", "--stub", "s", "--arch", "x64", "--archive", "a", "--out", "o"}, 2,
                  "--arch chooses the installed program; it does not go with --stub"},
        UsageCase{"unknown_arch", {"create", "--arch", "amd64", "--archive", "a", "--out", "o"}, 2,
                  "unknown --arch 'amd64' (x86 or x64)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliTest, HelpGoesToStandardOutputWithZero) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> shown;  // synopses on standard output; the others must not be there
  };
  const std::vector<std::string> all = {"harwpack create", "harwpack inspect", "harwpack extract"};
  const Case cases[] = {
      {{"--help"}, all},
      {{"create", "--help"}, {"harwpack create"}},
      {{"inspect", "--help"}, {"harwpack inspect"}},
      {{"extract", "-h"}, {"harwpack extract"}},
      // Help wins over anything else on the line, even what would be an error.
      {{"create", "--stub", "s", "--bogus", "--help"}, {"harwpack create"}},
      {{"inspect", "a", "b", "--help"}, {"harwpack inspect"}},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.code, 0) << c.args[0] << ": " << run.err;
    EXPECT_EQ(run.err, "") << c.args[0];
    for (const std::string& synopsis : all) {
      const bool expected = std::find(c.shown.begin(), c.shown.end(), synopsis) != c.shown.end();
      EXPECT_EQ(run.out.find(synopsis) != std::string::npos, expected) << synopsis << " in\n" << run.out;
    }
    EXPECT_NE(run.out.find("4 a signature it carries does not verify"), std::string::npos) << run.out;
  }
  // As the value of an option, "--help" is that value: the line is then judged as it stands.
  const ToolRun value = RunTool({"create", "--params", "--help", "--archive", "a"});
  EXPECT_EQ(value.code, 2);
  EXPECT_NE(value.err.find("create needs --out"), std::string::npos) << value.err;
}

TEST(CliTest, CreateThenInspectShowsTheFields) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(77, 2));
  const ToolRun created = RunTool({"create", "--stub", P(dir / "stub.exe"), "--archive", P(dir / "arc.exe"),
                               "--params=/X /F Temp1", "--out", P(dir / "pkg.exe")});
  ASSERT_EQ(created.code, 0) << created.err;
  const ToolRun shown = RunTool({"inspect", P(dir / "pkg.exe")});
  ASSERT_EQ(shown.code, 0) << shown.err;
  for (const char* expected : {"marker offset:      1024\n", "parameter size:     24\n",
                               "parameter string:   \"/X /F Temp1\"\n", "  2  \"/F\"  option /F\n",
                               "  3  \"Temp1\"  value of /F\n", "  FolderName            \"Temp1\"\n",
                               "  NoExecuteSetup        true\n", "archived data:      77 bytes at offset 1204\n",
                               "after the data:     nothing\n"}) {
    EXPECT_NE(shown.out.find(expected), std::string::npos) << expected << " in\n" << shown.out;
  }
  const ToolRun json = RunTool({"inspect", "--json", P(dir / "pkg.exe")});
  ASSERT_EQ(json.code, 0) << json.err;
  const auto report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["marker_offset"], 1024);
  EXPECT_EQ(report["parameter_size"], 24);
  EXPECT_EQ(report["parameters"], "/X /F Temp1");
  EXPECT_EQ(report["tokens"][2], nlohmann::json({{"text", "Temp1"}, {"role", "value"}, {"option", "/F"}}));
  EXPECT_EQ(report["settings"]["FolderName"], "Temp1");
  EXPECT_EQ(report["settings"]["NoExecuteSetup"], true);
  EXPECT_EQ(report["archived_data"]["offset"], 1204);
  EXPECT_EQ(report["archived_data"]["size"], 77);
  EXPECT_EQ(report["after_data"], nlohmann::json({{"kind", "nothing"}, {"size", 0}}));
  // Scripts may read the keys in order.
  const auto ordered = nlohmann::ordered_json::parse(json.out);
  std::vector<std::string> keys;
  for (const auto& item : ordered.items()) keys.push_back(item.key());
  const std::vector<std::string> leading = {"package", "file_size", "marker_offset", "parameter_size", "parameters",
                                            "tokens", "settings", "messages", "archived_data", "after_data"};
  ASSERT_GE(keys.size(), leading.size());
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + leading.size()), leading);
}

TEST(CliTest, AnArchiveOfTheOtherEditionIsWarnedAbout) {
  using harwpack::Edition;
  struct Case {
    const char* name;
    Edition stub;
    harwpack_test::Bytes archive;
    const char* warning;  // "" for none
  };
  const Case cases[] = {
      {"same_x86", Edition::kX86, harwpack_test::MinimalPe(), ""},
      {"same_x64", Edition::kX64, harwpack_test::MinimalPe(0, true, Edition::kX64), ""},
      {"x86_in_x64", Edition::kX64, harwpack_test::MinimalPe(),
       "harwpack: warning: archive is a program of the x86 edition, the stub of the x64 edition"},
      {"x64_in_x86", Edition::kX86, harwpack_test::MinimalPe(0, true, Edition::kX64),
       "harwpack: warning: archive is a program of the x64 edition, the stub of the x86 edition"},
      {"not_a_program", Edition::kX64, harwpack_test::Pattern(64, 3),
       "harwpack: warning: archive does not start like a Windows executable (no MZ header)"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe(0, true, c.stub));
    harwpack_test::WriteBytes(dir / "arc.exe", c.archive);
    const ToolRun run = RunTool({"create", "--stub", P(dir / "stub.exe"), "--archive", P(dir / "arc.exe"), "--out",
                                 P(dir / "pkg.exe")});
    EXPECT_EQ(run.code, 0) << c.name << ": " << run.err;
    if (*c.warning == '\0') {
      EXPECT_EQ(run.err, "") << c.name;
    } else {
      EXPECT_NE(run.err.find(c.warning), std::string::npos) << c.name << ": " << run.err;
    }
  }
}

TEST(CliTest, AnEmptyInlineValueIsAValue) {
  // "--params=" stores an empty parameter string (P = 2), which differs from
  // storing none; the argument after it is never taken as the value.
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(77, 2));
  const ToolRun created = RunTool({"create", "--stub", P(dir / "stub.exe"), "--params=", "--archive",
                                   P(dir / "arc.exe"), "--out", P(dir / "pkg.exe")});
  ASSERT_EQ(created.code, 0) << created.err;
  const ToolRun shown = RunTool({"inspect", "--json", P(dir / "pkg.exe")});
  ASSERT_EQ(shown.code, 0) << shown.err;
  const auto report = nlohmann::json::parse(shown.out);
  EXPECT_EQ(report["parameter_size"], 2);
  EXPECT_EQ(report["parameters"], "");
}

TEST(CliTest, JsonStaysValidForAnyBytes) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(10, 2));
  // A quote, a backslash, a control character and text beyond ASCII in the parameter string.
  const std::string params = "/A \"x\\y\" /F \xC3\x96rdner\t\x01";
  ASSERT_EQ(RunTool({"create", "--stub", P(dir / "stub.exe"), "--archive", P(dir / "arc.exe"), "--params", params,
                     "--out", P(dir / "pkg.exe")}).code,
            0);
  const ToolRun json = RunTool({"inspect", "--json", P(dir / "pkg.exe")});
  ASSERT_EQ(json.code, 0) << json.err;
  const auto report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["parameters"], params);
#ifndef _WIN32
  // A Linux file name need not be UTF-8; the report replaces such bytes instead of breaking.
  fs::rename(dir / "pkg.exe", dir / "pkg\xFF.exe");
  const ToolRun odd = RunTool({"inspect", "--json", P(dir / "pkg\xFF.exe")});
  ASSERT_EQ(odd.code, 0) << odd.err;
  EXPECT_EQ(nlohmann::json::parse(odd.out)["package"], P(dir / "pkg\xEF\xBF\xBD.exe"));
#endif
}

TEST(CliTest, ParameterErrorsStopCreate) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::Pattern(512, 1));
  harwpack_test::WriteBytes(dir / "arc.exe", {'M', 'Z'});
  const ToolRun run = RunTool({"create", "--stub", P(dir / "stub.exe"), "--archive", P(dir / "arc.exe"),
                               "--params", "/Q /X /A", "--out", P(dir / "pkg.exe")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "harwpack: warning: token 1 \"/Q\" matches no option; the program ignores it\n"
            "harwpack: error: /A at token 3 has no value; the program stops with \"Error: Parameter /A "
            "<NOT-FOUND>\"\n");
  EXPECT_FALSE(fs::exists(dir / "pkg.exe"));
}

/// A builtin package of `files` (name and size; Setup.exe is added) with
/// parameters `params`, its extractor program found beside the stub; inspect's JSON of it.
nlohmann::json MakeBuiltinPackage(const ScratchDir& dir, const std::vector<std::pair<std::string, std::size_t>>& files,
                                  const std::string& params) {
  fs::create_directories(dir / "inst");
  harwpack_test::WriteBytes(dir / "inst" / "Setup.exe", harwpack_test::MinimalPe());
  for (const auto& [name, size] : files) {
    fs::create_directories((dir / "inst" / harwpack::PathFromUtf8(name)).parent_path());
    harwpack_test::WriteBytes(dir / "inst" / harwpack::PathFromUtf8(name), harwpack_test::Pattern(size, 6));
  }
  harwpack_test::WriteBytes(dir / "stub.exe", harwpack_test::MinimalPe());
  harwpack_test::WriteBytes(dir / "HarwExtract.exe", harwpack_test::MinimalExtractor());
  const ToolRun created = RunTool({"create", "--stub", P(dir / "stub.exe"), "--folder", P(dir / "inst"), "--params",
                                   params, "--level", "1", "--out", P(dir / "pkg.exe")});
  EXPECT_EQ(created.code, 0) << created.err;
  const ToolRun json = RunTool({"inspect", "--json", P(dir / "pkg.exe")});
  EXPECT_EQ(json.code, 0) << json.out;
  return nlohmann::json::parse(json.out);
}

TEST(CliTest, InspectsVerdictIsItsExitCode) {
  using harwpack_test::Bytes;
  struct Case {
    const char* name;
    std::function<void(Bytes&, const nlohmann::json&)> change;  // what becomes of the package's bytes
    int code;
    const char* failed;  // the one failed check ("" for none)
    const char* shown;   // in the text's verdict line
  };
  // The parameter string "/X /W": its second option's letter and its terminator.
  const auto params_at = [](const nlohmann::json& r) {
    return static_cast<std::size_t>(r["archived_data"]["offset"]) - 4 - static_cast<std::size_t>(r["parameter_size"]);
  };
  const auto flip = [](std::function<std::size_t(const Bytes&, const nlohmann::json&)> where) {
    return [where](Bytes& bytes, const nlohmann::json& r) { bytes[where(bytes, r)] ^= 0x01; };
  };
  const Case cases[] = {
      {"intact", [](Bytes&, const nlohmann::json&) {}, 0, "", "passed: every check held"},
      {"bit_in_the_frame", flip([](const Bytes& b, const nlohmann::json&) { return b.size() - 10; }), 3, "archive",
       "FAILED (exit 3): archive: "},
      {"bit_in_the_table", flip([](const Bytes&, const nlohmann::json& r) {
         return static_cast<std::size_t>(r["extractor"]["archive_offset"]) + harwarchive::kHeaderSize + 4;
       }), 3, "archive", "FAILED (exit 3): archive: "},
      {"unknown_option_warns_only", [&](Bytes& b, const nlohmann::json& r) { b[params_at(r) + 8] = 'Q'; }, 0, "",
       "passed"},
      {"option_without_value", [&](Bytes& b, const nlohmann::json& r) { b[params_at(r) + 8] = 'A'; }, 3, "parameters",
       "FAILED (exit 3): parameters: /A at token 2 has no value"},
      {"unterminated_parameters", [&](Bytes& b, const nlohmann::json& r) { b[params_at(r) + 10] = 'Y'; }, 3,
       "parameters", "not ended by a 16-bit zero"},
      {"byte_after_the_data", [](Bytes& b, const nlohmann::json&) { b.push_back(0); }, 3, "after_data",
       "after_data: 1 unknown bytes"},
  };
  ScratchDir dir;
  const nlohmann::json made = MakeBuiltinPackage(dir, {{"data.bin", 5000}}, "/X /W");
  const Bytes package = harwpack_test::ReadBytes(dir / "pkg.exe");
  for (const Case& c : cases) {
    Bytes bytes = package;
    c.change(bytes, made);
    harwpack_test::WriteBytes(dir / "changed.exe", bytes);
    const ToolRun text = RunTool({"inspect", P(dir / "changed.exe")});
    EXPECT_EQ(text.code, c.code) << c.name << ": " << text.out;
    const std::string last = text.out.substr(text.out.rfind('\n', text.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("verdict:", 0), 0u) << c.name << ": " << last;
    EXPECT_NE(last.find(c.shown), std::string::npos) << c.name << ": " << last;
    const ToolRun json = RunTool({"inspect", "--json", P(dir / "changed.exe")});
    EXPECT_EQ(json.code, c.code) << c.name;
    const nlohmann::json verdict = nlohmann::json::parse(json.out)["verdict"];
    EXPECT_EQ(verdict["exit_code"], c.code) << c.name;
    EXPECT_EQ(verdict["result"], c.code == 0 ? "passed" : "damaged") << c.name;
    ASSERT_EQ(verdict["failed"].size(), *c.failed == '\0' ? 0u : 1u) << c.name << ": " << verdict.dump(2);
    if (*c.failed != '\0') EXPECT_EQ(verdict["failed"][0]["check"], c.failed) << c.name;
  }
}

TEST(CliTest, InspectShowsTheFilesInPackingOrder) {
  // After the folders, by kind (the lower-case extension, "" first), then by path.
  ScratchDir dir;
  const nlohmann::json report = MakeBuiltinPackage(
      dir, {{"b.TXT", 10}, {"a.txt", 10}, {"z.dll", 10}, {"A.Dll", 10}, {"sub/c.dll", 10}, {"noext", 10},
            {"v.zip/readme", 10}, {"sub/x.Exe", 10}},
      "/X");
  const std::vector<std::string> order = {
      "Disk1",           "Disk1\\sub",       "Disk1\\v.zip",     "Disk1\\noext",   "Disk1\\v.zip\\readme",
      "Disk1\\A.Dll",    "Disk1\\sub\\c.dll", "Disk1\\z.dll",     "Disk1\\Setup.exe", "Disk1\\sub\\x.Exe",
      "Disk1\\a.txt",    "Disk1\\b.TXT"};
  std::vector<std::string> listed;
  for (const auto& entry : report["extractor"]["entries"]) listed.push_back(entry["path"]);
  EXPECT_EQ(listed, order);
  const ToolRun text = RunTool({"inspect", P(dir / "pkg.exe")});
  std::size_t at = text.out.find("entries:\n");
  for (const std::string& path : order) {
    at = text.out.find("  " + path + "\n", at);
    ASSERT_NE(at, std::string::npos) << path << " not in order in\n" << text.out;
  }
}

TEST(CliTest, InspectEscapesNamesThatWouldMakeLinesOrDriveTheConsole) {
  // The extractor takes these names (no C0 control); the console would break the line or read a control.
  struct Case {
    const char* name;  // UTF-8 on disk and in JSON
    const char* shown;  // in the text listing
  };
  const Case cases[] = {
      {"a\xE2\x80\xA8" "b.txt", "a\\u2028b.txt"},
      {"c\xC2\x85" "d.txt", "c\\x85d.txt"},
      {"e\xC2\x9B" "2J.txt", "e\\x9B2J.txt"},
      {"f\x7F" "g.txt", "f\\x7Fg.txt"},
      {"h\xC2\xA0i.txt", "h\xC2\xA0i.txt"},  // a no-break space is printable: as it is
  };
  ScratchDir dir;
  std::vector<std::pair<std::string, std::size_t>> files;
  for (const Case& c : cases) files.push_back({c.name, 3});
  const nlohmann::json report = MakeBuiltinPackage(dir, files, "/X");
  std::vector<std::string> in_json;
  for (const auto& entry : report["extractor"]["entries"]) in_json.push_back(entry["path"]);
  const ToolRun text = RunTool({"inspect", P(dir / "pkg.exe")});
  for (const Case& c : cases) {
    EXPECT_NE(std::find(in_json.begin(), in_json.end(), std::string("Disk1\\") + c.name), in_json.end()) << c.shown;
    EXPECT_NE(text.out.find("  Disk1\\" + std::string(c.shown) + "\n"), std::string::npos) << c.shown << "\n"
                                                                                         << text.out;
  }
  for (const char* raw : {"\xE2\x80\xA8", "\xC2\x85", "\xC2\x9B", "\x7F"}) {
    EXPECT_EQ(text.out.find(raw), std::string::npos) << "raw in the text listing";
  }
  // The parameter string, its tokens and the settings come from the package too.
  harwpack_test::WriteBytes(dir / "arc.exe", harwpack_test::Pattern(10, 2));
  ASSERT_EQ(RunTool({"create", "--stub", P(dir / "stub.exe"), "--archive", P(dir / "arc.exe"), "--params",
                     "/A \"x\nverdict: passed\"", "--out", P(dir / "params.exe")}).code,
            0);
  const ToolRun params = RunTool({"inspect", P(dir / "params.exe")});
  EXPECT_EQ(params.code, 0) << params.out;
  EXPECT_EQ(params.out.find("\nverdict: passed"), std::string::npos) << params.out;
  for (const char* shown : {"parameter string:   \"/A \"x\\x0Averdict: passed\"\"\n", "  2  \"x\\x0Averdict: passed\"",
                            "  SetupParameters       \"x\\x0Averdict: passed\"\n"}) {
    EXPECT_NE(params.out.find(shown), std::string::npos) << shown << " in\n" << params.out;
  }
}

TEST(CliTest, FailuresExitWithOneAndOneLine) {
  ScratchDir dir;
  harwpack_test::WriteBytes(dir / "plain.bin", harwpack_test::Pattern(3000, 3));
  const std::vector<std::vector<std::string>> failing = {
      {"create", "--stub", P(dir / "none.exe"), "--archive", P(dir / "plain.bin"), "--out",
       P(dir / "o.exe")},
      {"inspect", P(dir / "plain.bin")},
      {"inspect", P(dir / "none.exe")},
      {"inspect", "--ca-file", P(dir / "no-ca.pem"), P(dir / "plain.bin")},
  };
  for (const auto& args : failing) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.code, 1) << args[0];
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.rfind("harwpack: ", 0), 0u) << run.err;
  }
  EXPECT_FALSE(fs::exists(dir / "o.exe"));
}

}  // namespace
