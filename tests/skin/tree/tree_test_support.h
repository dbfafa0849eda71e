#pragma once
// Controls and a host window for the control tree tests: a leaf control of
// any type name that paints its rectangle in a state colour, and a plain
// native window that hosts a view the way the skinned window does and
// records what reaches it.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "skin/nativewindow.h"
#include "skin/swcontrol.h"

class CTestBox : public CSWControl {
 public:
  CTestBox(const char* type, int id, RECT rect, uint32_t colour = 0xFF808080)
      : type_(type), colour_(colour) {
    id_ = id;
    rect_ = rect;
  }
  bool IsType(const std::string& name) const override { return name == type_; }
  void DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) override {
    ++draws;
    Gdiplus::SolidBrush brush{Gdiplus::Color(state_ == 2 ? 0xFF000000 : colour_)};
    graphics.FillRectangle(&brush, static_cast<INT>(rect_.left), static_cast<INT>(rect_.top),
                           static_cast<INT>(rect_.right - rect_.left),
                           static_cast<INT>(rect_.bottom - rect_.top));
  }
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override {
    messages.push_back(msg);
    if (msg == WM_MOUSEWHEEL) {
      result = wheel_result;
      handled_ = true;
      return;
    }
    CSWControl::OnMessage(window, msg, wParam, lParam, result);
  }
  void SetTabStopFlag(bool on) { tab_stop_ = on; }

  std::vector<UINT> messages;
  int draws = 0;
  LRESULT wheel_result = 0;

 private:
  std::string type_;
  uint32_t colour_;
};

inline std::shared_ptr<CTestBox> Box(const char* type, int id, RECT rect,
                                     bool tabStop = false) {
  auto box = std::make_shared<CTestBox>(type, id, rect);
  box->SetTabStopFlag(tabStop);
  return box;
}

inline std::shared_ptr<CSWContainer> Div(int id, RECT rect) {
  auto div = std::make_shared<CSWContainer>();
  div->SetRect(rect.left, rect.top, rect.right, rect.bottom);
  div->SetAttribute("id", std::to_string(id));
  return div;
}

// A hidden native window hosting a view: WM_NOTIFY goes to the view, clicks,
// drag starts and repaint requests are recorded instead of acted on.
class CTestHost : public CNativeWindow {
 public:
  CTestHost() { Create(nullptr, RECT{0, 0, 200, 200}, L"test host", WS_POPUP, 0); }
  ~CTestHost() override { DestroyWindow(); }

  // Gives the tree its host window and creates its controls.
  void Attach(CSWView& view) {
    view_ = &view;
    view.SetHostWindow(hwnd());
    LRESULT result = 0;
    Dispatch(view, hwnd(), WM_CREATE, 0, 0, result);
  }

  // Routes a message to the view like the skinned window does.
  LRESULT Route(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    LRESULT result = 0;
    Dispatch(*view_, hwnd(), msg, wParam, lParam, result);
    return result;
  }
  LRESULT Mouse(UINT msg, int x, int y) { return Route(msg, 0, MAKELPARAM(x, y)); }

  // Removes the posted repaint requests and returns how many there were.
  int TakeRepaints() {
    int count = 0;
    MSG msg;
    while (::PeekMessageW(&msg, hwnd(), SWM_REPAINT, SWM_REPAINT, PM_REMOVE)) ++count;
    return count;
  }

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override {
    switch (msg) {
      case WM_NOTIFY:
        if (view_) Dispatch(*view_, hwnd, msg, wParam, lParam, result);
        return true;
      case WM_COMMAND:
        commands.push_back(LOWORD(wParam));
        return true;
      case WM_SYSCOMMAND:
        system_commands.push_back(wParam);
        return true;
      default:
        return false;
    }
  }

  std::vector<int> commands;
  std::vector<WPARAM> system_commands;

 private:
  CSWView* view_ = nullptr;
};
