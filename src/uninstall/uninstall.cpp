#include "uninstall/uninstall.h"

#include <process.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <utility>
#include <vector>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "common/test_hooks.h"
#include "common/tree_walker.h"
#include "common/utilfunc.h"
#include "common/wait_limit.h"
#include "libinstall/install_switch.h"
#include "libinstall/versionfolder.h"
#include "uninstall/removal_paths.h"

namespace {

constexpr DWORD kWaitLimitMs = 600000;
// Test hook: a removal step number N in this variable ends the process, as a
// kill would, when step N is due.
constexpr wchar_t kKillStepVariable[] = L"ORV_TEST_UNINSTALL_KILL_STEP";
constexpr UINT kKilledExitCode = 99;

// Adds `path` to `seen` unless it names an entry already there (trailing
// backslashes and letter case ignored, as the file system does).
bool AddOnce(std::wstring path, std::vector<std::wstring>* seen) {
  UtilFunc::RemoveTrailingBackslash(path);
  for (const std::wstring& other : *seen) {
    if (::CompareStringOrdinal(other.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL) return false;
  }
  seen->push_back(std::move(path));
  return true;
}

// True when `path` is `holder` or lies below it (letter case ignored).
bool HeldBy(const std::wstring& path, const std::wstring& holder) {
  if (path.size() < holder.size() ||
      ::CompareStringOrdinal(path.c_str(), static_cast<int>(holder.size()), holder.c_str(),
                             static_cast<int>(holder.size()), TRUE) != CSTR_EQUAL)
    return false;
  return path.size() == holder.size() || path[holder.size()] == L'\\';
}

// The application's version folders of `installFolder` (a version-named
// folder whose static configuration names its version), read through its handle.
std::vector<std::wstring> VersionFolders(const std::wstring& installFolder) {
  std::vector<std::wstring> folders;
  tree::Folder folder;
  std::vector<std::wstring> names;
  if (tree::Folder::OpenFollowingLinks(installFolder, &folder) != ERROR_SUCCESS || !folder.List(&names)) {
    LOG_ERROR << "列出安装目录失败:" << installFolder << ",last error:" << ::GetLastError();
    return folders;
  }
  for (const std::wstring& name : names)
    if (IsVersionFolderName(name) && folder.Inspect(name) == tree::EntryKind::kFolder &&
        IsApplicationVersionFolder(folder, name))
      folders.push_back(installFolder + name);
  return folders;
}

}  // namespace

bool CUninstall::IsKept(std::wstring path, const KeepSet& keep) {
  UtilFunc::RemoveTrailingBackslash(path);
  return keep.count(path) != 0;
}

CUninstall::CUninstall() { ::InitializeCriticalSection(&keepSetLock_); }

CUninstall::CUninstall(std::wstring installFolder) : CUninstall() {
  UtilFunc::AppendBackslash(installFolder);
  installFolder_ = std::move(installFolder);
}

CUninstall::~CUninstall() { ::DeleteCriticalSection(&keepSetLock_); }

int CUninstall::SetCallBack(IUnInstallCallBack* callback) {
  callback_ = callback;
  return 1;
}

void CUninstall::AddExcludePath(std::wstring path) {
  UtilFunc::RemoveTrailingBackslash(path);
  ScopedLock lock(keepSetLock_);
  keepSet_.emplace(std::move(path), 1);
}

int CUninstall::StartUnInstall(int wait) {
  const uintptr_t thread = ::_beginthreadex(nullptr, 0, &CUninstall::ThreadMain, this, 0, nullptr);
  if (!thread) return 0;
  const HANDLE handle = reinterpret_cast<HANDLE>(thread);
  const DWORD limit = run_deadline::Bound(WaitLimitMs(L"ORV_TEST_UNINSTALL_WAIT_MS", kWaitLimitMs));
  if (wait && ::WaitForSingleObject(handle, limit) != WAIT_OBJECT_0) {
    // Ending the thread by force could leave a lock it holds (the log's)
    // taken for good, or a file half handled: it stops between two steps.
    LOG_ERROR << "卸载超时，在下一步停止";
    stop_ = true;
    const std::wstring installFolder = installFolder_.empty() ? UtilFunc::GetModuleDir() : installFolder_;
    if (!WaitForStoppedWorker(handle, installFolder + kJournalFileName))
      LOG_ERROR << "卸载线程在宽限时间内没有结束，不再等待";
    outcome_ = UnInstallOutcome::kStopped;
  }
  ::CloseHandle(handle);
  return 1;
}

unsigned __stdcall CUninstall::ThreadMain(void* self) {
  static_cast<CUninstall*>(self)->Run();
  return 0;
}

void CUninstall::Report(int stage, const std::wstring& text) {
  if (callback_) callback_->OnUnInstallProgress(stage, text.c_str());
}

void CUninstall::Finish(UnInstallOutcome outcome) {
  outcome_ = outcome;
  Report(3);
}

bool CUninstall::Proceed() {
  if (stop_) return false;
  if (++steps_ == killAtStep_) ::TerminateProcess(::GetCurrentProcess(), kKilledExitCode);
  return true;
}

CUninstall::KeepSet CUninstall::SnapshotKeepSet() {
  ScopedLock lock(keepSetLock_);
  return keepSet_;
}

void CUninstall::Run() {
  const std::wstring installFolder = installFolder_.empty() ? UtilFunc::GetModuleDir() : installFolder_;
  if (installFolder.empty()) {
    // Without its own folder every relative path would land in the current
    // folder: remove nothing.
    LOG_ERROR << "获取卸载目录失败，不执行卸载,last error:" << ::GetLastError();
    Finish(UnInstallOutcome::kFailed);
    return;
  }
  killAtStep_ = test_hooks::Number(kKillStepVariable);
  // An update killed half-way is undone (or finished) first, so that the
  // installation removed is a whole one.
  const SwitchRecovery recovery = FinishInterruptedSwitch(installFolder);
  if (!MayChangeInstallFolder(recovery)) {
    LOG_ERROR << "未完成的安装切换无法撤销，不执行卸载";
    Finish(UnInstallOutcome::kFailed);
    return;
  }
  if (recovery == SwitchRecovery::kIncomplete) LOG_INFO << "原安装无法完全恢复，卸载现有文件";
  // What a killed installer wrote before its switch is ours too.
  tree::DeleteBelow(installFolder, installFolder + kExtractionFolderName, {});
  const UtilFunc::InstalledVersion installed = UtilFunc::ReadInstalledVersion(installFolder);
  const std::wstring& version = installed.value;

  std::wstring installDir = installFolder;
  UtilFunc::RemoveTrailingBackslash(installDir);
  SetupVariables::Set(SetupVariables::kInstDir, installDir);
  SetupVariables::Set(SetupVariables::kVersion, version);
  Report(1);

  const std::wstring ruleFile = installFolder + (version.empty() ? L"" : version + L"\\") + uninstall::kRuleFileName;
  if (rules_.LoadStrategyCfg(ruleFile) == 1) {
    for (const auto& rule : rules_.Strategies()) {
      if (!Proceed()) return;
      rule->UnInstall();
    }
  }

  if (!Proceed()) return;
  if (!UtilFunc::IsExeRunning(uninstall::kMainExeName)) {
    const std::wstring appData = UtilFunc::GetSpecialFolder(CSIDL_APPDATA);
    if (appData.empty()) {
      LOG_ERROR << "获取AppData目录失败，保留用户数据";
    } else if (installed.Doubtful()) {
      // Only a settings file without a version names the whole data folder:
      // one whose version cannot be read or is refused names no data at all.
      LOG_INFO << "版本号无法确定，保留用户数据:" << appData + L"\\" + uninstall::kUserDataFolderName;
    } else {
      const std::wstring userData = appData + L"\\" + uninstall::kUserDataFolderName + L"\\" + version;
      if (tree::DeleteBelow(appData, userData, RemovalOptions(SnapshotKeepSet())).throughLink)
        LOG_ERROR << "用户数据目录经过链接，保留用户数据:" << userData;
    }
  }
  Report(2);

  const bool removed = RemoveListedPaths(installFolder, ruleFile);
  if (!stop_) Finish(removed ? UnInstallOutcome::kRemoved : UnInstallOutcome::kFailed);
}

bool CUninstall::RemoveListedPaths(const std::wstring& installFolder, const std::wstring& ruleFile) {
  const KeepSet keep = SnapshotKeepSet();
  std::vector<std::wstring> paths;
  for (const std::wstring& entry : uninstall::ReadRemovalList(ruleFile, &flagFile_))
    if (auto path = uninstall::ResolveListedPath(installFolder, entry)) paths.push_back(std::move(*path));
  for (std::wstring& folder : VersionFolders(installFolder)) paths.push_back(std::move(folder));
  paths.push_back(installFolder + kUserEntriesFileName);

  // The rule file and the settings file that names its folder are what a
  // second run needs to finish a removal cut short: they are kept until
  // everything else is gone, then removed, the rule file first. A run killed
  // before that point finds both and removes what is left; one killed
  // between the two finds the settings file without its rule file, and the
  // settings file is then what is left of the removal.
  const std::wstring settingsFile = installFolder + UtilFunc::kSettingsFileName;
  const bool ruleFileGone = !::PathFileExistsW(ruleFile.c_str());
  struct Input {
    std::wstring file;
    std::wstring holder;  // the listed path that holds it; empty: not listed
  } inputs[] = {{ruleFile, {}}, {settingsFile, ruleFileGone ? settingsFile : std::wstring()}};
  KeepSet keepInputs = keep;
  for (Input& input : inputs) {
    keepInputs.emplace(input.file, 1);
    for (const std::wstring& path : paths)
      if (input.holder.empty() && !IsKept(path, keep) && HeldBy(input.file, path)) input.holder = path;
  }

  // The version folder is usually listed twice, by the rule file and by its
  // name. It is removed once: when it stays because of a locked file, a
  // second pass would rename that file's side name again.
  bool removedAll = true;
  std::vector<std::wstring> removed;
  for (const std::wstring& path : paths) {
    removedAll = RemoveEntry(installFolder, path, keepInputs, &removed) && removedAll;
    if (stop_) return false;
  }

  for (const Input& input : inputs) {
    if (input.holder.empty() || !::PathFileExistsW(input.file.c_str())) continue;
    if (!Proceed()) return false;
    // Reported like every file deleted inside a listed folder.
    const tree::Outcome outcome = tree::DeleteBelow(installFolder, input.file);
    if (outcome.ok() && input.holder != input.file) Report(2, input.file);
    if (outcome.failed != 0) removedAll = false;
    std::wstring folder = input.file, name;
    while (UtilFunc::SplitPath(folder, &folder, &name) && folder.size() >= input.holder.size() &&
           !UtilFunc::IsDriveRoot(folder))
      ::RemoveDirectoryW(folder.c_str());
  }
  if (!removedAll) LOG_ERROR << "卸载未完成，有文件无法删除";
  return removedAll;
}

bool CUninstall::RemoveEntry(const std::wstring& installFolder, const std::wstring& path, const KeepSet& keep,
                             std::vector<std::wstring>* removed) {
  if (!::PathFileExistsW(path.c_str()) || IsKept(path, keep) || !AddOnce(path, removed)) return true;
  if (!Proceed()) return false;
  // A folder tree (each file reported), a listed file, or a link as a link.
  // What a link leads to was never the application's: leaving it is no
  // failure of the removal.
  const bool folder = ::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY;
  const tree::Outcome outcome =
      tree::DeleteBelow(installFolder, path, RemovalOptions(folder ? keep : KeepSet(), folder));
  if (outcome.throughLink) LOG_ERROR << "路径经过链接，不删除:" << path;
  return outcome.failed == 0;
}

tree::DeleteOptions CUninstall::RemovalOptions(const KeepSet& keep, bool reportFiles) {
  tree::DeleteOptions options;
  options.keep = [keep](const std::wstring& entry) { return IsKept(entry, keep); };
  if (reportFiles) options.onFileDeleted = [this](const std::wstring& file) { Report(2, file); };
  options.stop = &stop_;
  return options;
}
