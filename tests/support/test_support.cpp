#include "support/test_support.h"

#include <atomic>
#include <cstdio>
#include <cwctype>

namespace testsupport {

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  ::CloseHandle(file);
  return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  ::CloseHandle(file);
  return ok;
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileHoldsText(const std::wstring& path, const std::string& text) {
  const std::string bytes = ReadFileBytes(path);
  std::string wide;
  for (char c : text) wide += std::string{c, '\0'};
  return bytes.find(text) != std::string::npos || bytes.find(wide) != std::string::npos;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

TempFolder::TempFolder(const std::wstring& hint) {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  for (;;) {
    path_ = std::wstring(temp) + hint + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"\\";
    if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

namespace {

bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The host's name of a prefix path, through Wine's own export; empty when
// there is none.
std::string UnixName(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  const auto unix_file_name = reinterpret_cast<UnixFileName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unix_file_name ? unix_file_name(path.c_str()) : nullptr;
  if (!name) return {};
  std::string result(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

// Starts a host program, its command line given in UTF-8 as the host's
// names are, and waits up to 10 s until `done` holds: its end cannot be
// waited for from here.
template <typename Done>
bool RunHostCommand(const std::string& command, Done done) {
  std::wstring line(command.size(), L'\0');
  line.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, command.data(), static_cast<int>(command.size()),
                                                        line.data(), static_cast<int>(line.size()))));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  // For a Unix program Wine leaves hProcess null and hThread holding whatever
  // value was at hand: closing that would close some other handle of ours.
  if (process.hProcess) {
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  for (int i = 0; i < 200 && !done(); ++i) ::Sleep(50);
  return done();
}

std::wstring FinalPath(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  wchar_t buffer[MAX_PATH * 2] = {};
  const DWORD length = ::GetFinalPathNameByHandleW(file, buffer, MAX_PATH * 2, 0);
  ::CloseHandle(file);
  return length && length < MAX_PATH * 2 ? std::wstring(buffer, length) : std::wstring();
}

}  // namespace

namespace {

// Calls `visit` with the full path and the attributes of every entry of `folder`.
template <typename Visit>
void ForEachEntry(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") visit(folder + L"\\" + name, data.dwFileAttributes);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

// First, because a link whose target went first can no longer be seen.
void RemoveLinksBelow(const std::wstring& folder) {
  ForEachEntry(folder, [](const std::wstring& child, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
      RemoveHostLink(child);
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
      RemoveLinksBelow(child);
  });
}

void RemoveFilesAndFolders(const std::wstring& folder) {
  ForEachEntry(folder, [](const std::wstring& child, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveFilesAndFolders(child);
    } else {
      ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(child.c_str());
    }
  });
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

void RemoveTree(const std::wstring& path) {
  std::wstring folder = path;
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  // The host's rm never follows a link, whichever kind it is; a link to a
  // file shows no reparse attribute under Wine.
  const std::string unix_name = UnixName(folder);
  if (!unix_name.empty() &&
      RunHostCommand("Z:\\bin\\rm -rf \"" + unix_name + "\"",
                     [&] { return ::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES; }))
    return;
  if (IsReparsePoint(folder)) {
    RemoveHostLink(folder);
    return;
  }
  RemoveLinksBelow(folder);
  RemoveFilesAndFolders(folder);
}

bool PlantLink(const std::wstring& link, const std::wstring& target) {
  const std::string unix_link = UnixName(link);
  const std::string unix_target = UnixName(target);
  if (unix_link.empty() || unix_target.empty()) return false;
  return RunHostCommand("Z:\\bin\\ln -s \"" + unix_target + "\" \"" + unix_link + "\"",
                        [&] { return IsLinkTo(link, target); });
}

bool PlantHardLink(const std::wstring& link, const std::wstring& target) {
  const std::string unix_link = UnixName(link);
  const std::string unix_target = UnixName(target);
  if (unix_link.empty() || unix_target.empty()) return false;
  return RunHostCommand("Z:\\bin\\ln \"" + unix_target + "\" \"" + unix_link + "\"",
                        [&] { return FileExists(link); });
}

// Under Wine a host link to a file shows no reparse attribute: what gives any
// link away is that its name reaches the target's path.
bool IsLinkTo(const std::wstring& link, const std::wstring& target) {
  const std::wstring reached = FinalPath(link);
  const auto same = [](const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
  };
  return !reached.empty() && !same(link, target) && same(reached, FinalPath(target));
}

bool RemoveHostLink(const std::wstring& link) {
  const std::string unix_link = UnixName(link);
  if (unix_link.empty()) return false;
  return RunHostCommand("Z:\\bin\\rm -f \"" + unix_link + "\"",
                        [&] { return ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

MappedDrive::MappedDrive(wchar_t letter, const std::wstring& folder) : letter_(letter) {
  char prefix[1024] = {};
  const DWORD length = ::GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
  const std::string target = UnixName(folder);
  if (length == 0 || length >= sizeof prefix || target.empty() ||
      ::GetFileAttributesW(Root().c_str()) != INVALID_FILE_ATTRIBUTES)
    return;
  link_ = std::string(prefix) + "/dosdevices/" + static_cast<char>(::towlower(letter)) + ":";
  mapped_ = RunHostCommand("Z:\\bin\\ln -s \"" + target + "\" \"" + link_ + "\"",
                           [&] { return ::GetFileAttributesW(Root().c_str()) != INVALID_FILE_ATTRIBUTES; });
}

MappedDrive::~MappedDrive() {
  if (!mapped_) return;
  RunHostCommand("Z:\\bin\\rm -f \"" + link_ + "\"",
                 [&] { return ::GetFileAttributesW(Root().c_str()) == INVALID_FILE_ATTRIBUTES; });
}

std::wstring WineFolderFromEnvironment(const wchar_t* name) {
  wchar_t buffer[1024] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
  std::wstring path = L"Z:" + std::wstring(buffer, length < 1024 ? length : 0);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  if (path.back() != L'\\') path += L'\\';
  return path;
}

namespace {

// Starts a program; a few tries, because under load Wine now and then fails
// to start a program that was written a moment ago.
bool StartProcess(const std::wstring& command_line, const std::wstring& working_folder,
                  PROCESS_INFORMATION* process) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  constexpr int kStartTries = 5;
  for (int attempt = 1;; ++attempt) {
    std::wstring mutable_line = command_line;
    if (::CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         working_folder.empty() ? nullptr : working_folder.c_str(), &startup, process)) {
      ::CloseHandle(process->hThread);
      return true;
    }
    std::fprintf(stderr, "RunAndWait: cannot start %ls (try %d): error %lu\n", command_line.c_str(), attempt,
                 ::GetLastError());
    if (attempt == kStartTries) return false;
    ::Sleep(500);
  }
}

// Waits for the process until `deadline` (a GetTickCount64 value) and returns
// its exit code; ends it and returns -1 when it still runs then.
int WaitForExitCode(HANDLE process, ULONGLONG deadline, const std::wstring& command_line) {
  const ULONGLONG now = ::GetTickCount64();
  const DWORD left = deadline > now ? static_cast<DWORD>(deadline - now) : 0;
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process, left) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(process, &code);
  } else {
    std::fprintf(stderr, "RunAndWait: %ls still runs; ended\n", command_line.c_str());
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
  }
  ::CloseHandle(process);
  return static_cast<int>(code);
}

struct WindowSearch {
  DWORD process_id;
  HWND found;
};

BOOL CALLBACK FindVisibleSkinWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  wchar_t class_name[64] = {};
  ::GetClassNameW(window, class_name, 64);
  if (owner != search->process_id || !::IsWindowVisible(window) || std::wstring(class_name) != L"OrvSkinWindow")
    return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

RunningProgram::RunningProgram(const std::wstring& path, const std::wstring& arguments,
                               const std::wstring& folder) {
  if (!StartProcess(L"\"" + path + L"\" " + arguments, folder, &info_)) info_ = {};
}

RunningProgram::~RunningProgram() {
  if (!info_.hProcess) return;
  if (Running()) ::TerminateProcess(info_.hProcess, 1);
  ::WaitForSingleObject(info_.hProcess, 5000);
  ::CloseHandle(info_.hProcess);
}

bool RunningProgram::Running() const {
  return info_.hProcess && ::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

int RunningProgram::WaitForExit(DWORD limit_ms) {
  if (!info_.hProcess || ::WaitForSingleObject(info_.hProcess, limit_ms) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  ::GetExitCodeProcess(info_.hProcess, &code);
  return static_cast<int>(code);
}

int RunAndWait(const std::wstring& command_line, DWORD timeout_ms, const std::wstring& working_folder) {
  PROCESS_INFORMATION process = {};
  if (!StartProcess(command_line, working_folder, &process)) return -1;
  return WaitForExitCode(process.hProcess, ::GetTickCount64() + timeout_ms, command_line);
}

int RunAndCloseWindow(const std::wstring& command_line, DWORD timeout_ms, const std::wstring& working_folder) {
  PROCESS_INFORMATION process = {};
  if (!StartProcess(command_line, working_folder, &process)) return -1;
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  WindowSearch search = {process.dwProcessId, nullptr};
  while (!search.found && ::GetTickCount64() < deadline &&
         ::WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT)
    ::EnumWindows(FindVisibleSkinWindow, reinterpret_cast<LPARAM>(&search));
  if (!search.found) {
    std::fprintf(stderr, "RunAndCloseWindow: %ls showed no window\n", command_line.c_str());
    WaitForExitCode(process.hProcess, 0, command_line);
    return -1;
  }
  ::PostMessageW(search.found, WM_CLOSE, 0, 0);
  return WaitForExitCode(process.hProcess, deadline, command_line);
}

PreferDllsBesideProgram::PreferDllsBesideProgram(const std::wstring& exeName, const std::vector<std::wstring>& dlls)
    : key_(L"Software\\Wine\\AppDefaults\\" + exeName) {
  HKEY overrides = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &overrides, nullptr) != ERROR_SUCCESS)
    return;
  const wchar_t kNativeFirst[] = L"native,builtin";
  for (const std::wstring& dll : dlls)
    ::RegSetValueExW(overrides, dll.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                     sizeof kNativeFirst);
  ::RegCloseKey(overrides);
}

PreferDllsBesideProgram::~PreferDllsBesideProgram() { ::RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

}  // namespace testsupport
