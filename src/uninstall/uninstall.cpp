#include "uninstall/uninstall.h"

#include <process.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <utility>
#include <vector>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "common/utilfunc.h"
#include "common/wait_limit.h"
#include "libinstall/versionfolder.h"
#include "uninstall/removal_paths.h"

namespace {

constexpr DWORD kWaitLimitMs = 600000;

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
  if (wait && ::WaitForSingleObject(handle, WaitLimitMs(L"ORV_TEST_UNINSTALL_WAIT_MS", kWaitLimitMs)) != WAIT_OBJECT_0)
    ::TerminateThread(handle, 0);
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
  const std::wstring version = uninstall::ReadInstalledVersion(installFolder + uninstall::kSettingsFileName);

  std::wstring installDir = installFolder;
  UtilFunc::RemoveTrailingBackslash(installDir);
  SetupVariables::Set(SetupVariables::kInstDir, installDir);
  SetupVariables::Set(SetupVariables::kVersion, version);
  Report(1);

  const std::wstring ruleFile = installFolder + version + L"\\" + uninstall::kRuleFileName;
  if (rules_.LoadStrategyCfg(ruleFile) == 1) rules_.UnInstall();

  if (!UtilFunc::IsExeRunning(uninstall::kMainExeName)) {
    const std::wstring appData = UtilFunc::GetSpecialFolder(CSIDL_APPDATA);
    if (appData.empty()) {
      LOG_ERROR << "获取AppData目录失败，保留用户数据";
    } else {
      const std::wstring userData = appData + L"\\" + uninstall::kUserDataFolderName + L"\\" + version;
      if (UtilFunc::PassesThroughLink(appData, userData))
        LOG_ERROR << "用户数据目录经过链接，保留用户数据:" << userData;
      else
        DeleteFolder(userData, SnapshotKeepSet());
    }
  }
  Report(2);

  RemoveListedPaths(installFolder, ruleFile);
  Report(3);
}

void CUninstall::RemoveListedPaths(const std::wstring& installFolder, const std::wstring& ruleFile) {
  const KeepSet keep = SnapshotKeepSet();
  std::vector<std::wstring> paths = uninstall::ReadRemovalList(ruleFile, &flagFile_);

  for (const FolderEntry& entry : ListFolder(installFolder)) {
    if (entry.isFolder && IsVersionFolderName(entry.name)) paths.push_back(installFolder + entry.name);
  }

  // The version folder is usually listed twice, by the rule file and by its
  // name. It is removed once: when it stays because of a locked file, a
  // second pass would rename that file's side name again.
  std::vector<std::wstring> removed;
  for (const std::wstring& path : paths) {
    if (!::PathFileExistsW(path.c_str()) || IsKept(path, keep) || !AddOnce(path, &removed)) continue;
    if (UtilFunc::PassesThroughLink(installFolder, path)) {
      LOG_ERROR << "路径经过链接，不删除:" << path;
      continue;
    }
    if (UtilFunc::IsLink(path))
      UtilFunc::RemoveLink(path);
    else if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
      DeleteFolder(path, keep);
    else
      UtilFunc::DeleteFileW(path);
  }
}

void CUninstall::DeleteFolder(std::wstring folder, const KeepSet& keep) {
  UtilFunc::RemoveTrailingBackslash(folder);
  // A link is removed as a link: what it points to lies outside the folder
  // being removed and is not ours to delete.
  if (UtilFunc::IsLink(folder)) {
    UtilFunc::RemoveLink(folder);
    return;
  }
  const std::wstring prefix = folder + L"\\";
  for (const FolderEntry& entry : ListFolder(prefix)) {
    const std::wstring path = prefix + entry.name;
    if (IsKept(path, keep)) continue;
    if (entry.isLink) {
      UtilFunc::RemoveLink(path);
    } else if (entry.isFolder) {
      DeleteFolder(path, keep);
    } else if (UtilFunc::DeleteFileW(path)) {
      Report(2, path);
    }
  }
  ::RemoveDirectoryW(folder.c_str());
}
