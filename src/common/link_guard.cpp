#include "common/link_guard.h"

#include <windows.h>

#include "common/logging.h"
#include "common/utilfunc.h"

namespace {

std::wstring WithoutTrailingBackslash(std::wstring path) {
  UtilFunc::RemoveTrailingBackslash(path);
  return path;
}

// The normalised full name of what `handle` reaches; empty when unknown.
std::wstring FinalPath(HANDLE handle) {
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

// True when the object behind `handle` sits under the name `path`: its final
// name is its parent folder's final name plus the last part of `path`. Wine
// opens the target of a host symbolic link to a file even with
// FILE_FLAG_OPEN_REPARSE_POINT and reports plain attributes for it, so the
// name the handle reached is the only sign of such a link.
bool HandleIsAtItsName(HANDLE handle, const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return false;
  const ScopedHandle parent(::CreateFileW(path.substr(0, slash + 1).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!parent) return false;
  std::wstring expected = FinalPath(parent.get());
  if (expected.empty()) return false;
  UtilFunc::AppendBackslash(expected);
  expected += path.substr(slash + 1);
  const std::wstring reached = FinalPath(handle);
  return !reached.empty() &&
         ::CompareStringOrdinal(reached.c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Tells what `path` is, deciding on a handle of `path` itself (never a
// link's target where the system can help it) opened with `access`, which
// `handle` (empty) receives.
NameKind Inspect(const std::wstring& path, DWORD access, ScopedHandle& handle) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NameKind::kMissing : NameKind::kUnknown;
  }
  // Wine shows a host symbolic link to a folder as a reparse point here but
  // opens its target below.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return NameKind::kLink;
  *handle.receive() = ::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (!handle) return NameKind::kUnknown;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag)) return NameKind::kUnknown;
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !HandleIsAtItsName(handle.get(), path))
    return NameKind::kLink;
  return (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? NameKind::kFolder : NameKind::kFile;
}

bool RemoveLinkOrRefuse(const std::wstring& path) {
  if (UtilFunc::RemoveLink(path)) return true;
  LOG_ERROR << "链接无法只删除链接本身，不写入:" << path;
  return false;
}

}  // namespace

NameKind InspectName(const std::wstring& path) {
  ScopedHandle handle;
  return Inspect(WithoutTrailingBackslash(path), 0, handle);
}

ScopedHandle CreateFreshFile(const std::wstring& path) {
  NameKind kind = NameKind::kUnknown;
  {
    ScopedHandle existing;
    kind = Inspect(path, DELETE, existing);
    // An older file is deleted through the handle that was checked, so that
    // a swap after the check cannot make it delete something else. A
    // read-only file refuses, as writing over it would.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (kind == NameKind::kFile &&
        !::SetFileInformationByHandle(existing.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
      LOG_ERROR << "删除旧文件失败，不写入:" << path << ",last error:" << ::GetLastError();
      return ScopedHandle();
    }
  }  // the name is free once the last handle of the deleted file is closed
  if (kind == NameKind::kLink && !RemoveLinkOrRefuse(path)) return ScopedHandle();
  if (kind == NameKind::kFolder || kind == NameKind::kUnknown) {
    LOG_ERROR << "目标不是普通文件，不写入:" << path;
    return ScopedHandle();
  }
  // CREATE_NEW never opens what is there: a link planted since the check
  // makes the creation fail instead of being written through.
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) LOG_ERROR << "创建文件失败:" << path << ",last error:" << ::GetLastError();
  return ScopedHandle(file);
}

bool RealFoldersBelow(const std::wstring& base, const std::wstring& relative) {
  std::wstring folder = base;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = relative.size();
    if (end > start) {
      folder += relative.substr(start, end - start);
      switch (InspectName(folder)) {
        case NameKind::kMissing:
          return true;  // this level and the ones below are created afresh
        case NameKind::kFolder:
          break;
        case NameKind::kLink:
          if (!RemoveLinkOrRefuse(folder)) return false;
          return true;
        case NameKind::kFile:
        case NameKind::kUnknown:
          LOG_ERROR << "目标不是目录，不写入:" << folder;
          return false;
      }
      folder += L'\\';
    }
    start = end + 1;
  }
  return true;
}
