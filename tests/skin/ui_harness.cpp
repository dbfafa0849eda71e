#include "ui_harness.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "skin/dpi.h"
#include "skin/gdiplus_include.h"
#include "skin/skin_tables.h"

namespace uitest {

namespace {

constexpr UINT kRunScenario = WM_APP + 17;

std::string BinaryDir() {
  const char* dir = std::getenv("ORV_BINARY_DIR");
  return dir ? dir : "/tmp";
}

}  // namespace

std::string HostScratchFolder() {
  const char* state = std::getenv("ORV_WINE_STATE");
  return state && *state ? state : "/tmp";
}

std::wstring UnixToWine(const std::string& path) {
  std::wstring wide = L"Z:";
  for (char c : path) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return wide;
}

namespace {

// Unix programs started from Wine have no process handle to wait on: the
// shell leaves a marker file when the command is done.
bool RunUnixShell(const std::string& command, DWORD timeoutMs) {
  static std::atomic<int> counter{0};
  // Process ids are only unique within one Wine prefix: the marker lives in
  // this test's own environment folder.
  char marker[1024];
  std::snprintf(marker, sizeof(marker), "%s/orv_ui_%lu_%d.done", HostScratchFolder().c_str(),
                ::GetCurrentProcessId(), counter++);
  const std::string line = "/bin/sh -c \"" + command + "; echo $? > " + marker + "\"";
  std::wstring wide(line.begin(), line.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
    return false;
  // Wine starts a Unix program without a Windows process: hProcess stays
  // null and hThread holds whatever value was at hand. Closing that would
  // close some other handle of this process.
  if (process.hProcess) {
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  const std::wstring markerPath = UnixToWine(marker);
  const bool done = PumpUntil(
      [&] { return ::GetFileAttributesW(markerPath.c_str()) != INVALID_FILE_ATTRIBUTES; },
      timeoutMs);
  ::DeleteFileW(markerPath.c_str());
  return done;
}

}  // namespace

void StartSkinEnvironment() {
  static bool started = [] {
    // Wine may end a process that used its input method abruptly at exit:
    // nothing of the report may wait in a buffer.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    static ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    LoadStringTable();
    LoadSkinTable();
    LoadStyleTable();
    return true;
  }();
  (void)started;
}

void Pump(DWORD ms) {
  const DWORD start = ::GetTickCount();
  PumpUntil([&] { return ::GetTickCount() - start >= ms; }, ms + 1000);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (::GetTickCount() - start >= timeoutMs) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

bool Xdo(const std::string& args) { return RunUnixShell("xdotool " + args, 10000); }

POINT Centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

bool MoveTo(HWND hwnd, int x, int y) {
  POINT screen{x, y};
  ::ClientToScreen(hwnd, &screen);
  if (!Xdo("mousemove --sync " + std::to_string(screen.x) + " " + std::to_string(screen.y)))
    return false;
  // Wine sees the pointer through its own event queue.
  PumpUntil([&] {
    POINT now;
    return ::GetCursorPos(&now) && now.x == screen.x && now.y == screen.y;
  });
  Pump(60);
  return true;
}

bool MoveAway(HWND hwnd) {
  RECT window;
  ::GetWindowRect(hwnd, &window);
  return MoveTo(hwnd, -window.left + 2, -window.top + 2);
}

bool ClickAt(HWND hwnd, int x, int y) {
  if (!MoveTo(hwnd, x, y) || !Xdo("click 1")) return false;
  Pump(100);
  return true;
}

void Screenshot(const std::string& name) {
  const std::string folder = BinaryDir() + "/screenshots";
  RunUnixShell("mkdir -p " + folder + " && import -window root " + folder + "/" + name + ".png",
               15000);
}

namespace {

bool ReadPixel(Gdiplus::Bitmap& shot, int x, int y, int rgb[3]) {
  Gdiplus::Color c;
  if (shot.GetPixel(x, y, &c) != Gdiplus::Ok) return false;
  rgb[0] = c.GetR();
  rgb[1] = c.GetG();
  rgb[2] = c.GetB();
  return true;
}

// A pixel `over` that a shadow of some opacity darkened from `under`.
bool IsShadowBlend(const int over[3], const int under[3]) {
  int changed = 0, overSum = 0, underSum = 0;
  for (int i = 0; i < 3; ++i) {
    if (over[i] > under[i] + 4) return false;  // a shadow only darkens
    changed = std::max(changed, under[i] - over[i]);
    overSum += over[i];
    underSum += under[i];
  }
  return changed >= 6 && overSum * 10 >= underSum * 3;
}

std::string Hex(const int rgb[3]) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
  return text;
}

}  // namespace

std::string BoxShadowFaults(const std::string& withBox, const std::string& behind, const RECT& box, int scale) {
  const auto path = [](const std::string& name) { return UnixToWine(BinaryDir() + "/screenshots/" + name + ".png"); };
  Gdiplus::Bitmap over(path(withBox).c_str());
  Gdiplus::Bitmap under(path(behind).c_str());
  if (over.GetLastStatus() != Gdiplus::Ok || under.GetLastStatus() != Gdiplus::Ok)
    return "cannot read " + withBox + " or " + behind;
  // The message box's layout: the view at 3,5 with its frame, the page at
  // 7,1 in it, 400 x 176. Only the frame's shadow lies on its strips beside
  // the page, and the page's corners are cut round, so that the shadow and
  // the window behind show there.
  const auto scaled = [scale](int length) { return skin::ScaleLength(length, scale); };
  const int left = scaled(7), top = scaled(1);
  const int right = left + scaled(400) - 1, bottom = top + scaled(176) - 1;
  const struct {
    const char* what;
    int x, y;  // in the view
  } points[] = {
      {"left shadow", scaled(4), scaled(95)},      {"right shadow", right + scaled(4), scaled(95)},
      {"bottom shadow", scaled(200), bottom + scaled(6)}, {"top left corner", left, top},
      {"top right corner", right, top},             {"bottom left corner", left, bottom},
      {"bottom right corner", right, bottom},
  };
  std::string faults;
  for (const auto& point : points) {
    const int x = box.left + scaled(3) + point.x;
    const int y = box.top + scaled(5) + point.y;
    int shown[3], below[3];
    if (!ReadPixel(over, x, y, shown) || !ReadPixel(under, x, y, below)) {
      faults += std::string(point.what) + ": off the screen; ";
    } else if (!IsShadowBlend(shown, below)) {
      faults += std::string(point.what) + ": " + Hex(shown) + " over " + Hex(below) + "; ";
    }
  }
  return faults;
}

TestWindow::TestWindow(int layoutId, Scenario scenario)
    : CSWindowImlp(layoutId), scenario_(std::move(scenario)) {}

bool TestWindow::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result) {
  switch (msg) {
    case WM_INITDIALOG:
      ::PostMessageW(hwnd, kRunScenario, 0, 0);
      break;
    case kRunScenario:
      scenario_(*this);
      EndModal(1);
      return true;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      commands.push_back(id);
      auto control = GetView().FindControlById(id);
      checkAtCommand.push_back(control && control->GetCheck());
      return true;
    }
    case WM_NOTIFY: {
      const auto* notify = reinterpret_cast<const SWNOTIFY*>(lParam);
      uint32_t key = 0;
      if (notify->code == SWN_KEYDOWN) key = reinterpret_cast<const SWKEYNOTIFY*>(lParam)->key;
      notifications.push_back({static_cast<int>(notify->idFrom), notify->code, key});
      notifyTimes.push_back(::GetTickCount());
      break;
    }
    default:
      break;
  }
  return CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
}

uint32_t TestWindow::Pixel(int x, int y) const {
  const SIZE size = GetClientSize();
  const auto* bits = static_cast<const uint32_t*>(GetBackBufferBits());
  if (!bits || x < 0 || y < 0 || x >= size.cx || y >= size.cy) return 0;
  return bits[static_cast<size_t>(size.cy - 1 - y) * size.cx + x];
}

std::vector<uint32_t> TestWindow::Pixels(const RECT& rect) const {
  std::vector<uint32_t> out;
  for (int y = rect.top; y < rect.bottom; ++y)
    for (int x = rect.left; x < rect.right; ++x) out.push_back(Pixel(x, y));
  return out;
}

int TestWindow::CountCommands(int id) const {
  int n = 0;
  for (int c : commands) n += c == id;
  return n;
}

int TestWindow::CountNotifications(int id, int code) const {
  int n = 0;
  for (const auto& note : notifications) n += note.id == id && note.code == code;
  return n;
}

std::vector<uint32_t> Render(SIZE size, const RECT& rect,
                             const std::function<void(Gdiplus::Graphics&)>& draw) {
  Gdiplus::Bitmap canvas(size.cx, size.cy, PixelFormat32bppPARGB);
  {
    Gdiplus::Graphics graphics(&canvas);
    graphics.Clear(Gdiplus::Color(0, 0, 0, 0));
    draw(graphics);
  }
  std::vector<uint32_t> out;
  Gdiplus::BitmapData data;
  Gdiplus::Rect all(0, 0, size.cx, size.cy);
  if (canvas.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &data) != Gdiplus::Ok)
    return out;
  for (int y = rect.top; y < rect.bottom; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const BYTE*>(data.Scan0) +
                                                        static_cast<ptrdiff_t>(y) * data.Stride);
    for (int x = rect.left; x < rect.right; ++x) out.push_back(row[x]);
  }
  canvas.UnlockBits(&data);
  return out;
}

size_t CountDifferent(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size()) return std::max(a.size(), b.size());
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

}  // namespace uitest
