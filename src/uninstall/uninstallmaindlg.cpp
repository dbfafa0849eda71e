#include "uninstall/uninstallmaindlg.h"

#include <shlobj.h>

#include <cstdio>

#include "common/logging.h"
#include "common/utilfunc.h"
#include "skin/msgbox.h"
#include "skin/skin_tables.h"

namespace {

constexpr int kLayoutId = 500;
constexpr int kProgramIconId = 101;
// CheckRunningApp waits up to 10 x 500 ms for ended programs to go away.
constexpr int kEndWaitSteps = 10;
constexpr DWORD kEndWaitStepMs = 500;

}  // namespace

int NextShownProgress(int shown, int stage) {
  int cap = 0;
  switch (stage) {
    case 1: cap = 40; break;
    case 2: cap = 90; break;
    case 3: cap = 100; break;
    default: return shown;
  }
  return shown < cap ? shown + 1 : shown;
}

void CUnInstallProgressRelay::OnUnInstallProgress(int stage, const wchar_t* text) {
  const HWND window = window_.load();
  if (!window) return;
  UnInstallProgressRecord record{stage, text ? text : L""};
  ::SendMessageW(window, WM_INSTALL_PROGRESS, reinterpret_cast<WPARAM>(&record), 0);
}

CUnInstallMainDlg::CUnInstallMainDlg() : CUnInstallMainDlg(new CUninstall) {}

CUnInstallMainDlg::CUnInstallMainDlg(IUnInstall* driver)
    : CSWindowImlp(kLayoutId), driver_(driver), relay_(new CUnInstallProgressRelay) {
  if (driver_) driver_->SetCallBack(relay_);
}

CUnInstallMainDlg::~CUnInstallMainDlg() { relay_->SetWindow(nullptr); }

void CUnInstallMainDlg::OnInitDialog(HWND hwnd) {
  ::SetWindowLongPtrW(hwnd, GWL_STYLE, ::GetWindowLongPtrW(hwnd, GWL_STYLE) | WS_MINIMIZEBOX);
  ::SetWindowTextW(hwnd, GetString(L"apptitle").c_str());
  ::ShowWindow(hwnd, SW_HIDE);
  PlayWindowAnimation(0);
  ::ShowWindow(hwnd, SW_SHOW);
}

int CUnInstallMainDlg::CheckRunningApp(const std::wstring& folder) {
  // The driver's reading: a version that cannot name a folder of the install
  // folder counts as none, so the question never concerns a program elsewhere.
  const std::wstring version = UtilFunc::ReadInstalledVersion(folder).value;
  const UtilFunc::AppPrograms programs =
      UtilFunc::AppProgramsIn(folder, version, GetString(L"main_exe_name"), GetString(L"render_exe_name"));
  const auto anyRunning = [&] { return UtilFunc::IsAppRunning(programs); };
  const auto endBoth = [&] { UtilFunc::EndApp(programs); };

  while (anyRunning()) {
    const int answer = ShowMsgBox(hwnd(), MB_YESNO, GetString(L"msgboxtitle"), GetString(L"alreadyrunnotify"));
    if (answer != kMsgBoxYes) return 1;
    endBoth();
    for (int step = 0; step < kEndWaitSteps; ++step) {
      ::Sleep(kEndWaitStepMs);
      if (!anyRunning()) return 0;
    }
    LOG_INFO << "结束程序5秒后仍在运行，再次结束";
    endBoth();
  }
  return 0;
}

void CUnInstallMainDlg::OnUninstallNow() {
  if (uninstalling_ || finished_ || display_complete_) return;  // one removal per window
  const std::wstring folder = UtilFunc::GetModuleDir();
  if (CheckRunningApp(folder)) return;

  ShowControl(kConfirmPage, false);
  ShowControl(kProgressPage, true);
  ::SetTimer(hwnd(), kProgressTimerId, kProgressTimerMs, nullptr);
  if (!driver_) {
    ShowFailedPage();
    return;
  }
  driver_->AddExcludePath(UtilFunc::GetModulePath());
  uninstalling_ = true;
  // Without its worker the removal would never report its end and the
  // window could not be closed any more.
  if (!driver_->StartUnInstall(0)) {
    LOG_ERROR << "启动卸载线程失败";
    ShowFailedPage();
  }
}

void CUnInstallMainDlg::SetProgress(int percent) {
  char value[16];
  std::snprintf(value, sizeof value, "%d", percent);
  SetControlAttribute(kProgressBar, "progresspos", value);
}

void CUnInstallMainDlg::ShowFinishedPage() {
  ShowControl(kProgressPage, false);
  ShowControl(kFinishedPage, true);
  uninstalling_ = false;
  finished_ = true;
}

void CUnInstallMainDlg::ShowFailedPage() {
  ShowControl(kProgressPage, false);
  ShowControl(kFailedPage, true);
  uninstalling_ = false;
  display_complete_ = true;
  ::KillTimer(hwnd(), kProgressTimerId);
}

void CUnInstallMainDlg::OnProgressTimer() {
  if (display_complete_) return;
  const int next = NextShownProgress(shown_progress_, stage_);
  if (next == shown_progress_) return;
  shown_progress_ = next;
  SetProgress(shown_progress_);
  if (shown_progress_ == 100) {
    display_complete_ = true;
    ::KillTimer(hwnd(), kProgressTimerId);
    if (finish_reported_) {
      SetProgress(100);
      ShowFinishedPage();
    }
  }
}

void CUnInstallMainDlg::OnProgressReport(const UnInstallProgressRecord* record) {
  if (!record) return;
  stage_ = record->stage;
  if (stage_ != 3) return;
  // A removal refused or left incomplete ends on the failure page at once;
  // the uninstaller then stays, for another try.
  if (driver_->GetOutcome() != UnInstallOutcome::kRemoved) {
    ShowFailedPage();
    return;
  }
  finish_reported_ = true;
  if (display_complete_ && !finished_) {
    SetProgress(100);
    ShowFinishedPage();
  }
}

void CUnInstallMainDlg::CloseWith(int animation, int id) {
  PlayWindowAnimation(animation);
  EndModal(finished_ ? kUnInstallDoneResult : id);
}

void CUnInstallMainDlg::OnCommand(int id) {
  switch (id) {
    case kUninstallNow:
      OnUninstallNow();
      break;
    case kConfirmClose:
    case kFinishedClose:
    case kFailedClose:
      CloseWith(1, id);
      break;
    case kFinishedCloseButton:
      CloseWith(2, id);
      break;
    case kUninstallLater:
      CloseWith(1, id);
      break;
    case kConfirmMinimise:
    case kProgressMinimise:
      ::ShowWindow(hwnd(), SW_SHOWMINIMIZED);
      break;
    default:
      break;  // the failure page's retry button does nothing
  }
}

bool CUnInstallMainDlg::OnClose(LRESULT& result) {
  result = 0;
  if (uninstalling_) return true;  // the removal cannot be interrupted
  PlayWindowAnimation(1);
  if (finished_) {
    EndModal(kUnInstallDoneResult);
    return true;
  }
  // The default handling destroys the window, which ends the modal run with 0.
  result = DefWindowProc(WM_CLOSE, 0, 0);
  return true;
}

bool CUnInstallMainDlg::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                             LRESULT& result) {
  switch (msg) {
    case WM_CREATE: {
      HICON large = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgramIconId),
                                                    IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                    ::GetSystemMetrics(SM_CYICON), LR_SHARED));
      HICON small = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgramIconId),
                                                    IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                    ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
      if (large) ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
      if (small) ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
      show_on_init_ = false;  // the window shows itself with its animation
      relay_->SetWindow(hwnd);
      break;
    }
    case WM_INITDIALOG:
      OnInitDialog(hwnd);
      break;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      result = 0;
      return true;
    case WM_TIMER:
      if (wParam == kProgressTimerId) OnProgressTimer();
      break;  // the host animates the GIF
    case WM_INSTALL_PROGRESS:
      OnProgressReport(reinterpret_cast<const UnInstallProgressRecord*>(wParam));
      result = 0;
      return true;
    case WM_CLOSE:
      return OnClose(result);
    case WM_DESTROY:
      relay_->SetWindow(nullptr);
      if (finished_) ::SHChangeNotify(SHCNE_ASSOCCHANGED, 0, nullptr, nullptr);
      break;
    default:
      break;
  }
  return CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
}
