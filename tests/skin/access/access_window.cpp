// The accessibility test window as a program of its own, so that the test
// client reaches it from another process as an assistive tool would. It
// shows the test layout with the button 1107 disabled, answers until it is
// closed (or a minute passed) and ends with 0 when it was closed.

#include <windows.h>
#include <objbase.h>

#include "skin/swindow.h"
#include "skin_environment.h"

namespace {

constexpr int kDisabledButtonId = 1107;
constexpr UINT_PTR kGiveUpTimer = 4711;
constexpr UINT kGiveUpMs = 60000;

class CAccessTestDlg : public CSWindowImlp<CAccessTestDlg> {
 public:
  CAccessTestDlg() : CSWindowImlp(500) {}

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override {
    switch (msg) {
      case WM_INITDIALOG:
        EnableControl(kDisabledButtonId, false);
        ::SetTimer(hwnd, kGiveUpTimer, kGiveUpMs, nullptr);
        return true;
      case WM_TIMER:
        if (wParam != kGiveUpTimer) break;
        EndModal(-1);
        return true;
      case WM_COMMAND:
        return true;  // clicks and Space presses change nothing here
      default:
        break;
    }
    return CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
  }
};

}  // namespace

int wmain() {
  ::SetProcessDPIAware();
  // Calls from other processes arrive through this thread's message loop.
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int result = 0;
  {
    SkinTablesStartup startup;
    CAccessTestDlg dlg;
    result = dlg.DoModal(nullptr);
  }
  ::CoUninitialize();
  return result == kModalResultClose ? 0 : 1;
}
