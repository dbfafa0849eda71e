// The uninstall window in this process, over the uninstaller's own layout and
// tables, driven by a driver whose worker thread reports the stages the test
// releases one by one.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <cstdio>
#include <string>
#include <thread>

#include "common/utilfunc.h"
#include "skin/dpi.h"
#include "skin/msgbox.h"
#include "skin/skin_tables.h"
#include "skin/swprogressbar.h"
#include "support/test_support.h"
#include "ui_harness.h"
#include "uninstall/uninstallmaindlg.h"

namespace {

constexpr UINT kRunScenario = WM_APP + 31;

// Reports what the test releases, on a worker thread of its own, as the real
// driver does.
class ScriptedDriver : public IUnInstall {
 public:
  explicit ScriptedDriver(bool canStart = true) : can_start_(canStart) {}
  ~ScriptedDriver() override {
    Release(-1);
    if (worker_.joinable()) worker_.join();
  }

  int SetCallBack(IUnInstallCallBack* callback) override {
    callback_ = callback;
    return 1;
  }
  void AddExcludePath(std::wstring path) override { excluded = std::move(path); }
  UnInstallOutcome GetOutcome() const override { return outcome.load(); }
  int StartUnInstall(int) override {
    if (!can_start_) return 0;
    ++starts;
    worker_ = std::thread([this] {
      for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !pending_.empty(); });
        const int stage = pending_.front();
        pending_.pop_front();
        lock.unlock();
        if (stage < 0) return;
        if (callback_) callback_->OnUnInstallProgress(stage, stage == 2 ? L"C:\\x\\file.txt" : L"");
        ++delivered;
      }
    });
    return 1;
  }

  // Lets the worker report `stage` (negative: end the worker).
  void Release(int stage) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(stage);
    ready_.notify_one();
  }

  std::wstring excluded;
  int starts = 0;
  std::atomic<int> delivered{0};
  // What the worker has set by the time it reports stage 3.
  std::atomic<UnInstallOutcome> outcome{UnInstallOutcome::kRemoved};

 private:
  bool can_start_;
  IUnInstallCallBack* callback_ = nullptr;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<int> pending_;
};

// The uninstall window with a test scenario that runs inside its modal loop
// once it is shown. A scenario that leaves the window open gets it ended.
class ScenarioDlg : public CUnInstallMainDlg {
 public:
  using Scenario = std::function<void(ScenarioDlg&)>;
  ScenarioDlg(IUnInstall* driver, Scenario scenario) : CUnInstallMainDlg(driver), scenario_(std::move(scenario)) {}

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override {
    if (msg == WM_INITDIALOG) ::PostMessageW(hwnd, kRunScenario, 0, 0);
    if (msg == kRunScenario) {
      scenario_(*this);
      if (IsWindow() && ::IsWindowVisible(hwnd)) EndModal(-1);
      return true;
    }
    return CUnInstallMainDlg::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
  }

  bool PageShown(int id) {
    const auto page = GetView().FindControlById(id);
    return page && page->IsVisible();
  }
  int BarPosition() {
    const auto bar = std::dynamic_pointer_cast<CSWProgressBar>(GetView().FindControlById(kProgressBar));
    return bar ? bar->GetPosition() : -1;
  }
  void Command(int id) { ::SendMessageW(hwnd(), WM_COMMAND, id, 0); }
  // Back-buffer pixel (premultiplied 0xAARRGGBB) at a point of the page
  // given in layout units, inside the content area of the window.
  uint32_t PagePixel(int x, int y) {
    const SIZE size = GetClientSize();
    const int cx = DpiScale(23) + DpiScale(7) + DpiScale(x);
    const int cy = DpiScale(18) + DpiScale(1) + DpiScale(y);
    const auto* bits = static_cast<const uint32_t*>(GetBackBufferBits());
    return bits ? bits[static_cast<size_t>(size.cy - 1 - cy) * size.cx + cx] : 0;
  }
  void WaitFor(const std::function<bool()>& done, DWORD limitMs = 10000) {
    EXPECT_TRUE(uitest::PumpUntil(done, limitMs));
  }

 private:
  Scenario scenario_;
};

class UnInstallWindow : public testing::Test {
 protected:
  void SetUp() override { uitest::StartSkinEnvironment(); }

  static std::string ScaleName() { return std::to_string(skin::GetDisplayScale()); }
};

TEST(UnInstallProgress, StepsTowardsTheCapOfTheReportedStage) {
  EXPECT_EQ(0, NextShownProgress(0, 0));  // nothing reported yet
  EXPECT_EQ(7, NextShownProgress(7, 0));
  EXPECT_EQ(1, NextShownProgress(0, 1));
  EXPECT_EQ(40, NextShownProgress(39, 1));
  EXPECT_EQ(40, NextShownProgress(40, 1));
  EXPECT_EQ(41, NextShownProgress(40, 2));
  EXPECT_EQ(90, NextShownProgress(90, 2));
  EXPECT_EQ(91, NextShownProgress(90, 3));
  EXPECT_EQ(100, NextShownProgress(99, 3));
  EXPECT_EQ(100, NextShownProgress(100, 3));
  EXPECT_EQ(12, NextShownProgress(12, 4));
  EXPECT_EQ(12, NextShownProgress(12, -1));
}

TEST_F(UnInstallWindow, BarStopsAtEachStageCapAndClosingWaitsForTheEnd) {
  ScriptedDriver driver;
  ScenarioDlg dlg(&driver, [&](ScenarioDlg& w) {
    EXPECT_TRUE(w.PageShown(kConfirmPage));
    EXPECT_FALSE(w.PageShown(kProgressPage));
    w.Command(kUninstallNow);
    EXPECT_FALSE(w.PageShown(kConfirmPage));
    EXPECT_TRUE(w.PageShown(kProgressPage));
    EXPECT_TRUE(w.IsUninstalling());
    EXPECT_EQ(UtilFunc::GetModulePath(), driver.excluded);

    uitest::Pump(300);
    EXPECT_EQ(0, w.GetShownProgress()) << "no report yet: the bar stays";

    driver.Release(1);
    w.WaitFor([&] { return w.GetShownProgress() == 40; });
    uitest::Pump(200);
    EXPECT_EQ(40, w.GetShownProgress());
    EXPECT_EQ(40, w.BarPosition());

    driver.Release(2);
    driver.Release(2);
    w.WaitFor([&] { return w.GetShownProgress() == 90; });
    uitest::Pump(200);
    EXPECT_EQ(90, w.GetShownProgress());

    // Minimising works during the removal.
    w.Command(kProgressMinimise);
    EXPECT_TRUE(::IsIconic(w.hwnd()));
    ::ShowWindow(w.hwnd(), SW_RESTORE);

    // Alt+F4 and a second "uninstall now" during the removal change nothing.
    ::SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
    w.Command(kUninstallNow);
    EXPECT_TRUE(w.IsWindow() && ::IsWindowVisible(w.hwnd()));
    EXPECT_TRUE(w.PageShown(kProgressPage));
    EXPECT_EQ(1, driver.starts);

    driver.Release(3);
    w.WaitFor([&] { return w.PageShown(kFinishedPage); });
    EXPECT_EQ(100, w.BarPosition());
    EXPECT_FALSE(w.PageShown(kProgressPage));
    EXPECT_FALSE(w.IsUninstalling());
    w.Command(kFinishedCloseButton);
  });
  EXPECT_EQ(kUnInstallDoneResult, dlg.DoModal());
}

TEST_F(UnInstallWindow, FinishReportedAtOnceStillClimbsOnePercentPerTick) {
  ScriptedDriver driver;
  DWORD climb = 0;
  ScenarioDlg dlg(&driver, [&](ScenarioDlg& w) {
    w.Command(kUninstallNow);
    const DWORD start = ::GetTickCount();
    for (int stage : {1, 2, 3}) driver.Release(stage);
    int last = 0;
    bool early = false, backwards = false;
    w.WaitFor([&] {
      const int shown = w.GetShownProgress();
      backwards |= shown < last;
      last = shown;
      early |= w.PageShown(kFinishedPage) && shown < 100;
      return w.PageShown(kFinishedPage);
    });
    climb = ::GetTickCount() - start;
    EXPECT_FALSE(early) << "the finished page came before the bar was full";
    EXPECT_FALSE(backwards);
    // After the removal Alt+F4 closes the window as finished.
    ::PostMessageW(w.hwnd(), WM_CLOSE, 0, 0);
    w.WaitFor([&] { return !::IsWindowVisible(w.hwnd()); }, 5000);
  });
  EXPECT_EQ(kUnInstallDoneResult, dlg.DoModal());
  // 100 ticks of 20 ms: timers never fire early.
  EXPECT_GE(climb, 1900u);
  RecordProperty("climb_ms", static_cast<int>(climb));
  std::printf("the bar climbed from 0 to 100 in %lu ms\n", climb);
}

TEST_F(UnInstallWindow, CloseActionsBeforeTheRemovalGiveTheirOwnResults) {
  struct Case {
    const char* what;
    std::function<void(ScenarioDlg&)> act;
    int result;
  };
  const Case cases[] = {
      {"not now", [](ScenarioDlg& w) { w.Command(kUninstallLater); }, kUninstallLater},
      {"close button", [](ScenarioDlg& w) { w.Command(kConfirmClose); }, kConfirmClose},
      {"system close", [](ScenarioDlg& w) { ::PostMessageW(w.hwnd(), WM_CLOSE, 0, 0); uitest::Pump(1500); }, 0},
  };
  for (const Case& c : cases) {
    ScriptedDriver driver;
    ScenarioDlg dlg(&driver, c.act);
    EXPECT_EQ(c.result, dlg.DoModal()) << c.what;
    EXPECT_EQ(0, driver.starts) << c.what;
  }
}

TEST_F(UnInstallWindow, WithoutDriverShowsTheFailurePageAndRetryDoesNothing) {
  ScenarioDlg dlg(nullptr, [&](ScenarioDlg& w) {
    w.Command(kUninstallNow);
    EXPECT_TRUE(w.PageShown(kFailedPage));
    EXPECT_FALSE(w.PageShown(kProgressPage));
    EXPECT_FALSE(w.IsUninstalling());
    w.Command(kFailedRetry);
    EXPECT_TRUE(w.PageShown(kFailedPage));
    ::SendMessageW(w.hwnd(), SWM_REPAINT, 0, 0);
    uitest::Pump(300);
    // The retry button is blue, the failure picture stands on the blue top.
    const uint32_t retry = w.PagePixel(206 + 8, 280 + 6);
    EXPECT_EQ(0xFFu, retry >> 24);
    EXPECT_GT(retry & 0xFF, 0xD0u) << std::hex << retry;
    EXPECT_LT((retry >> 16) & 0xFF, 0x60u) << std::hex << retry;
    const uint32_t footer = w.PagePixel(20, 340);
    EXPECT_EQ(0xFFFFFFFFu, footer) << std::hex << footer;
    uitest::Screenshot("uninstall_failed_" + ScaleName());
    w.Command(kFailedClose);
  });
  EXPECT_EQ(kFailedClose, dlg.DoModal());
}

// A removal that did not happen never ends on the finished page: the window
// closes with another result than 1304, so the uninstaller stays.
TEST_F(UnInstallWindow, RemovalThatDidNotHappenLeadsToTheFailurePage) {
  struct Case {
    const char* what;
    bool canStart;
    UnInstallOutcome outcome;
  };
  const Case cases[] = {
      {"worker cannot start", false, UnInstallOutcome::kPending},
      {"removal refused or incomplete", true, UnInstallOutcome::kFailed},
      {"removal stopped", true, UnInstallOutcome::kStopped},
  };
  for (const Case& c : cases) {
    ScriptedDriver driver(c.canStart);
    driver.outcome = c.outcome;
    ScenarioDlg dlg(&driver, [&](ScenarioDlg& w) {
      w.Command(kUninstallNow);
      if (c.canStart) {
        for (int stage : {1, 3}) driver.Release(stage);
        w.WaitFor([&] { return w.PageShown(kFailedPage); }, 5000);
      }
      EXPECT_TRUE(w.PageShown(kFailedPage)) << c.what;
      EXPECT_FALSE(w.PageShown(kFinishedPage)) << c.what;
      EXPECT_FALSE(w.IsUninstalling()) << c.what << ": the window must stay closable";
      ::PostMessageW(w.hwnd(), WM_CLOSE, 0, 0);
      w.WaitFor([&] { return !w.IsWindow(); }, 5000);
    });
    EXPECT_EQ(0, dlg.DoModal()) << c.what;
  }
}

TEST_F(UnInstallWindow, ReportsAfterTheWindowIsGoneGoNowhere) {
  ScriptedDriver driver;
  {
    auto dlg = std::make_unique<ScenarioDlg>(&driver, [&](ScenarioDlg& w) {
      w.Command(kUninstallNow);
      driver.Release(1);
      w.WaitFor([&] { return driver.delivered == 1; });
      ::PostQuitMessage(0);  // the modal loop ends in the middle of the removal
    });
    EXPECT_NE(kUnInstallDoneResult, dlg->DoModal());
    MSG quit;
    ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
  driver.Release(2);
  driver.Release(3);
  const DWORD start = ::GetTickCount();
  while (driver.delivered < 3 && ::GetTickCount() - start < 5000) ::Sleep(10);
  EXPECT_EQ(3, driver.delivered);
}

// A process started without waiting for it; ended at the end of the test.
class Started {
 public:
  explicit Started(const std::wstring& line) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring mutableLine = line;
    if (::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_))
      ::CloseHandle(info_.hThread);
  }
  ~Started() {
    if (!info_.hProcess) return;
    ::TerminateProcess(info_.hProcess, 1);
    ::WaitForSingleObject(info_.hProcess, 5000);
    ::CloseHandle(info_.hProcess);
  }
  bool Running() const { return info_.hProcess && ::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

 private:
  PROCESS_INFORMATION info_ = {};
};

// True once a process of `image` can be seen running (a new process shows
// its image path only once it has started).
bool SeenRunning(const std::wstring& image) {
  for (int i = 0; i < 100; ++i) {
    if (UtilFunc::IsPathFileRunning(image)) return true;
    ::Sleep(50);
  }
  return false;
}

// Answers the next skinned message box of this process with `answer`.
std::thread AnswerNextBox(int answer) {
  return std::thread([answer] {
    for (int i = 0; i < 300; ++i) {
      HWND box = nullptr;
      ::EnumWindows(
          [](HWND hwnd, LPARAM found) -> BOOL {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(hwnd, &pid);
            wchar_t name[32] = {};
            ::GetClassNameW(hwnd, name, ARRAYSIZE(name));
            if (pid != ::GetCurrentProcessId() || !::IsWindowVisible(hwnd) || std::wstring(name) != L"OrvSkinWindow")
              return TRUE;
            *reinterpret_cast<HWND*>(found) = hwnd;
            return FALSE;
          },
          reinterpret_cast<LPARAM>(&box));
      if (box) {
        ::PostMessageW(box, WM_COMMAND, answer, 0);
        return;
      }
      ::Sleep(50);
    }
  });
}

TEST_F(UnInstallWindow, RunningRenderProgramCountsOnlyInsideTheInstallFolder) {
  testsupport::TempFolder temp(L"orvuninstwinrun");
  const std::wstring install = temp.path() + L"Install\\";
  const std::wstring sample =
      testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"package\\bin\\sample_velpane\\Velpane.exe";
  for (const std::wstring& folder : {install, install + L"7.19.02N\\", temp.path() + L"Other\\"}) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(sample.c_str(), (folder + L"Velpane.exe").c_str(), FALSE));
  }
  ::SetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", (temp.path() + L"calls.txt").c_str());
  CUnInstallMainDlg dlg(nullptr);
  ASSERT_EQ(L"Velpane.exe", GetString(L"render_exe_name")) << "the uninstaller's string table";

  // A version that climbs out of the install folder names no version: the
  // render program it points at is neither asked about nor ended.
  ASSERT_TRUE(testsupport::WriteFileBytes(install + L"Orvanta.ini", "[Common]\r\nVersion=..\\Other\r\n"));
  Started beside(L"\"" + temp.path() + L"Other\\Velpane.exe\" /sleep:60000");
  ASSERT_TRUE(SeenRunning(temp.path() + L"Other\\Velpane.exe"));
  EXPECT_EQ(0, dlg.CheckRunningApp(install));
  EXPECT_TRUE(beside.Running());

  // The installed version's render program is asked about; no keeps it.
  ASSERT_TRUE(testsupport::WriteFileBytes(install + L"Orvanta.ini", "[Common]\r\nVersion=7.19.02N\r\n"));
  Started installed(L"\"" + install + L"7.19.02N\\Velpane.exe\" /sleep:60000");
  ASSERT_TRUE(SeenRunning(install + L"7.19.02N\\Velpane.exe"));
  std::thread answer = AnswerNextBox(kMsgBoxNo);
  EXPECT_EQ(1, dlg.CheckRunningApp(install));
  answer.join();
  EXPECT_TRUE(installed.Running());

  // Yes ends it, and only it.
  answer = AnswerNextBox(kMsgBoxYes);
  EXPECT_EQ(0, dlg.CheckRunningApp(install));
  answer.join();
  EXPECT_FALSE(installed.Running());
  EXPECT_TRUE(beside.Running());
  ::SetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", nullptr);
}

// The failure page is reachable only without a driver: its picture at 150 %
// comes from this program started again with a screen of 144 DPI.
TEST_F(UnInstallWindow, FailurePageAtOneHundredFiftyPercent) {
  if (skin::GetDisplayScale() != 100) GTEST_SKIP() << "runs from the 100 % process";
  const wchar_t* key = L"Control Panel\\Desktop";
  HKEY desktop = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                             &desktop, nullptr));
  DWORD saved = 0, size = sizeof saved;
  const bool hadValue = ::RegQueryValueExW(desktop, L"LogPixels", nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&saved), &size) == ERROR_SUCCESS;
  const DWORD dpi = 144;
  ::RegSetValueExW(desktop, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
  const int code = testsupport::RunAndWait(
      L"\"" + UtilFunc::GetModulePath() +
          L"\" --gtest_filter=UnInstallWindow.WithoutDriverShowsTheFailurePageAndRetryDoesNothing",
      60000);
  if (hadValue)
    ::RegSetValueExW(desktop, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&saved), sizeof saved);
  else
    ::RegDeleteValueW(desktop, L"LogPixels");
  ::RegCloseKey(desktop);
  EXPECT_EQ(0, code);
}

}  // namespace
