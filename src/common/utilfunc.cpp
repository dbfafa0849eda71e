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

constexpr DWORD kImagePathChars = 1024;
constexpr DWORD kInitialProcessSlots = 1024;

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
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
