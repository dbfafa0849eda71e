// The installer's process entry: start-up, the command line, and the silent
// installation. Without the option S the skinned main window runs instead.

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
#include "installer/exit_codes.h"
#include "installer/installer_constants.h"
#include "installer/installmaindlg.h"
#include "libinstall/install.h"
#include "skin/msgbox.h"
#include "skin/skin_tables.h"

namespace {

// Runs before every other static initialiser: from here on no DLL is loaded
// from the program's own folder, which may be a downloads folder.
struct DllSearchRestriction {
  DllSearchRestriction() { RestrictDllSearchToSystemFolder(); }
};
__attribute__((init_priority(101))) const DllSearchRestriction g_dll_search_restriction;

// The program's single application object: it holds the command line for the
// whole run.
class CInstallModule {
 public:
  CCommandLine& command_line() { return command_line_; }

 private:
  CCommandLine command_line_;
};

CInstallModule g_module;

std::wstring DefaultInstallFolder() {
  std::wstring folder = UtilFunc::GetSpecialFolder(CSIDL_PROGRAM_FILES);
  UtilFunc::AppendBackslash(folder);
  return folder + GetString(kAppDirNameId);
}

constexpr DWORD kWindowMutexWaitMs = 5000;

int InstallSilent(const CCommandLine& command_line) {
  // The wait for another setup counts against the run's own limit.
  run_deadline::Start(WaitLimitMs(L"ORV_TEST_INSTALL_WAIT_MS", CInstall::kWaitLimitMs));
  SetupMutex mutex;
  if (const int refused = TakeSetupMutexForSilentRun(mutex)) return refused;
  IInstall* install = CreateInstall(run_deadline::Remaining());
  install->Init(nullptr, DecompressStart::kOnInstall);

  std::wstring folder = command_line.OptionValue(L"D");
  if (folder.empty()) folder = DefaultInstallFolder();
  if (command_line.HasOption(L"G")) install->SetSkipSetupConfig(1);
  install->SetInstallPath(folder.c_str());
  const bool started = install->StartInstall(1) != 0;
  const int exit_code = SilentExitCode(started, install->GetOutcome());
  ::SHChangeNotify(SHCNE_ASSOCCHANGED, 0, nullptr, nullptr);
  // A worker stopped at the limit may still run (past the grace): the process
  // ends at once, before any static object it uses is destroyed under it.
  if (exit_code == kExitTimedOut) ::TerminateProcess(::GetCurrentProcess(), kExitTimedOut);
  // The driver is not released: the process ends right after this.
  return exit_code;
}

// The windowed start-up: COM in a single-threaded apartment, GDI+, the skin
// and style tables, then the main window, modally.
int RunWindowed() {
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // GDI+ stays up until the process ends.
  Gdiplus::GdiplusStartupInput gdiplus_input;
  ULONG_PTR gdiplus_token = 0;
  Gdiplus::GdiplusStartup(&gdiplus_token, &gdiplus_input, nullptr);
  LoadSkinTable();
  LoadStyleTable();
  // The failure page's retry starts this program again just before its own
  // window closes: a few seconds' wait lets that run end first.
  SetupMutex mutex;
  const SetupMutex::Result taken = mutex.Take(kWindowMutexWaitMs);
  if (taken == SetupMutex::Result::kBusy || taken == SetupMutex::Result::kForeign) {
    LOG_INFO << "另一个安装程序正在运行";
    if (HWND first = ::FindWindowW(nullptr, GetString(L"apptitle").c_str())) {
      ::ShowWindow(first, SW_RESTORE);
      ::SetForegroundWindow(first);
    }
    ShowMsgBox(nullptr, MB_OK, GetString(L"msgboxtitle"), GetString(L"setuprunning"));
  } else {
    CInstallMainDlg dialog;
    dialog.DoModal();
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return kExitWindowed;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line_text, int) {
  LoadStringTable();
  UtilFunc::EnableDebugPrivilege();
  CCommandLine& command_line = g_module.command_line();
  command_line.ParseCommandLine(command_line_text);
  if (!command_line.HasOption(L"S")) return RunWindowed();

  return InstallSilent(command_line);
}
