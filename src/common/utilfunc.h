#pragma once
// File, folder, path and process helpers shared by the installer and the
// uninstaller. They keep no state, never throw and report success as an
// integer (non-zero: success or "yes"). Failed system calls are logged.

#include <windows.h>

#include <string>

namespace UtilFunc {

// Starts "\"path\" params" hidden (show == 0) or with SW_SHOWDEFAULT, in the
// caller's current folder and environment. With a non-zero wait it waits that
// long (INFINITE waits without limit); the exit code is stored only when the
// process ended within the wait. Non-zero when the process was created.
int RunProcess(const std::wstring& path, const std::wstring& params, int show,
               unsigned waitMilliseconds, DWORD* exitCode = nullptr);

// Non-zero when a process runs whose image path equals `imagePath`, ignoring case.
int IsPathFileRunning(const std::wstring& imagePath);

// Non-zero when a process runs whose image file name equals `exeName`
// (for example "Orvanta.exe"), ignoring case, wherever it was started from.
int IsExeRunning(const std::wstring& exeName);

// Terminates (exit code 0) every process whose image path equals `imagePath`.
void KillPathFileProcess(const std::wstring& imagePath);

// Equal as the file system compares names: ordinal, ignoring case.
bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b);

void AppendBackslash(std::wstring& path);          // "" becomes "\"
void RemoveTrailingBackslash(std::wstring& path);  // every trailing backslash
void UpperDriveLetter(std::wstring& path);         // "c:\x" becomes "C:\x"

// SHGetSpecialFolderPathW of a CSIDL (folder not created); empty on failure.
std::wstring GetSpecialFolder(int csidl);

// Full path of the running program file; empty on failure.
std::wstring GetModulePath();
// Folder of the running program file with a trailing backslash; empty on failure.
std::wstring GetModuleDir();
// Text after the last backslash; empty when the path holds none.
std::wstring GetFileName(const std::wstring& path);

}  // namespace UtilFunc
