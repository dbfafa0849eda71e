#pragma once
// Removal of the uninstaller's own file after its process has ended: a hidden
// batch file in the install folder deletes it, retrying while the process
// still holds its image, and then deletes itself.

#include <string>

inline constexpr wchar_t kDeleteSelfBatchName[] = L"deleteSelf.bat";

// The batch text for the program file name `programFileName` (no folder), in
// the ANSI code page, without byte-order mark or final line break.
std::string DeleteSelfBatchText(const std::wstring& programFileName);

// Writes `text` as the whole of `batchPath`, replacing an older file. On
// failure logs why, leaves no partial file and returns false.
bool WriteDeleteSelfBatch(const std::wstring& batchPath, const std::string& text);

// Writes "deleteSelf.bat" beside the running program and starts it hidden,
// in the program's folder, so that it finds both files whatever the
// program's current folder is.
void DeleteSelf();
