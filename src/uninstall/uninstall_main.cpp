// The uninstaller's entry: silent removal with /S, otherwise the uninstall
// window; in both cases the program deletes its own file once the
// application is removed.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <gdiplus.h>

#include <string>

#include "common/dll_search.h"
#include "common/logging.h"
#include "common/setup_mutex.h"
#include "common/utilfunc.h"
#include "common/wait_limit.h"
#include "installer/command_line.h"
#include "skin/msgbox.h"
#include "skin/skin_tables.h"
#include "uninstall/self_delete.h"
#include "uninstall/uninstall.h"
#include "uninstall/uninstall_window.h"

namespace {

// Runs before every other static initialiser: from here on no DLL is loaded
// from the program's own folder or the current folder.
struct DllSearchRestriction {
  DllSearchRestriction() { RestrictDllSearchToSystemFolder(); }
};
__attribute__((init_priority(101))) const DllSearchRestriction g_dllSearchRestriction;

// Exit codes of the silent uninstaller; the window always ends with 0.
enum UnInstallExitCode : int {
  kExitRemoved = 0,
  kExitFailed = 1,    // refused or incomplete; the log says why
  kExitTimedOut = 2,  // stopped at the 10-minute limit
};

constexpr DWORD kWaitLimitMs = 600000;

int SilentUnInstall() {
  run_deadline::Start(WaitLimitMs(L"ORV_TEST_UNINSTALL_WAIT_MS", kWaitLimitMs));
  // Nothing is removed while an installer changes the same files.
  SetupMutex mutex;
  if (const int refused = TakeSetupMutexForSilentRun(mutex)) return refused;
  IUnInstall* driver = new CUninstall;  // lives until the process ends
  // Only copies started from the install folder are ended.
  UtilFunc::KillPathFileProcess(UtilFunc::GetModuleDir() + GetString(L"main_exe_name"));
  driver->AddExcludePath(UtilFunc::GetModulePath());
  if (!driver->StartUnInstall(1)) LOG_ERROR << "启动卸载线程失败";
  ::SHChangeNotify(SHCNE_ASSOCCHANGED, 0, nullptr, nullptr);
  switch (driver->GetOutcome()) {
    case UnInstallOutcome::kRemoved:
      DeleteSelf();
      return kExitRemoved;
    case UnInstallOutcome::kStopped:
      // The worker may still run: the process ends at once, before any
      // static object it uses is destroyed under it.
      ::TerminateProcess(::GetCurrentProcess(), kExitTimedOut);
      return kExitTimedOut;
    case UnInstallOutcome::kPending:
    case UnInstallOutcome::kFailed:
      break;
  }
  LOG_ERROR << "卸载失败，保留卸载程序";
  return kExitFailed;
}

// The window, unless another setup works: then only a notice. The mutex is
// held until the program's file has been renamed for its deletion.
void RunWindowed() {
  SetupMutex mutex;
  const SetupMutex::Result taken = mutex.Take(0);
  if (taken == SetupMutex::Result::kBusy || taken == SetupMutex::Result::kForeign) {
    LOG_INFO << "另一个安装程序正在运行";
    ShowMsgBox(nullptr, MB_OK, GetString(L"msgboxtitle"), GetString(L"setuprunning"));
    return;
  }
  if (RunUnInstallWindow() == kUnInstallFinishedResult) DeleteSelf();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  CCommandLine options;
  options.ParseCommandLine(commandLine);
  UtilFunc::EnableDebugPrivilege();
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Gdiplus::GdiplusStartupInput gdiplusInput;
  ULONG_PTR gdiplusToken = 0;
  Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);
  LoadStringTable();
  LoadSkinTable();
  LoadStyleTable();

  int exitCode = 0;
  if (options.HasOption(L"S")) {
    exitCode = SilentUnInstall();
  } else {
    RunWindowed();
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return exitCode;
}
