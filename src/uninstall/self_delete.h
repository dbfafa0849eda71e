#pragma once
// Removal of the uninstaller's own file after its process has ended: a hidden
// batch file in the install folder deletes it, retrying about once a second
// while the process still holds its image, gives up after a bounded number of
// tries, and then deletes itself.

#include <string>

#include "common/scoped_handle.h"

inline constexpr wchar_t kDeleteSelfBatchName[] = L"deleteSelf.bat";
// Tries of the batch, about one a second: it gives up after about two minutes.
inline constexpr int kDeleteSelfTries = 120;

// The batch text for the program file name `programFileName` (no folder): up
// to `tries` deletions of that file in the batch's current folder, a pause of
// about a second after each failed one, then the deletion of the batch
// itself. The name is quoted and its "%" doubled, so blanks, "&", "^" and "%"
// reach the commands as they are. In the ANSI code page, without byte-order
// mark or final line break.
std::string DeleteSelfBatchText(const std::wstring& programFileName, int tries = kDeleteSelfTries);

// Writes `text` as the whole of `batchPath`, replacing an older file. On
// failure logs why, leaves no partial file and returns false.
bool WriteDeleteSelfBatch(const std::wstring& batchPath, const std::string& text);

// Writes "deleteSelf.bat" into `folder` (ending in a backslash) for the
// program file `programFileName` there and starts it hidden, with `folder` as
// its current folder. Returns the batch's process, or an empty handle when it
// could not be written or started (logged).
ScopedHandle StartDeleteSelfBatch(const std::wstring& folder, const std::wstring& programFileName,
                                  int tries = kDeleteSelfTries);

// Starts the batch for the running program, beside it, so that it finds both
// files whatever the program's current folder is.
void DeleteSelf();
