#pragma once
// Restricts the DLL search of the process to the system folder, so that a
// DLL planted beside the program or in the current folder is never loaded
// by name. Call it before any DLL is loaded on demand (delay-loaded imports,
// LoadLibrary by name).
void RestrictDllSearchToSystemFolder();
