#pragma once
// The uninstall driver: removes an installed copy of the application on a
// worker thread of its own and reports its stages to an optional callback.

#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "common/tree_walker.h"
#include "libinstall/installstrategy.h"

// Receives the driver's reports on the driver's worker thread. `text` is valid
// only during the call.
//   1, ""        the worker has started and set the setup variables
//   2, path      a file inside a folder being removed was deleted
//   2, ""        rules and per-user data are done; the removal list is next
//   3, ""        the worker has finished; the outcome is set
class IUnInstallCallBack {
 public:
  virtual void OnUnInstallProgress(int stage, const wchar_t* text) = 0;

 protected:
  ~IUnInstallCallBack() = default;
};

// How a removal ended.
enum class UnInstallOutcome {
  kPending,  // not ended yet
  kRemoved,  // the application is gone (files in use go at the next restart)
  kFailed,   // refused (the installation was not in a state to remove) or something stayed; logged
  kStopped,  // stopped at the time limit
};

class IUnInstall {
 public:
  // Stores the receiver of progress reports (null allowed); returns 1.
  virtual int SetCallBack(IUnInstallCallBack* callback) = 0;
  // Protects `path` (trailing backslashes ignored) from deletion.
  virtual void AddExcludePath(std::wstring path) = 0;
  // Starts the removal on a worker thread; 0 when the thread cannot be
  // created. With `wait` non-zero, blocks until the worker ends; after
  // 10 minutes (or what is left of the silent run's limit) the worker is
  // told to stop, and it ends at its next step; it is waited for a grace of
  // 30 seconds more, then left (a rule helper is waited for within the limit
  // only).
  virtual int StartUnInstall(int wait) = 0;
  // How the removal ended; kPending until the worker reported stage 3 or
  // the wait above ended.
  virtual UnInstallOutcome GetOutcome() const = 0;
  virtual ~IUnInstall() = default;
};

class CUninstall : public IUnInstall {
 public:
  // Removes the installation in the folder that holds the running program.
  CUninstall();
  // Removes the installation in `installFolder` (a folder path with or
  // without trailing backslash); used where the caller is not the uninstaller
  // placed in that folder.
  explicit CUninstall(std::wstring installFolder);
  ~CUninstall() override;
  CUninstall(const CUninstall&) = delete;
  CUninstall& operator=(const CUninstall&) = delete;

  int SetCallBack(IUnInstallCallBack* callback) override;
  void AddExcludePath(std::wstring path) override;
  int StartUnInstall(int wait) override;
  UnInstallOutcome GetOutcome() const override { return outcome_.load(); }

  // The `file` attribute of the rule file's `uninstallflag` element, once the
  // removal list has been read; nothing uses it.
  const std::wstring& FlagFile() const { return flagFile_; }

 private:
  // Paths name files of a file system that ignores letter case: so does
  // the keep set, or a differently written path would not protect its file.
  struct PathLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
      return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    }
  };
  using KeepSet = std::map<std::wstring, int, PathLess>;

  // True when `path` (trailing backslashes ignored) is in `keep`.
  static bool IsKept(std::wstring path, const KeepSet& keep);
  static unsigned __stdcall ThreadMain(void* self);
  void Run();
  void Report(int stage, const std::wstring& text = std::wstring());
  // Sets the outcome and reports stage 3.
  void Finish(UnInstallOutcome outcome);
  KeepSet SnapshotKeepSet();
  // False once the removal is to stop; counts the step for the test hook.
  bool Proceed();
  // False when something listed stayed (logged).
  bool RemoveListedPaths(const std::wstring& installFolder, const std::wstring& ruleFile);
  bool RemoveEntry(const std::wstring& installFolder, const std::wstring& path, const KeepSet& keep,
                   std::vector<std::wstring>* removed);
  // The tree walker's options for a removal: `keep` stays, and each file
  // deleted is reported when `reportFiles` is set; the walk ends at a stop.
  tree::DeleteOptions RemovalOptions(const KeepSet& keep, bool reportFiles = true);

  IUnInstallCallBack* callback_ = nullptr;
  CInstallStrategy rules_{SetupSection::kUninstall};
  KeepSet keepSet_;
  CRITICAL_SECTION keepSetLock_;
  std::wstring flagFile_;
  std::wstring installFolder_;  // empty: the running program's folder
  std::atomic<bool> stop_{false};
  std::atomic<UnInstallOutcome> outcome_{UnInstallOutcome::kPending};
  DWORD steps_ = 0;
  DWORD killAtStep_ = 0;  // test hook: 0 never
};
