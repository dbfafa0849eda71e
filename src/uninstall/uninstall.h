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
//   3, ""        the worker has finished
class IUnInstallCallBack {
 public:
  virtual void OnUnInstallProgress(int stage, const wchar_t* text) = 0;

 protected:
  ~IUnInstallCallBack() = default;
};

class IUnInstall {
 public:
  // Stores the receiver of progress reports (null allowed); returns 1.
  virtual int SetCallBack(IUnInstallCallBack* callback) = 0;
  // Protects `path` (trailing backslashes ignored) from deletion.
  virtual void AddExcludePath(std::wstring path) = 0;
  // Starts the removal on a worker thread; 0 when the thread cannot be
  // created. With `wait` non-zero, blocks until the worker ends; after
  // 10 minutes the worker is told to stop, and it ends at its next step (a
  // rule that waits for a program still finishes that wait).
  virtual int StartUnInstall(int wait) = 0;
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
  KeepSet SnapshotKeepSet();
  // False once the removal is to stop; counts the step for the test hook.
  bool Proceed();
  void RemoveListedPaths(const std::wstring& installFolder, const std::wstring& ruleFile);
  void RemoveEntry(const std::wstring& installFolder, const std::wstring& path, const KeepSet& keep,
                   std::vector<std::wstring>* removed);
  // Deletes `path` below `base` through the tree walker, keeping `keep`;
  // nothing when a folder between them is a link.
  tree::Outcome DeleteBelow(const std::wstring& base, const std::wstring& path, const KeepSet& keep,
                            bool reportFiles = true);

  IUnInstallCallBack* callback_ = nullptr;
  CInstallStrategy rules_{SetupSection::kUninstall};
  KeepSet keepSet_;
  CRITICAL_SECTION keepSetLock_;
  std::wstring flagFile_;
  std::wstring installFolder_;  // empty: the running program's folder
  std::atomic<bool> stop_{false};
  DWORD steps_ = 0;
  DWORD killAtStep_ = 0;  // test hook: 0 never
};
