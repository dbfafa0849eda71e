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

// Deletes a file, read-only or not. A file that cannot be deleted is renamed
// to `path` + ".tmp" and scheduled for deletion at the next restart. Non-zero
// when the file is gone or scheduled.
int DeleteFileW(const std::wstring& path);

// Non-zero when `path` (trailing backslashes ignored) is a junction, symbolic
// link, mount point or any other reparse point: something whose content
// belongs elsewhere. The tree operations never enter one.
int IsLink(const std::wstring& path);

// Non-zero when `path` lies below the folder `base` and one of the folders
// between them (below `base`, above the last part of `path`) is a link: a
// path that leads out of the tree below `base`. 0 for a path outside `base`.
int PassesThroughLink(const std::wstring& base, const std::wstring& path);

// Removes the link `path` itself, never what it points to. Where the system
// opens the link's target instead of the link (Wine reaches a host symbolic
// link only through its target), the link is left as it is and the failure
// logged. Non-zero when the link is gone.
int RemoveLink(const std::wstring& path);

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
