#include "support/test_support.h"

#include <atomic>
#include <cstdio>

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

void RemoveTree(const std::wstring& path) {
  std::wstring folder = path;
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
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

int RunAndWait(const std::wstring& command_line, DWORD timeout_ms, const std::wstring& working_folder) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // Under load Wine now and then fails to start a program that was written a
  // moment ago; a few tries keep that apart from what the program itself does.
  constexpr int kStartTries = 5;
  for (int attempt = 1;; ++attempt) {
    std::wstring mutable_line = command_line;
    if (::CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         working_folder.empty() ? nullptr : working_folder.c_str(), &startup, &process))
      break;
    std::fprintf(stderr, "RunAndWait: cannot start %ls (try %d): error %lu\n", command_line.c_str(), attempt,
                 ::GetLastError());
    if (attempt == kStartTries) return -1;
    ::Sleep(500);
  }
  ::CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(process.hProcess, &code);
  } else {
    std::fprintf(stderr, "RunAndWait: %ls still runs after %lu ms; ended\n", command_line.c_str(), timeout_ms);
    ::TerminateProcess(process.hProcess, 1);
  }
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
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
