#pragma once
// Helpers shared by the Windows-side tests: files, folders and child processes.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
uint64_t FileSize(const std::wstring& path);  // 0 when missing
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
// True when the file holds the ASCII text `text`, as narrow or as UTF-16 text.
bool FileHoldsText(const std::wstring& path, const std::string& text);

// Folder of the running test program, ending in a backslash.
std::wstring ProgramFolder();

// Runs `body(stop)` on a thread of its own. Stop sets `stop` and waits for
// the thread; so does the destructor, so that a failed assertion cannot
// leave the thread running.
class StoppableThread {
 public:
  template <class Body>
  explicit StoppableThread(Body body) : thread_([this, body] { body(stop_); }) {}
  ~StoppableThread() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A fresh, empty folder below %TEMP% that is removed with its content at destruction.
class TempFolder {
 public:
  explicit TempFolder(const std::wstring& hint = L"orvtest");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& path() const { return path_; }  // ends in a backslash
 private:
  std::wstring path_;
};

// Removes a folder tree without following links: a link in it (or the path
// itself, when it is one) is removed with RemoveHostLink.
void RemoveTree(const std::wstring& path);

// Host symbolic links in the Wine prefix. Programs under Wine can neither make
// nor remove one, so the host's ln and rm do it, on the paths' Unix names.
// A link to a folder reads as FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT.
// True once the link `link` (no trailing backslash) to the existing `target` is there.
bool PlantLink(const std::wstring& link, const std::wstring& target);
// True when `link` is still a link that leads to `target`.
bool IsLinkTo(const std::wstring& link, const std::wstring& target);
// True once `link` is a second name (a hard link) of the existing file `target`.
bool PlantHardLink(const std::wstring& link, const std::wstring& target);
// Removes the link itself (not its target); true once it is gone.
bool RemoveHostLink(const std::wstring& link);

// Maps the drive letter `letter` to the existing `folder` while the object
// lives, as Wine maps its drives: a host link $WINEPREFIX/dosdevices/x: to the
// folder's host name. Mapped() is false when that could not be done.
class MappedDrive {
 public:
  MappedDrive(wchar_t letter, const std::wstring& folder);
  ~MappedDrive();
  MappedDrive(const MappedDrive&) = delete;
  MappedDrive& operator=(const MappedDrive&) = delete;
  bool Mapped() const { return mapped_; }
  std::wstring Root() const { return std::wstring(1, letter_) + L":\\"; }

 private:
  wchar_t letter_;
  std::string link_;
  bool mapped_ = false;
};

// A Linux folder named by an environment variable (ORV_BINARY_DIR,
// ORV_SOURCE_DIR) as a Wine path below Z:, ending in a backslash.
std::wstring WineFolderFromEnvironment(const wchar_t* name);

// Runs a command line, waits at most timeout_ms and returns the exit code, or -1.
int RunAndWait(const std::wstring& command_line, DWORD timeout_ms = 60000,
               const std::wstring& working_folder = L"");

// A program started without waiting for it; ended if it still runs when the
// owner goes.
class RunningProgram {
 public:
  RunningProgram(const std::wstring& path, const std::wstring& arguments, const std::wstring& folder = L"");
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  bool Started() const { return info_.hProcess != nullptr; }
  bool Running() const;
  DWORD Id() const { return info_.dwProcessId; }
  // The exit code once the program ended within limit_ms, else -1.
  int WaitForExit(DWORD limit_ms);

 private:
  PROCESS_INFORMATION info_ = {};
};

// Runs a program that shows a skinned window, waits until the window is
// visible, closes it with WM_CLOSE and returns the program's exit code; -1
// when it did not start, showed no window or did not end within timeout_ms.
int RunAndCloseWindow(const std::wstring& command_line, DWORD timeout_ms = 60000,
                      const std::wstring& working_folder = L"");

// Makes Wine prefer a DLL beside the program named `exeName` over its own
// system DLL of that name, as Windows does for DLLs that are not known DLLs,
// while the object lives.
class PreferDllsBesideProgram {
 public:
  PreferDllsBesideProgram(const std::wstring& exeName, const std::vector<std::wstring>& dlls);
  ~PreferDllsBesideProgram();
  PreferDllsBesideProgram(const PreferDllsBesideProgram&) = delete;
  PreferDllsBesideProgram& operator=(const PreferDllsBesideProgram&) = delete;

 private:
  std::wstring key_;
};

}  // namespace testsupport
