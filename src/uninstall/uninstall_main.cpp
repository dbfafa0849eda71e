// The uninstaller's entry: silent removal with /S, otherwise the uninstall
// window; in both cases the program deletes its own file at the end.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <gdiplus.h>

#include <string>

#include "common/dll_search.h"
#include "common/utilfunc.h"
#include "installer/command_line.h"
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

void SilentUnInstall() {
  IUnInstall* driver = new CUninstall;  // lives until the process ends
  // Only copies started from the install folder are ended.
  UtilFunc::KillPathFileProcess(UtilFunc::GetModuleDir() + GetString(L"main_exe_name"));
  driver->AddExcludePath(UtilFunc::GetModulePath());
  driver->StartUnInstall(1);
  ::SHChangeNotify(SHCNE_ASSOCCHANGED, 0, nullptr, nullptr);
  DeleteSelf();
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

  if (options.HasOption(L"S")) {
    SilentUnInstall();
  } else if (RunUnInstallWindow() == kUnInstallFinishedResult) {
    DeleteSelf();
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return 0;
}
