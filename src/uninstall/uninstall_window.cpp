#include "uninstall/uninstall_window.h"

#include "uninstall/uninstallmaindlg.h"

static_assert(kUnInstallFinishedResult == kUnInstallDoneResult);

int RunUnInstallWindow() {
  CUnInstallMainDlg window;
  return window.DoModal();
}
