#include "common/tree_walker.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <winternl.h>

#include <cstring>
#include <vector>

#include "common/logging.h"
#include "common/test_hooks.h"
#include "common/utilfunc.h"

extern "C" {
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc, PVOID apcContext, PIO_STATUS_BLOCK status,
                                    PVOID buffer, ULONG length, FILE_INFORMATION_CLASS infoClass,
                                    BOOLEAN singleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan);
}

namespace tree {
namespace {

constexpr ULONG kFileDirectoryInformation = 1;
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr ULONG kOpenReparsePoint = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG kDirectoryFile = 0x00000001;     // FILE_DIRECTORY_FILE
constexpr ULONG kNonDirectoryFile = 0x00000040;  // FILE_NON_DIRECTORY_FILE
constexpr ULONG kSynchronousIo = 0x00000020;     // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kSequentialOnly = 0x00000004;    // FILE_SEQUENTIAL_ONLY
constexpr ULONG kOpenDisposition = 1;            // FILE_OPEN
constexpr ULONG kCreateDisposition = 2;          // FILE_CREATE
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kEntryAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kFolderAccess = kEntryAccess | FILE_LIST_DIRECTORY | FILE_TRAVERSE;

// FILE_DIRECTORY_INFORMATION, as NtQueryDirectoryFile fills it.
struct DirectoryRecord {
  ULONG nextEntryOffset;
  ULONG fileIndex;
  LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile, allocationSize;
  ULONG fileAttributes;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

// FILE_DISPOSITION_INFO_EX with delete, POSIX semantics and read-only ignored.
struct DispositionEx {
  ULONG flags;
};
constexpr ULONG kDispositionDeletePosixIgnoreReadOnly = 0x1 | 0x2 | 0x10;
constexpr int kFileDispositionInfoEx = 21;

struct Listed {
  std::wstring name;
  bool isFolder;
};

std::wstring FinalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length + 1);
  }
}

std::wstring ChildFinalPath(const std::wstring& parentFinal, const std::wstring& name) {
  return !parentFinal.empty() && parentFinal.back() == L'\\' ? parentFinal + name : parentFinal + L"\\" + name;
}

DWORD ErrorOf(NTSTATUS status) { return ::RtlNtStatusToDosError(status); }

// Opens `name` relative to the folder `root` without following a link.
NTSTATUS OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG options, ULONG disposition,
                      HANDLE* handle, ULONG share = kShareAll, PSECURITY_DESCRIPTOR security = nullptr) {
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK io = {};
  return ::NtCreateFile(handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                        options | kOpenReparsePoint | kSynchronousIo, nullptr, 0);
}

// What `handle`, opened as the child `name` of the folder whose final path is
// `parentFinal`, reached.
EntryKind KindOfOpened(HANDLE handle, const std::wstring& parentFinal, const std::wstring& name, DWORD* error) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    *error = ::GetLastError();
    return EntryKind::kUnreadable;
  }
  // Only a reparse point that stands for another name is a link; the others
  // (cloud-file placeholders, deduplicated or compressed files) are the
  // file or folder itself. A tag the system does not tell counts as a link.
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (tag.ReparseTag == 0 || IsReparseTagNameSurrogate(tag.ReparseTag)))
    return EntryKind::kLink;
  // The handle reached something that is not the child itself: the name is a
  // link the system followed.
  if (!UtilFunc::EqualIgnoringCase(FinalPathOf(handle), ChildFinalPath(parentFinal, name)))
    return EntryKind::kUnreachableLink;
  return (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::kFolder : EntryKind::kFile;
}

// Opens the child `name` of `parent` as a folder or as a file, trying the
// kind it was listed as first, and tells what the handle reached.
EntryKind OpenEntry(const Folder& parent, const std::wstring& parentFinal, const std::wstring& name, bool folderFirst,
                    ScopedHandle* handle, DWORD* error) {
  NTSTATUS status = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool asFolder = (attempt == 0) == folderFirst;
    status = OpenRelative(parent.handle(), name, asFolder ? kFolderAccess : kEntryAccess,
                          asFolder ? kDirectoryFile : kNonDirectoryFile, kOpenDisposition, handle->receive());
    // A folder some process works in (its current folder) cannot be opened
    // for deletion; what is inside it can still go.
    if (asFolder && ErrorOf(status) == ERROR_SHARING_VIOLATION)
      status = OpenRelative(parent.handle(), name, kFolderAccess & ~DELETE, kDirectoryFile, kOpenDisposition,
                            handle->receive());
    if (NT_SUCCESS(status)) break;
    *handle->receive() = nullptr;
    const DWORD code = ErrorOf(status);
    // Only a wrong guess of the kind is worth the second try.
    if (code != ERROR_DIRECTORY && code != ERROR_ACCESS_DENIED && code != ERROR_INVALID_PARAMETER &&
        code != ERROR_FILE_NOT_FOUND)
      break;
  }
  if (!NT_SUCCESS(status)) {
    *error = ErrorOf(status);
    return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? EntryKind::kMissing
                                                                              : EntryKind::kUnreadable;
  }
  return KindOfOpened(handle->get(), parentFinal, name, error);
}

// The entries of an open folder, read through its handle before anything in
// it is changed.
bool ListFolder(HANDLE folder, std::vector<Listed>* entries) {
  std::vector<ULONGLONG> buffer(8192);  // 64 KiB, aligned for the records
  BOOLEAN restart = TRUE;
  for (;;) {
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status =
        NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer.data(),
                             static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)),
                             static_cast<FILE_INFORMATION_CLASS>(kFileDirectoryInformation), FALSE, nullptr, restart);
    restart = FALSE;
    if (status == kStatusNoMoreFiles) return true;
    if (!NT_SUCCESS(status)) {
      ::SetLastError(ErrorOf(status));
      return false;
    }
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto* record = reinterpret_cast<const DirectoryRecord*>(at);
      std::wstring name(record->fileName, record->fileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..")
        entries->push_back({std::move(name), (record->fileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
      if (record->nextEntryOffset == 0) break;
      at += record->nextEntryOffset;
    }
  }
}

// Marks an open entry for deletion: POSIX semantics where the system has
// them (the name goes at once, even while others hold the file open), else
// the classic disposition after clearing the read-only attribute.
bool DisposeOf(HANDLE handle) {
  static std::atomic<bool> extendedUnsupported{false};
  if (!extendedUnsupported) {
    DispositionEx extended = {kDispositionDeletePosixIgnoreReadOnly};
    if (::SetFileInformationByHandle(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileDispositionInfoEx),
                                     &extended, sizeof extended))
      return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION)
      return false;
    extendedUnsupported = true;
  }
  FILE_BASIC_INFO basic = {};
  if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Renames an open entry to `name` in the folder `destination`: relative to
// its handle where the system allows that, else by the folder's final path
// (Wine 8 takes no root folder for a rename).
DWORD RenameHandle(HANDLE handle, HANDLE destination, const std::wstring& destinationFinal, const std::wstring& name,
                   bool replace) {
  auto rename = [&](HANDLE root, const std::wstring& target) -> DWORD {
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = root;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, target.data(), info->FileNameLength);
    return ::SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))
               ? 0
               : ::GetLastError();
  };
  const DWORD relative = rename(destination, name);
  if (relative != ERROR_INVALID_PARAMETER) return relative;
  std::wstring absolute = ChildFinalPath(destinationFinal, name);
  if (absolute.compare(0, 4, L"\\\\?\\") == 0) absolute.replace(0, 4, L"\\??\\");
  return rename(nullptr, absolute);
}

// The system's name for an open file or folder as a plain path: "C:\x" for
// "\\?\C:\x", "\\server\share\x" for "\\?\UNC\server\share\x".
std::wstring PlainFinalPath(HANDLE handle) {
  std::wstring path = FinalPathOf(handle);
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
    path.replace(0, 8, L"\\\\");
  else if (path.compare(0, 4, L"\\\\?\\") == 0)
    path.erase(0, 4);
  return UtilFunc::FolderPath(path);
}

// What an existing path reaches, links followed and every spelling (8.3
// names, "\\?\", ".." steps) resolved; empty when it cannot be opened.
std::wstring ResolvedPath(const std::wstring& path) {
  ScopedHandle handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle ? PlainFinalPath(handle.get()) : std::wstring();
}

// True when `path` is `folder` or holds it.
bool IsOrHolds(const std::wstring& path, const std::wstring& folder) {
  if (path.empty() || folder.size() < path.size()) return false;
  if (folder.size() == path.size()) return UtilFunc::EqualIgnoringCase(path, folder);
  const size_t end = path.back() == L'\\' ? path.size() - 1 : path.size();
  return folder[end] == L'\\' && UtilFunc::EqualIgnoringCase(folder.substr(0, end), path.substr(0, end));
}

// A drive root, a share, or a path that does not say where it starts ("a\b",
// "Q:a", which lean on a current folder).
bool IsRootOrRelative(const std::wstring& path) {
  const bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
  const bool unc = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
  if (!drive && !unc) return true;
  std::wstring trimmed = path;
  UtilFunc::RemoveTrailingBackslash(trimmed);
  return UtilFunc::IsDriveRoot(trimmed) || ::PathIsUNCServerShareW(trimmed.c_str()) ||
         ::PathIsUNCServerW(trimmed.c_str());
}

// The system's own folders, each as spelled by the system and as it resolves.
std::vector<std::wstring> ProtectedFolders() {
  std::vector<std::wstring> folders;
  wchar_t buffer[MAX_PATH] = {};
  if (::GetWindowsDirectoryW(buffer, MAX_PATH)) folders.push_back(buffer);
  if (::GetSystemDirectoryW(buffer, MAX_PATH)) folders.push_back(buffer);
  if (::GetSystemWow64DirectoryW(buffer, MAX_PATH)) folders.push_back(buffer);
  const int shellFolders[] = {CSIDL_PROGRAM_FILES,    CSIDL_PROGRAM_FILESX86,  CSIDL_PROGRAM_FILES_COMMON,
                              CSIDL_PROFILE,          CSIDL_APPDATA,           CSIDL_LOCAL_APPDATA,
                              CSIDL_COMMON_APPDATA,   CSIDL_DESKTOPDIRECTORY,  CSIDL_COMMON_DESKTOPDIRECTORY,
                              CSIDL_PROGRAMS,         CSIDL_COMMON_PROGRAMS,   CSIDL_COMMON_DOCUMENTS,
                              CSIDL_PERSONAL};
  for (int csidl : shellFolders) {
    buffer[0] = L'\0';
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)) && buffer[0]) {
      folders.push_back(buffer);
      // The folder that holds every user's profile.
      std::wstring profiles, name;
      if (csidl == CSIDL_PROFILE && UtilFunc::SplitPath(buffer, &profiles, &name)) folders.push_back(profiles);
    }
  }
  const size_t spelled = folders.size();
  for (size_t i = 0; i < spelled; ++i) {
    folders[i] = UtilFunc::FolderPath(folders[i]);
    std::wstring resolved = ResolvedPath(folders[i]);
    if (!resolved.empty()) folders.push_back(std::move(resolved));
  }
  return folders;
}

// Test hook: with ORV_TEST_WALKER_PAUSE naming a folder, the walk stops
// after it has opened and checked that folder, logs so, and goes on once
// the file named by ORV_TEST_WALKER_CONTINUE exists (at most a minute), so
// that a test can swap the folder meanwhile.
void PauseHook(const std::wstring& path) {
  const std::wstring pause = test_hooks::Text(L"ORV_TEST_WALKER_PAUSE");
  if (pause.empty() || !UtilFunc::EqualIgnoringCase(pause, path)) return;
  const std::wstring resume = test_hooks::Text(L"ORV_TEST_WALKER_CONTINUE");
  if (resume.empty()) return;
  LOG_INFO << "测试：删除暂停于:" << path;
  for (int waited = 0; waited < 600 && ::GetFileAttributesW(resume.c_str()) == INVALID_FILE_ATTRIBUTES; ++waited)
    ::Sleep(100);
}

// True when `path` lies below `top` (neither with trailing backslashes) by
// steps that stay there: no "." or ".." step, no empty one.
bool IsBelow(const std::wstring& top, const std::wstring& path) {
  if (path.size() <= top.size() + 1 || path[top.size()] != L'\\' ||
      !UtilFunc::EqualIgnoringCase(path.substr(0, top.size()), top))
    return false;
  const std::wstring steps = path.substr(top.size()) + L"\\";
  for (const wchar_t* escape : {L"\\.\\", L"\\..\\", L"\\\\"})
    if (steps.find(escape) != std::wstring::npos) return false;
  return true;
}

// Test hook: with ORV_TEST_WALKER_ANYWHERE=1 a path that is not below its
// base is deleted like any other, so that a test shows what the callers' own
// checks keep out of a deletion.
bool BelowBaseUnchecked() { return test_hooks::Number(L"ORV_TEST_WALKER_ANYWHERE") == 1; }

}  // namespace

// One delete walk: its options and what it could not do.
class Walker {
 public:
  explicit Walker(const DeleteOptions& options) : options_(options) {}

  // Deletes the child `name` of `parent`; true when it is gone.
  bool DeleteEntry(const Folder& parent, const std::wstring& name, bool listedAsFolder, bool top) {
    if (options_.stop && options_.stop->load()) {
      outcome_.stopped = true;
      return false;
    }
    const std::wstring path = parent.path_ + L"\\" + name;
    if (options_.keep && options_.keep(path)) return false;
    ScopedHandle handle;
    DWORD error = 0;
    switch (OpenEntry(parent, parent.final_, name, listedAsFolder, &handle, &error)) {
      case EntryKind::kMissing:
        return true;
      case EntryKind::kUnreadable:
        ++outcome_.failed;
        LOG_ERROR << "删除文件失败，path:" << path << ",last error:" << error;
        return false;
      case EntryKind::kUnreachableLink:
        ++outcome_.linksLeft;
        LOG_ERROR << "无法只删除链接本身，保留链接:" << path;
        return false;
      case EntryKind::kLink:
        // Not part of the tree: the link goes, what it points at stays.
        if (DisposeOf(handle.get())) return true;
        ++outcome_.failed;
        LOG_ERROR << "删除链接失败:" << path << ",last error:" << ::GetLastError();
        return false;
      case EntryKind::kFolder: {
        PauseHook(path);
        Folder folder;
        folder.handle_ = std::move(handle);
        folder.path_ = path;
        folder.final_ = ChildFinalPath(parent.final_, name);
        return DeleteFolderContent(folder, top && options_.keepTop);
      }
      case EntryKind::kFile:
        return DeleteFile(parent, handle.get(), name, path);
    }
    return false;
  }

  bool DeleteFolderContent(const Folder& folder, bool keepFolder) {
    std::vector<Listed> entries;
    if (!ListFolder(folder.handle(), &entries)) {
      ++outcome_.failed;
      LOG_ERROR << "列出目录失败:" << folder.path_ << ",last error:" << ::GetLastError();
      return false;
    }
    bool empty = true;
    for (const Listed& entry : entries) empty = DeleteEntry(folder, entry.name, entry.isFolder, false) && empty;
    if (!empty || keepFolder) return false;
    if (DisposeOf(folder.handle())) return true;
    ++outcome_.failed;
    LOG_ERROR << "RemoveDirectory失败,last error:" << ::GetLastError() << "," << folder.path_;
    return false;
  }

  Outcome& outcome() { return outcome_; }

 private:
  // A file that cannot be deleted now (a running program's) is renamed to
  // its side name and deleted at the next restart.
  bool DeleteFile(const Folder& parent, HANDLE handle, const std::wstring& name, const std::wstring& path) {
    if (DisposeOf(handle)) {
      if (options_.onFileDeleted) options_.onFileDeleted(path);
      return true;
    }
    const DWORD error = ::GetLastError();
    LOG_INFO << "删除文件失败，path:" << path << ",last error:" << error;
    const std::wstring sideName = name + L".tmp";
    // Booked under the name the system gives the renamed file itself, read
    // through its handle: a folder above it that is swapped for a link by
    // the restart cannot lead the deletion elsewhere.
    std::wstring booked;
    if (RenameHandle(handle, parent.handle(), parent.final_, sideName, true) == 0 &&
        !(booked = FinalPathOf(handle)).empty() &&
        ::MoveFileExW(booked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      LOG_INFO << "重启后删除文件，path:" << parent.path_ + L"\\" + sideName;
      ++outcome_.scheduled;
      if (options_.onFileDeleted) options_.onFileDeleted(path);
      return true;
    }
    ++outcome_.failed;
    LOG_ERROR << "移动文件失败:" << path << "到" << sideName << ",last error:" << ::GetLastError();
    return false;
  }

  const DeleteOptions& options_;
  Outcome outcome_;
};

DWORD Folder::OpenFollowingLinks(const std::wstring& path, Folder* folder) {
  *folder = Folder();
  folder->path_ = path;
  UtilFunc::RemoveTrailingBackslash(folder->path_);
  // Opened as a folder path: a drive root by "Q:\", never by "Q:", which is
  // the current folder of that drive.
  *folder->handle_.receive() = ::CreateFileW(UtilFunc::FolderPath(path).c_str(), kFolderAccess & ~DELETE, kShareAll,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (!folder->handle_.valid()) return ::GetLastError();
  folder->final_ = FinalPathOf(folder->handle());
  return folder->final_.empty() ? ::GetLastError() : 0;
}

DWORD Folder::Open(const std::wstring& path, Folder* folder) {
  std::wstring full = path;
  UtilFunc::RemoveTrailingBackslash(full);
  std::wstring parentPath, name;
  if (!UtilFunc::SplitPath(full, &parentPath, &name)) return ERROR_BAD_PATHNAME;
  Folder parent;
  if (const DWORD error = OpenFollowingLinks(parentPath, &parent)) return error;
  const DWORD error = parent.OpenChild(name, folder);
  if (!error) folder->path_ = full;
  return error;
}

DWORD Folder::OpenChild(const std::wstring& name, Folder* folder) const {
  ScopedHandle handle;
  DWORD error = 0;
  switch (OpenEntry(*this, final_, name, true, &handle, &error)) {
    case EntryKind::kFolder:
      break;
    case EntryKind::kLink:
    case EntryKind::kUnreachableLink:
      return ERROR_REPARSE_TAG_MISMATCH;
    case EntryKind::kFile:
      return ERROR_DIRECTORY;
    case EntryKind::kMissing:
      return error ? error : ERROR_FILE_NOT_FOUND;
    case EntryKind::kUnreadable:
      return error ? error : ERROR_ACCESS_DENIED;
  }
  *folder = Folder();
  folder->handle_ = std::move(handle);
  folder->path_ = path_ + L"\\" + name;
  folder->final_ = ChildFinalPath(final_, name);
  return 0;
}

DWORD Folder::CreateChild(const std::wstring& name, Folder* folder) const {
  HANDLE created = nullptr;
  const NTSTATUS status = OpenRelative(handle(), name, kFolderAccess, kDirectoryFile, kCreateDisposition, &created);
  if (NT_SUCCESS(status)) ::CloseHandle(created);
  else if (ErrorOf(status) != ERROR_ALREADY_EXISTS && ErrorOf(status) != ERROR_FILE_EXISTS)
    return ErrorOf(status);
  return OpenChild(name, folder);
}

DWORD Folder::CreateNewChild(const std::wstring& name, Folder* folder, PSECURITY_DESCRIPTOR security) const {
  ScopedHandle created;
  const NTSTATUS status = OpenRelative(handle(), name, kFolderAccess & ~DELETE, kDirectoryFile, kCreateDisposition,
                                       created.receive(), FILE_SHARE_READ | FILE_SHARE_WRITE, security);
  if (!NT_SUCCESS(status)) {
    *created.receive() = nullptr;
    return ErrorOf(status);
  }
  *folder = Folder();
  folder->handle_ = std::move(created);
  folder->path_ = path_ + L"\\" + name;
  folder->final_ = ChildFinalPath(final_, name);
  return 0;
}

DWORD Folder::CreateNewFile(const std::wstring& name, ACCESS_MASK access, ScopedHandle* file) const {
  const NTSTATUS status = OpenRelative(handle(), name, access | SYNCHRONIZE, kNonDirectoryFile | kSequentialOnly,
                                       kCreateDisposition, file->receive(), FILE_SHARE_READ);
  if (NT_SUCCESS(status)) return 0;
  *file->receive() = nullptr;
  return ErrorOf(status);
}

DWORD Folder::OpenFileForReading(const std::wstring& name, ScopedHandle* file) const {
  const NTSTATUS status = OpenRelative(handle(), name, GENERIC_READ | SYNCHRONIZE, kNonDirectoryFile | kSequentialOnly,
                                       kOpenDisposition, file->receive(), FILE_SHARE_READ);
  if (!NT_SUCCESS(status)) {
    *file->receive() = nullptr;
    return ErrorOf(status);
  }
  DWORD error = 0;
  switch (KindOfOpened(file->get(), final_, name, &error)) {
    case EntryKind::kFile:
      return 0;
    case EntryKind::kUnreadable:
      break;
    default:
      error = ERROR_REPARSE_TAG_MISMATCH;
  }
  *file = ScopedHandle();
  return error;
}

EntryKind Folder::Inspect(const std::wstring& name) const {
  ScopedHandle handle;
  DWORD error = 0;
  return OpenEntry(*this, final_, name, true, &handle, &error);
}

DWORD Folder::RemoveLinkChild(const std::wstring& name) const {
  ScopedHandle handle;
  DWORD error = 0;
  switch (OpenEntry(*this, final_, name, true, &handle, &error)) {
    case EntryKind::kLink:
      return DisposeOf(handle.get()) ? 0 : ::GetLastError();
    case EntryKind::kUnreachableLink:
      return ERROR_REPARSE_TAG_MISMATCH;
    case EntryKind::kMissing:
      return ERROR_FILE_NOT_FOUND;
    case EntryKind::kUnreadable:
      return error ? error : ERROR_ACCESS_DENIED;
    case EntryKind::kFile:
    case EntryKind::kFolder:
      break;
  }
  return ERROR_BAD_FILE_TYPE;
}

bool Folder::List(std::vector<std::wstring>* names) const {
  std::vector<Listed> entries;
  if (!ListFolder(handle(), &entries)) return false;
  for (Listed& entry : entries) names->push_back(std::move(entry.name));
  return true;
}

DWORD Folder::RenameChild(const std::wstring& name, const Folder& destination, const std::wstring& newName) const {
  ScopedHandle handle;
  DWORD error = 0;
  switch (OpenEntry(*this, final_, name, true, &handle, &error)) {
    case EntryKind::kFile:
    case EntryKind::kFolder:
    case EntryKind::kLink:
      return RenameHandle(handle.get(), destination.handle(), destination.final_, newName, false);
    case EntryKind::kUnreachableLink:
      return ERROR_REPARSE_TAG_MISMATCH;
    case EntryKind::kMissing:
    case EntryKind::kUnreadable:
      break;
  }
  return error ? error : ERROR_FILE_NOT_FOUND;
}

DWORD Folder::FlushChild(const std::wstring& name) const {
  // Checked on a handle that asks for nothing another holder could refuse,
  // then reopened for writing, which a flush needs.
  ScopedHandle file;
  const NTSTATUS status = OpenRelative(handle(), name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kNonDirectoryFile,
                                       kOpenDisposition, file.receive());
  if (!NT_SUCCESS(status)) {
    *file.receive() = nullptr;
    return ErrorOf(status);
  }
  DWORD error = 0;
  switch (KindOfOpened(file.get(), final_, name, &error)) {
    case EntryKind::kFile:
      break;
    case EntryKind::kUnreadable:
      return error;
    default:
      return ERROR_REPARSE_TAG_MISMATCH;
  }
  ScopedHandle writable(::ReOpenFile(file.get(), GENERIC_WRITE, kShareAll, 0));
  if (!writable) return ::GetLastError();
  return ::FlushFileBuffers(writable.get()) ? 0 : ::GetLastError();
}

namespace {

unsigned FlushFolderContent(const Folder& folder) {
  std::vector<Listed> entries;
  if (!ListFolder(folder.handle(), &entries)) {
    LOG_ERROR << "列出目录失败:" << folder.path() << ",last error:" << ::GetLastError();
    return 1;
  }
  unsigned failed = 0;
  for (const Listed& entry : entries) {
    DWORD error = 0;
    if (entry.isFolder) {
      Folder child;
      error = folder.OpenChild(entry.name, &child);
      if (!error) failed += FlushFolderContent(child);
    } else {
      error = folder.FlushChild(entry.name);
    }
    if (error && error != ERROR_REPARSE_TAG_MISMATCH) {
      ++failed;
      LOG_ERROR << "写入磁盘失败:" << folder.path() + L"\\" + entry.name << ",last error:" << error;
    }
  }
  return failed;
}

}  // namespace

unsigned FlushTree(const std::wstring& path) {
  Folder top;
  if (const DWORD error = Folder::Open(path, &top)) {
    LOG_ERROR << "打开目录失败:" << path << ",错误码:" << error;
    return 1;
  }
  return FlushFolderContent(top);
}

Outcome DeleteChild(const Folder& parent, const std::wstring& name, const DeleteOptions& options) {
  Walker walker(options);
  walker.DeleteEntry(parent, name, true, true);
  return walker.outcome();
}

Outcome DeleteTree(const std::wstring& path, const DeleteOptions& options) {
  std::wstring full = path;
  UtilFunc::RemoveTrailingBackslash(full);
  Outcome refused;
  refused.refused = true;
  if (IsProtectedFolder(full)) {
    LOG_ERROR << "拒绝删除整个磁盘或系统目录:" << path;
    return refused;
  }
  std::wstring parentPath, name;
  if (!UtilFunc::SplitPath(full, &parentPath, &name)) {
    LOG_ERROR << "拒绝删除整个磁盘或系统目录:" << path;
    return refused;
  }
  Folder parent;
  const DWORD error = Folder::OpenFollowingLinks(parentPath, &parent);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
  if (error) {
    Outcome failed;
    failed.failed = 1;
    LOG_ERROR << "打开目录失败:" << parentPath << ",last error:" << error;
    return failed;
  }
  return DeleteChild(parent, name, options);
}

Outcome DeleteBelow(const std::wstring& base, const std::wstring& path, const DeleteOptions& options) {
  std::wstring top = base;
  UtilFunc::RemoveTrailingBackslash(top);
  std::wstring full = path;
  UtilFunc::RemoveTrailingBackslash(full);
  Outcome outcome;
  if (UtilFunc::EqualIgnoringCase(full, top)) return DeleteTree(full, options);
  if (!IsBelow(top, full)) {
    if (BelowBaseUnchecked()) return DeleteTree(full, options);
    LOG_ERROR << "路径不在目录之下，不删除:" << path;
    outcome.refused = true;
    return outcome;
  }
  if (IsProtectedFolder(full)) {
    LOG_ERROR << "拒绝删除整个磁盘或系统目录:" << path;
    outcome.refused = true;
    return outcome;
  }
  Folder folder;
  DWORD error = Folder::OpenFollowingLinks(top, &folder);
  for (size_t start = top.size() + 1; !error;) {
    const size_t slash = full.find(L'\\', start);
    if (slash == std::wstring::npos) return DeleteChild(folder, full.substr(start), options);
    Folder next;
    error = folder.OpenChild(full.substr(start, slash - start), &next);
    folder = std::move(next);
    start = slash + 1;
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return outcome;  // nothing there to delete
  if (error == ERROR_REPARSE_TAG_MISMATCH) {
    outcome.throughLink = true;
  } else {
    ++outcome.failed;
    LOG_ERROR << "打开目录失败:" << path << ",last error:" << error;
  }
  return outcome;
}

bool IsProtectedFolder(const std::wstring& path) {
  if (IsRootOrRelative(path)) return true;
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return true;
  // As written and as the system resolves it: a system folder reached by
  // another spelling or through a link is still that folder.
  const std::wstring spellings[] = {UtilFunc::FolderPath(std::wstring(full, length)), ResolvedPath(path)};
  static const std::vector<std::wstring> folders = ProtectedFolders();
  for (const std::wstring& spelling : spellings) {
    if (spelling.empty()) continue;
    if (IsRootOrRelative(spelling)) return true;
    for (const std::wstring& folder : folders)
      if (IsOrHolds(spelling, folder)) return true;
  }
  return false;
}

}  // namespace tree
