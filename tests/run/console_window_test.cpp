// The window in the foreground when the setup program has started is hidden
// while it runs and shown again afterwards in the state it had, whatever the
// setup's exit code; a setup stage that fails before the setup runs leaves
// the window alone. The test program owns that window; ctest runs this
// program alone, since any other package running meanwhile would hide the
// same window.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
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

  /// Shows the window with `show` (normal or maximized) and makes it the
  /// foreground window; false if that could not be done.
  bool Prepare(int show) {
    if (window_ == nullptr) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
      // A maximized window shown normal stays maximized; restored, it is not.
      if (IsZoomed(window_) && show != SW_SHOWMAXIMIZED) ShowWindow(window_, SW_RESTORE);
      ShowWindow(window_, show);
      SetForegroundWindow(window_);
      for (int i = 0; i < 50 && !Shown(show); ++i) PumpMessages(20);
      // Wine's X11 driver learns the window's state from the X server a little
      // later and may apply an earlier state again: the state must hold.
      PumpMessages(200);
      if (Shown(show)) return true;
    }
    return false;
  }

 private:
  bool Shown(int show) const {
    return GetForegroundWindow() == window_ && IsWindowVisible(window_) &&
           (IsZoomed(window_) != FALSE) == (show == SW_SHOWMAXIMIZED);
  }

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

// Makes the test's window the foreground window, shown with `show`. Without
// an X display Wine cannot, and the test is skipped; with one it must work,
// or the window checks would pass unseen.
void ArrangeForeground(TestWindow& window, int show) {
  ASSERT_NE(window.handle(), nullptr) << "the test's window could not be created";
  if (window.Prepare(show)) return;
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "no X display: Wine cannot make the test's window the foreground window";
  }
  FAIL() << "Wine did not make the test's window the foreground window";
}

struct SetupCase {
  const char* name;
  int show;          ///< how the test shows its window
  UINT placement;    ///< the show state GetWindowPlacement then reports
  DWORD setup_exit;  ///< the setup program's exit code, and so the package's
};
void PrintTo(const SetupCase& c, std::ostream* out) { *out << c.name; }

// Every line of a run that unpacks, hides `window` (kept in show state
// `placement`), runs the setup, which ends with `setup_exit`, and restores
// the window. The last-error values of the window calls are not fixed after
// a success.
Lines RunLines(const Bench& bench, HWND window, UINT placement, DWORD setup_exit) {
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
       {0x04, "GetExitCodeProcess(Setup) ec=" + std::to_string(setup_exit)},
       {0x04, "DeleteFolder(\"Disk1\")"},
       {0x04, "DeleteFile(\"Disk1\\Setup.exe\")"},
       {0x04, "RemoveDirectory(\"Disk1\")"},
       Pattern{0x04, "ShowWindow\\(" + shown + "\\) rc=0 LastError=\\d+"}});
  return lines;
}

class ConsoleWindow : public testing::TestWithParam<SetupCase> {};

TEST_P(ConsoleWindow, IsHiddenWhileTheSetupRunsAndShownAgainInItsStateAfterwards) {
  const SetupCase& c = GetParam();
  TestWindow& window = TestWindow::Shared();
  ArrangeForeground(window, c.show);
  if (HasFatalFailure() || IsSkipped()) return;
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  ASSERT_TRUE(GetWindowPlacement(window.handle(), &placement));
  ASSERT_EQ(placement.showCmd, c.placement) << "the window is not in the state under test";
  Bench bench;
  bench.Pack(L"Window.exe");
  RunOptions options = LookingAtWindow(bench, window, {});
  SetEnv(options, L"HARW_SETUP_EXIT", std::to_wstring(c.setup_exit));
  RunResult result = RunServingWindow(options);
  EXPECT_EQ(result.exit_code, c.setup_exit);
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), RunLines(bench, window.handle(), c.placement, c.setup_exit)));
  std::optional<Record> record = bench.SetupRecord();
  ASSERT_TRUE(record) << "the setup did not run";
  EXPECT_EQ((*record)["window_found"], "1");
  EXPECT_EQ((*record)["window_visible"], "0") << "the window was not hidden during the setup";
  PumpMessages(50);
  EXPECT_TRUE(IsWindowVisible(window.handle())) << "the window was not shown again";
  EXPECT_EQ(IsZoomed(window.handle()) != FALSE, c.show == SW_SHOWMAXIMIZED);
  EXPECT_FALSE(fs::exists(bench.work() / L"Disk1"));
}

INSTANTIATE_TEST_SUITE_P(
    SetupOutcomes, ConsoleWindow,
    testing::Values(SetupCase{"normal", SW_SHOWNORMAL, SW_SHOWNORMAL, 0},
                    SetupCase{"maximized", SW_SHOWMAXIMIZED, SW_SHOWMAXIMIZED, 0},
                    SetupCase{"normal_setup_fails", SW_SHOWNORMAL, SW_SHOWNORMAL, 7},
                    SetupCase{"maximized_setup_ends_with_1", SW_SHOWMAXIMIZED, SW_SHOWMAXIMIZED, 1}),
    [](const testing::TestParamInfo<SetupCase>& info) { return std::string(info.param.name); });

// The window is hidden only once the setup has started, so a setup stage
// that fails before, here for want of a setup program, never hides it, and
// it is visible when the run ends.
TEST(StageFailure, LeavesTheWindowShown) {
  TestWindow& window = TestWindow::Shared();
  ArrangeForeground(window, SW_SHOWNORMAL);
  if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return;
  Bench bench;
  bench.Pack(L"Window.exe");
  RunOptions options = LookingAtWindow(bench, window, {});
  SetEnv(options, L"HARW_FAKE_COPY_FROM", L"");
  RunResult result = RunServingWindow(options);
  EXPECT_EQ(result.exit_code, 1u);
  Lines expected = bench.StartLines();
  const Lines extract = bench.ExtractLines();
  expected.insert(expected.end(), extract.begin(), extract.end());
  expected.insert(expected.end(), {{0x04, "No-Setup-Path is NOT found"},
                                   {0x01, "GetFileAttributes(\"Disk1\\Setup.exe\") LastError=2"},
                                   {0x04, "DeleteFolder(\"Disk1\")"},
                                   {0x04, "RemoveDirectory(\"Disk1\")"}});
  EXPECT_TRUE(MatchesLines(bench.ReadRunLog(), expected));
  PumpMessages(50);
  EXPECT_TRUE(IsWindowVisible(window.handle())) << "the window is left hidden";
  EXPECT_EQ(GetForegroundWindow(), window.handle());
  EXPECT_FALSE(fs::exists(bench.work() / L"Disk1"));
}

TEST(SwitchH, LeavesTheWindowAlone) {
  TestWindow& window = TestWindow::Shared();
  ArrangeForeground(window, SW_SHOWNORMAL);
  if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return;
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
