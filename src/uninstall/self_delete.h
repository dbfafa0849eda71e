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

// The environment variables through which the batch gets every name it uses.
inline constexpr wchar_t kBatchProgramVariable[] = L"ORV_SELF";
inline constexpr wchar_t kBatchSelfVariable[] = L"ORV_BATCH";
inline constexpr wchar_t kBatchPingVariable[] = L"ORV_PING";

// The batch text: up to `tries` deletions of the file named by ORV_SELF, a
// pause of about a second (ORV_PING) after each failed one, then the deletion
// of the batch itself (ORV_BATCH). Names are read with delayed expansion,
// which substitutes a value without parsing it again, so no character of a
// name has a meaning to the command interpreter. Plain ASCII, whatever the
// names: the file's code page does not matter. No final line break.
std::string DeleteSelfBatchText(int tries = kDeleteSelfTries);

// Where the batch runs and the names it is given.
struct DeleteSelfPlan {
  std::wstring currentFolder;
  std::wstring program;  // value of ORV_SELF
  std::wstring batch;    // value of ORV_BATCH
};

// For the program file `programFileName` in `folder` (ending in a
// backslash): in a local folder the batch runs there and names both files
// relative to it, so no folder name reaches the command interpreter at all;
// a folder on a share cannot be a command interpreter's current folder, so
// the batch then runs in `systemFolder` and is given full names.
DeleteSelfPlan PlanDeleteSelf(const std::wstring& folder, const std::wstring& programFileName, bool folderIsShare,
                              const std::wstring& systemFolder);

// Writes `text` as a new file `batchPath`, after removing an older file, or a
// link as a link, at that name (a link that cannot be removed refuses the
// write). On failure logs why, leaves no partial file and returns false.
bool WriteDeleteSelfBatch(const std::wstring& batchPath, const std::string& text);

// Writes "deleteSelf.bat" into `folder` (ending in a backslash) for the
// program file `programFileName` there and starts it hidden with the system's
// command interpreter (no AutoRun commands). The names are passed through
// this process's environment, which the batch inherits. Returns the batch's
// process, or an empty handle when it could not be written or started
// (logged).
ScopedHandle StartDeleteSelfBatch(const std::wstring& folder, const std::wstring& programFileName,
                                  int tries = kDeleteSelfTries);

// Renames the file `programFileName` in `folder` (ending in a backslash) to a
// name of its own in the same folder, which no installation uses, and returns
// that name; empty when it cannot be renamed (logged). A running program's
// file can be renamed: the batch then deletes it by that name, so a later
// installation's file of the old name is never touched.
std::wstring RenameForDeletion(const std::wstring& folder, const std::wstring& programFileName);

// Renames the running program's file and starts the batch for it, beside it,
// so that it finds both files whatever the program's current folder is. The
// caller still holds the setup mutex: no installation writes the folder
// meanwhile. A file that cannot be renamed stays.
void DeleteSelf();
