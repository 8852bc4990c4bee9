// The window in the foreground when the setup program has started is hidden
// while it runs and shown again afterwards in the state it had. The test
// program owns that window; ctest runs this program alone, since any other
// package running meanwhile would hide the same window.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/bench.h"

namespace harwtest {
namespace {

namespace fs = std::filesystem;

const wchar_t kWindowClass[] = L"HarwSetupTestWindow";

// Hiding and showing a window of another process sends messages to the
// thread that owns it, which has to answer them.
void PumpMessages(DWORD milliseconds) {
  DWORD until = GetTickCount() + milliseconds;
  do {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  } while (static_cast<LONG>(until - GetTickCount()) > 0);
}

// One window serves every test: under Wine without a window manager each
// destruction of a shown window waits two seconds for a reply that never comes.
class TestWindow {
 public:
  static TestWindow& Shared() {
    static TestWindow* window = new TestWindow();  // left to the end of the process
    return *window;
  }

  HWND handle() const { return window_; }
  const std::wstring& title() const { return title_; }

  /// Shows the window with `show` and makes it the foreground window; false
  /// if it could not be made the foreground window.
  bool Prepare(int show) {
    if (window_ == nullptr) return false;
    ShowWindow(window_, show);
    SetForegroundWindow(window_);
    for (int i = 0; i < 50 && GetForegroundWindow() != window_; ++i) PumpMessages(20);
    return GetForegroundWindow() == window_;
  }

 private:
  TestWindow() {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kWindowClass;
    RegisterClassW(&window_class);
    title_ = L"HarwSetupTest " + std::to_wstring(GetCurrentProcessId());
    window_ = CreateWindowExW(0, kWindowClass, title_.c_str(), WS_OVERLAPPEDWINDOW, 40, 40, 320,
                              160, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  }

  std::wstring title_;
  HWND window_ = nullptr;
};

// Runs the package on a second thread while this one serves the window.
RunResult RunServingWindow(const RunOptions& options) {
  std::atomic<bool> done{false};
  RunResult result;
  std::thread runner([&] {
    result = RunProcess(options);
    done = true;
  });
  while (!done) PumpMessages(20);
  runner.join();
  EXPECT_TRUE(result.started) << result.error;
  EXPECT_FALSE(result.timed_out) << "the package did not end within the time limit";
  return result;
}

// The setup looks at the window a little later, when the package has hidden
// it. Disk1 holds only the setup program.
RunOptions LookingAtWindow(const Bench& bench, const TestWindow& window,
                           std::vector<std::wstring> args) {
  RunOptions options = bench.Options(std::move(args));
  bench.AddSetup(options);
  SetEnv(options, L"HARW_FAKE_FILES", L"");
  SetEnv(options, L"HARW_SETUP_WINDOW", window.title());
  SetEnv(options, L"HARW_SETUP_DELAY_MS", L"400");
  return options;
}

struct ShowState {
  const char* name;
  int show;          // how the test shows its window
  UINT placement;    // the show state GetWindowPlacement then reports
};

// Every line of a run that unpacks, hides `window` (kept in show state
// `placement`), runs the setup with success and restores the window. The
// last-error values of the window calls are not fixed after a success.
Lines TypicalRunLines(const Bench& bench, HWND window, UINT placement) {
  Lines lines = bench.StartLines();
  Lines extract = bench.ExtractLines();
  lines.insert(lines.end(), extract.begin(), extract.end());
  const std::string shown = "0x" + Hex8(placement);
  lines.insert(
      lines.end(),
      {{0x04, "No-Setup-Path is NOT found"},
       {0x04, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"\")"},
       {0x04, "GetForegroundWindow() rc=" + Hex8(reinterpret_cast<std::uintptr_t>(window))},
       Pattern{0x04, "GetWindowPlacement\\(\\) status=" + shown + " rc=1 LastError=\\d+"},
       Pattern{0x04, "ShowWindow\\(SW_HIDE\\) rc=1 LastError=\\d+"},
       {0x04, "WaitForSingleObject(\"Disk1\\Setup.exe\")"},
       {0x04, "GetExitCodeProcess(Setup) ec=0"},
       {0x04, "DeleteFolder(\"Disk1\")"},
       {0x04, "DeleteFile(\"Disk1\\Setup.exe\")"},
       {0x04, "RemoveDirectory(\"Disk1\")"},
       Pattern{0x04, "ShowWindow\\(" + shown + "\\) rc=0 LastError=\\d+"}});
  return lines;
}

TEST(ConsoleWindow, TypicalRunHidesTheForegroundWindowWhileTheSetupRuns) {
  const ShowState states[] = {{"normal", SW_SHOWNORMAL, SW_SHOWNORMAL},
                              {"maximized", SW_SHOWMAXIMIZED, SW_SHOWMAXIMIZED}};
  for (const ShowState& state : states) {
    SCOPED_TRACE(state.name);
    TestWindow& window = TestWindow::Shared();
    ASSERT_NE(window.handle(), nullptr) << "the test's window could not be created";
    if (!window.Prepare(state.show)) {
      GTEST_SKIP() << "Wine cannot make the test's window the foreground window here "
                      "(no X display, or a window manager that refuses)";
    }
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof(placement);
    ASSERT_TRUE(GetWindowPlacement(window.handle(), &placement));
    ASSERT_EQ(placement.showCmd, state.placement) << "the window is not in the state under test";
    Bench bench;
    bench.Pack(L"Window.exe");
    RunResult result = RunServingWindow(LookingAtWindow(bench, window, {}));
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), TypicalRunLines(bench, window.handle(), state.placement)));
    std::optional<Record> record = ReadRecord(bench.SetupRecordPath());
    ASSERT_TRUE(record) << "the setup did not run";
    EXPECT_EQ((*record)["window_found"], "1");
    EXPECT_EQ((*record)["window_visible"], "0") << "the window was not hidden during the setup";
    PumpMessages(50);
    EXPECT_TRUE(IsWindowVisible(window.handle())) << "the window was not shown again";
    EXPECT_EQ(IsZoomed(window.handle()) != FALSE, state.show == SW_SHOWMAXIMIZED);
    EXPECT_FALSE(fs::exists(bench.work() / L"Disk1"));
  }
}

TEST(ConsoleWindow, SwitchHLeavesTheWindowAlone) {
  TestWindow& window = TestWindow::Shared();
  ASSERT_NE(window.handle(), nullptr) << "the test's window could not be created";
  if (!window.Prepare(SW_SHOWNORMAL)) {
    GTEST_SKIP() << "Wine cannot make the test's window the foreground window here";
  }
  Bench bench;
  bench.Pack(L"Window.exe");
  RunResult result = RunServingWindow(LookingAtWindow(bench, window, {L"/H"}));
  EXPECT_EQ(result.exit_code, 0u);
  const Log log = bench.ReadRunLog();
  EXPECT_TRUE(HasBlock(log, {{0x04, "ShellExecuteEx(\"Disk1\\Setup.exe\",\"\")"},
                               {0x04, "WaitForSingleObject(\"Disk1\\Setup.exe\")"},
                               {0x04, "GetExitCodeProcess(Setup) ec=0"},
                               {0x04, "DeleteFolder(\"Disk1\")"}}));
  for (const char* call : {"GetForegroundWindow(", "GetWindowPlacement(", "ShowWindow("}) {
    EXPECT_EQ(LinesStartingWith(log, call), std::vector<Expected>{}) << call;
  }
  std::optional<Record> record = ReadRecord(bench.SetupRecordPath());
  ASSERT_TRUE(record) << "the setup did not run";
  EXPECT_EQ((*record)["window_visible"], "1");
  EXPECT_TRUE(IsWindowVisible(window.handle()));
}

}  // namespace
}  // namespace harwtest
