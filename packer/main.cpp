// Entry point: gathers the arguments as UTF-8 and hands them to RunCli.
#include <iostream>
#include <string>
#include <vector>

#include "packer/cli/cli.h"
#include "packer/platform/platform.h"

namespace {

/// Runs the command so that an interrupt stops it cleanly, then ends the
/// way the interrupt asks. A command that completed keeps its result: its
/// package is whole.
int Run(const std::vector<std::string>& args) {
  const std::string error = harwpack::CatchInterrupts();
  if (!error.empty()) std::cerr << "harwpack: warning: an interrupt will leave temporary files (" << error << ")\n";
  const int code = harwpack::RunCli(args, std::cout, std::cerr, harwpack::StandardOutputIsTerminal());
  if (code != harwpack::kExitOk && harwpack::InterruptSignal() != 0) {
    std::cout.flush();
    std::cerr.flush();
    harwpack::EndByInterrupt();
  }
  return code;
}

}  // namespace

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>


namespace {

/// The narrow argv of Windows is in the ANSI code page; the wide command line keeps every character.
bool WideArguments(std::vector<std::string>& args) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return false;
  for (int i = 1; i < count; ++i) {
    const std::wstring wide(argv[i]);
    args.push_back(harwpack::Utf16ToUtf8(std::u16string(wide.begin(), wide.end())));
  }
  if (LocalFree(argv) != nullptr) return false;
  return true;
}

}  // namespace

int main() {
  std::vector<std::string> args;
  if (!WideArguments(args)) {
    std::cerr << "harwpack: cannot read the command line (error " << GetLastError() << ")\n";
    return harwpack::kExitFailure;
  }
  // Without a console (output redirected) there is no code page to set, and UTF-8 bytes pass as they are.
  if (GetConsoleWindow() != nullptr && !SetConsoleOutputCP(CP_UTF8)) {
    std::cerr << "harwpack: console output may show non-ASCII text wrongly\n";
  }
  return Run(args);
}

#else

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return Run(args);
}

#endif
