#include "window_test_support.h"

#include <psapi.h>
#include <winternl.h>

#include <cwctype>

namespace windowtest {

namespace {

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

// Offsets in the 64-bit process environment block and its parameter block.
constexpr size_t kPebProcessParameters = 0x20;
constexpr size_t kParametersCurrentDirectory = 0x38;
constexpr size_t kParametersCommandLine = 0x70;

std::wstring ReadRemoteString(HANDLE process, const BYTE* parameters, size_t offset) {
  UNICODE_STRING text = {};
  if (!::ReadProcessMemory(process, parameters + offset, &text, sizeof(text), nullptr)) return {};
  std::wstring out(text.Length / sizeof(wchar_t), L'\0');
  if (!out.empty() && !::ReadProcessMemory(process, text.Buffer, out.data(), text.Length, nullptr)) return {};
  return out;
}

}  // namespace

std::vector<DWORD> ProcessesRunning(const std::wstring& path) {
  std::vector<DWORD> ids(4096);
  DWORD bytes = 0;
  std::vector<DWORD> found;
  if (!::EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) return found;
  ids.resize(bytes / sizeof(DWORD));
  for (DWORD id : ids) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process) continue;
    wchar_t image[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    if (::QueryFullProcessImageNameW(process, 0, image, &length) && SameIgnoringCase(image, path))
      found.push_back(id);
    ::CloseHandle(process);
  }
  return found;
}

ProcessStart ReadProcessStart(DWORD process_id) {
  ProcessStart start;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
  if (!process) return start;
  PROCESS_BASIC_INFORMATION basic = {};
  const BYTE* parameters = nullptr;
  if (NT_SUCCESS(::NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr)) &&
      ::ReadProcessMemory(process, reinterpret_cast<const BYTE*>(basic.PebBaseAddress) + kPebProcessParameters,
                          &parameters, sizeof(parameters), nullptr)) {
    start.command_line = ReadRemoteString(process, parameters, kParametersCommandLine);
    start.current_folder = ReadRemoteString(process, parameters, kParametersCurrentDirectory);
    start.read = true;
  }
  ::CloseHandle(process);
  return start;
}

void EndProcess(DWORD process_id) {
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id);
  if (!process) return;
  ::TerminateProcess(process, 0);
  ::WaitForSingleObject(process, 10000);
  ::CloseHandle(process);
}

std::vector<HWND> VisibleWindows(DWORD process_id) {
  struct Search {
    DWORD process_id;
    std::vector<HWND> windows;
  } search{process_id, {}};
  ::EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == s->process_id && ::IsWindowVisible(window)) s->windows.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.windows;
}

}  // namespace windowtest
