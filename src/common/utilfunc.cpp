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

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
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
