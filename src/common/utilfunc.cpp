#include "common/utilfunc.h"

#include <psapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <vector>

#include "common/logging.h"
#include "common/scoped_handle.h"

namespace UtilFunc {
namespace {

constexpr int kMoveAttempts = 5;
constexpr DWORD kMoveRetryDelayMs = 1000;
constexpr int kCopyAttempts = 5;
constexpr DWORD kCopyRetryDelayMs = 500;
constexpr DWORD kImagePathChars = 1024;
constexpr DWORD kInitialProcessSlots = 1024;

// A directory listing; closed before the listed folder is removed.
class FolderListing {
 public:
  explicit FolderListing(const std::wstring& folderWithBackslash) {
    find_ = ::FindFirstFileW((folderWithBackslash + L"*").c_str(), &entry_);
  }
  ~FolderListing() { Close(); }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  bool started() const { return find_ != INVALID_HANDLE_VALUE; }
  const WIN32_FIND_DATAW& entry() const { return entry_; }
  bool Next() { return ::FindNextFileW(find_, &entry_) != FALSE; }
  void Close() {
    if (find_ != INVALID_HANDLE_VALUE) ::FindClose(find_);
    find_ = INVALID_HANDLE_VALUE;
  }
  bool IsDotEntry() const {
    return std::wcscmp(entry_.cFileName, L".") == 0 || std::wcscmp(entry_.cFileName, L"..") == 0;
  }
  bool IsFolder() const { return (entry_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A junction, symbolic link or other reparse point: its target belongs to someone else.
  bool IsLink() const { return (entry_.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

 private:
  WIN32_FIND_DATAW entry_ = {};
  HANDLE find_ = INVALID_HANDLE_VALUE;
};

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// An empty path would list the current drive's root, as would a root itself:
// the tree operations refuse both.
bool IsDriveWide(const std::wstring& folderWithBackslash) {
  return folderWithBackslash.size() <= 1 || ::PathIsRootW(folderWithBackslash.c_str());
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Every process id, however many there are.
bool EnumerateProcessIds(std::vector<DWORD>& ids) {
  ids.assign(kInitialProcessSlots, 0);
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
    DWORD filled = 0;
    if (!::EnumProcesses(ids.data(), capacity, &filled)) return false;
    if (filled < capacity) {
      ids.resize(filled / sizeof(DWORD));
      return true;
    }
    ids.assign(ids.size() * 2, 0);
  }
}

std::wstring MainImagePath(HANDLE process) {
  wchar_t path[kImagePathChars] = {};
  const DWORD length = ::GetModuleFileNameExW(process, nullptr, path, kImagePathChars);
  return std::wstring(path, length);
}

enum class ScanLog { kFailures, kNothing };

// Opens every process with full access and hands it with its image path to
// `visit`, which returns true to end the scan. Returns true when the scan was
// ended by `visit`.
template <typename Visit>
bool ScanProcesses(ScanLog log, Visit visit) {
  std::vector<DWORD> ids;
  if (!EnumerateProcessIds(ids)) {
    if (log == ScanLog::kFailures) LOG_ERROR << "EnumProcesses fail, last error:" << ::GetLastError();
    return false;
  }
  for (DWORD id : ids) {
    ScopedHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, id));
    if (!process) {
      if (log == ScanLog::kFailures) LOG_ERROR << "OpenProcess fail, last error:" << ::GetLastError();
      continue;
    }
    const std::wstring image = MainImagePath(process.get());
    if (!image.empty() && visit(process.get(), image)) return true;
  }
  return false;
}

// Moves one file, retrying, then copies it over the destination, retrying.
bool MoveOrCopyFile(const std::wstring& from, const std::wstring& to) {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    if (::MoveFileW(from.c_str(), to.c_str())) return true;
    const DWORD error = ::GetLastError();
    ::Sleep(kMoveRetryDelayMs);
    LOG_ERROR << "MoveFile失败,last error:" << error;
  }
  LOG_ERROR << "移动文件重试5次后仍失败，改用copyfile:" << from;
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    const DWORD error = ::GetLastError();
    ::Sleep(kCopyRetryDelayMs);
    LOG_ERROR << "CopyFile失败,last error:" << error;
  }
  return false;
}

}  // namespace

int RunProcess(const std::wstring& path, const std::wstring& params, int show, unsigned waitMilliseconds,
               DWORD* exitCode) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(show ? SW_SHOWDEFAULT : SW_HIDE);
  std::wstring commandLine = L"\"" + path + L"\" " + params;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
    return 0;
  ScopedHandle processHandle(process.hProcess);
  ScopedHandle threadHandle(process.hThread);
  if (waitMilliseconds != 0 && ::WaitForSingleObject(process.hProcess, waitMilliseconds) == WAIT_OBJECT_0 &&
      exitCode) {
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) *exitCode = code;
  }
  return 1;
}

int IsPathFileRunning(const std::wstring& imagePath) {
  if (imagePath.empty()) return 0;
  return ScanProcesses(ScanLog::kFailures,
                       [&](HANDLE, const std::wstring& image) { return EqualIgnoringCase(image, imagePath); });
}

int IsExeRunning(const std::wstring& exeName) {
  return ScanProcesses(ScanLog::kFailures, [&](HANDLE, const std::wstring& image) {
    const std::wstring name = GetFileName(image);
    return !name.empty() && EqualIgnoringCase(name, exeName);
  });
}

void KillPathFileProcess(const std::wstring& imagePath) {
  ScanProcesses(ScanLog::kNothing, [&](HANDLE process, const std::wstring& image) {
    if (EqualIgnoringCase(image, imagePath)) ::TerminateProcess(process, 0);
    return false;
  });
}

int DeleteFileW(const std::wstring& path) {
  if (path.empty()) {
    LOG_INFO << "删除文件失败，path:" << path;
    return 0;
  }
  const std::wstring sideName = path + L".tmp";
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (const BOOL deleted = ::DeleteFileW(path.c_str())) return deleted;
  LOG_INFO << "删除文件失败，path:" << path;
  if (Exists(sideName) && !::DeleteFileW(sideName.c_str())) {
    LOG_INFO << "删除老的tmp文件失败，path:" << sideName;
    return 0;
  }
  if (!::MoveFileW(path.c_str(), sideName.c_str())) {
    LOG_INFO << "移动文件失败:" << path << "到" << sideName;
    return 0;
  }
  LOG_INFO << "重启后删除文件，path:" << sideName;
  return ::MoveFileExW(sideName.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

int IsLink(const std::wstring& path) {
  // With a trailing backslash the name reads as the link's target.
  std::wstring entry = path;
  RemoveTrailingBackslash(entry);
  const DWORD attributes = ::GetFileAttributesW(entry.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int PassesThroughLink(const std::wstring& base, const std::wstring& path) {
  std::wstring folder = base;
  AppendBackslash(folder);
  if (path.size() <= folder.size() || !EqualIgnoringCase(path.substr(0, folder.size()), folder)) return 0;
  for (size_t end = path.find(L'\\', folder.size()); end != std::wstring::npos; end = path.find(L'\\', end + 1))
    if (end + 1 < path.size() && IsLink(path.substr(0, end))) return 1;
  return 0;
}

int RemoveLink(const std::wstring& path) {
  std::wstring link = path;
  RemoveTrailingBackslash(link);
  // The link is checked and deleted through one handle, so that both concern
  // the same object: a handle that turns out to reach the target instead
  // deletes nothing.
  ScopedHandle handle(::CreateFileW(link.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) {
    LOG_ERROR << "打开链接失败:" << link << ",last error:" << ::GetLastError();
    return 0;
  }
  FILE_BASIC_INFO basic = {};
  if (!::GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic) ||
      !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    LOG_ERROR << "无法只删除链接本身，保留链接:" << link;
    return 0;
  }
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    ::SetFileInformationByHandle(handle.get(), FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (!::SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
    LOG_ERROR << "删除链接失败:" << link << ",last error:" << ::GetLastError();
    return 0;
  }
  return 1;
}

int DeleteFolder(const std::wstring& folder, int removeFolder) {
  std::wstring root = folder;
  AppendBackslash(root);
  if (IsDriveWide(root)) {
    LOG_ERROR << "拒绝删除整个磁盘:" << folder;
    return 0;
  }
  if (IsLink(folder)) {
    if (removeFolder) return RemoveLink(folder);
    LOG_INFO << "目录是链接，不清空其指向的内容:" << folder;
    return 0;
  }
  int result = 0;
  FolderListing listing(root);
  if (listing.started()) {
    result = 1;
    do {
      if (listing.IsDotEntry()) continue;
      const std::wstring child = root + listing.entry().cFileName;
      if (listing.IsLink()) {
        // Not part of the tree: the link goes, what it points to stays.
        RemoveLink(child);
      } else if (listing.IsFolder()) {
        DeleteFolder(child, removeFolder);
      } else {
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child);
      }
    } while (listing.Next());
  }
  listing.Close();
  if (removeFolder) {
    result = ::RemoveDirectoryW(root.c_str());
    if (!result) LOG_ERROR << "RemoveDirectory失败,last error:" << ::GetLastError();
  }
  return result;
}

int MoveFolder(const std::wstring& source, const std::wstring& destination, int skipFailedFiles) {
  std::wstring from = source;
  std::wstring to = destination;
  AppendBackslash(from);
  AppendBackslash(to);
  if (IsDriveWide(from) || destination.empty()) {
    LOG_ERROR << "拒绝移动整个磁盘:" << source << "到" << destination;
    return 0;
  }
  if (IsLink(source)) {
    LOG_ERROR << "源目录是链接，不移动其指向的内容:" << source;
    return 0;
  }
  // Whatever is moved into a link would land in the link's target.
  if (IsLink(destination) && !RemoveLink(destination)) {
    LOG_ERROR << "目标目录是链接，不移动:" << source << "到" << destination;
    return 0;
  }
  if (!Exists(destination) && !::CreateDirectoryW(destination.c_str(), nullptr))
    LOG_ERROR << "CreateDirectory失败,last error:" << ::GetLastError();

  FolderListing listing(from);
  if (!listing.started()) return 0;
  do {
    if (listing.IsDotEntry()) continue;
    const std::wstring name = listing.entry().cFileName;
    if (listing.IsLink()) {
      // Its target is not part of the tree: neither the link nor what it
      // points to moves, and the source folder stays with it.
      LOG_INFO << "跳过链接，不移动:" << from + name;
      continue;
    }
    // Anything placed at a link would land in the link's target.
    const bool placeable = !IsLink(to + name) || RemoveLink(to + name);
    if (listing.IsFolder()) {
      if (placeable) MoveFolder(from + name, to + name, 0);
    } else if (!placeable) {
      if (!skipFailedFiles) return 0;
    } else if (!MoveOrCopyFile(from + name, to + name) && !skipFailedFiles) {
      LOG_ERROR << "copyfile重试5次后仍失败：" << from + name;
      return 0;
    }
  } while (listing.Next());
  listing.Close();
  if (!::RemoveDirectoryW(from.c_str())) LOG_ERROR << "RemoveDirectory失败,last error:" << ::GetLastError();
  return 1;
}

void AppendBackslash(std::wstring& path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
}

void RemoveTrailingBackslash(std::wstring& path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
}

void UpperDriveLetter(std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') path[0] = static_cast<wchar_t>(::towupper(path[0]));
}

std::wstring GetSpecialFolder(int csidl) {
  wchar_t folder[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE)) return {};
  return folder;
}

std::wstring GetModulePath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(path, length);
}

std::wstring GetModuleDir() {
  wchar_t path[MAX_PATH + 1] = {};
  const std::wstring module = GetModulePath();
  if (module.empty()) return {};
  module.copy(path, MAX_PATH);
  ::PathRemoveFileSpecW(path);
  ::PathAddBackslashW(path);
  return path;
}

std::wstring GetFileName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return path.substr(slash + 1);
}

}  // namespace UtilFunc
