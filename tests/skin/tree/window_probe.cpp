// The test window as a program of its own, for the host-side test that sets
// the screen DPI before it starts, clicks it with xdotool and takes a
// screenshot. It prints its window and button rectangles once shown, and
// where the window was when a control was clicked, and ends with its id.

#include <windows.h>

#include <cstdio>

#include "skin/dpi.h"
#include "skin_environment.h"
#include "tree_test_window.h"

int wmain() {
  ::SetProcessDPIAware();
  SkinTablesStartup startup;
  CTreeTestDlg dlg(500, 60000);
  dlg.on_start = [](CTreeTestDlg& w) {
    RECT window;
    ::GetWindowRect(w.hwnd(), &window);
    const RECT button = w.GetView().FindControlById(kTestButtonId)->GetRect();
    const bool layered = (::GetWindowLongPtrW(w.hwnd(), GWL_EXSTYLE) & WS_EX_LAYERED) != 0;
    std::printf("ready %ld %ld %ld %ld button %ld %ld %ld %ld scale %d layered %d\n", window.left,
                window.top, window.right - window.left, window.bottom - window.top, button.left,
                button.top, button.right, button.bottom, skin::GetDisplayScale(), layered);
    std::fflush(stdout);
  };
  dlg.on_command = [](CTreeTestDlg& w, int id) {
    RECT window;
    ::GetWindowRect(w.hwnd(), &window);
    std::printf("command %d at %ld %ld\n", id, window.left, window.top);
    std::fflush(stdout);
    w.EndModal(id);
  };
  const int result = dlg.DoModal(nullptr);
  std::printf("modal %d\n", result);
  std::fflush(stdout);
  return result == kTestButtonId ? 0 : 1;
}
