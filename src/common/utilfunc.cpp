#include "common/utilfunc.h"

#include <psapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <cwctype>
#include <vector>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "common/version_rule.h"

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

bool IsDriveRoot(const std::wstring& path) {
  if (path.size() < 2 || path[1] != L':' || !::iswalpha(path[0])) return false;
  return path.find_first_not_of(L'\\', 2) == std::wstring::npos;
}

std::wstring FolderPath(std::wstring path) {
  RemoveTrailingBackslash(path);
  if (IsDriveRoot(path)) path += L'\\';
  return path;
}

void SplitLastPart(const std::wstring& path, std::wstring* folder, std::wstring* name) {
  const size_t slash = path.find_last_of(L'\\');
  *folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
  *name = slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name) {
  std::wstring full = path;
  RemoveTrailingBackslash(full);
  if (IsDriveRoot(full)) return false;
  SplitLastPart(full, folder, name);
  if (folder->empty()) return false;  // no backslash, or only a leading one
  *folder = FolderPath(*folder);
  return true;
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
  std::wstring folder, name;
  if (!SplitPath(GetModulePath(), &folder, &name)) return {};
  AppendBackslash(folder);
  return folder;
}

std::wstring GetFileName(const std::wstring& path) {
  std::wstring folder, name;
  SplitLastPart(path, &folder, &name);
  return name.size() == path.size() ? std::wstring() : name;
}

void EnableDebugPrivilege() {
  ScopedHandle token;
  bool enabled = false;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.receive())) {
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    enabled = ::LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid) &&
              ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr);
  }
  if (!enabled) LOG_ERROR << "设置DebugPriviledge失败";
}

namespace {

// Why a version breaks the rule, for the log (GBK).
const char* VersionProblemText(VersionProblem problem) {
  switch (problem) {
    case VersionProblem::kNone:
    case VersionProblem::kEmpty:
      break;
    case VersionProblem::kTooLong:
      return "超过31个字符";
    case VersionProblem::kForbiddenCharacter:
      return "含有文件名中不允许的字符";
    case VersionProblem::kDotDot:
      return "含有..";
    // The system drops trailing points and blanks from a name, so such a
    // value would name another folder, "." the install folder itself.
    case VersionProblem::kTrailingDotOrBlank:
      return "以点或空格结尾";
    case VersionProblem::kReservedName:
      return "是安装程序自己的目录名";
    case VersionProblem::kDeviceName:
      return "是设备名";
  }
  return "";
}

}  // namespace

AppPrograms AppProgramsIn(std::wstring installFolder, const std::wstring& version, const std::wstring& mainExeName,
                          const std::wstring& renderExeName) {
  AppendBackslash(installFolder);
  std::wstring versionFolder = installFolder + version;
  AppendBackslash(versionFolder);
  return {installFolder + mainExeName, versionFolder + renderExeName};
}

int IsAppRunning(const AppPrograms& programs) {
  return IsPathFileRunning(programs.mainProgram) || IsPathFileRunning(programs.renderProgram);
}

void EndApp(const AppPrograms& programs) {
  KillPathFileProcess(programs.mainProgram);
  KillPathFileProcess(programs.renderProgram);
}

InstalledVersion ReadInstalledVersion(const std::wstring& installFolder) {
  std::wstring settingsFile = installFolder;
  AppendBackslash(settingsFile);
  settingsFile += kSettingsFileName;
  InstalledVersion read;
  // GetPrivateProfileStringW answers a file it cannot open with the default,
  // as if it held no version: whether it can be read is asked first.
  {
    ScopedHandle file(::CreateFileW(settingsFile.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return read;
      LOG_ERROR << "读取版本号失败，设置文件无法打开:" << settingsFile << ",last error:" << error;
      read.state = InstalledVersion::kUnreadable;
      return read;
    }
  }
  // Read more than a version may hold, so that a longer value is refused
  // instead of being cut to a name that belongs to some other folder.
  wchar_t buffer[256] = {};
  ::GetPrivateProfileStringW(L"Common", L"Version", L"", buffer, ARRAYSIZE(buffer), settingsFile.c_str());
  const std::wstring version(buffer);
  const VersionProblem problem = CheckVersion(version.c_str());
  if (problem == VersionProblem::kEmpty) return read;
  if (problem != VersionProblem::kNone) {
    LOG_ERROR << "版本号无法用作目录名，按无版本处理(" << VersionProblemText(problem) << "):" << version;
    read.state = InstalledVersion::kRefused;
    return read;
  }
  read.state = InstalledVersion::kUsable;
  read.value = version;
  return read;
}

}  // namespace UtilFunc
