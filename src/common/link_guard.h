#pragma once
// Checks for the places where a program writes a new file a user could have
// planted a link at: what a name holds is decided on a handle opened with
// FILE_FLAG_OPEN_REPARSE_POINT, and a link found there is removed as a link or
// the write is refused, never carried out through it.

#include <string>

#include "common/scoped_handle.h"

enum class NameKind {
  kMissing,
  kFile,
  kFolder,
  // A junction, symbolic link or other reparse point; also a name whose
  // handle reaches an object of another name (Wine reports a host symbolic
  // link to a file as a plain file and opens its target).
  kLink,
  kUnknown,  // cannot be told (no access, or the check failed)
};

NameKind InspectName(const std::wstring& path);

// Creates `path` as a new, empty file for writing (no sharing). What stands at
// the name first is removed: a plain file (the older copy), or a link as a link.
// A folder, a link that cannot be removed as a link, and anything that cannot
// be told are left alone, and the write is refused: an ERROR record, and an
// empty handle.
ScopedHandle CreateFreshFile(const std::wstring& path);

// Makes sure that every existing level of the folder path `relative` below
// `base` (ending in a backslash) is a real folder, removing a link met there
// as a link; levels that do not exist yet are left to be created. False,
// with an ERROR record, when a level is a link that cannot be removed, or
// something other than a folder.
bool RealFoldersBelow(const std::wstring& base, const std::wstring& relative);
