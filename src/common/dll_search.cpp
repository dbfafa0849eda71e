#include "common/dll_search.h"

void RestrictDllSearchToSystemFolder() {
  // SetDefaultDllDirectories is missing on Windows 7 without its 2011 update;
  // there the current folder at least leaves the search.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (!set_default || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) ::SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const std::wstring& name) {
  if (const HMODULE module = ::LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  // Windows 7 without its 2011 update refuses the flag as an invalid
  // parameter: there the full path in the system folder names the one file.
  if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return ::LoadLibraryW((std::wstring(folder, length) + L"\\" + name).c_str());
}
