// The command line: exit codes, one-line messages and the create/inspect round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "packer/cli.h"
#include "packer/text.h"
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
  const ToolRun run = RunTool({"--help"});
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("harwpack create"), std::string::npos);
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
