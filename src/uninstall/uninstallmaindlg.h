#pragma once
// The windowed uninstaller: a skinned window over layout 500 that asks for
// confirmation, offers to end a running copy of the application, shows the
// removal's progress and closes. It drives the uninstall driver and turns the
// driver's reports from its worker thread into synchronous window messages.

#include <windows.h>

#include <atomic>
#include <string>

#include "skin/swindow.h"
#include "uninstall/uninstall.h"

// Control ids of layout 500: four pages, one visible at a time.
enum UnInstallControl : int {
  kConfirmPage = 1100,
  kConfirmClose = 1101,
  kConfirmMinimise = 1102,
  kUninstallNow = 1106,
  kUninstallLater = 1107,
  kProgressPage = 1200,
  kProgressMinimise = 1201,
  kProgressBar = 1204,
  kFinishedPage = 1300,
  kFinishedClose = 1301,
  kFinishedCloseButton = 1304,
  kFailedPage = 1400,
  kFailedClose = 1401,
  kFailedRetry = 1404,
};

// Results of the modal run: 1304 after a finished removal (whatever closed
// the window), the close button's id or 1107 (not now) otherwise, 0 when the
// system close command closed the window before any removal.
constexpr int kUnInstallDoneResult = kFinishedCloseButton;

// A driver report handed from the worker thread to the window thread; the
// record lives on the worker's stack for the duration of the send.
constexpr UINT WM_INSTALL_PROGRESS = 0x0401;
struct UnInstallProgressRecord {
  int stage;
  std::wstring text;
};

// The progress timer (id 1) ticks every 20 ms.
constexpr UINT_PTR kProgressTimerId = 1;
constexpr UINT kProgressTimerMs = 20;

// The percent the bar shows after one timer tick: one more while below the
// cap of the last reported stage (1: 40, 2: 90, 3: 100). Before the first
// report, and in any other stage, it stays where it is.
int NextShownProgress(int shown, int stage);

// Forwards the driver's reports to the window with SendMessageW, so the
// worker waits until the window thread has taken each one. It lives as long
// as the driver, to the end of the program: once the window is gone it
// forwards nothing, so a late report never reaches a destroyed controller.
class CUnInstallProgressRelay : public IUnInstallCallBack {
 public:
  void SetWindow(HWND window) { window_.store(window); }
  void OnUnInstallProgress(int stage, const wchar_t* text) override;

 private:
  std::atomic<HWND> window_{nullptr};
};

class CUnInstallMainDlg : public CSWindowImlp<CUnInstallMainDlg> {
 public:
  // Creates the uninstall driver for the install folder that holds this
  // program; driver and relay live until the program ends.
  CUnInstallMainDlg();
  // Drives `driver` (null: the failure page is shown when the removal
  // should start). The driver is not owned and must outlive its removal. A
  // removal that ends with another outcome than removed shows the failure
  // page.
  explicit CUnInstallMainDlg(IUnInstall* driver);
  ~CUnInstallMainDlg() override;

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

  // Non-zero when the application still runs from `folder` and the user
  // does not want it ended: the removal must not start.
  int CheckRunningApp(const std::wstring& folder);

  int GetShownProgress() const { return shown_progress_; }
  bool IsUninstalling() const { return uninstalling_; }
  bool IsFinished() const { return finished_; }

 private:
  void OnInitDialog(HWND hwnd);
  void OnCommand(int id);
  void OnProgressTimer();
  void OnProgressReport(const UnInstallProgressRecord* record);
  bool OnClose(LRESULT& result);
  void OnUninstallNow();
  void SetProgress(int percent);
  void ShowFinishedPage();
  void ShowFailedPage();
  void CloseWith(int animation, int id);

  IUnInstall* driver_ = nullptr;
  CUnInstallProgressRelay* relay_ = nullptr;
  int shown_progress_ = 0;
  int stage_ = 0;
  bool display_complete_ = false;
  bool finish_reported_ = false;
  bool uninstalling_ = false;
  bool finished_ = false;
};
