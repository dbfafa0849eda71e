// Stands in for a DLL that somebody left beside the installer under the name
// of a system DLL: when it is loaded it leaves the marker file
// "<its own path>.loaded", and does nothing else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 16] = {};
  if (!::GetModuleFileNameW(instance, path, MAX_PATH)) return TRUE;
  ::lstrcatW(path, L".loaded");
  HANDLE marker = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  return TRUE;
}
