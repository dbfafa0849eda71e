#pragma once
// Looking at processes the installer window starts: which ones run from a
// given file, and how they were started (command line, current folder).

#include <windows.h>

#include <string>
#include <vector>

namespace windowtest {

// Ids of the processes whose image path equals `path`, ignoring case.
std::vector<DWORD> ProcessesRunning(const std::wstring& path);

struct ProcessStart {
  bool read = false;
  std::wstring command_line;
  std::wstring current_folder;  // as the process keeps it, with a trailing backslash
};

// Read from the process's own parameter block.
ProcessStart ReadProcessStart(DWORD process_id);

// Ends the process and waits for it to be gone.
void EndProcess(DWORD process_id);

// Visible top-level windows of a process.
std::vector<HWND> VisibleWindows(DWORD process_id);

}  // namespace windowtest
