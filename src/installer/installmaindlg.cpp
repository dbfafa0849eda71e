#include "installer/installmaindlg.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>

#include <cstdio>

#include "common/link_guard.h"
#include "common/logging.h"
#include "common/scoped_handle.h"
#include "common/setup_mutex.h"
#include "common/utilfunc.h"
#include "installer/installer_constants.h"
#include "skin/msgbox.h"
#include "skin/swanimate.h"
#include "skin/skin_tables.h"

namespace {

constexpr int kLayoutId = 500;
constexpr int kIconId = 101;
constexpr UINT_PTR kProgressTimerId = 1;
constexpr UINT kProgressTimerMs = 50;

constexpr wchar_t kAppPathsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Orvanta.exe";
constexpr DWORD kAppPathsValueBytes = 520;

bool IsVistaOrLater() {
  OSVERSIONINFOEXW extended = {};
  extended.dwOSVersionInfoSize = sizeof(extended);
  if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) return extended.dwMajorVersion >= 6;
  OSVERSIONINFOW plain = {};
  plain.dwOSVersionInfoSize = sizeof(plain);
  return ::GetVersionExW(&plain) && plain.dwMajorVersion >= 6;
}

}  // namespace

namespace installwin {

int ReportPercent(int total, int current) {
  if (total <= 0) return 0;
  return static_cast<int>(static_cast<double>(current) / total * 100.0);
}

int NextShownProgress(int shown, int stage) {
  int cap = 0;
  switch (stage) {
    case kStageDecompressing: cap = 40; break;
    case kStageWritten: cap = 80; break;
    case kStageSetupConfig: cap = 95; break;
    case kStageFinished: cap = 100; break;
    default: return shown;
  }
  return shown < cap ? shown + 1 : shown;
}

bool IsAcceptableCustomFolder(const std::wstring& text) {
  return !text.empty() && text.find(L'\'') == std::wstring::npos;
}

std::wstring NormalizeInstallFolder(std::wstring folder) {
  UtilFunc::RemoveTrailingBackslash(folder);
  UtilFunc::UpperDriveLetter(folder);
  UtilFunc::AppendBackslash(folder);
  return folder;
}

std::wstring AppPathsFolderFromValue(DWORD type, const BYTE* data, DWORD size) {
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || size % 2 != 0 || (size > 0 && !data)) return {};
  const auto* text = reinterpret_cast<const wchar_t*>(data);
  const size_t length = size / 2;
  if (length > 0 && text[length - 1] != L'\0') return {};
  std::wstring folder;
  for (size_t i = 0; i < length && text[i] != L'\0'; ++i)
    if (text[i] != L'"') folder += text[i];
  return folder;
}

bool HasEnoughSpace(uint64_t available, uint64_t required) { return available > required; }

std::wstring DefaultInstallFolder() {
  // Read only: merely offering a folder must leave no key behind.
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    BYTE data[kAppPathsValueBytes];
    DWORD size = sizeof(data);
    DWORD type = REG_NONE;
    std::wstring registered;
    if (::RegQueryValueExW(key, L"Path", nullptr, &type, data, &size) == ERROR_SUCCESS)
      registered = AppPathsFolderFromValue(type, data, size);
    ::RegCloseKey(key);
    // Only a folder can take an installation.
    if (!registered.empty() && ::PathIsDirectoryW(registered.c_str())) return registered;
  }
  std::wstring folder = UtilFunc::GetSpecialFolder(CSIDL_PROGRAM_FILES);
  UtilFunc::AppendBackslash(folder);
  folder += GetString(kAppDirNameId);
  UtilFunc::AppendBackslash(folder);
  return folder;
}

MediumIntegrityLabel::MediumIntegrityLabel() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
  if (!::AllocateAndInitializeSid(&authority, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0, 0, 0, 0, 0, &sid_))
    sid_ = nullptr;
  label_.Label.Attributes = SE_GROUP_INTEGRITY;
  label_.Label.Sid = sid_;
}

MediumIntegrityLabel::~MediumIntegrityLabel() {
  if (sid_) ::FreeSid(sid_);
}

DWORD MediumIntegrityLabel::size() const {
  return static_cast<DWORD>(sizeof(label_)) + (sid_ ? ::GetLengthSid(sid_) : 0);
}

bool MediumIntegrityToken(ScopedHandle& token) {
  ScopedHandle own;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE, own.receive())) return false;
  if (!::DuplicateTokenEx(own.get(), MAXIMUM_ALLOWED, nullptr, SecurityAnonymous, TokenPrimary, token.receive()))
    return false;
  MediumIntegrityLabel medium;
  if (!medium.ok()) return false;
  TOKEN_MANDATORY_LABEL label = medium.label();
  return ::SetTokenInformation(token.get(), TokenIntegrityLevel, &label, medium.size()) != FALSE;
}

bool LaunchAsMediumIntegrity(const std::wstring& program, const std::wstring& folder) {
  const wchar_t* directory = folder.empty() ? nullptr : folder.c_str();
  if (!IsVistaOrLater()) {
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", program.c_str(), nullptr, directory, SW_SHOWNORMAL));
    return result > 32;
  }
  ScopedHandle token;
  if (!MediumIntegrityToken(token)) return false;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  wchar_t desktop[] = L"winsta0\\default";
  startup.lpDesktop = desktop;
  startup.wShowWindow = SW_SHOWNORMAL;
  void* environment = nullptr;
  if (!::CreateEnvironmentBlock(&environment, token.get(), FALSE)) return false;
  // The program's path, quoted, as its command line: without one the
  // unquoted path would be the command line, and a path with blanks would
  // reach the program as arguments.
  std::wstring command_line = L"\"" + program + L"\"";
  PROCESS_INFORMATION process = {};
  const bool started =
      ::CreateProcessAsUserW(token.get(), program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS,
                             environment, directory, &startup, &process) != FALSE;
  if (started) {
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  ::DestroyEnvironmentBlock(environment);
  return started;
}

}  // namespace installwin

CInstallMainDlg::CInstallMainDlg() : CSWindowImlp(kLayoutId), driver_(CreateInstall()) {}

CInstallMainDlg::~CInstallMainDlg() { delete driver_; }

void CInstallMainDlg::OnInstallProgress(int stage, int total, int current) {
  // The page follows the stage only: one synchronous message per item would
  // hold the writer back behind the window thread for every file.
  if (last_reported_stage_.exchange(stage) == stage) return;
  if (HWND window = report_window_.load())
    ::SendMessageW(window, WM_INSTALL_PROGRESS, static_cast<WPARAM>(stage),
                   installwin::ReportPercent(total, current));
}

void CInstallMainDlg::OnPackageSize(unsigned size) {
  if (HWND window = report_window_.load()) ::SendMessageW(window, WM_PACKAGE_SIZE, size, 0);
}

bool CInstallMainDlg::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                           LRESULT& result) {
  switch (msg) {
    case WM_CREATE:
      OnCreate(hwnd);
      break;
    case WM_INITDIALOG:
      OnInitDialog(hwnd);
      break;
    case WM_DESTROY:
      OnDestroy();
      break;
    case WM_KEYDOWN:
      if (wParam == VK_RETURN) OnInstallButton();
      break;
    case WM_TIMER:
      if (wParam == kProgressTimerId) OnProgressTimer();
      break;
    case WM_NOTIFY: {
      const auto* notify = reinterpret_cast<const SWNOTIFY*>(lParam);
      if (notify && notify->code == SWN_KEYDOWN && notify->idFrom == kFolderEdit &&
          reinterpret_cast<const SWKEYNOTIFY*>(notify)->key == VK_RETURN)
        OnInstallButton();
      break;
    }
    case WM_COMMAND:
      OnCommand(static_cast<short>(LOWORD(wParam)));
      result = 0;
      return true;
    case WM_CLOSE:
      Close(kInstallDlgWindowClose);
      result = 0;
      return true;
    case WM_INSTALL_PROGRESS:
      OnInstallStage(static_cast<int>(wParam));
      result = 0;
      return true;
    case WM_PACKAGE_SIZE:
      required_bytes_ = static_cast<uint32_t>(wParam);
      result = 0;
      return true;
    default:
      break;
  }
  return CSWindowImlp::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
}

void CInstallMainDlg::OnCreate(HWND hwnd) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const auto icon = [&](int metricX, int metricY) {
    return reinterpret_cast<LPARAM>(::LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                                 ::GetSystemMetrics(metricX), ::GetSystemMetrics(metricY),
                                                 LR_SHARED));
  };
  ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, icon(SM_CXICON, SM_CYICON));
  ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, icon(SM_CXSMICON, SM_CYSMICON));
  // The window shows itself with its animation once it is initialised.
  show_on_init_ = false;
  report_window_ = hwnd;
}

void CInstallMainDlg::OnInitDialog(HWND hwnd) {
  SetHoverPartner(kCustomModeArrow, kCustomModeLink);
  SetHoverPartner(kDefaultModeArrow, kDefaultModeLink);
  ::SetWindowLongPtrW(hwnd, GWL_STYLE, ::GetWindowLongPtrW(hwnd, GWL_STYLE) | WS_MINIMIZEBOX);
  ::SetWindowTextW(hwnd, GetString(L"apptitle").c_str());

  default_folder_ = installwin::DefaultInstallFolder();
  install_folder_ = default_folder_;
  SetControlText(kFolderEdit, default_folder_);

  ::ShowWindow(hwnd, SW_HIDE);
  PlayWindowAnimation(kAnimateZoomInShow);
  ::ShowWindow(hwnd, SW_SHOW);
  // The package is opened and decoded only once the page is on the screen:
  // on two cores the decoders would otherwise take the processor from the
  // first paint and the show animation. The user reads the page first, so
  // the decoding still runs while the choice is made.
  if (driver_) driver_->Init(this, DecompressStart::kInBackground);
}

void CInstallMainDlg::OnDestroy() {
  report_window_ = nullptr;
  if (finished_) ::SHChangeNotify(SHCNE_ASSOCCHANGED, 0, nullptr, nullptr);
}

void CInstallMainDlg::OnCommand(int id) {
  switch (id) {
    case kChooseCloseButton:
    case kFinishedCloseButton:
    case kFailedCloseButton:
      Close(id);
      break;
    case kChooseMinimizeButton:
    case kProgressMinimizeButton:
      ::ShowWindow(hwnd(), SW_SHOWMINIMIZED);
      break;
    case kCustomModeLink:
    case kCustomModeArrow:
      SelectMode(false);
      break;
    case kDefaultModeLink:
    case kDefaultModeArrow:
      SelectMode(true);
      break;
    case kBrowseButton:
      BrowseForFolder();
      break;
    case kLicenseCheckBox:
      EnableControl(kInstallButton, IsControlChecked(kLicenseCheckBox));
      break;
    case kLicenseLink:
      ::ShellExecuteW(nullptr, L"open", GetString(kLicenseUrlId).c_str(), nullptr, nullptr, SW_SHOW);
      break;
    case kCloudPlanLink:
      ::ShellExecuteW(nullptr, L"open", GetString(kCloudPlanUrlId).c_str(), nullptr, nullptr, SW_SHOW);
      break;
    case kExpPlanLink:
      ::ShellExecuteW(nullptr, L"open", GetString(kExpPlanUrlId).c_str(), nullptr, nullptr, SW_SHOW);
      break;
    case kInstallButton:
      OnInstallButton();
      break;
    case kRunButton:
      RunApplication();
      break;
    case kRetryButton:
      Retry();
      break;
    default:
      break;
  }
}

void CInstallMainDlg::SelectMode(bool defaultMode) {
  ShowControl(kCustomModeLink, defaultMode);
  ShowControl(kCustomModeArrow, defaultMode);
  for (int id : {kDefaultModeLink, kDefaultModeArrow, kFolderLabel, kFolderEdit, kBrowseButton})
    ShowControl(id, !defaultMode);
  default_mode_ = defaultMode;
}

void CInstallMainDlg::BrowseForFolder() {
  wchar_t name[MAX_PATH] = {};
  BROWSEINFOW browse = {};
  browse.hwndOwner = hwnd();
  browse.pszDisplayName = name;
  browse.lpszTitle = L"选择安装路径";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_SHAREABLE;
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
  if (!chosen) return;
  wchar_t path[MAX_PATH] = {};
  if (::SHGetPathFromIDListW(chosen, path) && path[0]) SetControlText(kFolderEdit, path);
  ::CoTaskMemFree(chosen);
}

// Also the Enter key. Both start an installation only from the choose page,
// and not while an earlier start is still being checked: one driver, one
// installation.
void CInstallMainDlg::OnInstallButton() {
  if (choose_page_left_ || starting_) return;
  const bool checked = IsControlChecked(kLicenseCheckBox);
  EnableControl(kInstallButton, checked);
  if (checked)
    BeginInstall();
  else
    ShowMessage(MB_OK, L"invalidagreementlicense");
}

void CInstallMainDlg::BeginInstall() {
  starting_ = true;
  const int started = StartInstall();
  starting_ = false;
  if (!started) return;
  choose_page_left_ = true;
  ShowControl(kChoosePage, false);
  ShowControl(kProgressPage, true);
  ::SetTimer(hwnd(), kProgressTimerId, kProgressTimerMs, nullptr);
  installing_ = true;

  WriteInstallerSettings(IsControlChecked(kPlansCheckBox));
}

// The installer's own settings: whether the plans were accepted. They lie in
// the log's folder, which every user may write to, so the file is written
// only as a new file in a real folder, never through a link planted there.
// The folder exists once the log has been written; it is not created here.
void CInstallMainDlg::WriteInstallerSettings(bool plansAccepted) {
  const std::wstring documents = UtilFunc::GetSpecialFolder(CSIDL_COMMON_DOCUMENTS) + L"\\";
  if (!RealFoldersBelow(documents, L"Orvanta")) return;
  const ScopedHandle file = CreateFreshFile(documents + L"Orvanta\\cop.ini");
  if (!file) return;
  const std::string text = std::string("[config]\r\nenable=") + (plansAccepted ? "1" : "0") + "\r\nversion=4\r\n";
  DWORD written = 0;
  if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size())
    LOG_ERROR << "写入安装设置失败,last error:" << ::GetLastError();
}

int CInstallMainDlg::StartInstall() {
  std::wstring folder = default_mode_ ? default_folder_ : GetControlText(kFolderEdit);
  if (!default_mode_ && !installwin::IsAcceptableCustomFolder(folder)) {
    ShowMessage(MB_OK, L"invalidpath");
    return 0;
  }
  folder = installwin::NormalizeInstallFolder(folder);
  if (!::PathFileExistsW(folder.c_str())) {
    const int error = ::SHCreateDirectory(nullptr, folder.c_str());
    if (error != ERROR_SUCCESS) {
      LOG_ERROR << "SHCreateDirectory失败,last error:" << error;
      ShowMessage(MB_OK, L"invalidpath");
      return 0;
    }
  } else if (!::PathIsDirectoryW(folder.c_str())) {
    // An existing file of that name cannot take the installation.
    ShowMessage(MB_OK, L"invalidpath");
    return 0;
  }

  ULARGE_INTEGER available = {};
  if (::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) &&
      !installwin::HasEnoughSpace(available.QuadPart, required_bytes_)) {
    ShowMessage(MB_OK, L"spacelack");
    return 0;
  }

  LOG_INFO << "判断主程序是否在运行：" << folder;
  if (CheckRunningApp(folder)) return 0;

  install_folder_ = folder;
  if (!driver_) {
    LOG_ERROR << "安装类接口为NULL";
    return 0;
  }
  driver_->SetInstallPath(folder.c_str());
  if (!driver_->StartInstall(0)) {
    LOG_ERROR << "启动安装线程失败";
    return 0;
  }
  return 1;
}

int CInstallMainDlg::CheckRunningApp(const std::wstring& folder) {
  for (;;) {
    const UtilFunc::AppPrograms programs = UtilFunc::AppProgramsIn(
        folder, UtilFunc::ReadInstalledVersion(folder).value, GetString(L"main_exe_name"), GetString(L"render_exe_name"));
    const auto running = [&] { return UtilFunc::IsAppRunning(programs); };
    const auto end_both = [&] { UtilFunc::EndApp(programs); };
    if (!running()) return 0;
    if (ShowMessage(MB_YESNO, L"alreadyrunnotify") != kMsgBoxYes) return 1;
    end_both();
    for (int attempt = 0; attempt < 10; ++attempt) {
      ::Sleep(500);
      if (!running()) return 0;
    }
    end_both();
  }
}

void CInstallMainDlg::OnInstallStage(int stage) {
  stage_ = stage;
  if (stage == kStageFailed) {
    installing_ = false;
    ShowControl(kProgressPage, false);
    ShowControl(kFailedPage, true);
    display_complete_ = true;
    ::KillTimer(hwnd(), kProgressTimerId);
  } else if (stage == kStageFinished) {
    finish_reported_ = true;
    if (display_complete_) {
      SetProgress(100);
      ShowFinishedPage();
    }
  }
}

void CInstallMainDlg::OnProgressTimer() {
  const int next = installwin::NextShownProgress(shown_progress_, stage_);
  if (next != shown_progress_) {
    shown_progress_ = next;
    SetProgress(shown_progress_);
  }
  if (shown_progress_ != 100) return;
  display_complete_ = true;
  ::KillTimer(hwnd(), kProgressTimerId);
  if (finish_reported_) {
    SetProgress(100);
    ShowFinishedPage();
  }
}

void CInstallMainDlg::SetProgress(int percent) {
  char text[16];
  std::snprintf(text, sizeof(text), "%d", percent);
  SetControlAttribute(kProgressBar, "progresspos", text);
}

void CInstallMainDlg::ShowFinishedPage() {
  installing_ = false;
  ShowControl(kProgressPage, false);
  ShowControl(kFinishedPage, true);
  finished_ = true;
}

void CInstallMainDlg::RunApplication() {
  const std::wstring program = install_folder_ + GetString(L"main_exe_name");
  const size_t slash = program.rfind(L'\\');
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : program.substr(0, slash);
  installwin::LaunchAsMediumIntegrity(program, folder);
  PlayWindowAnimation(kAnimateFadeHide);
  EndModal(kInstallDlgDone);
}

void CInstallMainDlg::Retry() {
  // The run started here must not wait for this one: the setup mutex that
  // this thread holds is given up first.
  ReleaseSetupMutexOfThisThread();
  UtilFunc::RunProcess(UtilFunc::GetModulePath(), L"", SW_SHOW, 0);
  EndModal(kInstallDlgDone);
}

void CInstallMainDlg::Close(int result) {
  if (installing_ || starting_) return;
  // The native folder field is a window of its own; it must not stay behind.
  ShowControl(kFolderEdit, false);
  PlayWindowAnimation(kAnimateShrinkFadeHide);
  EndModal(result);
}

int CInstallMainDlg::ShowMessage(UINT type, const wchar_t* textId) {
  return ShowMsgBox(hwnd(), static_cast<int>(type), GetString(L"msgboxtitle"), GetString(textId));
}
