#pragma once
// Deletes and renames of folder trees that a process of lower rights may
// change while this one works in them: the per-user data folder, an install
// folder the user chose, "new".
//
// Every decision is made on a handle, never on a path used twice: a folder is
// opened once, listed through that handle, and each child is opened relative
// to it with FILE_OPEN_REPARSE_POINT. A child whose handle is a reparse point
// (a junction, symbolic link or mount point) is deleted as a link through that
// handle; what it points at is never opened. Where the system opens a link's
// target instead (Wine reaches a host symbolic link only through it), the
// handle's final path is not the child's own path: such a link is left as it
// is and logged. A folder swapped for a link after it was checked changes
// nothing: the walker goes on in the folder it holds, and whatever a child
// name reaches through the new link fails the same path check.
//
// The tree calls refuse a drive root and the system's own folders (Windows,
// the system folder, the program-files folders, the profiles folder and the
// user's profile) with an ERROR record.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "common/scoped_handle.h"

namespace tree {

// What a name in a folder is, decided on a handle opened without following it.
enum class EntryKind {
  kMissing,
  kFile,
  kFolder,
  kLink,             // a reparse point, reachable as itself: it can be removed or renamed
  kUnreachableLink,  // the system reaches only its target: it can be neither
  kUnreadable,       // it exists but could not be opened (in use, no access)
};

// An open folder that was checked to be a real folder, not a link.
class Folder {
 public:
  Folder() = default;
  Folder(Folder&&) = default;
  Folder& operator=(Folder&&) = default;

  // Opens `path` (a trailing backslash is ignored). Links in the folders
  // above it are the caller's to judge; the last part must not be one.
  // ERROR_REPARSE_TAG_MISMATCH when it is a link, else the open's error.
  static DWORD Open(const std::wstring& path, Folder* folder);
  // Opens `path` following links: a folder whose links are the caller's to
  // judge, such as the one that holds a tree to delete.
  static DWORD OpenFollowingLinks(const std::wstring& path, Folder* folder);
  // Opens the sub-folder `name` relative to this one, with the same checks.
  DWORD OpenChild(const std::wstring& name, Folder* folder) const;
  // Creates the sub-folder `name` unless a real folder of that name exists.
  DWORD CreateChild(const std::wstring& name, Folder* folder) const;

  // Creates the sub-folder `name` as new: any entry of that name, a link
  // included, fails with ERROR_ALREADY_EXISTS. `security` null gives it the
  // rights it inherits. The folder cannot be renamed or deleted while the
  // Folder it gives is held.
  DWORD CreateNewChild(const std::wstring& name, Folder* folder, PSECURITY_DESCRIPTOR security = nullptr) const;
  // Creates the file `name` as new in the same way, opened for `access` and
  // shared for reading only.
  DWORD CreateNewFile(const std::wstring& name, ACCESS_MASK access, ScopedHandle* file) const;
  // Opens the plain file `name` for reading; ERROR_REPARSE_TAG_MISMATCH
  // when it is a link.
  DWORD OpenFileForReading(const std::wstring& name, ScopedHandle* file) const;

  EntryKind Inspect(const std::wstring& name) const;
  // The names in this folder, read through its handle. False (error in
  // GetLastError) when it cannot be listed.
  bool List(std::vector<std::wstring>* names) const;
  // Removes the child `name` if it is a link, as a link. 0 once removed;
  // ERROR_REPARSE_TAG_MISMATCH where the system reaches only its target;
  // ERROR_BAD_FILE_TYPE when it is no link.
  DWORD RemoveLinkChild(const std::wstring& name) const;
  // Renames the child `name` (a file, a folder or a link that is reachable as
  // itself) to `newName` in `destination`, which must not exist. 0 or the
  // error.
  DWORD RenameChild(const std::wstring& name, const Folder& destination, const std::wstring& newName) const;
  // Flushes the file `name` to the disk. 0 once flushed;
  // ERROR_REPARSE_TAG_MISMATCH when it is a link (not flushed), else the error.
  DWORD FlushChild(const std::wstring& name) const;

  bool valid() const { return handle_.valid(); }
  HANDLE handle() const { return handle_.get(); }
  // The path it was opened by, without a trailing backslash.
  const std::wstring& path() const { return path_; }

 private:
  friend class Walker;
  ScopedHandle handle_;
  std::wstring path_;
  std::wstring final_;  // the system's name for it, "\\?\C:\..."
};

struct DeleteOptions {
  // Remove what is inside and leave the folder itself.
  bool keepTop = false;
  // Entries (full paths, no trailing backslash) that stay, with the folders above them.
  std::function<bool(const std::wstring& path)> keep;
  // Told each plain file deleted, or renamed aside to be deleted at the next restart.
  std::function<void(const std::wstring& path)> onFileDeleted;
  // Checked between entries: when it turns true the walk ends where it is.
  const std::atomic<bool>* stop = nullptr;
};

struct Outcome {
  unsigned failed = 0;     // entries that could not be deleted (each logged)
  unsigned linksLeft = 0;  // links the system reached only through their targets (logged)
  unsigned scheduled = 0;  // files in use, renamed aside and deleted at the next restart
  bool refused = false;    // a drive root or a system folder: nothing was touched
  bool throughLink = false;  // the path leads through a link below its base: nothing was touched
  bool stopped = false;
  bool ok() const { return !refused && !throughLink && !stopped && failed == 0; }
};

// Deletes `path` (a file, a folder with all below it, or a link as a link).
// A missing path is a success.
Outcome DeleteTree(const std::wstring& path, const DeleteOptions& options = {});

// Deletes `path` the same way when it is `base` or lies below it and no
// folder between them is a link: each level is opened as a real folder
// below `base` (which is the caller's to judge). Otherwise nothing is
// touched and `throughLink` (or, for a path outside `base`, `refused`) is set.
Outcome DeleteBelow(const std::wstring& base, const std::wstring& path, const DeleteOptions& options = {});

// Deletes the child `name` of `parent` the same way.
Outcome DeleteChild(const Folder& parent, const std::wstring& name, const DeleteOptions& options = {});

// Flushes every file below the folder `path` (not a link itself) to the disk;
// links in it are not part of the tree and are passed over. The number of
// files and folders that could not be flushed or listed, each logged.
unsigned FlushTree(const std::wstring& path);

// True for a drive root, an empty path and the system's own folders.
bool IsProtectedFolder(const std::wstring& path);

}  // namespace tree
