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

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (valid()) ::FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

bool IsDotEntry(const wchar_t* name) { return !wcscmp(name, L".") || !wcscmp(name, L".."); }

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

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

struct FolderEntry {
  std::wstring name;
  bool isFolder;
  bool isLink;  // a junction, symbolic link or other reparse point
};

// The entries of `folder` (ending in a backslash) other than "." and "..".
// Listed before anything is changed: a locked file renamed to its side name
// could otherwise show up again under that name and be renamed and reported
// once more.
std::vector<FolderEntry> ListFolder(const std::wstring& folder) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAW data = {};
  FindHandle find(::FindFirstFileW((folder + L"*").c_str(), &data));
  if (!find.valid()) return entries;
  do {
    if (!IsDotEntry(data.cFileName))
      entries.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                         (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (::FindNextFileW(find.get(), &data));
  return entries;
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
  if (wait && ::WaitForSingleObject(handle, WaitLimitMs(L"ORV_TEST_UNINSTALL_WAIT_MS", kWaitLimitMs)) != WAIT_OBJECT_0) {
    // Ending the thread by force could leave a lock it holds (the log's)
    // taken for good, or a file half handled: it stops between two steps.
    LOG_ERROR << "卸载超时，在下一步停止";
    stop_ = true;
    ::WaitForSingleObject(handle, INFINITE);
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
    Report(3);
    return;
  }
  killAtStep_ = test_hooks::Number(kKillStepVariable);
  // An update killed half-way is undone (or finished) first, so that the
  // installation removed is a whole one.
  if (!FinishInterruptedSwitch(installFolder)) {
    LOG_ERROR << "未完成的安装切换无法撤销，不执行卸载";
    Report(3);
    return;
  }
  // What a killed installer wrote before its switch is ours too.
  tree::DeleteBelow(installFolder, installFolder + kExtractionFolderName, {});
  const std::wstring version = uninstall::ReadInstalledVersion(installFolder + uninstall::kSettingsFileName);

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
    } else {
      const std::wstring userData = appData + L"\\" + uninstall::kUserDataFolderName + L"\\" + version;
      if (DeleteBelow(appData, userData, SnapshotKeepSet()).throughLink)
        LOG_ERROR << "用户数据目录经过链接，保留用户数据:" << userData;
    }
  }
  Report(2);

  RemoveListedPaths(installFolder, ruleFile);
  if (!stop_) Report(3);
}

void CUninstall::RemoveListedPaths(const std::wstring& installFolder, const std::wstring& ruleFile) {
  const KeepSet keep = SnapshotKeepSet();
  std::vector<std::wstring> paths;
  for (const std::wstring& entry : uninstall::ReadRemovalList(ruleFile, &flagFile_))
    if (auto path = uninstall::ResolveListedPath(installFolder, entry)) paths.push_back(std::move(*path));

  for (const FolderEntry& entry : ListFolder(installFolder)) {
    if (entry.isFolder && IsVersionFolderName(entry.name) && IsApplicationVersionFolder(installFolder, entry.name))
      paths.push_back(installFolder + entry.name);
  }
  paths.push_back(installFolder + kUserEntriesFileName);

  // The rule file and the settings file that names its folder are what a
  // second run needs to finish a removal cut short: they are kept until
  // everything else is gone, then removed, the rule file first. A run killed
  // before that point finds both and removes what is left.
  const std::wstring settingsFile = installFolder + uninstall::kSettingsFileName;
  struct Input {
    std::wstring file;
    std::wstring holder;  // the listed path that holds it; empty: not listed
  } inputs[] = {{ruleFile, {}}, {settingsFile, {}}};
  KeepSet keepInputs = keep;
  for (Input& input : inputs) {
    keepInputs.emplace(input.file, 1);
    for (const std::wstring& path : paths)
      if (input.holder.empty() && !IsKept(path, keep) && HeldBy(input.file, path)) input.holder = path;
  }

  // The version folder is usually listed twice, by the rule file and by its
  // name. It is removed once: when it stays because of a locked file, a
  // second pass would rename that file's side name again.
  std::vector<std::wstring> removed;
  for (const std::wstring& path : paths) {
    RemoveEntry(installFolder, path, keepInputs, &removed);
    if (stop_) return;
  }

  for (const Input& input : inputs) {
    if (input.holder.empty() || !::PathFileExistsW(input.file.c_str())) continue;
    if (!Proceed()) return;
    // Reported like every file deleted inside a listed folder.
    if (tree::DeleteBelow(installFolder, input.file).ok() && input.holder != input.file) Report(2, input.file);
    for (std::wstring folder = ParentOf(input.file); folder.size() >= input.holder.size(); folder = ParentOf(folder))
      ::RemoveDirectoryW(folder.c_str());
  }
}

void CUninstall::RemoveEntry(const std::wstring& installFolder, const std::wstring& path, const KeepSet& keep,
                             std::vector<std::wstring>* removed) {
  if (!::PathFileExistsW(path.c_str()) || IsKept(path, keep) || !AddOnce(path, removed)) return;
  if (!Proceed()) return;
  // A folder tree (each file reported), a listed file, or a link as a link.
  const bool folder = ::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY;
  if (DeleteBelow(installFolder, path, folder ? keep : KeepSet(), folder).throughLink)
    LOG_ERROR << "路径经过链接，不删除:" << path;
}

tree::Outcome CUninstall::DeleteBelow(const std::wstring& base, const std::wstring& path, const KeepSet& keep,
                                      bool reportFiles) {
  tree::DeleteOptions options;
  options.keep = [&keep](const std::wstring& entry) { return IsKept(entry, keep); };
  if (reportFiles) options.onFileDeleted = [this](const std::wstring& file) { Report(2, file); };
  options.stop = &stop_;
  return tree::DeleteBelow(base, path, options);
}
