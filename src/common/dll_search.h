#pragma once
// Restricts the DLL search of the process to the system folder, so that a
// DLL planted beside the program or in the current folder is never loaded
// by name. Call it before any DLL is loaded on demand (delay-loaded imports,
// LoadLibrary by name).
#include <windows.h>

#include <string>

void RestrictDllSearchToSystemFolder();

// Loads the system DLL `name` (a file name without folder) from the system
// folder only, whatever search order the process has. Null on failure, with
// the error in GetLastError.
HMODULE LoadSystemLibrary(const std::wstring& name);
