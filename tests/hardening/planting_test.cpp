// DLL planting: DLLs named like ones that system libraries load lazily, put
// beside the package (which is also the current directory, as in a Downloads
// folder), must never be loaded during a full run. Wine prefers its own
// builtin DLLs, so beside the run that loads nothing, a control program
// shows that the planted DLLs would be found, and a debugger shows that the
// package narrows the DLL search before it starts anything.
#include <windows.h>

#include <gtest/gtest.h>

#include <psapi.h>

#include "support/bench.h"
#include "support/handle.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

const wchar_t* const kPlanted[] = {L"version.dll", L"uxtheme.dll", L"dwmapi.dll", L"cryptbase.dll",
                                   L"profapi.dll", L"sspicli.dll", L"propsys.dll", L"userenv.dll"};
// Native before builtin for the planted names, so that Wine takes a planted
// copy wherever its search reaches one.
const wchar_t kOverrides[] =
    L"mscoree,mshtml=;version,uxtheme,dwmapi,cryptbase,profapi,sspicli,propsys,userenv=n,b";
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

class PlantingTest : public PackageTest {
 protected:
  void SetUp() override {
    for (const wchar_t* name : kPlanted) {
      ASSERT_TRUE(CopyFileW(BinPath(L"planted_dll.dll").c_str(), (work() / name).c_str(), FALSE));
    }
  }
  std::vector<std::wstring> Loaded() const {
    std::vector<std::wstring> loaded;
    for (const wchar_t* name : kPlanted) {
      if (fs::exists(work() / (std::wstring(name) + L".loaded"))) loaded.push_back(name);
    }
    return loaded;
  }
  // A full run: the extractor unpacks Disk1 with a setup program, which runs.
  RunOptions FullRun() const {
    RunOptions options = Options();
    AddSetup(options);
    SetEnv(options, L"WINEDLLOVERRIDES", kOverrides);
    return options;
  }
};

std::string Names(const std::vector<std::wstring>& names) {
  std::string text;
  for (const auto& name : names) text += ToUtf8(name) + " ";
  return text;
}

TEST_F(PlantingTest, PlantedDllsAreNeverLoadedDuringAFullRun) {
  // Control: a program in the same folder that loads the names without any
  // restriction picks planted copies up, so the planting is effective here.
  ASSERT_TRUE(CopyFileW(BinPath(L"dll_probe.exe").c_str(), (work() / L"dll_probe.exe").c_str(), FALSE));
  RunOptions probe = InFolder(work() / L"dll_probe.exe", work());
  SetEnv(probe, L"WINEDLLOVERRIDES", kOverrides);
  for (const wchar_t* name : kPlanted) probe.args.push_back(name);
  ASSERT_TRUE(RunProcess(probe).started);
  std::vector<std::wstring> found = Loaded();
  ASSERT_FALSE(found.empty()) << "no planted DLL is ever loaded here; the test would prove nothing";
  for (const auto& name : found) DeleteFileW((work() / (name + L".loaded")).c_str());
  // The same program with the restriction the package uses loads none.
  probe.args.insert(probe.args.begin(), L"restrict");
  ASSERT_TRUE(RunProcess(probe).started);
  EXPECT_EQ(Names(Loaded()), "") << "the restriction does not keep planted DLLs out here";

  Pack(L"HPA.exe");
  RunResult result = Run(FullRun());
  EXPECT_EQ(result.exit_code, 0u) << result.out;
  EXPECT_TRUE(SetupRecord().has_value()) << "the run did not reach the setup";
  EXPECT_EQ(Names(Loaded()), "") << "planted DLLs were loaded during the run";
}

// Where a kernel function lies: the module that holds it (the one that
// kernel32's export leads to, as GetProcAddress resolves it for the package
// too) and its offset there, which is the same in every process.
struct FunctionPlace {
  std::wstring module;
  std::uintptr_t offset = 0;
};

std::optional<FunctionPlace> PlaceOf(const char* function) {
  FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), function);
  HMODULE owner = nullptr;
  if (address == nullptr ||
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(address), &owner)) {
    return std::nullopt;
  }
  wchar_t name[MAX_PATH] = {};
  GetModuleBaseNameW(GetCurrentProcess(), owner, name, MAX_PATH);
  return FunctionPlace{name, reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(owner)};
}

std::uintptr_t ModuleBase(HANDLE process, const std::wstring& module) {
  HMODULE modules[256];
  DWORD bytes = 0;
  if (!EnumProcessModules(process, modules, sizeof(modules), &bytes)) return 0;
  for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
    wchar_t name[MAX_PATH] = {};
    GetModuleBaseNameW(process, modules[i], name, MAX_PATH);
    if (_wcsicmp(name, module.c_str()) == 0) return reinterpret_cast<std::uintptr_t>(modules[i]);
  }
  return 0;
}

// What the debugger saw at the first call of the watched function.
struct Call {
  bool seen = false;
  DWORD argument = 0;          // its first argument
  bool child_started = false;  // whether the extractor had written its record by then
};

// Runs a package under a minimal debugger that puts a breakpoint on the first
// instruction of one function and takes it out again at the first call.
class CallWatch {
 public:
  CallWatch(FunctionPlace place, fs::path child_record)
      : place_(std::move(place)), child_record_(std::move(child_record)) {}

  // The package's exit code; nullopt if it did not end within 20 s. The
  // package's own children are not debugged; the job ends them with the watch.
  std::optional<DWORD> Run(RunOptions options, Call* call) {
    options.debugged = true;
    if (!package_.Start(options)) return std::nullopt;
    auto deadline = GetTickCount64() + 20000;
    for (;;) {
      DEBUG_EVENT event = {};
      ULONGLONG now = GetTickCount64();
      if (now >= deadline || !WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) break;
      DWORD status = Dispatch(event, call);
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
      if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) return event.u.ExitProcess.dwExitCode;
    }
    return std::nullopt;
  }

 private:
  DWORD Dispatch(const DEBUG_EVENT& event, Call* call) {
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) CloseHandle(event.u.CreateProcessInfo.hFile);
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) CloseHandle(event.u.LoadDll.hFile);
    if (event.dwDebugEventCode != EXCEPTION_DEBUG_EVENT) return DBG_CONTINUE;
    const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
    if (record.ExceptionCode != EXCEPTION_BREAKPOINT) return DBG_EXCEPTION_NOT_HANDLED;
    auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    if (target_ != 0 && address == target_) {
      Hit(event.dwThreadId, call);
    } else if (target_ == 0) {
      Plant();  // the loader's breakpoint: every static import is mapped now
    }
    return DBG_CONTINUE;
  }

  void Plant() {
    std::uintptr_t base = ModuleBase(package_.process(), place_.module);
    if (base == 0) return;
    target_ = base + place_.offset;
    const BYTE breakpoint = 0xCC;
    ReadProcessMemory(package_.process(), reinterpret_cast<void*>(target_), &original_, 1, nullptr);
    WriteProcessMemory(package_.process(), reinterpret_cast<void*>(target_), &breakpoint, 1, nullptr);
    FlushInstructionCache(package_.process(), reinterpret_cast<void*>(target_), 1);
  }

  // Records the call, restores the instruction and lets the thread run it.
  void Hit(DWORD thread_id, Call* call) {
    Handle thread(OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, thread_id));
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    GetThreadContext(thread.get(), &context);
    call->seen = true;
    call->argument = FirstArgument(context);
    call->child_started = fs::exists(child_record_);
    WriteProcessMemory(package_.process(), reinterpret_cast<void*>(target_), &original_, 1, nullptr);
    FlushInstructionCache(package_.process(), reinterpret_cast<void*>(target_), 1);
    // Back to the breakpoint's address, which now holds the original instruction.
#ifdef _WIN64
    context.Rip = target_;
#else
    context.Eip = static_cast<DWORD>(target_);
#endif
    SetThreadContext(thread.get(), &context);
  }

  // The first argument at a function's first instruction: in RCX in the x64
  // calling convention, above the return address on the stack in stdcall.
  DWORD FirstArgument(const CONTEXT& context) const {
#ifdef _WIN64
    return static_cast<DWORD>(context.Rcx);
#else
    DWORD argument = 0;
    ReadProcessMemory(package_.process(), reinterpret_cast<void*>(context.Esp + 4), &argument, sizeof(argument),
                      nullptr);
    return argument;
#endif
  }

  FunctionPlace place_;
  fs::path child_record_;
  ChildProcess package_;
  std::uintptr_t target_ = 0;
  BYTE original_ = 0;
};

TEST_F(PlantingTest, PackageLimitsTheDllSearchToTheSystemFolderBeforeStartingAnything) {
  std::optional<FunctionPlace> place = PlaceOf("SetDefaultDllDirectories");
  if (!place) GTEST_SKIP() << "this system has no SetDefaultDllDirectories";
  Pack(L"HPD.exe");
  CallWatch watch(*place, ExtractorRecordPath());
  Call call;
  std::optional<DWORD> exit_code = watch.Run(FullRun(), &call);
  ASSERT_TRUE(exit_code.has_value()) << "the package did not end under the debugger";
  EXPECT_EQ(*exit_code, 0u);
  ASSERT_TRUE(call.seen) << "SetDefaultDllDirectories was never called";
  // The system folder only: neither the package's folder nor the current one.
  EXPECT_EQ(call.argument, kSearchSystem32);
  EXPECT_FALSE(call.child_started) << "the extractor ran before the search was restricted";
  EXPECT_TRUE(SetupRecord().has_value()) << "the run did not reach the setup";
  EXPECT_EQ(Names(Loaded()), "");
}

}  // namespace
}  // namespace harwtest
