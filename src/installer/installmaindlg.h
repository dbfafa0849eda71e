#pragma once
// The installer's skinned main window: the user chooses the install folder
// and accepts the agreements, follows the progress, and finally starts the
// application or restarts the installer. The window owns the install driver
// and receives the driver's reports, which arrive on the driver's threads,
// as synchronous window messages.
//
//   CInstallMainDlg dialog;
//   dialog.DoModal();

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/scoped_handle.h"
#include "libinstall/install.h"
#include "skin/swindow.h"

// The driver's reports on the window thread.
constexpr UINT WM_INSTALL_PROGRESS = 0x0401;  // wParam stage, lParam percent (unused)
constexpr UINT WM_PACKAGE_SIZE = 0x0402;      // wParam package size in bytes

// Control ids of the main window layout (500).
enum InstallMainControl : int {
  kChoosePage = 1100,
  kChooseCloseButton = 1101,
  kChooseMinimizeButton = 1102,
  kInstallButton = 1105,
  kCustomModeLink = 1106,
  kCustomModeArrow = 1107,
  kDefaultModeLink = 1108,
  kDefaultModeArrow = 1109,
  kFolderLabel = 1111,
  kFolderEdit = 1112,
  kBrowseButton = 1113,
  kLicenseCheckBox = 1121,
  kLicenseLink = 1122,
  kPlansCheckBox = 1123,
  kCloudPlanLink = 1124,
  kExpPlanLink = 1125,
  kProgressPage = 1200,
  kProgressMinimizeButton = 1201,
  kProgressBar = 1204,
  kFinishedPage = 1300,
  kFinishedCloseButton = 1301,
  kRunButton = 1302,
  kFailedPage = 1400,
  kFailedCloseButton = 1401,
  kRetryButton = 1402,
};

// Modal results besides the close buttons' ids.
constexpr int kInstallDlgDone = 1;        // application started, or installer restarted
constexpr int kInstallDlgWindowClose = 6;  // WM_CLOSE on a page that may close

namespace installwin {

// Percent of a stage report: trunc(current / total x 100), 0 without a total.
int ReportPercent(int total, int current);

// The shown progress after one tick of the progress timer in `stage`: one
// more while below the stage's cap (0: 40, 1: 80, 2: 95, 3: 100); other
// stages leave it unchanged.
int NextShownProgress(int shown, int stage);

// A folder typed in custom mode is tried only when it is not empty and holds
// no "'".
bool IsAcceptableCustomFolder(const std::wstring& text);

// Trailing backslashes removed, drive letter upper-cased, one backslash
// appended: "d:\apps\\" becomes "D:\apps\".
std::wstring NormalizeInstallFolder(std::wstring folder);

// The folder a registry value "Path" of App Paths names, with every double
// quote removed; empty unless the data is a string (REG_SZ or REG_EXPAND_SZ)
// of even size ending in a NUL.
std::wstring AppPathsFolderFromValue(DWORD type, const BYTE* data, DWORD size);

// The package fits when the bytes available are more than it needs.
bool HasEnoughSpace(uint64_t available, uint64_t required);

// The folder offered at start: the existing folder that App Paths of the
// application registers ("Path", as written), else program files +
// app_dir_name + "\".
std::wstring DefaultInstallFolder();

// The integrity label that lowers a token to medium integrity: the
// mandatory-label SID S-1-16-8192 with the integrity attribute.
class MediumIntegrityLabel {
 public:
  MediumIntegrityLabel();
  ~MediumIntegrityLabel();
  MediumIntegrityLabel(const MediumIntegrityLabel&) = delete;
  MediumIntegrityLabel& operator=(const MediumIntegrityLabel&) = delete;

  bool ok() const { return sid_ != nullptr; }
  const TOKEN_MANDATORY_LABEL& label() const { return label_; }
  // The size SetTokenInformation takes: the record and its SID.
  DWORD size() const;

 private:
  PSID sid_ = nullptr;
  TOKEN_MANDATORY_LABEL label_ = {};
};

// A primary token like this process's, given the medium integrity label:
// the token the application is started with. False when it could not be
// made.
bool MediumIntegrityToken(ScopedHandle& token);

// Starts `program` in `folder` with a copy of this process's token lowered to
// medium integrity (on systems before Vista simply through the shell). True
// when the process was created.
bool LaunchAsMediumIntegrity(const std::wstring& program, const std::wstring& folder);

}  // namespace installwin

class CInstallMainDlg : public CSWindowImlp<CInstallMainDlg>, private IInstallCallBack {
 public:
  CInstallMainDlg();
  // The window is gone by now; the driver is released, which waits for its
  // threads.
  ~CInstallMainDlg() override;
  CInstallMainDlg(const CInstallMainDlg&) = delete;
  CInstallMainDlg& operator=(const CInstallMainDlg&) = delete;

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

 private:
  // IInstallCallBack, called on the driver's threads.
  void OnInstallProgress(int stage, int total, int current) override;
  void OnPackageSize(unsigned size) override;

  void OnCreate(HWND hwnd);
  void OnInitDialog(HWND hwnd);
  void OnDestroy();
  void OnCommand(int id);
  void OnInstallStage(int stage);
  void OnProgressTimer();

  void SelectMode(bool defaultMode);
  void BrowseForFolder();
  // The install button and the Enter key.
  void OnInstallButton();
  void BeginInstall();
  int StartInstall();
  void WriteInstallerSettings(bool plansAccepted);
  int CheckRunningApp(const std::wstring& folder);
  void SetProgress(int percent);
  void ShowFinishedPage();
  void RunApplication();
  void Retry();
  void Close(int result);
  int ShowMessage(UINT type, const wchar_t* textId);

  IInstall* driver_;
  // The window the reports go to; null once it is destroyed, so that late
  // reports of the driver's threads return at once.
  std::atomic<HWND> report_window_{nullptr};
  std::atomic<int> last_reported_stage_{-1};  // the stage of the last report sent to the window
  bool default_mode_ = true;
  int stage_ = 0;
  int shown_progress_ = 0;
  bool display_complete_ = false;
  bool finish_reported_ = false;
  bool installing_ = false;
  bool finished_ = false;
  // The choose page was left: the install button, and Enter, start nothing.
  bool choose_page_left_ = false;
  // A start is being checked (message boxes, the running application): a
  // second Enter meanwhile starts nothing.
  bool starting_ = false;
  uint32_t required_bytes_ = 0;
  std::wstring default_folder_;
  std::wstring install_folder_;
};
