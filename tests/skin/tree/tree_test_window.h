#pragma once
// A skinned test window over the test layout (500): it adds a clickable
// test button (id 1001) to the page div and lets a test act inside the
// modal loop (on_start), see clicks (on_command) and look at the back buffer
// after every repaint (on_repaint).

#include <windows.h>

#include <functional>
#include <vector>

#include "skin/dpi.h"
#include "skin/swindow.h"
#include "tree_test_support.h"

constexpr int kTestButtonId = 1001;
constexpr UINT kStartMessage = WM_APP + 1;
constexpr UINT_PTR kGiveUpTimer = 4711;

class CTreeTestDlg : public CSWindowImlp<CTreeTestDlg> {
 public:
  explicit CTreeTestDlg(int layoutId = 500, UINT giveUpMs = 20000)
      : CSWindowImlp(layoutId), give_up_ms_(giveUpMs) {}

  std::function<void(CTreeTestDlg&)> on_start;
  std::function<void(CTreeTestDlg&, int)> on_command;
  std::function<void(CTreeTestDlg&)> on_repaint;
  std::vector<int> commands;

  // Client pixel (x, y) of the back buffer (premultiplied BGRA as a number).
  uint32_t Pixel(int x, int y) const {
    const SIZE size = GetClientSize();
    auto* bits = static_cast<const uint32_t*>(GetBackBufferBits());
    return bits ? bits[(size.cy - 1 - y) * size.cx + x] : 0;
  }
  void SetPixel(int x, int y, uint32_t value) {
    const SIZE size = GetClientSize();
    auto* bits = const_cast<uint32_t*>(static_cast<const uint32_t*>(GetBackBufferBits()));
    if (bits) bits[(size.cy - 1 - y) * size.cx + x] = value;
  }

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override {
    switch (msg) {
      case WM_INITDIALOG:
        AddTestButton();
        ::PostMessageW(hwnd, kStartMessage, 0, 0);
        ::SetTimer(hwnd, kGiveUpTimer, give_up_ms_, nullptr);
        return true;
      case kStartMessage:
        if (on_start) on_start(*this);
        return true;
      case WM_TIMER:
        if (wParam != kGiveUpTimer) break;
        EndModal(-1);
        return true;
      case WM_COMMAND:
        commands.push_back(LOWORD(wParam));
        if (on_command) on_command(*this, LOWORD(wParam));
        return true;
      case SWM_REPAINT: {
        const bool handled = CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
        if (on_repaint) on_repaint(*this);
        return handled;
      }
      default:
        break;
    }
    return CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
  }

 private:
  // The layout's controls are containers only; the button is made here.
  void AddTestButton() {
    auto page = GetView().FindControlById(100);
    if (!page || !page->IsContainer()) return;
    auto button = std::make_shared<CTestBox>(
        "button", kTestButtonId,
        RECT{DpiScale(250), DpiScale(300), DpiScale(350), DpiScale(340)}, 0xFF2BB24C);
    button->SetTip(L"test button");
    static_cast<CSWContainer&>(*page).AddChild(button);
    button->SetHostWindow(hwnd());
    LRESULT ignored = 0;
    Dispatch(*button, hwnd(), WM_CREATE, 0, 0, ignored);
    ::SendMessageW(hwnd(), SWM_REPAINT, 0, 0);
  }

  UINT give_up_ms_;
};
