#pragma once
// Test windows of the skin framework under Wine and Xvfb: a skinned window
// over a test layout that runs a scenario inside its modal loop, real input
// through xdotool, back-buffer pixels and screenshots.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "skin/swcontrol.h"
#include "skin/swindow.h"

namespace uitest {

// Starts COM and GDI+ and loads the three tables once per test program.
void StartSkinEnvironment();

// A Unix folder of this test's own Wine environment for files handed to host
// programs (ORV_WINE_STATE; /tmp without one), and a Unix path as Wine's Z: path.
std::string HostScratchFolder();
std::wstring UnixToWine(const std::string& path);

// Processes the thread's messages for `ms` milliseconds.
void Pump(DWORD ms);
// Processes messages until `done` is true or `timeoutMs` passed; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 3000);

// Runs xdotool with `args` on the test display and waits for it while
// processing messages (the windows under test belong to this thread).
bool Xdo(const std::string& args);
// Moves the pointer to the client point of `hwnd` and waits for it to arrive.
bool MoveTo(HWND hwnd, int x, int y);
// Moves the pointer off the window (transparent spots of a layered window
// let the pointer through, so only leaving it ends a hover for certain).
bool MoveAway(HWND hwnd);
// A left click at the client point of `hwnd`.
bool ClickAt(HWND hwnd, int x, int y);
// The centre of a rectangle.
POINT Centre(const RECT& r);

// Saves a picture of the whole test display as build/screenshots/<name>.png.
void Screenshot(const std::string& name);

// What the screenshot `withBox` shows of a message box (its window at
// `box`, screen coordinates, display scale `scale` percent) over the window
// below it, against `behind`, the same display without the box: at points of
// the box's shadow and at its rounded corners each pixel must be a blend of
// the shadow with what `behind` shows there: darker, yet neither unchanged
// nor black. Returns the points that fail, with their colours; empty when all
// hold.
std::string BoxShadowFaults(const std::string& withBox, const std::string& behind, const RECT& box, int scale);

struct Notification {
  int id;
  int code;
  uint32_t key;  // SWN_KEYDOWN only
};

// A skinned window over the layout resource `layoutId`; the scenario runs
// once the window is shown and the window closes when it returns.
class TestWindow : public CSWindowImlp<TestWindow> {
 public:
  using Scenario = std::function<void(TestWindow&)>;
  TestWindow(int layoutId, Scenario scenario);

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

  // Runs DoModal; returns its result.
  int Run() { return DoModal(nullptr); }

  template <class T>
  std::shared_ptr<T> Find(int id) {
    return std::dynamic_pointer_cast<T>(GetView().FindControlById(id));
  }
  // Repaints the dirty rectangles now (what the posted repaints would do).
  void Repaint() { ::SendMessageW(hwnd(), SWM_REPAINT, 0, 0); }
  // Premultiplied ARGB of client pixel (x, y) of the back buffer.
  uint32_t Pixel(int x, int y) const;
  // The back buffer's pixels inside `rect`, row by row.
  std::vector<uint32_t> Pixels(const RECT& rect) const;

  std::vector<int> commands;           // WM_COMMAND ids in arrival order
  std::vector<bool> checkAtCommand;    // GetCheck of the sender when its command arrived
  std::vector<Notification> notifications;
  std::vector<DWORD> notifyTimes;      // GetTickCount of each notification

  int CountCommands(int id) const;
  int CountNotifications(int id, int code) const;

 private:
  Scenario scenario_;
};

// Pixels that `draw` paints on a transparent canvas of `size` inside `rect`,
// in the layout of TestWindow::Pixels.
std::vector<uint32_t> Render(SIZE size, const RECT& rect,
                             const std::function<void(Gdiplus::Graphics&)>& draw);

// Number of pixels that differ between two equally sized pictures.
size_t CountDifferent(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

}  // namespace uitest
