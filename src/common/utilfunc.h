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
// A folder path as it is opened: every trailing backslash removed, except
// that a drive root keeps one ("Q:\\" and "Q:" both become "Q:\"), because
// "Q:" names the current folder of drive Q, not its root.
std::wstring FolderPath(std::wstring path);
// True for a drive root: "Q:", "Q:\" (any number of backslashes).
bool IsDriveRoot(const std::wstring& path);
// The one split of a path at its last backslash: "a\b\c" into "a\b" and "c",
// "c" into "" and "c". Relative paths are taken as they are; SplitPath adds
// the rules of absolute ones.
void SplitLastPart(const std::wstring& path, std::wstring* folder, std::wstring* name);
// "C:\a\b" into the folder "C:\a" and the name "b"; the folder of an entry
// at a drive root is the root with its backslash ("C:\"). Trailing
// backslashes of `path` are ignored. False when the path names no entry of a
// folder (no backslash, or a root).
bool SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name);
void UpperDriveLetter(std::wstring& path);         // "c:\x" becomes "C:\x"

// SHGetSpecialFolderPathW of a CSIDL (folder not created); empty on failure.
std::wstring GetSpecialFolder(int csidl);

// Full path of the running program file; empty on failure.
std::wstring GetModulePath();
// Folder of the running program file with a trailing backslash; empty on failure.
std::wstring GetModuleDir();
// Text after the last backslash; empty when the path holds none.
std::wstring GetFileName(const std::wstring& path);

// Enables the debug privilege of the process token, which ending a copy of
// the application that runs under another account needs. An ERROR record
// when it cannot be enabled; both programs go on without it.
void EnableDebugPrivilege();

// The version that the settings file "Orvanta.ini" of an install folder
// names, read once with the version rule.
struct InstalledVersion {
  enum State {
    kNone,        // no settings file, no "Version" key, or an empty value
    kUsable,      // `value` names one folder of the install folder
    kRefused,     // the value breaks the version rule (logged); `value` is empty
    kUnreadable,  // the settings file exists but cannot be read (logged)
  };
  State state = kNone;
  std::wstring value;
  // True when nothing version-named may be derived from it at all, not even
  // "every version": a refused or unreadable settings file.
  bool Doubtful() const { return state == kRefused || state == kUnreadable; }
};
inline constexpr wchar_t kSettingsFileName[] = L"Orvanta.ini";
InstalledVersion ReadInstalledVersion(const std::wstring& installFolder);

// Where both windows look for the running application: the main program in
// the install folder, the render program in the folder of the installed
// version (`version` may be empty: then the install folder itself).
struct AppPrograms {
  std::wstring mainProgram;
  std::wstring renderProgram;
};
AppPrograms AppProgramsIn(std::wstring installFolder, const std::wstring& version, const std::wstring& mainExeName,
                          const std::wstring& renderExeName);
// Non-zero when either program runs from its path.
int IsAppRunning(const AppPrograms& programs);
// Ends every copy of both programs.
void EndApp(const AppPrograms& programs);

}  // namespace UtilFunc
