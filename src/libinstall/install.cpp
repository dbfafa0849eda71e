#include "libinstall/install.h"

#include <objbase.h>
#include <process.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <memory>
#include <sstream>
#include <vector>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "common/utilfunc.h"
#include "libinstall/versionfolder.h"

namespace {

constexpr char kVersionItemId[] = "OVVersionString";
constexpr wchar_t kQuorixDll[] = L"Quorix.dll";
constexpr wchar_t kQuorixCopy[] = L"Quorix.zk";
constexpr wchar_t kNewEntry[] = L"new";

bool PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The whole file, read through its wide name, so that install folders with
// characters outside the ANSI code page work too. False when unreadable.
bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ok = bytes.empty() || (::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                           read == bytes.size());
  }
  ::CloseHandle(file);
  return ok;
}

// Sub-folders of `folder` (which ends in a backslash), without "." and "..".
std::vector<std::wstring> SubFolderNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
      names.push_back(name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

// Moves the staged install-folder items of `staged` (ending in a backslash)
// over their places below `target`, replacing what is there. A target that is
// in use or read-only keeps its old file, as the write-out keeps such files.
void PlaceStagedItems(const std::wstring& staged, const std::wstring& target) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((staged + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring from = staged + name;
    const std::wstring to = target + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!::CreateDirectoryW(to.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        LOG_ERROR << "创建文件夹失败：" << to << "，错误码：" << ::GetLastError();
      PlaceStagedItems(from + L"\\", to + L"\\");
      continue;
    }
    const DWORD attributes = ::GetFileAttributesW(to.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (!readOnly && ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) continue;
    const DWORD error = readOnly ? ERROR_ACCESS_DENIED : ::GetLastError();
    if (IsKeptTarget(error, to))
      LOG_ERROR << "目标文件正在使用或只读，保留原文件：" << to << "，错误码：" << error;
    else
      LOG_ERROR << "移动文件失败:" << from << "到" << to << "，错误码：" << error;
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

// COM in a single-threaded apartment for the lifetime of the install thread
// (the shortcut rules use the shell-link object).
class ComApartment {
 public:
  ComApartment() : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    if (initialized_) ::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialized_;
};

}  // namespace

std::wstring ReadVersionString(const std::string& xml) {
  namespace pt = boost::property_tree;
  try {
    std::istringstream stream(xml);
    pt::ptree tree;
    pt::read_xml(stream, tree);
    for (const auto& child : tree.get_child("staticconfigs")) {
      if (child.first != "item") continue;
      // An item without an id ends the search: its get_child throws.
      if (child.second.get_child("<xmlattr>.id").data() == kVersionItemId)
        return Utf8ToWide(child.second.data());
    }
  } catch (const pt::ptree_error&) {
  }
  return {};
}

bool IsUsableVersion(const std::wstring& version) {
  // Windows drops trailing dots and blanks from a name, so ".. " would name
  // the parent folder and "..." the install folder itself.
  if (version.empty() || version.back() == L'.' || version.back() == L' ') return false;
  for (wchar_t c : version)
    if (c < 0x20 || c == L'\\' || c == L'/' || c == L':') return false;
  return true;
}

IInstall* CreateInstall() { return new CInstall(); }

IInstall* CreateInstall(DWORD wait_limit_ms) { return new CInstall(wait_limit_ms); }

CInstall::CInstall(DWORD wait_limit_ms) : strategy_(SetupSection::kInstall), wait_limit_ms_(wait_limit_ms) {}

// The package locator must not go while its thread still decompresses into
// it (a window closed on its first page), nor the driver while its install
// thread runs.
CInstall::~CInstall() {
  // Closed before installing: the head start is of no use any more.
  if (!install_thread_ && package_.m_pDecompress) package_.m_pDecompress->Cancel();
  WaitForThreads();
}

// A thread may be blocked in a report that the callback turned into a
// synchronous window message to this thread's window; such messages are
// taken while waiting, so the wait cannot deadlock.
void CInstall::WaitForThreads() {
  const HANDLE threads[] = {install_thread_, package_.m_hThread};
  bool logged = false;
  for (HANDLE thread : threads) {
    if (!thread) continue;
    for (;;) {
      MSG msg;
      ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      const DWORD waited = ::MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_SENDMESSAGE);
      if (waited == WAIT_OBJECT_0 || waited == WAIT_FAILED) break;
      if (!logged) LOG_INFO << "等待安装线程结束";
      logged = true;
    }
  }
  if (install_thread_) ::CloseHandle(install_thread_);
}

int CInstall::Init(IInstallCallBack* callback, DecompressStart start) {
  callback_ = callback;
  package_.m_pDecompress = new C7zDecompressImpl();
  package_.m_pDecompress->SetProgressCallBack(&package_);
  package_.m_pProgress = this;
  if (start == DecompressStart::kInBackground) {
    ScopedLock lock(package_.m_lock);
    package_.StartDecompressThread();
  }
  return 1;
}

void CInstall::SetInstallPath(const wchar_t* folder) {
  install_folder_ = folder ? folder : L"";
  UtilFunc::AppendBackslash(install_folder_);
}

void CInstall::SetSkipSetupConfig(int flag) { skip_setup_config_ = flag; }

int CInstall::StartInstall(int wait) {
  LOG_INFO << "开始安装...";
  struct StartRecord {
    CInstall* install;
  };
  auto* record = new StartRecord{this};
  const auto body = [](void* parameter) -> unsigned {
    std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(parameter));
    return static_cast<unsigned>(start->install->DoStartInstall());
  };
  const uintptr_t thread = _beginthreadex(nullptr, 0, body, record, 0, nullptr);
  if (!thread) {
    delete record;
    return 0;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(thread);
  if (!wait) {
    if (install_thread_) ::CloseHandle(install_thread_);
    install_thread_ = handle;
    return 1;
  }
  if (::WaitForSingleObject(handle, wait_limit_ms_) == WAIT_TIMEOUT) {
    // A thread ended by force may have held a lock of the handle table (under
    // Wine closing a handle then waits for it forever). Its handle stays
    // open: the caller ends the process without another call.
    ::TerminateThread(handle, 1);
    return 1;
  }
  ::CloseHandle(handle);
  return 1;
}

void CInstall::OnExtractProgress(int kind, int total, int index) {
  if (!callback_) return;
  if (kind == k7zProgressDecompressing && !installing_)
    callback_->OnInstallProgress(kStageDecompressing, total, index);
  else if (kind == k7zProgressWritten)
    callback_->OnInstallProgress(kStageWritten, total, index);
}

void CInstall::OnExtractTotalSize(UINT32 size) {
  if (callback_) callback_->OnPackageSize(size);
}

void CInstall::Report(int stage) {
  if (callback_) callback_->OnInstallProgress(stage, 0, 0);
}

int CInstall::Fail() {
  outcome_ = InstallOutcome::kFailed;
  Report(kStageFailed);
  return -1;
}

int CInstall::DoStartInstall() {
  ComApartment com;
  installing_ = true;

  std::wstring extraction_folder = install_folder_ + kExtractionFolderName;
  UtilFunc::AppendBackslash(extraction_folder);
  if (!RemoveLeftoverExtraction(extraction_folder)) return Fail();
  LOG_INFO << "开始释放文件:" << extraction_folder;
  if (!WritePackage(extraction_folder)) return FailBeforeSwitch(extraction_folder);

  std::string static_config;
  std::wstring version;
  if (ReadWholeFile(extraction_folder + kStaticConfigPath, static_config))
    version = ReadVersionString(static_config);
  // The version names a folder below the install folder that is emptied
  // below: it must not lead anywhere else.
  if (!IsUsableVersion(version)) {
    LOG_ERROR << "获取版本失败";
    return FailBeforeSwitch(extraction_folder);
  }

  // A file where the version folder belongs would make the move fail after
  // the previous installation is gone: fail while it is still there.
  std::wstring version_entry = install_folder_ + version;
  const DWORD version_attributes = ::GetFileAttributesW(version_entry.c_str());
  if (version_attributes != INVALID_FILE_ATTRIBUTES && !(version_attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    LOG_ERROR << "拷贝到版本目录失败";
    return FailBeforeSwitch(extraction_folder);
  }

  // The package is complete and intact: from here on it replaces the
  // previous installation.
  RemoveOldVersionFolders();
  const std::wstring staged = extraction_folder + kStagedItemsFolderName + L"\\";
  PlaceStagedItems(staged, install_folder_);
  if (PathExists(staged)) UtilFunc::DeleteFolder(staged, 1);

  std::wstring version_folder = version_entry;
  UtilFunc::AppendBackslash(version_folder);
  std::wstring install_dir = install_folder_;
  UtilFunc::RemoveTrailingBackslash(install_dir);
  SetupVariables::Set(SetupVariables::kInstDir, install_dir);
  SetupVariables::Set(SetupVariables::kVersion, version);

  // A link where the version folder belongs is removed, never written
  // through; a real folder that survived the clean-up (its name does not
  // match the pattern, or files in it could not be deleted) is emptied, and
  // the move then skips files it cannot place.
  bool overwrite = false;
  if (UtilFunc::IsLink(version_folder)) {
    LOG_INFO << "版本目录是链接，删除链接:" << version_folder;
    UtilFunc::RemoveLink(version_folder);
  } else if (PathExists(version_folder)) {
    LOG_INFO << "覆盖安装,删除老文件";
    overwrite = true;
    UtilFunc::DeleteFolder(version_folder, 0);
  }

  LOG_INFO << "移动目录:" << extraction_folder << "到" << version_folder;
  const bool renamed = !overwrite && RenameToFreshFolder(extraction_folder, version_folder);
  if (!renamed && !UtilFunc::MoveFolder(extraction_folder, version_folder, overwrite ? 1 : 0)) {
    LOG_ERROR << "拷贝到版本目录失败";
    return Fail();
  }

  ::CopyFileW((version_folder + kQuorixDll).c_str(), (version_folder + kQuorixCopy).c_str(), FALSE);

  if (!skip_setup_config_) {
    LOG_INFO << "开始执行安装配置";
    Report(kStageSetupConfig);
    RunSetupStrategy(version_folder);
  }

  if (PathExists(extraction_folder)) UtilFunc::DeleteFolder(extraction_folder, 1);

  LOG_INFO << "安装完成，通知界面";
  outcome_ = InstallOutcome::kFinished;
  Report(kStageFinished);
  return 0;
}

bool CInstall::RenameToFreshFolder(const std::wstring& extraction_folder, const std::wstring& version_folder) {
  std::wstring from = extraction_folder;
  std::wstring to = version_folder;
  UtilFunc::RemoveTrailingBackslash(from);
  UtilFunc::RemoveTrailingBackslash(to);
  // One rename instead of one move per file. It fails when something took
  // the version folder's place or a file inside is held open (a scanner
  // reading a new file): the file-by-file move then takes over.
  if (::MoveFileExW(from.c_str(), to.c_str(), 0)) return true;
  LOG_INFO << "释放目录不能整体改名，逐个移动文件，错误码：" << ::GetLastError();
  return false;
}

bool CInstall::RemoveLeftoverExtraction(const std::wstring& extraction_folder) {
  std::wstring path = extraction_folder;
  UtilFunc::RemoveTrailingBackslash(path);
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  LOG_INFO << "删除残留的释放目录:" << path;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    UtilFunc::DeleteFolder(path, 1);
  else
    UtilFunc::DeleteFileW(path);
  if (!PathExists(path)) return true;
  LOG_ERROR << "删除残留的释放目录失败:" << path;
  return false;
}

int CInstall::FailBeforeSwitch(const std::wstring& extraction_folder) {
  if (PathExists(extraction_folder)) UtilFunc::DeleteFolder(extraction_folder, 1);
  return Fail();
}

// Removes "new" and every folder named like an application version: older
// versions and the same version installed before.
void CInstall::RemoveOldVersionFolders() {
  const std::wstring new_entry = install_folder_ + kNewEntry;
  if (PathExists(new_entry)) UtilFunc::DeleteFolder(new_entry, 1);

  std::vector<std::wstring> version_folders;
  for (const std::wstring& name : SubFolderNames(install_folder_))
    if (IsVersionFolderName(name)) version_folders.push_back(install_folder_ + name);
  for (const std::wstring& folder : version_folders) UtilFunc::DeleteFolder(folder, 1);
}

bool CInstall::WritePackage(const std::wstring& extraction_folder) {
  HRESULT result = E_FAIL;
  {
    // Held from before the wait until after the write-out, so that the
    // background thread is never seen half-started.
    ScopedLock lock(package_.m_lock);
    I7zDecompress* decompress = package_.m_pDecompress;
    if (decompress) decompress->SetParentItemsFolder(extraction_folder + kStagedItemsFolderName);
    if (package_.m_hThread) {
      // What the background thread has decoded is written at once, the rest
      // as it comes; the thread may be waiting for exactly this.
      decompress->StartWriteToFolder(extraction_folder);
      if (::WaitForSingleObject(package_.m_hThread, INFINITE) == WAIT_OBJECT_0)
        result = decompress->WriteToFolder(extraction_folder);
    } else if (decompress && package_.OpenPackage() && package_.m_pView) {
      const BYTE* archive = package_.m_pView + package_.m_archiveOffset;
      result = decompress->DecompressToFolder(archive, package_.m_fileSize - package_.m_archiveOffset,
                                              extraction_folder);
    }
  }
  // A missing package writes nothing (E_FAIL) and fails at the version check.
  if (result == k7zPackageDamaged) {
    LOG_ERROR << "安装包数据损坏，释放文件失败";
    return false;
  }
  if (FAILED(result) && HRESULT_FACILITY(result) == FACILITY_WIN32) {
    LOG_ERROR << "释放文件失败,last error:" << HRESULT_CODE(result);
    return false;
  }
  return true;
}

int CInstall::RunSetupStrategy(const std::wstring& version_folder) {
  if (!strategy_.LoadStrategyCfg(version_folder + kSetupFileName)) return 0;
  LOG_INFO << "运行安装配置";
  strategy_.Install();
  return 1;
}
