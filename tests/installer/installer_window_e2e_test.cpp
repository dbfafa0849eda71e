// The windowed installer as a user meets it on the test display: the real
// sample installer (and damaged and oversized copies of it) is started,
// clicked and typed into with xdotool, and every page is photographed with
// `import` into build/screenshots, where a few pixels per page are probed.
// Effects are read back from the file system, the registry, the shortcuts,
// the processes and the shared log.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "skin/gdiplus_include.h"
#include "support/test_support.h"
#include "ui_harness.h"
#include "window_test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::ReadFileBytes;
using testsupport::RemoveTree;
using testsupport::TempFolder;
using testsupport::WriteFileBytes;

constexpr wchar_t kVersion[] = L"7.19.02N";
constexpr DWORD kWindowWaitMs = 60000;
constexpr DWORD kInstallWaitMs = 120000;

std::wstring BuildFolder() { return testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR"); }
std::wstring SampleSetup() { return BuildFolder() + L"OrvantaSetup.exe"; }
std::wstring LargeSetup() { return BuildFolder() + L"tests\\installer\\OrvantaSetup-large.exe"; }
std::wstring SamplePackage() { return BuildFolder() + L"package\\Orvanta\\"; }

std::wstring SpecialFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
  return path;
}
std::wstring DefaultFolder() { return SpecialFolder(CSIDL_PROGRAM_FILES) + L"\\Orvanta\\"; }
std::wstring DesktopShortcut() { return SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Orvanta.lnk"; }
std::wstring StartMenuFolder() { return SpecialFolder(CSIDL_COMMON_PROGRAMS) + L"\\Orvanta\\"; }
std::wstring SharedFolder() { return SpecialFolder(CSIDL_COMMON_DOCUMENTS) + L"\\Orvanta\\"; }
std::wstring CustomRoot() { return L"C:\\orv apps\\"; }

const wchar_t kAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Orvanta.exe";
const wchar_t kProgramListKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";
const wchar_t kProtocolKey[] = L"orvanta";
const wchar_t kProtocolExecuteKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\ProtocolExecute\\orvanta";

// ---------------------------------------------------------------------------
// Geometry of the two layouts at the display scale of the running installer.

int g_scale = 100;

int Scaled(int v) {
  if (g_scale == 100) return v;
  const float f = static_cast<float>(g_scale) * v / 100.0f;
  return static_cast<int>(f > 0 ? f + 0.5f : f - 0.5f);
}

// Client rectangle of a control of a page of the main window (the view at
// 23,18, the frame at 7,1, the page at 0,0), from its layout position.
RECT MainControl(int x, int y, int w, int h) {
  const int left = Scaled(23) + Scaled(7) + Scaled(x);
  const int top = Scaled(18) + Scaled(1) + Scaled(y);
  return RECT{left, top, left + Scaled(w), top + Scaled(h)};
}
// The same for the message box (view at 3,5, its page at 7,1).
RECT BoxControl(int x, int y, int w, int h) {
  const int left = Scaled(3) + Scaled(7) + Scaled(x);
  const int top = Scaled(5) + Scaled(1) + Scaled(y);
  return RECT{left, top, left + Scaled(w), top + Scaled(h)};
}

const RECT kInstallButton{206, 264, 127, 40};
const RECT kCloseButton{506, 8, 26, 22};
const RECT kMinimizeButton{480, 8, 26, 22};
const RECT kProgressMinimizeButton{506, 8, 26, 22};
const RECT kCustomLink{387, 138, 100, 20};
const RECT kDefaultLink{401, 138, 100, 20};
const RECT kFolderEdit{80, 192, 363, 30};
const RECT kLicenseCheckBox{20, 331, 58, 20};
const RECT kPlansCheckBox{301, 331, 58, 20};
const RECT kProgressBar{20, 300, 499, 8};
const RECT kRunButton{206, 280, 127, 40};
const RECT kRetryButton{206, 280, 127, 40};
const RECT kFinishedIcon{208, 50, 28, 28};
const RECT kFailImage{153, 52, 240, 102};
const RECT kAppLogo{75, 29, 160, 160};
const RECT kBoxYes{265, 127, 53, 28};
const RECT kBoxNo{328, 127, 53, 28};
const RECT kBoxConfirm{315, 127, 60, 28};

RECT Main(const RECT& pos) { return MainControl(pos.left, pos.top, pos.right, pos.bottom); }
RECT Box(const RECT& pos) { return BoxControl(pos.left, pos.top, pos.right, pos.bottom); }

// ---------------------------------------------------------------------------
// Colours of the artwork, as the screenshot shows them.

struct Rgb {
  int r, g, b;
};
constexpr Rgb kButtonBlue{33, 106, 241};
constexpr Rgb kButtonHover{61, 127, 245};
constexpr Rgb kButtonDisabled{169, 195, 245};
constexpr Rgb kBarBackground{228, 233, 241};
constexpr Rgb kBarBlue{33, 106, 241};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kFieldBlue{0x21, 0x6A, 0xF1};  // the folder field's bgcolor

bool Near(Rgb a, Rgb b, int tolerance = 14) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

// A blue button in its normal or hover look (the pointer may rest on it).
bool IsBlueButton(Rgb c) { return Near(c, kButtonBlue) || Near(c, kButtonHover); }

std::string Describe(Rgb c) {
  return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// A screenshot of the whole test display, saved as
// build/screenshots/<name>.png and read back for probing.
class Screenshot {
 public:
  explicit Screenshot(const std::string& name) {
    uitest::Screenshot(name);
    const std::wstring path = BuildFolder() + L"screenshots\\" + std::wstring(name.begin(), name.end()) + L".png";
    bitmap_.reset(Gdiplus::Bitmap::FromFile(path.c_str()));
    if (bitmap_ && bitmap_->GetLastStatus() != Gdiplus::Ok) bitmap_.reset();
  }
  bool ok() const { return bitmap_ != nullptr; }
  Rgb At(int x, int y) const {
    Gdiplus::Color color;
    if (!bitmap_ || bitmap_->GetPixel(x, y, &color) != Gdiplus::Ok) return Rgb{-1, -1, -1};
    return Rgb{color.GetR(), color.GetG(), color.GetB()};
  }

 private:
  std::unique_ptr<Gdiplus::Bitmap> bitmap_;
};

// ---------------------------------------------------------------------------
// The installer process under test.

bool WaitFor(const std::function<bool()>& done, DWORD timeout_ms, DWORD step_ms = 100) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (done()) return true;
    if (::GetTickCount() - start >= timeout_ms) return false;
    ::Sleep(step_ms);
  }
}

POINT ScreenPoint(HWND window, int x, int y) {
  RECT frame = {};
  ::GetWindowRect(window, &frame);
  return POINT{frame.left + x, frame.top + y};
}

// Clicks the centre of a client rectangle of `window`.
bool Click(HWND window, const RECT& client) {
  RECT frame = {};
  if (!::IsWindowVisible(window) || !::GetWindowRect(window, &frame)) return false;
  const POINT p{frame.left + (client.left + client.right) / 2, frame.top + (client.top + client.bottom) / 2};
  // No --sync: it waits for a movement that never comes when the pointer is
  // already there. The button events carry the position anyway.
  return uitest::Xdo("mousemove " + std::to_string(p.x) + " " + std::to_string(p.y) + " sleep 0.05 click 1");
}

bool StartProgram(const std::wstring& program) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::wstring command_line = L"\"" + program + L"\"";
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return false;
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return true;
}

bool Key(const std::string& keys) { return uitest::Xdo("key --clearmodifiers " + keys); }

// Types `text` with the keyboard (through a file, so that no shell quoting
// touches it).
bool Type(const std::string& text) {
  const std::string unix_file = uitest::HostScratchFolder() + "/orv_instwin_type.txt";
  const std::wstring file = uitest::UnixToWine(unix_file);
  if (!WriteFileBytes(file, text)) return false;
  const bool typed = uitest::Xdo("type --delay 40 --file " + unix_file);
  ::DeleteFileW(file.c_str());
  return typed;
}

class Installer {
 public:
  explicit Installer(const std::wstring& program) : program_(program) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring command_line = L"\"" + program + L"\"";
    PROCESS_INFORMATION info = {};
    if (::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &info)) {
      ::CloseHandle(info.hThread);
      process_ = info.hProcess;
      id_ = info.dwProcessId;
    }
  }
  // A process the installer itself started.
  Installer(const std::wstring& program, DWORD id) : program_(program), id_(id) {
    process_ = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id);
  }
  ~Installer() {
    if (!process_) return;
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_, 1);
      ::WaitForSingleObject(process_, 10000);
    }
    ::CloseHandle(process_);
  }
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD id() const { return id_; }

  // The visible window of the installer's title and the given size: the
  // main window once its show animation is over (the animation's own window
  // has no title), or a message box.
  HWND FindWindowOfSize(int width, int height) const {
    for (HWND window : windowtest::VisibleWindows(id_)) {
      RECT r;
      wchar_t title[32] = {};
      ::GetWindowTextW(window, title, 32);
      if (::GetWindowRect(window, &r) && r.right - r.left == width && r.bottom - r.top == height &&
          std::wstring(title) == L"Orvanta安装")
        return window;
    }
    return nullptr;
  }
  HWND WaitForWindow(int width, int height, DWORD timeout_ms) const {
    HWND found = nullptr;
    WaitFor([&] { return (found = FindWindowOfSize(width, height)) != nullptr || !Running(); }, timeout_ms);
    return found;
  }
  HWND WaitForMainWindow() const { return main_ = WaitForWindow(Scaled(600), Scaled(400), kWindowWaitMs); }
  HWND MessageBox() const { return FindWindowOfSize(Scaled(420), Scaled(225)); }
  // The native folder field's own window, over the field's inner rectangle.
  HWND FolderField() const {
    const RECT field = Main(kFolderEdit);
    const int width = field.right - field.left - 2 * Scaled(5);
    const int height = field.bottom - field.top - Scaled(4) - Scaled(2);
    for (HWND window : windowtest::VisibleWindows(id_)) {
      RECT r;
      if (::GetWindowRect(window, &r) && r.right - r.left == width && r.bottom - r.top == height) return window;
    }
    return nullptr;
  }
  HWND WaitForMessageBox(DWORD timeout_ms = 20000) const {
    return WaitForWindow(Scaled(420), Scaled(225), timeout_ms);
  }
  HWND main() const { return main_; }

  bool Running() const { return process_ && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  // Waits for the process to end; its exit code, or -1 when it did not.
  int WaitForExit(DWORD timeout_ms = 120000) const {
    if (!process_ || ::WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

 private:
  std::wstring program_;
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
  mutable HWND main_ = nullptr;
};

// The page the main window shows, told by pixels of a screenshot.
enum class Page { kUnknown, kChoose, kProgress, kFinished, kFailed };

const char* PageName(Page page) {
  switch (page) {
    case Page::kChoose: return "choose";
    case Page::kProgress: return "progress";
    case Page::kFinished: return "finished";
    case Page::kFailed: return "failed";
    case Page::kUnknown: break;
  }
  return "unknown";
}

// Probe points, client coordinates: a spot of a blue button away from its
// caption, and one spot of each page's picture.
POINT ButtonSpot(const RECT& r) { return POINT{r.left + (r.right - r.left) / 10, (r.top + r.bottom) / 2}; }
POINT Centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

Rgb Probe(const Screenshot& shot, HWND window, POINT client) {
  const POINT p = ScreenPoint(window, client.x, client.y);
  return shot.At(p.x, p.y);
}

int CountNear(const Screenshot& shot, HWND window, const RECT& client, Rgb colour, int tolerance) {
  int count = 0;
  for (int y = client.top; y < client.bottom; ++y)
    for (int x = client.left; x < client.right; ++x) count += Near(Probe(shot, window, POINT{x, y}), colour, tolerance);
  return count;
}

Page PageOf(const Screenshot& shot, HWND window) {
  const auto at = [&](POINT client) { return Probe(shot, window, client); };
  const Rgb bar_end = at(POINT{Main(kProgressBar).right - Scaled(4), Centre(Main(kProgressBar)).y});
  const Rgb logo = at(POINT{Main(kAppLogo).left + Scaled(20), Centre(Main(kAppLogo)).y});
  const Rgb install = at(ButtonSpot(Main(kInstallButton)));
  const Rgb lower = at(ButtonSpot(Main(kRunButton)));
  // The left half of the tick's white circle, the red cross of the failure.
  const Rgb tick = at(POINT{Main(kFinishedIcon).left + Scaled(4), Main(kFinishedIcon).top + Scaled(14)});
  const RECT fail = Main(kFailImage);
  const Rgb cross = at(POINT{fail.left + Scaled(110), fail.top + Scaled(40)});
  const bool install_button = IsBlueButton(install) || Near(install, kButtonDisabled);
  if (install_button && Near(logo, kWhite)) return Page::kChoose;
  if (Near(bar_end, kBarBackground) || Near(bar_end, kBarBlue)) return Page::kProgress;
  if (IsBlueButton(lower) && Near(tick, kWhite, 30)) return Page::kFinished;
  if (IsBlueButton(lower) && cross.r > 200 && cross.g < 200 && cross.b < 200) return Page::kFailed;
  return Page::kUnknown;
}

// Takes screenshots until the main window shows `page` with no message box
// over it; the last one is saved under `name`.
bool WaitForPage(const Installer& installer, Page page, const std::string& name, DWORD timeout_ms = kInstallWaitMs) {
  Page seen = Page::kUnknown;
  const bool reached = WaitFor(
      [&] {
        if (installer.MessageBox()) return false;
        Screenshot shot(name);
        seen = PageOf(shot, installer.main());
        return seen == page;
      },
      timeout_ms, 300);
  if (!reached) ADD_FAILURE() << "expected the " << PageName(page) << " page, saw " << PageName(seen) << " (" << name << ")";
  return reached;
}

// Percent of the progress bar drawn in blue along its middle row.
int BarPercent(const Screenshot& shot, HWND window) {
  const RECT bar = Main(kProgressBar);
  const int y = Centre(bar).y;
  int last_blue = bar.left - 1;
  for (int x = bar.left; x < bar.right; ++x)
    if (Near(Probe(shot, window, POINT{x, y}), kBarBlue, 30)) last_blue = x;
  return (last_blue + 1 - bar.left) * 100 / (bar.right - bar.left);
}

// ---------------------------------------------------------------------------
// What an installation left: files, registry values and shortcuts.

using Trace = std::map<std::wstring, std::string>;

void TraceFiles(const std::wstring& folder, const std::wstring& prefix, Trace* trace) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    // The helpers' call records depend on when they ran.
    if (name.size() > 10 && name.compare(name.size() - 10, 10, L".calls.txt") == 0) continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      TraceFiles(folder + name + L"\\", prefix + name + L"\\", trace);
    else
      (*trace)[L"file " + prefix + name] = ReadFileBytes(folder + name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

void TraceKey(HKEY root, const std::wstring& root_name, const std::wstring& key, Trace* trace) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_length = 256;
    BYTE data[2048];
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (::RegEnumValueW(handle, i, name, &name_length, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    (*trace)[L"reg " + root_name + L"\\" + key + L" [" + name + L"]"] =
        std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data), size);
  }
  for (DWORD i = 0;; ++i) {
    wchar_t sub[256];
    DWORD sub_length = 256;
    if (::RegEnumKeyExW(handle, i, sub, &sub_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    TraceKey(root, root_name, key + L"\\" + sub, trace);
  }
  ::RegCloseKey(handle);
}

void TraceShortcut(const std::wstring& path, Trace* trace) {
  IShellLinkW* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
    return;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
      wchar_t target[MAX_PATH * 2] = {}, arguments[MAX_PATH * 2] = {}, folder[MAX_PATH * 2] = {};
      link->GetPath(target, MAX_PATH * 2, nullptr, 0);
      link->GetArguments(arguments, MAX_PATH * 2);
      link->GetWorkingDirectory(folder, MAX_PATH * 2);
      const std::wstring text = std::wstring(target) + L" | " + arguments + L" | " + folder;
      (*trace)[L"lnk " + path] = std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    }
    file->Release();
  }
  link->Release();
}

Trace TraceInstallation(const std::wstring& folder) {
  Trace trace;
  TraceFiles(folder, L"", &trace);
  TraceKey(HKEY_LOCAL_MACHINE, L"HKLM", kAppPathsKey, &trace);
  TraceKey(HKEY_LOCAL_MACHINE, L"HKLM", kProgramListKey, &trace);
  TraceKey(HKEY_CLASSES_ROOT, L"HKCR", kProtocolKey, &trace);
  TraceKey(HKEY_CURRENT_USER, L"HKCU", kProtocolExecuteKey, &trace);
  TraceShortcut(DesktopShortcut(), &trace);
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((StartMenuFolder() + L"*.lnk").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do TraceShortcut(StartMenuFolder() + entry.cFileName, &trace);
    while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  return trace;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

::testing::AssertionResult SameTrace(const Trace& expected, const Trace& actual) {
  std::string differences;
  for (const auto& [key, value] : expected) {
    auto it = actual.find(key);
    if (it == actual.end()) differences += "missing " + Narrow(key) + "\n";
    else if (it->second != value) differences += "different " + Narrow(key) + "\n";
  }
  for (const auto& entry : actual)
    if (!expected.count(entry.first)) differences += "extra " + Narrow(entry.first) + "\n";
  if (differences.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differences;
}

// The log records written since construction.
class LogWatch {
 public:
  LogWatch() : start_(ReadFileBytes(SharedFolder() + L"ovlog.log").size()) {}
  int Count(const std::string& level, const std::string& text) const {
    const std::string log = ReadFileBytes(SharedFolder() + L"ovlog.log");
    const std::string tag = (level == "INFO" ? "INFO  " : "ERROR ") + text;
    int count = 0;
    for (size_t pos = log.find(tag, start_); pos != std::string::npos; pos = log.find(tag, pos + 1)) ++count;
    return count;
  }

 private:
  size_t start_;
};

// ---------------------------------------------------------------------------

// The screen DPI the installers of a test see (LogPixels, read when a
// program starts); restored afterwards.
class DisplayScale {
 public:
  explicit DisplayScale(int scale) {
    DWORD size = sizeof(saved_);
    had_value_ = ::RegGetValueW(HKEY_CURRENT_USER, kKey, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &saved_, &size) ==
                 ERROR_SUCCESS;
    const DWORD dpi = static_cast<DWORD>(96 * scale / 100);
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi));
    g_scale = scale;
  }
  ~DisplayScale() {
    if (had_value_)
      ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"LogPixels", REG_DWORD, &saved_, sizeof(saved_));
    else
      ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"LogPixels");
    g_scale = 100;
  }

 private:
  static constexpr wchar_t kKey[] = L"Control Panel\\Desktop";
  DWORD saved_ = 0;
  bool had_value_ = false;
};

void RemoveApplication() {
  for (const std::wstring& program : {DefaultFolder() + L"Orvanta.exe", DefaultFolder() + kVersion + L"\\Velpane.exe"})
    for (DWORD id : windowtest::ProcessesRunning(program)) windowtest::EndProcess(id);
  RemoveTree(DefaultFolder());
  RemoveTree(CustomRoot());
  RemoveTree(StartMenuFolder());
  ::DeleteFileW(DesktopShortcut().c_str());
  ::DeleteFileW((SharedFolder() + L"cop.ini").c_str());
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAppPathsKey);
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProgramListKey);
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kProtocolKey);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, kProtocolExecuteKey);
}

std::wstring CopIni(const wchar_t* key) {
  wchar_t value[32] = {};
  ::GetPrivateProfileStringW(L"config", key, L"<missing>", value, 32, (SharedFolder() + L"cop.ini").c_str());
  return value;
}

std::wstring AppPathsFolder() {
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof(value);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kAppPathsKey, L"Path", RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  return value;
}

class InstallerWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Screen coordinates in physical pixels, as the DPI-aware installer has them.
    ::SetProcessDPIAware();
    uitest::StartSkinEnvironment();
    RemoveApplication();
    // What the silent installer leaves: the windowed one must leave the same.
    testsupport::RunAndWait(L"\"" + SampleSetup() + L"\" /S", 180000);
    silent_trace_ = new Trace(TraceInstallation(DefaultFolder()));
    RemoveApplication();
  }
  static void TearDownTestSuite() {
    delete silent_trace_;
    silent_trace_ = nullptr;
  }
  void SetUp() override { RemoveApplication(); }
  void TearDown() override { RemoveApplication(); }

  // Starts `program` and waits for its main window, shown after its
  // animation.
  static HWND Open(Installer& installer) {
    if (!installer.started()) {
      ADD_FAILURE() << "the installer did not start";
      return nullptr;
    }
    HWND window = installer.WaitForMainWindow();
    if (!window) ADD_FAILURE() << "the main window did not appear";
    return window;
  }

  // Waits for the message box that must appear, until it shows its notice
  // (confirm) or question (yes and no) buttons, photographs it as `shot`,
  // clicks `button` and waits for the box to be gone. With `behind`, a
  // screenshot of the same display before the box came, the box's shadow and
  // corners must show that picture blended with the shadow.
  static void AnswerBox(Installer& installer, bool question, const RECT& button, const std::string& shot,
                        const std::string& behind = "") {
    HWND box = installer.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "no message box appeared";
    EXPECT_TRUE(WaitFor(
        [&] {
          Screenshot picture(shot);
          const bool yes = IsBlueButton(Probe(picture, box, ButtonSpot(Box(kBoxYes))));
          const RECT confirm = Box(kBoxConfirm);
          const bool between = IsBlueButton(Probe(picture, box, POINT{confirm.left + Scaled(6), Centre(confirm).y}));
          return question ? yes && !between : !yes && between;
        },
        10000, 300))
        << (question ? "no question (yes, no)" : "no notice (confirm)") << " in " << shot;
    RECT frame = {};
    if (!behind.empty() && ::GetWindowRect(box, &frame)) {
      EXPECT_EQ(uitest::BoxShadowFaults(shot, behind, frame, g_scale), "") << shot << " over " << behind;
    }
    ASSERT_TRUE(Click(box, Box(button)));
    // Gone, not merely hidden: the box gives the activation back to the main
    // window before it is destroyed.
    EXPECT_TRUE(WaitFor([&] { return !::IsWindow(box); }, 20000)) << "the message box stayed";
  }

  static Trace* silent_trace_;
};

Trace* InstallerWindowTest::silent_trace_ = nullptr;

class InstallerWindowScaleTest : public InstallerWindowTest, public ::testing::WithParamInterface<int> {
 protected:
  std::string Shot(const char* page) const { return std::string("installer_") + page + "_" + std::to_string(GetParam()); }
};

// Choose page in default and custom mode (with the licence notice over it),
// progress, finished; the start button starts the application from the
// install folder and the window fades out.
TEST_P(InstallerWindowScaleTest, DefaultInstallation) {
  DisplayScale scale(GetParam());
  LogWatch log;
  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);

  RECT frame;
  ::GetWindowRect(window, &frame);
  RECT work;
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_NEAR((frame.left + frame.right) / 2, (work.left + work.right) / 2, 1);
  EXPECT_NEAR((frame.top + frame.bottom) / 2, (work.top + work.bottom) / 2, 1);

  {
    Screenshot shot(Shot("choose"));
    ASSERT_TRUE(shot.ok());
    EXPECT_EQ(PageOf(shot, window), Page::kChoose);
    const Rgb install = Probe(shot, window, ButtonSpot(Main(kInstallButton)));
    EXPECT_TRUE(IsBlueButton(install)) << "install button " << Describe(install);
  }
  // Install without the licence: the notice's shadow lies over the page.
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, Shot("notice_licence"), Shot("choose"));

  // Custom mode shows the folder field with the default folder; a folder
  // typed there is ignored once default mode is back.
  ASSERT_TRUE(Click(window, Main(kCustomLink)));
  ASSERT_TRUE(WaitFor([&] { return installer.FolderField() != nullptr; }, 10000)) << "the folder field did not appear";
  // The native field paints the default folder in white on its blue.
  EXPECT_TRUE(WaitFor(
      [&] {
        Screenshot shot(Shot("custom"));
        const RECT field = Main(kFolderEdit);
        const RECT text{field.left, field.top, (field.left + field.right) / 2, field.bottom};
        return Near(Probe(shot, window, POINT{field.right - Scaled(20), Centre(field).y}), kFieldBlue) &&
               CountNear(shot, window, text, kWhite, 60) > 30;
      },
      20000, 300))
      << "the folder field does not show the default folder";
  ASSERT_TRUE(Click(window, Main(kFolderEdit)));
  ASSERT_TRUE(Key("End shift+Home BackSpace"));
  ASSERT_TRUE(Type("C:\\orv apps\\typed"));
  ASSERT_TRUE(Click(window, Main(kDefaultLink)));
  EXPECT_TRUE(WaitFor([&] { return installer.FolderField() == nullptr; }, 10000)) << "the folder field stayed on screen";

  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  ASSERT_TRUE(WaitForPage(installer, Page::kProgress, Shot("progress"), 30000));
  {
    Screenshot shot(Shot("progress"));
    const int first = BarPercent(shot, window);
    EXPECT_LT(first, 100);
    int later = first;
    EXPECT_TRUE(WaitFor(
        [&] {
          Screenshot again(Shot("progress_later"));
          later = BarPercent(again, window);
          return later > first || PageOf(again, window) != Page::kProgress;
        },
        20000, 300))
        << "the bar did not climb from " << first << " %";
  }

  ASSERT_TRUE(WaitForPage(installer, Page::kFinished, Shot("finished")));
  EXPECT_FALSE(FolderExists(CustomRoot() + L"typed"));
  EXPECT_TRUE(SameTrace(*silent_trace_, TraceInstallation(DefaultFolder())));
  EXPECT_EQ(CopIni(L"enable"), L"1");
  EXPECT_EQ(CopIni(L"version"), L"4");
  EXPECT_EQ(log.Count("INFO", "判断主程序是否在运行："), 1);

  ASSERT_TRUE(Click(window, Main(kRunButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
  const std::wstring program = DefaultFolder() + L"Orvanta.exe";
  std::vector<DWORD> running;
  ASSERT_TRUE(WaitFor([&] { return !(running = windowtest::ProcessesRunning(program)).empty(); }, 20000))
      << "Orvanta.exe is not running";
  ASSERT_EQ(running.size(), 1u);
  EXPECT_TRUE(WaitFor([&] { return !windowtest::VisibleWindows(running[0]).empty(); }, 20000))
      << "the application shows no window";
  const windowtest::ProcessStart start = windowtest::ReadProcessStart(running[0]);
  EXPECT_EQ(start.current_folder, DefaultFolder());
  EXPECT_EQ(start.command_line, L"\"" + program + L"\"");
}

// A damaged package reaches the failure page; retry starts the installer
// again, which offers the choose page once more.
TEST_P(InstallerWindowScaleTest, DamagedInstallerFailsAndRetryRestartsIt) {
  DisplayScale scale(GetParam());
  std::string bytes = ReadFileBytes(SampleSetup());
  ASSERT_GT(bytes.size(), 0x1000u);
  uint32_t pe = 0, payload = 0;
  std::memcpy(&pe, &bytes[0x3C], 4);
  std::memcpy(&payload, &bytes[pe + 8], 4);
  ASSERT_LT(payload + 200u, bytes.size());
  bytes[payload + 9 + 100] = static_cast<char>(bytes[payload + 9 + 100] ^ 0x5A);
  TempFolder area(L"orvdamaged");
  const std::wstring setup = area.path() + L"setup.exe";
  ASSERT_TRUE(WriteFileBytes(setup, bytes));

  auto first = std::make_unique<Installer>(setup);
  HWND window = Open(*first);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  ASSERT_TRUE(WaitForPage(*first, Page::kFailed, Shot("failed")));
  EXPECT_FALSE(FileExists(DefaultFolder() + L"Orvanta.exe"));

  ASSERT_TRUE(Click(window, Main(kRetryButton)));
  EXPECT_EQ(first->WaitForExit(), 0);
  first.reset();
  std::vector<DWORD> again;
  ASSERT_TRUE(WaitFor([&] { return !(again = windowtest::ProcessesRunning(setup)).empty(); }, 20000))
      << "the installer was not started again";
  Installer second(setup, again[0]);
  HWND second_window = Open(second);
  ASSERT_NE(second_window, nullptr);
  ASSERT_TRUE(WaitForPage(second, Page::kChoose, Shot("retried"), 20000));
  ASSERT_TRUE(Click(second_window, Main(kCloseButton)));
  EXPECT_EQ(second.WaitForExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Scale, InstallerWindowScaleTest, ::testing::Values(100, 150),
                         [](const ::testing::TestParamInfo<int>& info) { return "At" + std::to_string(info.param); });

// Install without the licence: a notice, then the install button stays
// disabled until the box is checked. Minimise and close on the choose page.
TEST_F(InstallerWindowTest, LicenceMustBeAccepted) {
  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, "installer_notice_licence_100");
  {
    Screenshot shot("installer_choose_disabled_100");
    const Rgb install = Probe(shot, window, ButtonSpot(Main(kInstallButton)));
    EXPECT_TRUE(Near(install, kButtonDisabled)) << "install button " << Describe(install);
  }
  // The disabled button takes no click: no notice, no installation.
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  EXPECT_EQ(installer.WaitForMessageBox(1500), nullptr);

  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  EXPECT_TRUE(WaitFor(
      [&] {
        Screenshot shot("installer_choose_enabled_100");
        return IsBlueButton(Probe(shot, window, ButtonSpot(Main(kInstallButton))));
      },
      10000, 300))
      << "checking the licence did not enable the install button";

  ASSERT_TRUE(Click(window, Main(kMinimizeButton)));
  EXPECT_TRUE(WaitFor([&] { return ::IsIconic(window) != FALSE; }, 10000)) << "the window was not minimised";
  ::ShowWindow(window, SW_RESTORE);
  EXPECT_TRUE(WaitFor([&] { return !::IsIconic(window) && ::IsWindowVisible(window); }, 10000));

  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
  EXPECT_FALSE(FolderExists(DefaultFolder()));
  HKEY key = nullptr;
  EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_READ, &key), ERROR_SUCCESS)
      << "offering the folder left an App Paths key";
}

// A typed folder: empty, "'", an existing file and a folder below it are
// refused with a notice; "c:\...\\" is normalised, created, and Enter in the
// field starts the installation there.
// A second window while the first runs says that the setup is already
// running and ends; the first window goes on as it was.
TEST_F(InstallerWindowTest, ASecondWindowSaysTheSetupIsRunningAndEnds) {
  Installer first(SampleSetup());
  const HWND window = Open(first);
  ASSERT_NE(window, nullptr);
  Installer second(SampleSetup());
  ASSERT_TRUE(second.started());
  AnswerBox(second, false, kBoxConfirm, "installer_second_window_notice");
  EXPECT_EQ(second.WaitForExit(30000), 0);
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(::IsWindowVisible(window));
}

TEST_F(InstallerWindowTest, CustomFolder) {
  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Click(window, Main(kPlansCheckBox)));
  ASSERT_TRUE(Click(window, Main(kCustomLink)));
  ASSERT_TRUE(WaitFor([&] { return installer.FolderField() != nullptr; }, 10000)) << "the folder field did not appear";

  const auto type_folder = [&](const std::string& text) {
    ASSERT_TRUE(Click(window, Main(kFolderEdit)));
    ASSERT_TRUE(Key("End shift+Home BackSpace"));
    if (!text.empty()) {
      ASSERT_TRUE(Type(text));
    }
  };
  type_folder("");
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, "installer_notice_path_100");

  type_folder("C:\\orv apps\\it's");
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, "installer_notice_quote_100");
  EXPECT_FALSE(FolderExists(CustomRoot()));

  // An existing file of that name cannot take the installation.
  TempFolder area(L"orvtaken");
  const std::wstring file = area.path() + L"taken";
  ASSERT_TRUE(WriteFileBytes(file, "a file"));
  type_folder(Narrow(file));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, "installer_notice_file_100");
  EXPECT_EQ(ReadFileBytes(file), "a file");

  // Nor can a folder below that file be created: an ERROR record, the notice.
  LogWatch log;
  type_folder(Narrow(file + L"\\inside"));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, "installer_notice_uncreatable_100");
  EXPECT_EQ(log.Count("ERROR", "SHCreateDirectory失败"), 1);
  EXPECT_EQ(log.Count("INFO", "判断主程序是否在运行："), 0) << "the installation went on";
  EXPECT_EQ(ReadFileBytes(file), "a file");

  type_folder("c:\\orv apps\\custom\\\\");
  ASSERT_TRUE(Key("Return"));
  ASSERT_TRUE(WaitForPage(installer, Page::kProgress, "installer_progress_custom_100", 30000));
  ASSERT_TRUE(WaitForPage(installer, Page::kFinished, "installer_finished_custom_100"));
  EXPECT_TRUE(FileExists(CustomRoot() + L"custom\\Orvanta.exe"));
  EXPECT_TRUE(FileExists(CustomRoot() + L"custom\\" + kVersion + L"\\setup.xml"));
  // The rules saw the normalised folder: upper-case drive, no trailing backslash.
  EXPECT_EQ(AppPathsFolder(), L"C:\\orv apps\\custom");
  EXPECT_FALSE(FolderExists(DefaultFolder()));
  EXPECT_EQ(CopIni(L"enable"), L"0");

  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
}

// A folder on a volume with less free space than the package needs
// (ORV_SMALL_VOLUME, mounted by small_volume_window_test.sh, which runs this
// test alone; the other runs leave it out): the notice, the choose page
// stays, and nothing is installed there.
TEST_F(InstallerWindowTest, TooLittleFreeSpaceIsRefusedWithTheNotice) {
  wchar_t volume[MAX_PATH] = {};
  ASSERT_TRUE(::GetEnvironmentVariableW(L"ORV_SMALL_VOLUME", volume, MAX_PATH))
      << "no small volume: this test runs in installer_window_small_volume_test";
  const std::wstring folder = std::wstring(volume) + L"\\inst";
  LogWatch log;
  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Click(window, Main(kCustomLink)));
  ASSERT_TRUE(WaitFor([&] { return installer.FolderField() != nullptr; }, 10000)) << "the folder field did not appear";
  ASSERT_TRUE(Click(window, Main(kFolderEdit)));
  ASSERT_TRUE(Key("End shift+Home BackSpace"));
  ASSERT_TRUE(Type(Narrow(folder)));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, false, kBoxConfirm, "installer_notice_space_100");
  ASSERT_TRUE(WaitForPage(installer, Page::kChoose, "installer_choose_after_space_100", 10000));
  // The folder was made before the space was compared: the notice is not
  // the one for a folder that cannot be created.
  EXPECT_TRUE(FolderExists(folder));
  EXPECT_EQ(log.Count("ERROR", "SHCreateDirectory失败"), 0);
  EXPECT_EQ(log.Count("INFO", "判断主程序是否在运行："), 0) << "the installation went on";
  EXPECT_EQ(log.Count("INFO", "开始安装..."), 0);
  EXPECT_FALSE(FileExists(folder + L"\\Orvanta.exe"));
  EXPECT_FALSE(FolderExists(folder + L"\\" + kVersion));
  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
}

// The application runs from the install folder: "no" keeps the choose page
// and the application, "yes" ends it (and its render program) and installs.
TEST_F(InstallerWindowTest, RunningApplicationIsOfferedToBeEnded) {
  const std::wstring folder = DefaultFolder();
  const std::wstring main_program = folder + L"Orvanta.exe";
  const std::wstring render_program = folder + kVersion + L"\\Velpane.exe";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (folder + kVersion).c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(::CopyFileW((SamplePackage() + L"install-folder\\Orvanta.exe").c_str(), main_program.c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((SamplePackage() + L"version-folder\\Velpane.exe").c_str(), render_program.c_str(), FALSE));
  ASSERT_TRUE(WriteFileBytes(folder + L"Orvanta.ini", "[Common]\r\nVersion=7.19.02N\r\n"));
  // The application's own version folder names its version.
  const std::wstring configurations = folder + kVersion + L"\\configurations\\";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, configurations.c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(::CopyFileW((SamplePackage() + L"version-folder\\configurations\\staticconfig.xml").c_str(),
                          (configurations + L"staticconfig.xml").c_str(), FALSE));
  // The installer's settings file lies in a folder every user may write to:
  // a link planted at its name is never written through.
  const testsupport::TempFolder scratch{L"orvcopini"};
  const std::wstring victim = scratch.path() + L"victim.ini";
  ASSERT_TRUE(WriteFileBytes(victim, "victim"));
  ::DeleteFileW((SharedFolder() + L"cop.ini").c_str());
  struct RemovedAtTheEnd {
    std::wstring link;
    ~RemovedAtTheEnd() { testsupport::RemoveHostLink(link); }
  } planted{SharedFolder() + L"cop.ini"};
  ASSERT_TRUE(testsupport::PlantLink(planted.link, victim));
  for (const std::wstring& program : {main_program, render_program}) {
    ASSERT_TRUE(StartProgram(program));
    ASSERT_TRUE(WaitFor([&] { return !windowtest::ProcessesRunning(program).empty(); }, 20000));
  }

  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(WaitForPage(installer, Page::kChoose, "installer_choose_before_question_100", 10000));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, true, kBoxNo, "installer_question_100", "installer_choose_before_question_100");
  ASSERT_TRUE(WaitForPage(installer, Page::kChoose, "installer_choose_kept_100", 10000));
  EXPECT_FALSE(windowtest::ProcessesRunning(main_program).empty());
  EXPECT_FALSE(windowtest::ProcessesRunning(render_program).empty());

  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, true, kBoxYes, "installer_question_again_100");
  EXPECT_TRUE(WaitFor(
      [&] { return windowtest::ProcessesRunning(main_program).empty() && windowtest::ProcessesRunning(render_program).empty(); },
      20000));
  ASSERT_TRUE(WaitForPage(installer, Page::kFinished, "installer_finished_after_question_100"));
  EXPECT_EQ(ReadFileBytes(main_program), ReadFileBytes(SamplePackage() + L"install-folder\\Orvanta.exe"));
  EXPECT_EQ(ReadFileBytes(victim), "victim");
  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
}

// The application comes back once after it was ended, as a program that a
// watcher starts again: it still runs after the wait, so the window ends it
// again; it stays gone then and the installation runs to its end.
TEST_F(InstallerWindowTest, ApplicationThatComesBackIsEndedAgainAfterTheWait) {
  const std::wstring main_program = DefaultFolder() + L"Orvanta.exe";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, DefaultFolder().c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(::CopyFileW((SamplePackage() + L"install-folder\\Orvanta.exe").c_str(), main_program.c_str(), FALSE));
  ASSERT_TRUE(StartProgram(main_program));
  ASSERT_TRUE(WaitFor([&] { return !windowtest::ProcessesRunning(main_program).empty(); }, 20000));
  std::atomic<bool> restarted{false};
  testsupport::StoppableThread watcher([&](const std::atomic<bool>& stop) {
    while (!stop) {
      if (windowtest::ProcessesRunning(main_program).empty()) {
        restarted = StartProgram(main_program);
        return;
      }
      ::Sleep(20);
    }
  });

  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  AnswerBox(installer, true, kBoxYes, "installer_question_comes_back_100");
  ASSERT_TRUE(WaitForPage(installer, Page::kFinished, "installer_finished_comes_back_100"));
  watcher.Stop();
  EXPECT_TRUE(restarted) << "the application was not ended";
  EXPECT_TRUE(windowtest::ProcessesRunning(main_program).empty()) << "the application that came back still runs";
  EXPECT_EQ(ReadFileBytes(main_program), ReadFileBytes(SamplePackage() + L"install-folder\\Orvanta.exe"));
  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
}

// On the progress page Alt+F4 and a close request do nothing, Enter starts
// no second installation, and minimising works.
TEST_F(InstallerWindowTest, ProgressPageCannotBeClosed) {
  LogWatch log;
  Installer installer(SampleSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Key("Return"));
  ASSERT_TRUE(WaitForPage(installer, Page::kProgress, "installer_progress_keys_100", 30000));

  ASSERT_TRUE(Key("alt+F4"));
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(Key("Return"));
  ASSERT_TRUE(Click(window, Main(kProgressMinimizeButton)));
  EXPECT_TRUE(WaitFor([&] { return ::IsIconic(window) != FALSE; }, 10000)) << "the window was not minimised";
  EXPECT_TRUE(installer.Running());
  ::ShowWindow(window, SW_RESTORE);
  EXPECT_TRUE(WaitFor([&] { return !::IsIconic(window) && ::IsWindowVisible(window); }, 10000));

  ASSERT_TRUE(WaitForPage(installer, Page::kFinished, "installer_finished_keys_100"));
  EXPECT_EQ(log.Count("INFO", "开始安装..."), 1);
  // On the finished page closing works, and Enter starts nothing either.
  ASSERT_TRUE(Key("Return"));
  ASSERT_TRUE(Key("alt+F4"));
  EXPECT_EQ(installer.WaitForExit(), 0);
  EXPECT_EQ(log.Count("INFO", "开始安装..."), 1);
}

// An environment variable of this process, and so of the installers it
// starts, while the object lives.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
    ::SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnvironment() { ::SetEnvironmentVariableW(name_, nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const wchar_t* name_;
};

// Closing on the choose page while the package is still being decompressed:
// the decompression is cancelled and the process ends at once, writing
// nothing. With a memory budget far below the package the decoders are
// still waiting for the folder when the window closes.
TEST_F(InstallerWindowTest, ClosingWhileThePackageIsDecompressed) {
  ScopedEnvironment budget(L"ORV_TEST_MEMORY_BUDGET_MB", L"8");
  LogWatch log;
  Installer installer(LargeSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  const ULONGLONG closed_at = ::GetTickCount64();
  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  WaitFor([&] { return !::IsWindow(window) || !::IsWindowVisible(window); }, 20000);
  const ULONGLONG hidden_at = ::GetTickCount64();
  ASSERT_EQ(installer.WaitForExit(20000), 0) << "the installer did not end after the close";
  // The later figure includes the closing animation, slow on a display without compositing.
  std::printf("the window went %llu ms after the close click, the installer ended %llu ms later\n",
              hidden_at - closed_at, ::GetTickCount64() - hidden_at);
  EXPECT_EQ(log.Count("ERROR", ""), 0);
  EXPECT_FALSE(FolderExists(DefaultFolder()));
}

// A package larger than the memory budget: the decoders wait at the budget
// until the folder is chosen, then everything is written and installed.
TEST_F(InstallerWindowTest, PackageLargerThanTheMemoryBudgetInstalls) {
  ScopedEnvironment budget(L"ORV_TEST_MEMORY_BUDGET_MB", L"16");
  Installer installer(LargeSetup());
  HWND window = Open(installer);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Click(window, Main(kLicenseCheckBox)));
  ASSERT_TRUE(Click(window, Main(kInstallButton)));
  ASSERT_TRUE(WaitForPage(installer, Page::kFinished, "installer_finished_budget_100", 120000));
  const std::wstring package = BuildFolder() + L"tests\\installer\\window-packages\\large\\";
  EXPECT_EQ(ReadFileBytes(DefaultFolder() + kVersion + L"\\filler.bin"),
            ReadFileBytes(package + L"version-folder\\filler.bin"));
  EXPECT_TRUE(FileExists(DefaultFolder() + L"Orvanta.exe"));
  EXPECT_FALSE(FolderExists(DefaultFolder() + L"{VersionNameFolder}"));
  ASSERT_TRUE(Click(window, Main(kCloseButton)));
  EXPECT_EQ(installer.WaitForExit(), 0);
}

}  // namespace
