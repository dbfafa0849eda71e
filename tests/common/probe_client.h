#pragma once
// Starting and inspecting orv_probe.exe (see orv_probe.cpp) from the tests.

#include <windows.h>

#include <string>

#include "support/test_support.h"

namespace probe {

// Full path of the built orv_probe.exe (beside tests/common's programs).
inline std::wstring BuiltProbe() {
  const std::wstring relative = testsupport::ProgramFolder() + L"..\\common\\orv_probe.exe";
  wchar_t full[MAX_PATH] = {};
  ::GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  return full;
}

// Copies the probe to folder + name and returns the copy's path.
inline std::wstring CopyProbe(const std::wstring& folder, const std::wstring& name) {
  const std::wstring path = folder + name;
  ::CopyFileW(BuiltProbe().c_str(), path.c_str(), FALSE);
  return path;
}

// The lines the probe copies in `folder` recorded, as UTF-8.
inline std::string Calls(const std::wstring& folder) {
  return testsupport::ReadFileBytes(folder + L"probe-calls.txt");
}

// A probe process started by a test; terminated at destruction if it still runs.
class Process {
 public:
  Process(const std::wstring& exe, const std::wstring& arguments) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION info = {};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      ::CloseHandle(info.hThread);
      handle_ = info.hProcess;
    }
  }
  ~Process() {
    if (!handle_) return;
    if (::WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(handle_, 1);
      ::WaitForSingleObject(handle_, 5000);
    }
    ::CloseHandle(handle_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return handle_ != nullptr; }
  bool Ended(DWORD waitMs) const { return handle_ && ::WaitForSingleObject(handle_, waitMs) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (handle_) ::GetExitCodeProcess(handle_, &code);
    return code;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A probe that holds `path` open without sharing for up to a minute.
class Lock {
 public:
  explicit Lock(const std::wstring& path)
      : event_name_(L"orv-probe-lock-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                    std::to_wstring(counter_++)),
        ready_(::CreateEventW(nullptr, TRUE, FALSE, event_name_.c_str())),
        process_(BuiltProbe(), L"\"--lock=" + path + L"\" --ready=" + event_name_ + L" --sleep=60000") {}
  ~Lock() { ::CloseHandle(ready_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  bool held() const { return process_.started() && ::WaitForSingleObject(ready_, 20000) == WAIT_OBJECT_0; }

 private:
  static inline unsigned counter_ = 0;
  std::wstring event_name_;
  HANDLE ready_;
  Process process_;
};

}  // namespace probe
