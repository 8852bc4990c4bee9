// The packer's campaign: harwpack create run as its own process against a
// table of hostile inputs (links of every kind and depth, special files, odd
// names, empty and deep trees, malformed stubs, parameters at and past their
// limits, outputs that cannot be written, huge folders, a full disk, an
// interrupted run), once with each extractor. For every case it checks the
// exit code or signal, the one-line message, that the NSIS compiler ran only
// when it should, that nothing but the package appeared in the run's folder
// or its temporary folder and, where a package is made, that its
// self-extractor holds exactly the files of the folder, with their contents:
// for NSIS as 7-Zip reads it, for the builtin extractor as the archive code
// decodes it.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "packer/cli/cli.h"
#include "packer/image/pe.h"
#include "tests/packer/test_support.h"

namespace fs = std::filesystem;

namespace {

using harwpack_test::Bytes;
using harwpack_test::MinimalPe;
using harwpack_test::WriteBytes;

/// The user a run drops to where root would read any file anyway.
constexpr uid_t kNobody = 65534;

/// Stands for the NSIS compiler: notes every call, and with HARW_TEST_STALL
/// set behaves like a long compression (leaves a partial extractor in its
/// working folder, says it is ready and waits) so that a run can be interrupted.
const char kCompilerWrapper[] =
    "#!/bin/sh\n"
    "echo \"$*\" >>\"$HARW_TEST_LOGS/makensis.calls\"\n"
    "if [ \"$1\" != -VERSION ] && [ -n \"$HARW_TEST_STALL\" ]; then\n"
    "  echo partial >extractor.exe\n"
    "  : >\"$HARW_TEST_LOGS/ready\"\n"
    "  exec sleep 30\n"
    "fi\n"
    "exec makensis \"$@\"\n";

/// One case's surroundings; a case's `make` fills in its inputs and options.
struct Bench {
  fs::path root;      // outside what is snapshotted: the compiler wrapper, logs, what 7-Zip unpacks
  fs::path work;      // the run's current folder: inputs and output
  fs::path tmp;       // the run's TMPDIR
  fs::path folder;    // packed with --folder...
  fs::path archive;   // ...or, when set, embedded with --archive
  fs::path stub;
  fs::path out;
  std::vector<std::string> extra;  // further arguments
  rlim_t file_limit = 0;           // RLIMIT_FSIZE of the run (0: none)
  bool drop_user = false;          // run as nobody when the test runs as root
  int interrupt = 0;               // signal sent once the compiler runs (the builtin compression began)
  bool to_group = false;           // ...to the whole process group, as a terminal's Ctrl+C
  bool builtin = false;            // the builtin extractor, else NSIS
  std::string unpacked = "Disk1";  // the folder the extractor unpacks (/F)
  std::string skipped;             // why the case cannot be made here ("" when it can)
  fs::path base_folder;            // what the --archive cases' extractor holds
  fs::path base_extractor;
};

/// The extractors a case runs with.
constexpr unsigned kNsisOnly = 1;
constexpr unsigned kBuiltinOnly = 2;
constexpr unsigned kBothExtractors = kNsisOnly | kBuiltinOnly;

/// What a case expects.
struct Case {
  const char* name;
  int finding;  // the finding of the issue it repeats (1 to 6), 0 for none
  std::function<void(Bench&)> make;
  int exit;             // exit code, or minus the signal that must end the run
  std::string message;  // a line of the error output holds it ("" when nothing fails)
  int lines;            // error lines (warnings and notes aside); -1: one or more
  bool package;         // a package is made
  bool compiles;        // the NSIS compiler is asked to compile (NSIS runs only)
  unsigned extractors = kBothExtractors;  // with which extractors the case runs
};

using harwpack_test::P;

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  WriteBytes(path, Bytes(text.begin(), text.end()));
}

/// A setup program the packer accepts: a PE image.
std::string SetupProgram() {
  const Bytes pe = MinimalPe();
  return std::string(pe.begin(), pe.end());
}

std::string ReadText(const fs::path& path) {
  const Bytes bytes = harwpack_test::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

/// Every entry below `dir` (never through a link): type and mode, and a file's size and time, by path.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> seen;
  for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied);
       it != fs::recursive_directory_iterator(); ++it) {
    struct stat st {};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::ostringstream shown;
    shown << std::oct << st.st_mode << std::dec;
    // A folder's own time changes with its entries, which are listed themselves.
    if (!S_ISDIR(st.st_mode)) shown << " " << st.st_size << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
    seen[it->path().lexically_relative(dir).string()] = shown.str();
  }
  return seen;
}

/// The regular files below `dir` with '/' between the parts, sorted.
std::vector<std::string> FilesBelow(const fs::path& dir) {
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_regular_file()) files.push_back(it->path().lexically_relative(dir).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

/// How a run of harwpack ended.
struct RunEnd {
  int exit = 0;  // exit code, or minus the signal
  std::string out;
  std::string err;
  double seconds = 0;
};

[[noreturn]] void StartHarwpack(const Bench& b, const std::vector<std::string>& args) {
  if (b.to_group) setpgid(0, 0);
  if (chdir(b.work.c_str()) != 0 || setenv("TMPDIR", b.tmp.c_str(), 1) != 0 ||
      setenv("HARW_TEST_LOGS", (b.root / "logs").c_str(), 1) != 0 ||
      (b.interrupt != 0 && setenv("HARW_TEST_STALL", "1", 1) != 0) ||
      std::freopen("/dev/null", "r", stdin) == nullptr ||
      std::freopen((b.root / "logs" / "out.txt").c_str(), "w", stdout) == nullptr ||
      std::freopen((b.root / "logs" / "err.txt").c_str(), "w", stderr) == nullptr) {
    _exit(120);
  }
  const rlimit size{b.file_limit, b.file_limit};
  if (b.file_limit != 0 && (setrlimit(RLIMIT_FSIZE, &size) != 0 || std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR)) {
    _exit(121);
  }
  if (b.drop_user && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
    _exit(122);
  }
  std::vector<char*> argv{const_cast<char*>(HARWPACK_EXE)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(HARWPACK_EXE, argv.data());
  _exit(123);
}

/// True once the stand-in compiler says it is compiling, or the builtin compression has begun.
bool Compiling(const Bench& b) {
  if (!b.builtin) return fs::exists(b.root / "logs" / "ready");
  return ReadText(b.root / "logs" / "out.txt").find("compressing ") != std::string::npos;
}

/// Sends the case's signal once the compression runs.
void InterruptWhenReady(const Bench& b, pid_t pid) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Compiling(b) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(Compiling(b)) << "the compression never started";
  kill(b.to_group ? -pid : pid, b.interrupt);
}

RunEnd RunHarwpack(const Bench& b, const std::vector<std::string>& args) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) StartHarwpack(b, args);
  RunEnd end;
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return end;
  }
  if (b.interrupt != 0) InterruptWhenReady(b, pid);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) ADD_FAILURE() << "waitpid failed";
  end.exit = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
  end.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  end.out = ReadText(b.root / "logs" / "out.txt");
  end.err = ReadText(b.root / "logs" / "err.txt");
  return end;
}

/// The error lines of a run's messages; every line must be a harwpack message.
int ErrorLines(const std::string& err) {
  int errors = 0;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.rfind("harwpack: ", 0), 0u) << "not a message line: " << line;
    const bool aside = line.rfind("harwpack: warning: ", 0) == 0 || line.rfind("harwpack: note: ", 0) == 0;
    errors += aside ? 0 : 1;
  }
  return errors;
}

/// The files 7-Zip lists in `extractor`, below the folder it unpacks (`unpacked`).
std::vector<std::string> ListedFiles(const fs::path& dir, const fs::path& extractor, const std::string& unpacked) {
  const harwpack_test::CommandResult listed = harwpack_test::RunCommand(dir, "7zz", {"l", "-slt", P(extractor)});
  EXPECT_EQ(listed.exit_code, 0) << listed.output;
  const std::string prefix = "Path = $EXEDIR/" + unpacked + "/";
  std::vector<std::string> files;
  std::istringstream lines(listed.output.substr(std::min(listed.output.find("----------"), listed.output.size())));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Path = ", 0) != 0) continue;
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
    files.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
  }
  std::sort(files.begin(), files.end());
  return files;
}

/// The builtin self-extractor of the package against `folder`: the same
/// folders and files, the same bytes, as the archive code decodes them.
void CheckBuiltinHolds(const Bench& b, const fs::path& folder) {
  std::string error;
  const std::map<std::string, Bytes> contents = harwpack_test::BuiltinContents(b.out, error);
  ASSERT_EQ(error, "");
  std::map<std::string, Bytes> expected;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    const std::string relative = it->path().lexically_relative(folder).generic_string();
    if (it->is_directory()) expected[relative + "/"];
    if (it->is_regular_file()) expected[relative] = harwpack_test::ReadBytes(it->path());
  }
  EXPECT_TRUE(contents == expected) << "the archive holds " << contents.size() << " entries, the folder "
                                    << expected.size();
}

/// Takes the extractor out of the package and holds it against `folder`:
/// the same file names (7-Zip's listing) and the same bytes (7-Zip's unpacking).
void CheckPackageHolds(const Bench& b, const fs::path& folder, const std::string& unpacked) {
  if (b.builtin && b.archive.empty()) return CheckBuiltinHolds(b, folder);
  const fs::path check = b.root / "check";
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(harwpack::RunCli({"extract", P(b.out), "--out", P(check / "extractor.exe")}, out, err), 0) << err.str();
  const std::vector<std::string> expected = FilesBelow(folder);
  EXPECT_EQ(ListedFiles(check, check / "extractor.exe", unpacked), expected);
  const harwpack_test::CommandResult unpack =
      harwpack_test::RunCommand(check, "7zz", {"x", "-y", "-o" + P(check / "x"), P(check / "extractor.exe")});
  ASSERT_EQ(unpack.exit_code, 0) << unpack.output;
  for (const std::string& file : expected) {
    EXPECT_TRUE(harwpack_test::ReadBytes(check / "x" / "$EXEDIR" / unpacked / file) ==
                harwpack_test::ReadBytes(folder / file))
        << file;
  }
}

/// Runs one case; returns false when it left anything it should not have.
bool RunCase(const Case& c, Bench& b) {
  b.folder = b.work / "inst";
  b.stub = b.work / "stub.exe";
  b.out = b.work / "pkg.exe";
  WriteText(b.folder / "Setup.exe", SetupProgram());
  WriteBytes(b.stub, MinimalPe());
  c.make(b);
  if (!b.skipped.empty()) {
    std::cout << "packer campaign: " << c.name << " skipped: " << b.skipped << "\n";
    return true;
  }
  std::vector<std::string> args = {"create", "--stub", P(b.stub), "--out", P(b.out)};
  if (b.archive.empty() && b.builtin) {
    args.insert(args.end(), {"--folder", P(b.folder)});
    // The extractor's program of the stub's edition, for the cases whose stub has one.
    const Bytes stub = harwpack_test::ReadBytes(b.stub);
    const auto edition = harwpack::ImageEdition(stub.data(), stub.size()).value_or(harwpack::Edition::kX86);
    const std::vector<std::string> program = harwpack_test::ExtractorArgs(b.root / "bin", edition);
    args.insert(args.end(), program.begin(), program.end());
  } else if (b.archive.empty()) {
    args.insert(args.end(), {"--folder", P(b.folder), "--makensis", P(b.root / "bin" / "makensis")});
  } else {
    args.insert(args.end(), {"--archive", P(b.archive)});
  }
  args.insert(args.end(), b.extra.begin(), b.extra.end());
  auto work_before = Snapshot(b.work);
  const auto tmp_before = Snapshot(b.tmp);

  const RunEnd end = RunHarwpack(b, args);
  EXPECT_EQ(end.exit, c.exit) << end.err;
  if (!c.message.empty()) EXPECT_NE(end.err.find(c.message), std::string::npos) << end.err;
  const int lines = ErrorLines(end.err);
  EXPECT_TRUE(c.lines < 0 ? lines > 0 : lines == c.lines) << end.err;
  const std::string calls = ReadText(b.root / "logs" / "makensis.calls");
  EXPECT_EQ(calls.find("extractor.nsi") != std::string::npos, c.compiles && !b.builtin) << calls;
  if (b.interrupt != 0) EXPECT_LT(end.seconds, 4.0) << "the stand-in compiler was not stopped at once";

  auto work_after = Snapshot(b.work);
  const std::string out = b.out.lexically_relative(b.work).string();
  const bool made = work_after.count(out) == 1 && (work_before.count(out) == 0 || work_after[out] != work_before[out]);
  EXPECT_EQ(made, c.package);
  if (made) {
    work_after.erase(out);
    work_before.erase(out);
  }
  const bool clean = work_after == work_before && Snapshot(b.tmp) == tmp_before;
  EXPECT_TRUE(clean) << "files were left or changed beside the output or in TMPDIR";
  if (made && c.package) CheckPackageHolds(b, b.archive.empty() ? b.folder : b.base_folder, b.unpacked);
  return clean;
}

// --- The inputs ---------------------------------------------------------------

void Link(const fs::path& link, const std::string& target) {
  fs::create_directories(link.parent_path());
  fs::create_symlink(target, link);
}

/// A folder outside the packed one, as /etc is, holding something secret.
void MakeOutside(Bench& b) { WriteText(b.work / "outside" / "passwords.txt", "secret"); }

/// A stub: MinimalPe with `change` applied to its bytes.
std::function<void(Bench&)> Stub(std::function<void(Bytes&)> change) {
  return [change](Bench& b) {
    Bytes stub = MinimalPe();
    change(stub);
    WriteBytes(b.stub, stub);
  };
}

void PokeU16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr std::size_t kMachine = harwpack_test::kMinimalPeSignature + 4;
constexpr std::size_t kCharacteristics = harwpack_test::kMinimalPeSignature + 22;
constexpr std::size_t kMagic = harwpack_test::kMinimalPeSignature + 24;
constexpr std::size_t kSubsystem = kMagic + 68;

/// Embeds the campaign's ready extractor, with `params`.
std::function<void(Bench&)> Archived(const std::string& params) {
  return [params](Bench& b) {
    b.archive = b.work / "arc.exe";
    fs::copy_file(b.base_extractor, b.archive);
    b.extra = {"--params", params};
  };
}

std::string Repeated(const std::string& text, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += text;
  return out;
}

/// A folder `depth` levels deep (d01/d02/...), with a file at the bottom.
std::function<void(Bench&)> DeepTree(int depth) {
  return [depth](Bench& b) {
    fs::path at = b.folder;
    for (int i = 1; i <= depth; ++i) at /= (i < 10 ? "d0" : "d") + std::to_string(i);
    WriteText(at / "f.txt", "deep");
  };
}

/// Names that mean something to makensis, the shell or Windows' command line.
const std::vector<std::string> kOddNames = {
    "a b.txt", "$X.txt", "$$.txt", "$0.txt", "${NSISDIR}.txt", "$%PATH%.txt", "%TEMP%.txt", "$(lang).txt",
    "{braces}.txt", "`tick`.txt", "'quote'.txt", ";semi.txt", "#hash.txt", "\xC3\xA4 \xC3\x9F.txt",
    "\xE4\xB8\xAD\xE6\x96\x87.txt", "\xF0\x9F\x98\x80.txt", "x$/new/n.txt", "x$/rest/r.txt", "x$/tab/t.txt", "y$/'q/f.txt",
    "z$/`b/f.txt", "${NSISDIR}/f.txt", "$%TEMP%/f.txt"};
const char kOddPath[] = "in $X {a} `b` 'c' %PATH% ;d #e \xC3\xA4 \xC3\x9F \xE4\xB8\xAD \xF0\x9F\x98\x80";

void MakeOddNames(Bench& b) {
  b.folder = b.work / kOddPath / "inst $Y";
  WriteText(b.folder / "Setup.exe", SetupProgram());
  for (const std::string& name : kOddNames) WriteText(b.folder / name, "content of " + name);
  b.out = b.work / "out $Z {x} `y` 'z' %PATH% ;# \xC3\xA4 \xF0\x9F\x98\x80" / "pkg $V \xC3\x9F.exe";
  fs::create_directories(b.out.parent_path());
}

/// Grows the stub past the file-size limit of the full-disk cases (a PE file may carry data behind its image).
void LargeStub(Bench& b) {
  Bytes stub = MinimalPe();
  const Bytes overlay = harwpack_test::Pattern(300 * 1024, 9);
  stub.insert(stub.end(), overlay.begin(), overlay.end());
  WriteBytes(b.stub, stub);
}

/// Bytes that zstd cannot shrink: 64 MiB of them take seconds at the default level.
void Incompressible(const fs::path& path, std::size_t size = 64 << 20) {
  Bytes bytes(size);
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::uint8_t& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<std::uint8_t>(state);
  }
  WriteBytes(path, bytes);
}

void Sparse(const fs::path& path, off_t size) {
  fs::create_directories(path.parent_path());
  WriteBytes(path, {'M', 'Z'});
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

const std::string kLinkReason =
    ": only files and folders are packed, and a link is never followed, since it could reach outside the folder";

std::vector<Case> Cases() {
  const auto none = [](Bench&) {};
  return {
      {"plain_folder", 0, none, 0, "", 0, true, true},
      // Links of every kind, at several depths.
      {"link_to_file_outside", 1,
       [](Bench& b) {
         MakeOutside(b);
         Link(b.folder / "passwords.txt", "../outside/passwords.txt");
       },
       1,
       "'passwords.txt' is a symbolic link to '../outside/passwords.txt'" + kLinkReason, 1, false, false},
      {"link_to_folder_outside", 1,
       [](Bench& b) {
         MakeOutside(b);
         Link(b.folder / "etc", P(b.work / "outside"));
       },
       1, ", a folder: only files and folders are packed", 1, false, false},
      {"link_to_folder_outside_deep", 1,
       [](Bench& b) {
         MakeOutside(b);
         Link(b.folder / "a" / "b" / "c" / "etc", "../../../../outside");
       },
       1,
       "'a/b/c/etc' is a symbolic link to '../../../../outside', a folder", 1, false, false},
      {"link_to_etc", 1, [](Bench& b) { Link(b.folder / "conf" / "etc", "/etc"); }, 1,
       "'conf/etc' is a symbolic link to '/etc', a folder", 1, false, false},
      {"link_to_file_inside", 0, [](Bench& b) { Link(b.folder / "Copy.exe", "Setup.exe"); }, 1,
       "'Copy.exe' is a symbolic link to 'Setup.exe'", 1, false, false},
      {"loop_to_parent", 2, [](Bench& b) { Link(b.folder / "sub" / "loop", ".."); }, 1,
       "'sub/loop' is a symbolic link to '..', a folder" + kLinkReason, 1, false, false},
      {"loop_to_top_deep", 2, [](Bench& b) { Link(b.folder / "a" / "b" / "c" / "loop", "../../.."); }, 1,
       "'a/b/c/loop' is a symbolic link to '../../..', a folder", 1, false, false},
      {"dangling_link", 3, [](Bench& b) { Link(b.folder / "gone.dll", "nowhere.dll"); }, 1,
       "'gone.dll' is a symbolic link to 'nowhere.dll', which does not exist", 1, false, false},
      {"dangling_link_deep", 3, [](Bench& b) { Link(b.folder / "a" / "b" / "gone", "../../missing"); }, 1,
       "'a/b/gone' is a symbolic link to '../../missing', which does not exist", 1, false, false},
      {"only_links", 1,
       [](Bench& b) {
         MakeOutside(b);
         fs::remove(b.folder / "Setup.exe");
         Link(b.folder / "Setup.exe", "../outside/passwords.txt");
         Link(b.folder / "etc", "/etc");
         Link(b.folder / "gone", "nowhere");
       },
       1, "holds no files", 4, false, false},
      {"fifo_deep", 0,
       [](Bench& b) {
         fs::create_directories(b.folder / "a");
         ASSERT_EQ(mkfifo(P(b.folder / "a" / "p").c_str(), 0600), 0);
       },
       1, "'a/p' is a FIFO (named pipe): only files and folders are packed", 1, false, false},
      {"socket", 0,
       [](Bench& b) {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         const std::string path = P(b.folder / "s");
         ASSERT_LT(path.size(), sizeof address.sun_path);
         std::copy(path.begin(), path.end(), address.sun_path);
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
         close(fd);
       },
       1, "'s' is a socket", 1, false, false},
      {"character_device", 0,
       [](Bench& b) {
         if (mknod(P(b.folder / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
           b.skipped = "mknod needs root";
         }
       },
       1, "'null' is a character device", 1, false, false},
      // Names and paths.
      {"odd_names", 4, MakeOddNames, 0, "", 0, true, true},
      {"dollar_sequences", 4,
       [](Bench& b) {
         b.folder = b.work / "my folder $X" / "inst";
         WriteText(b.folder / "Setup.exe", SetupProgram());
         for (const char* name : {"$%PATH%.txt", "x$/rest/r.txt", "y$/'q/f.txt", "$0.txt"}) WriteText(b.folder / name, name);
       },
       0, "", 0, true, true},
      {"odd_unpack_folder", 4,
       [](Bench& b) {
         b.unpacked = "Di$k {1} `%TEMP%` \xC3\xA4 \xF0\x9F\x98\x80";
         b.extra = {"--params", "/F \"" + b.unpacked + "\" /S \"" + b.unpacked + "\\Setup.exe\""};
       },
       0, "", 0, true, true},
      {"empty_files_and_folders", 0,
       [](Bench& b) {
         WriteText(b.folder / "empty.txt", "");
         WriteText(b.folder / "a" / "zero.bin", "");
         fs::create_directories(b.folder / "void");
         fs::create_directories(b.folder / "a" / "b" / "c");
       },
       0, "", 0, true, true},
      {"deep_tree_at_limit", 0, DeepTree(59), 0, "", 0, true, true},
      {"deep_tree_past_limit", 0, DeepTree(60), 1, "would be unpacked as 248 characters", 1, false, false},
      {"windows_cannot_hold", 0, [](Bench& b) { WriteText(b.folder / "a:b.txt", "x"); }, 1,
       "'a:b.txt' contains a character Windows does not allow", 1, false, false},
      {"device_name", 0, [](Bench& b) { WriteText(b.folder / "docs" / "nul.txt", "x"); }, 1,
       "'docs/nul.txt' has a part that names a device; it cannot be unpacked on Windows", 1, false, false},
      // Stubs.
      {"stub_etc_passwd", 5, [](Bench& b) { b.stub = "/etc/passwd"; }, 1,
       "stub '/etc/passwd' is not a Windows program", 1, false, false},
      {"stub_empty", 5, [](Bench& b) { WriteBytes(b.stub, {}); }, 1, "is empty", 1, false, false},
      {"stub_cut_in_dos_header", 5, Stub([](Bytes& s) { s.resize(0x30); }), 1, "ends inside its DOS header (48 bytes)",
       1, false, false},
      {"stub_cut_in_pe_header", 5, Stub([](Bytes& s) { s.resize(0x60); }), 1,
       "ends inside its PE headers (96 bytes, the headers need 158)", 1, false, false},
      {"stub_dos_program", 5, Stub([](Bytes& s) { s[harwpack_test::kMinimalPeSignature] = 'X'; }), 1,
       "is not a PE image (no \"PE\" signature at byte 64)", 1, false, false},
      {"stub_x64_edition", 0,
       [](Bench& b) { WriteBytes(b.stub, MinimalPe(0, true, harwpack::Edition::kX64)); }, 0, "", 0, true, true},
      {"stub_arm64", 5, Stub([](Bytes& s) { PokeU16(s, kMachine, 0xAA64); }), 1,
       "is built for machine 0xAA64 (ARM64), not for x86 (0x14C) or x64 (0x8664)", 1, false, false},
      {"stub_pe32_plus_for_i386", 5, Stub([](Bytes& s) { PokeU16(s, kMagic, 0x20B); }), 1,
       "is a 64-bit (PE32+) image for the 32-bit machine 0x14C", 1, false, false},
      {"stub_pe32_for_x64", 5, Stub([](Bytes& s) { PokeU16(s, kMachine, 0x8664); }), 1,
       "is a 32-bit (PE32) image for the 64-bit machine 0x8664", 1, false, false},
      {"stub_gui", 5, Stub([](Bytes& s) { PokeU16(s, kSubsystem, 2); }), 1,
       "runs in subsystem 2 (a GUI program), not as a console program (3)", 1, false, false},
      {"stub_dll", 5, Stub([](Bytes& s) { s[kCharacteristics + 1] |= 0x20; }), 1, "is a DLL, not a program", 1, false,
       false},
      {"stub_without_marker", 5, [](Bench& b) { WriteBytes(b.stub, MinimalPe(0, false)); }, 1,
       "does not hold the program's marker text", 1, false, false},
      {"stub_is_a_package", 5,
       [](Bench& b) {
         WriteBytes(b.work / "plain.exe", MinimalPe());
         WriteBytes(b.work / "arc.bin", {'M', 'Z'});
         std::ostringstream out;
         std::ostringstream err;
         ASSERT_EQ(harwpack::RunCli({"create", "--stub", P(b.work / "plain.exe"), "--archive", P(b.work / "arc.bin"),
                                     "--out", P(b.stub)},
                                    out, err),
                   0);
       },
       1, "already carries a container (marker at byte 1024); pack the bare program instead", 1, false, false},
      {"stub_signed", 0,
       Stub([](Bytes& s) {
         const Bytes table = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
         harwpack_test::PokeU32(s, harwpack_test::kMinimalPeSecurityEntry, static_cast<std::uint32_t>(s.size()));
         harwpack_test::PokeU32(s, harwpack_test::kMinimalPeSecurityEntry + 4, 16);
         s.insert(s.end(), table.begin(), table.end());
       }),
       0, "", 0, true, true},
      // Outputs.
      {"out_in_missing_folder", 6, [](Bench& b) { b.out = b.work / "no-such-folder" / "pkg.exe"; }, 1,
       "cannot be written: cannot create", 1, false, false},
      {"out_below_a_file", 6,
       [](Bench& b) {
         WriteText(b.work / "plain.txt", "x");
         b.out = b.work / "plain.txt" / "p.exe";
       },
       1, "(Not a directory)", 1, false, false},
      {"out_in_read_only_folder", 6,
       [](Bench& b) {
         fs::create_directories(b.work / "ro");
         fs::permissions(b.work / "ro", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
         b.out = b.work / "ro" / "pkg.exe";
         b.drop_user = true;
       },
       1, "(Permission denied)", 1, false, false},
      {"out_is_a_folder", 6, [](Bench& b) { fs::create_directories(b.out); }, 1, "is a directory", 1, false, false},
      {"out_is_the_stub", 6, [](Bench& b) { b.out = b.stub; }, 1, "is the stub itself", 1, false, false},
      // Inside the folder to pack, however spelled: the next run would pack this one's package.
      {"out_inside_the_folder", 0, [](Bench& b) { b.out = b.folder / "pkg.exe"; }, 1,
       "is inside the folder to pack", 1, false, false},
      {"out_in_a_subfolder_spelled_around", 0,
       [](Bench& b) {
         fs::create_directories(b.folder / "docs");
         b.out = b.work / "." / "inst" / "docs" / ".." / "docs" / "pkg.exe";
       },
       1, "is inside the folder to pack", 1, false, false},
      {"out_through_a_link_into_the_folder", 0,
       [](Bench& b) {
         fs::create_directories(b.folder / "docs");
         fs::create_directory_symlink(b.folder / "docs", b.work / "into");
         b.out = b.work / "into" / "pkg.exe";
       },
       1, "is inside the folder to pack", 1, false, false},
      {"out_beside_the_folder_with_its_name", 0, [](Bench& b) { b.out = b.work / "inst.exe"; }, 0, "", 0, true,
       true},
      // A setup program Windows cannot start: the run would wait on an error box nobody sees.
      {"setup_not_a_program", 0, [](Bench& b) { WriteText(b.folder / "Setup.exe", "@echo off\r\n"); }, 1,
       "setup program 'Disk1\\Setup.exe' is too short to be a Windows program (11 bytes)", 1, false, false},
      {"setup_a_dos_program", 0,
       [](Bench& b) { WriteText(b.folder / "Setup.exe", "MZ" + std::string(62, '\0') + "text after the header"); }, 1,
       "setup program 'Disk1\\Setup.exe' is not a Windows program: it has no PE header", 1, false, false},
      // Reading and size limits, before anything is compressed.
      {"unreadable_file", 0,
       [](Bench& b) {
         WriteText(b.folder / "secret.bin", "x");
         fs::permissions(b.folder / "secret.bin", fs::perms::none);
         b.drop_user = true;
       },
       1, "'secret.bin' cannot be opened for reading (Permission denied)", 1, false, false},
      // Files are opened only when nothing else refuses the folder: one error, not two.
      {"unreadable_file_beside_a_link", 0,
       [](Bench& b) {
         WriteText(b.folder / "secret.bin", "x");
         fs::permissions(b.folder / "secret.bin", fs::perms::none);
         Link(b.folder / "Copy.exe", "Setup.exe");
         b.drop_user = true;
       },
       1, "'Copy.exe' is a symbolic link to 'Setup.exe'", 1, false, false},
      // 2 GiB and the setup program of 1,024 bytes.
      {"folder_past_nsis_limit", 0, [](Bench& b) { Sparse(b.folder / "big.bin", off_t{1} << 31); }, 1,
       "holds 2147484672 bytes in 2 files (2147484680 with NSIS's own 4 bytes a file); an NSIS self-extractor holds "
       "at most 2147483647",
       1, false, false, kNsisOnly},
      {"unreadable_file_past_nsis_limit", 0,
       [](Bench& b) {
         Sparse(b.folder / "big.bin", off_t{1} << 31);
         WriteText(b.folder / "secret.bin", "x");
         fs::permissions(b.folder / "secret.bin", fs::perms::none);
         b.drop_user = true;
       },
       1, "an NSIS self-extractor holds at most 2147483647", 1, false, false, kNsisOnly},
      {"archive_past_package_limit", 0,
       [](Bench& b) {
         Sparse(b.work / "big.exe", 4294967000);
         b.archive = b.work / "big.exe";
       },
       1,
       "package would be 4294968180 bytes; it must stay below 4 GiB (at most 4294967295 bytes)", 1, false, false},
      // The parameter string at and past every limit.
      {"params_F_259", 0, Archived("/F " + std::string(259, 'f')), 0, "", 0, true, false},
      {"params_F_260", 0, Archived("/F " + std::string(260, 'f')), 1, "/F value at token 2 is 260 UTF-16 units long",
       1, false, false},
      {"params_S_259", 0, Archived("/S " + std::string(259, 's')), 0, "", 0, true, false},
      {"params_S_260", 0, Archived("/S " + std::string(260, 's')), 1, "at most 259 fit", 1, false, false},
      {"params_A_1023", 0, Archived("/A " + std::string(1023, 'a')), 0, "", 0, true, false},
      {"params_A_1024", 0, Archived("/A " + std::string(1024, 'a')), 1, "1024 UTF-16 units long; at most 1023 fit", 1,
       false, false},
      {"params_62_tokens", 0, Archived(Repeated("/X ", 62)), 0, "", 0, true, false},
      {"params_63_tokens", 0, Archived(Repeated("/X ", 63)), 1, "splits into 63 tokens", 1, false, false},
      {"params_missing_value", 0, Archived("/X /A"), 1, "/A at token 2 has no value", 1, false, false},
      // A full disk and interrupted runs.
      {"disk_full_writing_package", 0,
       [](Bench& b) {
         LargeStub(b);
         b.file_limit = 200 * 1024;
       },
       1,
       "(File too large)", 1, false, true},
      {"disk_full_compiling", 0, [](Bench& b) { b.file_limit = 16 * 1024; }, 1, "NSIS compiler failed", 1, false,
       true, kNsisOnly},
      {"ctrl_c_while_compiling", 0,
       [](Bench& b) {
         b.interrupt = SIGINT;
         b.to_group = true;
       },
       -SIGINT,
       "harwpack: interrupted by SIGINT; no package was written", 1, false, true, kNsisOnly},
      {"sigterm_while_compiling", 0, [](Bench& b) { b.interrupt = SIGTERM; }, -SIGTERM,
       "harwpack: interrupted by SIGTERM; no package was written", 1, false, true, kNsisOnly},
      // The builtin extractor's own writing: a full disk, interrupts while it compresses.
      {"disk_full_compressing", 0,
       [](Bench& b) {
         Incompressible(b.folder / "big.bin", 1 << 20);
         b.file_limit = 512 * 1024;
       },
       1, "(File too large)", 1, false, false, kBuiltinOnly},
      {"ctrl_c_while_compressing", 0,
       [](Bench& b) {
         Incompressible(b.folder / "big.bin");
         b.interrupt = SIGINT;
         b.to_group = true;
       },
       -SIGINT, "harwpack: interrupted by SIGINT; no package was written", 1, false, false, kBuiltinOnly},
      {"sigterm_while_compressing", 0,
       [](Bench& b) {
         Incompressible(b.folder / "big.bin");
         b.interrupt = SIGTERM;
       },
       -SIGTERM, "harwpack: interrupted by SIGTERM; no package was written", 1, false, false, kBuiltinOnly},
  };
}

TEST(PackerCampaign, EveryHostileInputEndsCleanly) {
  harwpack_test::ScratchDir suite;
  if (!harwpack_test::RunCommand(suite.path(), "makensis", {"-VERSION"}).started ||
      !harwpack_test::RunCommand(suite.path(), "7zz", {"i"}).started) {
    GTEST_SKIP() << "makensis or 7zz is not installed";
  }
  // The extractor that the --archive cases embed, and the folder it holds.
  const fs::path base_folder = suite / "base";
  WriteText(base_folder / "Setup.exe", SetupProgram());
  WriteText(base_folder / "doc" / "readme.txt", "read me");
  WriteBytes(suite / "stub.exe", MinimalPe());
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(harwpack::RunCli({"create", "--stub", P(suite / "stub.exe"), "--folder", P(base_folder), "--extractor",
                              "nsis", "--out", P(suite / "base.exe")},
                             out, err),
            0)
      << err.str();
  ASSERT_EQ(harwpack::RunCli({"extract", P(suite / "base.exe"), "--out", P(suite / "base-extractor.exe")}, out, err), 0);

  const auto start = std::chrono::steady_clock::now();
  int runs = 0;
  int leftovers = 0;
  int skipped = 0;
  const std::vector<Case> cases = Cases();
  for (const bool builtin : {false, true}) {
   for (const Case& c : cases) {
    if ((c.extractors & (builtin ? kBuiltinOnly : kNsisOnly)) == 0) continue;
    SCOPED_TRACE(std::string(c.name) + (builtin ? " (builtin)" : " (nsis)") +
                 (c.finding != 0 ? " (finding " + std::to_string(c.finding) + ")" : ""));
    harwpack_test::ScratchDir scratch;
    Bench b;
    b.builtin = builtin;
    b.root = scratch.path();
    b.work = b.root / "work";
    b.tmp = b.root / "tmp";
    b.base_folder = base_folder;
    b.base_extractor = suite / "base-extractor.exe";
    for (const char* dir : {"work", "tmp", "logs", "bin", "check"}) fs::create_directories(b.root / dir);
    // A run as nobody must reach its files, its TMPDIR and the compiler wrapper's log.
    fs::permissions(b.tmp, fs::perms::all);
    fs::permissions(b.root / "logs", fs::perms::all);
    WriteText(b.root / "bin" / "makensis", kCompilerWrapper);
    fs::permissions(b.root / "bin" / "makensis", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                                                     fs::perms::group_read | fs::perms::others_read);
    leftovers += RunCase(c, b) ? 0 : 1;
    (b.skipped.empty() ? runs : skipped) += 1;
   }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(leftovers, 0);
  std::cout << "packer campaign: " << cases.size() << " cases, " << runs << " runs of harwpack (" << skipped
            << " skipped), leftovers found: " << leftovers << ", " << seconds << " s\n";
}

}  // namespace

#endif
