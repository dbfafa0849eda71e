#include "common/link_guard.h"

#include <windows.h>

#include "common/logging.h"
#include "common/tree_walker.h"
#include "common/utilfunc.h"

namespace {

// The folder that holds `path` (opened following links: it is the caller's
// to judge) and the last part of `path`.
DWORD OpenParent(const std::wstring& path, tree::Folder* parent, std::wstring* name) {
  std::wstring folder;
  if (!UtilFunc::SplitPath(path, &folder, name)) return ERROR_BAD_PATHNAME;
  return tree::Folder::OpenFollowingLinks(folder, parent);
}

NameKind KindOf(tree::EntryKind kind) {
  switch (kind) {
    case tree::EntryKind::kMissing:
      return NameKind::kMissing;
    case tree::EntryKind::kFile:
      return NameKind::kFile;
    case tree::EntryKind::kFolder:
      return NameKind::kFolder;
    case tree::EntryKind::kLink:
    case tree::EntryKind::kUnreachableLink:
      return NameKind::kLink;
    case tree::EntryKind::kUnreadable:
      break;
  }
  return NameKind::kUnknown;
}

bool RemoveLinkOrRefuse(const tree::Folder& parent, const std::wstring& name) {
  if (parent.RemoveLinkChild(name) == 0) return true;
  LOG_ERROR << "链接无法只删除链接本身，不写入:" << parent.path() + L"\\" + name;
  return false;
}

}  // namespace

NameKind InspectName(const std::wstring& path) {
  tree::Folder parent;
  std::wstring name;
  const DWORD error = OpenParent(path, &parent, &name);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return NameKind::kMissing;
  return error ? NameKind::kUnknown : KindOf(parent.Inspect(name));
}

ScopedHandle CreateFreshFile(const std::wstring& path) {
  tree::Folder parent;
  std::wstring name;
  if (const DWORD error = OpenParent(path, &parent, &name)) {
    LOG_ERROR << "创建文件失败:" << path << ",last error:" << error;
    return ScopedHandle();
  }
  switch (KindOf(parent.Inspect(name))) {
    case NameKind::kMissing:
      break;
    case NameKind::kFile:
      // The older file goes through the handle that was checked, so that a
      // swap after the check cannot make it delete something else.
      if (!tree::DeleteChild(parent, name).ok()) {
        LOG_ERROR << "删除旧文件失败，不写入:" << path;
        return ScopedHandle();
      }
      break;
    case NameKind::kLink:
      if (!RemoveLinkOrRefuse(parent, name)) return ScopedHandle();
      break;
    case NameKind::kFolder:
    case NameKind::kUnknown:
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
  tree::Folder folder;
  if (tree::Folder::OpenFollowingLinks(base, &folder)) return true;  // created afresh below
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = relative.size();
    if (end > start) {
      const std::wstring name = relative.substr(start, end - start);
      switch (KindOf(folder.Inspect(name))) {
        case NameKind::kMissing:
          return true;  // this level and the ones below are created afresh
        case NameKind::kFolder: {
          tree::Folder next;
          if (const DWORD error = folder.OpenChild(name, &next)) {
            LOG_ERROR << "目标不是目录，不写入:" << folder.path() + L"\\" + name << ",last error:" << error;
            return false;
          }
          folder = std::move(next);
          break;
        }
        case NameKind::kLink:
          return RemoveLinkOrRefuse(folder, name);
        case NameKind::kFile:
        case NameKind::kUnknown:
          LOG_ERROR << "目标不是目录，不写入:" << folder.path() + L"\\" + name;
          return false;
      }
    }
    start = end + 1;
  }
  return true;
}
