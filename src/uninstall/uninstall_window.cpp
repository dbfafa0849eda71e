#include "uninstall/uninstall_window.h"

#include "common/logging.h"

// The skinned uninstall window is not part of this program yet: started
// without /S the uninstaller removes nothing and says so in the log.
int RunUnInstallWindow() {
  LOG_INFO << "卸载窗口尚未提供，未执行卸载；静默卸载请使用/S";
  return 0;
}
