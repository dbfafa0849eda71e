#include <objbase.h>
#include <shlobj.h>

#include "common/link_guard.h"
#include "common/logging.h"
#include "common/tree_walker.h"
#include "common/utilfunc.h"
#include "libinstall/setupitem.h"
#include "libinstall/setupstrategies.h"

namespace {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T** receive() { return &p_; }
  void** receive_void() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A shell folder with a trailing backslash, or empty when the shell cannot
// tell it: the rules then do nothing rather than work below the drive root.
std::wstring ShellFolder(int csidl, DWORD type) {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, type, folder)) || folder[0] == L'\0') return {};
  std::wstring path = folder;
  UtilFunc::AppendBackslash(path);
  return path;
}

std::wstring DesktopFolder() { return ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY, SHGFP_TYPE_CURRENT); }
std::wstring ProgramsFolder() { return ShellFolder(CSIDL_COMMON_PROGRAMS, SHGFP_TYPE_DEFAULT); }

// The folder part of a path including its last backslash; empty without one.
std::wstring FolderOf(const std::wstring& path) {
  std::wstring folder, name;
  UtilFunc::SplitLastPart(path, &folder, &name);
  return name.size() == path.size() ? std::wstring() : folder + L"\\";
}

// True when a relative link names something strictly inside its base folder:
// not empty, and no "." or ".." step that would reach the folder itself or
// above it. Removal is refused for anything else.
bool StaysInsideFolder(const std::wstring& link) {
  bool named = false;
  size_t start = 0;
  while (start <= link.size()) {
    size_t end = link.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = link.size();
    const std::wstring step = link.substr(start, end - start);
    if (step == L"." || step == L"..") return false;
    if (!step.empty()) named = true;
    start = end + 1;
  }
  return named && link.find(L':') == std::wstring::npos;
}

// Removes a shortcut file or folder below `base`, or a link planted at its
// name as a link (never what it points to); a read-only shortcut stays, as
// the system's own deletion leaves it, and so does a path through a link.
void DeleteShortcut(const std::wstring& base, const std::wstring& path) {
  const NameKind kind = InspectName(path);
  if (kind == NameKind::kFile && (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY)) return;
  if (kind != NameKind::kFile && kind != NameKind::kLink && kind != NameKind::kFolder) return;
  if (tree::DeleteBelow(base, path).throughLink) LOG_ERROR << "快捷方式路径经过链接，不删除:" << path;
}

// Writes the shortcut `link` as a new file at `linkPath`: through a handle
// created afresh, so a link planted at that name is never written through.
bool SaveShortcut(IShellLinkW* link, const std::wstring& linkPath) {
  IStream* stream = nullptr;
  if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return false;
  bool saved = false;
  ComPtr<IPersistStream> persist;
  HGLOBAL memory = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistStream, persist.receive_void())) &&
      SUCCEEDED(persist->Save(stream, TRUE)) && SUCCEEDED(::GetHGlobalFromStream(stream, &memory))) {
    STATSTG stat = {};
    const void* bytes = ::GlobalLock(memory);
    if (bytes && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME))) {
      const ScopedHandle file = CreateFreshFile(linkPath);
      const DWORD size = static_cast<DWORD>(stat.cbSize.QuadPart);
      DWORD written = 0;
      saved = file && ::WriteFile(file.get(), bytes, size, &written, nullptr) && written == size;
    }
    if (bytes) ::GlobalUnlock(memory);
  }
  stream->Release();
  if (saved) ::SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, linkPath.c_str(), nullptr);
  return saved;
}

}  // namespace

int CreateShortcut(const std::wstring& target, const std::wstring& arguments, const std::wstring& linkPath,
                   const std::wstring& iconPath) {
  const std::wstring workingFolder = FolderOf(target);
  const std::wstring linkFolder = FolderOf(linkPath);
  if (!linkFolder.empty() && ::GetFileAttributesW(linkFolder.c_str()) == INVALID_FILE_ATTRIBUTES)
    ::SHCreateDirectoryExW(nullptr, linkFolder.c_str(), nullptr);

  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.receive_void())))
    return 0;
  link->SetPath(target.c_str());
  link->SetShowCmd(SW_SHOW);
  if (!workingFolder.empty()) link->SetWorkingDirectory(workingFolder.c_str());
  if (!arguments.empty()) link->SetArguments(arguments.c_str());
  if (!iconPath.empty()) link->SetIconLocation(iconPath.c_str(), 0);

  return SaveShortcut(link.get(), linkPath) ? 1 : 0;
}

int CSetupStrategyForDesktopIcon::LoadCfg(const boost::property_tree::ptree& node) {
  for (const auto& child : node) {
    const auto& attributes = setupitem::Attributes(child);
    Item item;
    item.file = SetupVariables::Expand(setupitem::WideText(attributes, "file"));
    item.link = setupitem::WideText(attributes, "link");
    item.cmd = setupitem::WideText(attributes, "cmd");
    item.icon = SetupVariables::Expand(setupitem::WideText(attributes, "icon"));
    items_.push_back(std::move(item));
  }
  return 1;
}

void CSetupStrategyForDesktopIcon::Install() {
  const std::wstring desktop = DesktopFolder();
  if (desktop.empty()) return;
  for (const Item& item : items_)
    if (RealFoldersBelow(desktop, FolderOf(item.link))) CreateShortcut(item.file, item.cmd, desktop + item.link, item.icon);
}

void CSetupStrategyForDesktopIcon::UnInstall() {
  const std::wstring desktop = DesktopFolder();
  if (desktop.empty()) return;
  // The system's own deletion: a read-only shortcut is left in place.
  for (const Item& item : items_) {
    if (!StaysInsideFolder(item.link)) continue;
    const std::wstring path = desktop + item.link;
    if (InspectName(path) != NameKind::kFolder) DeleteShortcut(desktop, path);
  }
}

int CSetupStrategyForStartMenu::LoadCfg(const boost::property_tree::ptree& node) {
  for (const auto& child : node) {
    const auto& attributes = setupitem::Attributes(child);
    Item item;
    item.file = SetupVariables::Expand(setupitem::WideText(attributes, "file"));
    item.link = setupitem::WideText(attributes, "link");
    item.cmd = setupitem::WideText(attributes, "cmd");
    items_.push_back(std::move(item));
  }
  return 1;
}

void CSetupStrategyForStartMenu::Install() {
  const std::wstring programs = ProgramsFolder();
  if (programs.empty()) return;
  for (const Item& item : items_)
    if (RealFoldersBelow(programs, FolderOf(item.link)))
      CreateShortcut(item.file, item.cmd, programs + item.link, std::wstring());
}

void CSetupStrategyForStartMenu::UnInstall() {
  const std::wstring programs = ProgramsFolder();
  if (programs.empty()) return;
  for (const Item& item : items_) {
    if (!StaysInsideFolder(item.link)) continue;
    std::wstring path = programs + item.link;
    UtilFunc::RemoveTrailingBackslash(path);
    // A folder (the start-menu folder) goes whole, a shortcut as the
    // system would delete it.
    DeleteShortcut(programs, path);
  }
}
