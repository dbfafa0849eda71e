// The uninstall window as a user meets it: the sample application is
// installed with the real installer (silently), then the installed
// Uninstall.exe is started without options and clicked through with xdotool
// on the test display. Every page is photographed into build/screenshots and
// a few of its pixels are checked, at 100 % and at 150 % display scale.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "skin/dpi.h"
#include "skin/gdiplus_include.h"
#include "support/test_support.h"
#include "ui_harness.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::RemoveTree;
using testsupport::RunningProgram;

constexpr DWORD kInstallLimitMs = 120000;
const wchar_t kAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Orvanta.exe";
const wchar_t kProgramListKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool KeyExists(HKEY root, const wchar_t* subKey) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

bool WaitUntil(const std::function<bool()>& done, DWORD limitMs) { return uitest::PumpUntil(done, limitMs); }

bool WaitUntilGone(const std::wstring& path, DWORD limitMs) {
  return WaitUntil([&] { return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; }, limitMs);
}

// The screen DPI that programs started from now on see; restored afterwards.
class ScreenDpi {
 public:
  explicit ScreenDpi(DWORD dpi) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                      &key_, nullptr);
    DWORD size = sizeof saved_;
    had_value_ = ::RegQueryValueExW(key_, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&saved_),
                                    &size) == ERROR_SUCCESS;
    ::RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
  }
  ~ScreenDpi() {
    if (had_value_)
      ::RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&saved_), sizeof saved_);
    else
      ::RegDeleteValueW(key_, L"LogPixels");
    ::RegCloseKey(key_);
  }
  ScreenDpi(const ScreenDpi&) = delete;
  ScreenDpi& operator=(const ScreenDpi&) = delete;

 private:
  HKEY key_ = nullptr;
  DWORD saved_ = 0;
  bool had_value_ = false;
};

// A visible skinned window of process `pid` with the given size.
HWND FindSkinWindow(DWORD pid, SIZE size) {
  struct Search {
    DWORD pid;
    SIZE size;
    HWND found;
  } search{pid, size, nullptr};
  ::EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(hwnd, &owner);
        wchar_t name[64] = {};
        ::GetClassNameW(hwnd, name, ARRAYSIZE(name));
        RECT r;
        if (owner == s.pid && std::wstring(name) == L"OrvSkinWindow" && ::IsWindowVisible(hwnd) &&
            ::GetWindowRect(hwnd, &r) && r.right - r.left == s.size.cx && r.bottom - r.top == s.size.cy) {
          s.found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForSkinWindow(DWORD pid, SIZE size, DWORD limitMs) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindSkinWindow(pid, size)) != nullptr; }, limitMs);
  return found;
}

enum class Colour { kBlue, kWhite, kTrack, kNotBlue };

bool Matches(Colour colour, const Gdiplus::Color& c) {
  const int r = c.GetR(), g = c.GetG(), b = c.GetB();
  switch (colour) {
    case Colour::kBlue: return r < 0x70 && g < 0xA0 && b > 0xD0;
    case Colour::kWhite: return r > 0xF0 && g > 0xF0 && b > 0xF0;
    case Colour::kTrack: return r >= 0xD4 && r <= 0xEE && b > 0xE4;  // the bar's grey track
    case Colour::kNotBlue: return !(r < 0x70 && g < 0xA0 && b > 0xD0);
  }
  return false;
}

// A point of a window's picture in layout units (each nesting level's
// offset scaled on its own, as the layout loader does) and the colour it
// must have.
struct Probe {
  const char* what;
  std::vector<POINT> offsets;
  Colour colour;
};

// Layout offsets of a point (x, y) of the uninstall window's pages and of the
// message box's content.
std::vector<POINT> OnPage(int x, int y) { return {{23, 18}, {7, 1}, {x, y}}; }
std::vector<POINT> OnMessageBox(int x, int y) { return {{3, 5}, {7, 1}, {x, y}}; }

POINT ClientPoint(const std::vector<POINT>& offsets, int scale) {
  POINT p{0, 0};
  for (const POINT& o : offsets) {
    p.x += skin::ScaleLength(o.x, scale);
    p.y += skin::ScaleLength(o.y, scale);
  }
  return p;
}

std::wstring ScreenshotPath(const std::string& name) {
  return testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"screenshots\\" + Widen(name) + L".png";
}

// Photographs the display as build/screenshots/<name>.png until every probe
// of `window` holds or `limitMs` passed; returns what failed the last time
// (empty when the page is right). The last picture stays.
std::string WaitForPicture(const std::string& name, HWND window, int scale, const std::vector<Probe>& probes,
                           DWORD limitMs) {
  std::string failures = "no picture";
  const DWORD start = ::GetTickCount();
  do {
    RECT rect;
    if (!::GetWindowRect(window, &rect)) return "the window is gone";
    uitest::Screenshot(name);
    Gdiplus::Bitmap shot(ScreenshotPath(name).c_str());
    if (shot.GetLastStatus() != Gdiplus::Ok) continue;
    failures.clear();
    for (const Probe& probe : probes) {
      const POINT p = ClientPoint(probe.offsets, scale);
      Gdiplus::Color c;
      shot.GetPixel(rect.left + p.x, rect.top + p.y, &c);
      if (!Matches(probe.colour, c)) {
        char text[128];
        std::snprintf(text, sizeof text, "%s: #%02X%02X%02X; ", probe.what, c.GetR(), c.GetG(), c.GetB());
        failures += text;
      }
    }
    if (failures.empty()) return failures;
    uitest::Pump(200);
  } while (::GetTickCount() - start < limitMs);
  return failures;
}

const std::vector<Probe> kConfirmPage = {
    {"uninstall-now button", OnPage(135 + 10, 277 + 8), Colour::kBlue},
    {"logo", OnPage(75 + 80, 29 + 80), Colour::kWhite},
    {"blue top", OnPage(20, 150), Colour::kBlue},
    {"white footer", OnPage(20, 340), Colour::kWhite},
};
const std::vector<Probe> kProgressPage = {
    {"no uninstall-now button", OnPage(135 + 10, 277 + 8), Colour::kNotBlue},
    {"bar has begun", OnPage(20 + 3, 300 + 4), Colour::kBlue},
    {"rest of the track", OnPage(20 + 490, 300 + 4), Colour::kTrack},
    {"blue top", OnPage(20, 150), Colour::kBlue},
};
const std::vector<Probe> kFinishedPage = {
    {"close button", OnPage(231 + 8, 280 + 6), Colour::kBlue},
    {"no progress track", OnPage(20 + 490, 300 + 4), Colour::kWhite},
    {"success picture", OnPage(200 + 70, 22 + 39), Colour::kWhite},
    {"blue top", OnPage(20, 150), Colour::kBlue},
};
const std::vector<Probe> kFailedPage = {
    {"retry button", OnPage(206 + 8, 280 + 6), Colour::kBlue},
    {"no progress track", OnPage(20 + 490, 300 + 4), Colour::kWhite},
    {"white footer", OnPage(20, 340), Colour::kWhite},
    {"blue top", OnPage(20, 150), Colour::kBlue},
};
const std::vector<Probe> kQuestionBox = {
    {"yes button", OnMessageBox(265 + 6, 127 + 5), Colour::kBlue},
    {"title strip", OnMessageBox(300, 30), Colour::kBlue},
    {"white body", OnMessageBox(200, 110), Colour::kWhite},
};

SIZE Scaled(int width, int height, int scale) {
  return {skin::ScaleLength(width, scale), skin::ScaleLength(height, scale)};
}

class UninstallWindowE2E : public testing::Test {
 protected:
  void SetUp() override {
    ::SetProcessDPIAware();  // window rectangles and screenshots in the same pixels
    uitest::StartSkinEnvironment();
    setup_ = testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"OrvantaSetup.exe";
    ASSERT_TRUE(FileExists(setup_));
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Orvanta Window Test\\" + Widen(test->name()) + L"\\";
    ::SetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", (scratch_.path() + L"calls.txt").c_str());
    Forget();
    ASSERT_EQ(0, testsupport::RunAndWait(L"\"" + setup_ + L"\" /S /D=\"" + folder_ + L"\"", kInstallLimitMs));
    ASSERT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
    wchar_t version[64] = {};
    ::GetPrivateProfileStringW(L"Common", L"Version", L"", version, ARRAYSIZE(version),
                               (folder_ + L"Orvanta.ini").c_str());
    version_ = version;
    ASSERT_TRUE(FolderExists(folder_ + version_));
  }

  void TearDown() override {
    Forget();
    ::SetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", nullptr);
  }

  void Forget() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAppPathsKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProgramListKey);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"orvanta");
    ::DeleteFileW((ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Orvanta.lnk").c_str());
    RemoveTree(ShellFolder(CSIDL_COMMON_PROGRAMS) + L"\\Orvanta");
    RemoveTree(ShellFolder(CSIDL_APPDATA) + L"\\Orvanta");
    RemoveTree(folder_);
  }

  // Starts the uninstaller from its folder and waits for its window.
  HWND StartWindow(RunningProgram& uninstaller, int scale) {
    EXPECT_TRUE(uninstaller.Started());
    return WaitForSkinWindow(uninstaller.Id(), Scaled(600, 400, scale), 30000);
  }

  static void Click(HWND window, const std::vector<POINT>& offsets, int scale) {
    const POINT p = ClientPoint(offsets, scale);
    ASSERT_TRUE(uitest::ClickAt(window, p.x, p.y));
  }

  // Clicks "uninstall now" while the application runs and returns the
  // question box once it shows the question; its shadow and corners must
  // show the confirm page behind blended with the shadow.
  HWND AskToUninstall(RunningProgram& uninstaller, HWND window, int scale, const std::string& shot) {
    const std::string behind = shot + "_behind";
    EXPECT_EQ("", WaitForPicture(behind, window, scale, kConfirmPage, 15000));
    Click(window, OnPage(135 + 63, 277 + 20), scale);
    const HWND question = WaitForSkinWindow(uninstaller.Id(), Scaled(420, 225, scale), 15000);
    RECT frame = {};
    if (question && ::GetWindowRect(question, &frame)) {
      EXPECT_EQ("", WaitForPicture(shot, question, scale, kQuestionBox, 10000));
      EXPECT_EQ("", uitest::BoxShadowFaults(shot, behind, frame, scale)) << shot;
    }
    return question;
  }

  void ExpectRemoved() {
    EXPECT_FALSE(FolderExists(folder_ + version_));
    EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
    EXPECT_TRUE(WaitUntilGone(folder_ + L"Uninstall.exe", 20000));
    EXPECT_TRUE(WaitUntilGone(folder_ + L"deleteSelf.bat", 20000));
  }

  // Confirm, progress (Alt+F4 there does nothing), finished, then close with
  // the close button or with Alt+F4.
  void RemoveThroughTheWindow(DWORD dpi, bool closeWithAltF4) {
    const int scale = skin::ScaleFromDpi(static_cast<int>(dpi));
    const std::string suffix = "_" + std::to_string(scale);
    ScreenDpi screen(dpi);
    RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
    const HWND window = StartWindow(uninstaller, scale);
    ASSERT_NE(nullptr, window) << "no uninstall window of the expected size at " << scale << " %";
    RECT rect, work;
    ::GetWindowRect(window, &rect);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(std::abs((rect.left + rect.right) - (work.left + work.right)), 2) << "not centred";
    EXPECT_LE(std::abs((rect.top + rect.bottom) - (work.top + work.bottom)), 2) << "not centred";

    EXPECT_EQ("", WaitForPicture("uninstall_confirm" + suffix, window, scale, kConfirmPage, 15000));
    Click(window, OnPage(135 + 63, 277 + 20), scale);
    ASSERT_TRUE(uitest::Xdo("key alt+F4"));
    EXPECT_EQ("", WaitForPicture("uninstall_progress" + suffix, window, scale, kProgressPage, 15000));
    EXPECT_TRUE(::IsWindowVisible(window)) << "Alt+F4 closed the window during the removal";
    EXPECT_EQ("", WaitForPicture("uninstall_finished" + suffix, window, scale, kFinishedPage, 60000));

    if (closeWithAltF4)
      ASSERT_TRUE(uitest::Xdo("key alt+F4"));
    else
      Click(window, OnPage(231 + 39, 280 + 20), scale);
    EXPECT_EQ(0, uninstaller.WaitForExit(30000));
    ExpectRemoved();
  }

  testsupport::TempFolder scratch_{L"orvuninstwin"};
  std::wstring setup_, folder_, version_;
};

TEST_F(UninstallWindowE2E, ConfirmProgressFinishedCloseAt100Percent) { RemoveThroughTheWindow(96, false); }

TEST_F(UninstallWindowE2E, ConfirmProgressFinishedAltF4At150Percent) { RemoveThroughTheWindow(144, true); }

TEST_F(UninstallWindowE2E, NotNowClosesAndRemovesNothing) {
  ScreenDpi screen(96);
  RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
  const HWND window = StartWindow(uninstaller, 100);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ("", WaitForPicture("uninstall_notnow_100", window, 100, kConfirmPage, 15000));
  // The minimise button works; the window comes back as it was.
  Click(window, OnPage(480 + 13, 8 + 11), 100);
  EXPECT_TRUE(WaitUntil([&] { return ::IsIconic(window) != FALSE; }, 5000));
  ::ShowWindow(window, SW_RESTORE);
  ::SetForegroundWindow(window);
  EXPECT_EQ("", WaitForPicture("uninstall_notnow_100", window, 100, kConfirmPage, 15000));
  Click(window, OnPage(277 + 63, 277 + 20), 100);
  EXPECT_EQ(0, uninstaller.WaitForExit(20000));
  uitest::Pump(1000);
  EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
  EXPECT_FALSE(FileExists(folder_ + L"deleteSelf.bat"));
  EXPECT_TRUE(FolderExists(folder_ + version_));
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
}

// A journal the uninstaller cannot read refuses the removal: the window ends
// on its failure page, and closing it leaves the application and the
// uninstaller in place.
TEST_F(UninstallWindowE2E, AJournalThatCannotBeReadEndsOnTheFailurePage) {
  const std::wstring record = L"garbage\trecord\n";  // UTF-16, as the journal is written
  ASSERT_TRUE(testsupport::WriteFileBytes(folder_ + L"{SetupJournal}",
                                          std::string(reinterpret_cast<const char*>(record.data()), record.size() * 2)));
  ScreenDpi screen(96);
  RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
  const HWND window = StartWindow(uninstaller, 100);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ("", WaitForPicture("uninstall_refused_confirm_100", window, 100, kConfirmPage, 15000));
  Click(window, OnPage(135 + 63, 277 + 20), 100);
  EXPECT_EQ("", WaitForPicture("uninstall_refused_100", window, 100, kFailedPage, 30000));
  Click(window, OnPage(506 + 13, 8 + 11), 100);
  EXPECT_EQ(0, uninstaller.WaitForExit(20000));
  uitest::Pump(1000);
  EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
  EXPECT_FALSE(FileExists(folder_ + L"deleteSelf.bat"));
  EXPECT_TRUE(FolderExists(folder_ + version_));
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
}

// The uninstall window started while a silent installation works says that
// the setup is running, and removes nothing.
TEST_F(UninstallWindowE2E, WhileAnInstallerWorksTheWindowSaysSoAndRemovesNothing) {
  const std::wstring large =
      testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"tests\\installer\\OrvantaSetup-large.exe";
  ASSERT_TRUE(FileExists(large));
  ScreenDpi screen(96);
  RunningProgram installer(large, L"/S /D=\"" + folder_ + L"\"");
  ASSERT_TRUE(installer.Started());
  ASSERT_TRUE(WaitUntil([&] { return FolderExists(folder_ + L"{VersionNameFolder}"); }, 30000));
  RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
  ASSERT_TRUE(uninstaller.Started());
  const HWND notice = WaitForSkinWindow(uninstaller.Id(), Scaled(420, 225, 100), 30000);
  ASSERT_NE(nullptr, notice) << "no notice";
  EXPECT_EQ(nullptr, WaitForSkinWindow(uninstaller.Id(), Scaled(600, 400, 100), 500)) << "the window opened";
  uitest::Screenshot("uninstall_setup_running_100");
  Click(notice, OnMessageBox(366 + 13, 8 + 11), 100);
  EXPECT_EQ(0, uninstaller.WaitForExit(20000));
  EXPECT_EQ(0, installer.WaitForExit(kInstallLimitMs));
  EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
}

TEST_F(UninstallWindowE2E, RunningApplicationIsEndedOnlyWhenTheUserSaysYes) {
  RunningProgram app(folder_ + L"Orvanta.exe", L"/sleep:120000", folder_);
  RunningProgram render(folder_ + version_ + L"\\Velpane.exe", L"/sleep:120000", folder_);
  ASSERT_TRUE(app.Started() && render.Started());

  // At 150 %: the question, answered no; then the window is left with not now.
  {
    ScreenDpi screen(144);
    RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
    const HWND window = StartWindow(uninstaller, 150);
    ASSERT_NE(nullptr, window);
    const HWND question = AskToUninstall(uninstaller, window, 150, "uninstall_question_150");
    ASSERT_NE(nullptr, question);
    Click(question, OnMessageBox(328 + 26, 127 + 14), 150);
    EXPECT_TRUE(WaitUntil([&] { return !::IsWindowVisible(question); }, 10000));
    EXPECT_EQ("", WaitForPicture("uninstall_after_no_150", window, 150, kConfirmPage, 10000));
    Click(window, OnPage(277 + 63, 277 + 20), 150);
    EXPECT_EQ(0, uninstaller.WaitForExit(20000));
  }
  EXPECT_TRUE(app.Running());
  EXPECT_TRUE(render.Running());
  EXPECT_TRUE(FolderExists(folder_ + version_));

  // At 100 %: no keeps the confirm page and the programs, yes ends both and
  // the removal runs to its end.
  ScreenDpi screen(96);
  RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
  const HWND window = StartWindow(uninstaller, 100);
  ASSERT_NE(nullptr, window);
  HWND question = AskToUninstall(uninstaller, window, 100, "uninstall_question_100");
  ASSERT_NE(nullptr, question);
  Click(question, OnMessageBox(328 + 26, 127 + 14), 100);
  EXPECT_TRUE(WaitUntil([&] { return !::IsWindowVisible(question); }, 10000));
  EXPECT_EQ("", WaitForPicture("uninstall_after_no_100", window, 100, kConfirmPage, 10000));
  EXPECT_TRUE(app.Running());
  EXPECT_TRUE(render.Running());

  question = AskToUninstall(uninstaller, window, 100, "uninstall_question_again_100");
  ASSERT_NE(nullptr, question);
  Click(question, OnMessageBox(265 + 26, 127 + 14), 100);
  EXPECT_TRUE(WaitUntil([&] { return !app.Running() && !render.Running(); }, 15000));
  EXPECT_EQ("", WaitForPicture("uninstall_finished_after_yes_100", window, 100, kFinishedPage, 60000));
  Click(window, OnPage(231 + 39, 280 + 20), 100);
  EXPECT_EQ(0, uninstaller.WaitForExit(30000));
  ExpectRemoved();
}

// The application comes back once after it was ended, as a program that a
// watcher starts again: it still runs after the 5 s wait, so the window ends
// it again (and says so in the log); it stays gone then and the removal runs
// to its end.
TEST_F(UninstallWindowE2E, ApplicationThatComesBackIsEndedAgainAfterTheWait) {
  const std::wstring program = folder_ + L"Orvanta.exe";
  const std::wstring log = ShellFolder(CSIDL_COMMON_DOCUMENTS) + L"\\Orvanta\\ovlog.log";
  const size_t logStart = testsupport::ReadFileBytes(log).size();
  RunningProgram first(program, L"/sleep:120000", folder_);
  ASSERT_TRUE(first.Started());
  std::unique_ptr<RunningProgram> again;
  testsupport::StoppableThread watcher([&](const std::atomic<bool>& stop) {
    while (!stop) {
      if (first.WaitForExit(50) == -1) continue;
      again = std::make_unique<RunningProgram>(program, L"/sleep:120000", folder_);
      return;
    }
  });

  ScreenDpi screen(96);
  RunningProgram uninstaller(folder_ + L"Uninstall.exe", L"", folder_);
  const HWND window = StartWindow(uninstaller, 100);
  ASSERT_NE(nullptr, window);
  const HWND question = AskToUninstall(uninstaller, window, 100, "uninstall_question_comes_back_100");
  ASSERT_NE(nullptr, question);
  Click(question, OnMessageBox(265 + 26, 127 + 14), 100);
  EXPECT_EQ("", WaitForPicture("uninstall_finished_comes_back_100", window, 100, kFinishedPage, 90000));
  watcher.Stop();
  ASSERT_TRUE(again) << "the application was not ended";
  EXPECT_FALSE(again->Running()) << "the application that came back still runs";
  const std::string added = testsupport::ReadFileBytes(log).substr(logStart);
  EXPECT_NE(std::string::npos, added.find("结束程序5秒后仍在运行，再次结束")) << added;
  Click(window, OnPage(231 + 39, 280 + 20), 100);
  EXPECT_EQ(0, uninstaller.WaitForExit(30000));
  ExpectRemoved();
}

}  // namespace
