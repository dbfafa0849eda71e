#include "libinstall/install.h"

#include <objbase.h>
#include <process.h>

#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "common/logging.h"
#include "common/protected_rights.h"
#include "common/scoped_handle.h"
#include "common/utilfunc.h"
#include "common/tree_walker.h"
#include "common/version_rule.h"
#include "common/wait_limit.h"
#include "libinstall/install_switch.h"
#include "libinstall/versionfolder.h"

namespace {

constexpr wchar_t kQuorixDll[] = L"Quorix.dll";
constexpr wchar_t kQuorixCopy[] = L"Quorix.zk";
constexpr wchar_t kNewEntry[] = L"new";

bool PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True when `folder` does not exist or holds no entry; a folder that cannot
// be listed counts as holding something.
bool IsMissingOrEmpty(const std::wstring& folder) {
  tree::Folder opened;
  std::vector<std::wstring> names;
  const DWORD error = tree::Folder::OpenFollowingLinks(folder, &opened);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  return !error && opened.List(&names) && names.empty();
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

// True when `folder` lies below a program-files folder, whose rights its
// sub-folders inherit.
bool IsBelowProgramFiles(const std::wstring& folder) {
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameW(folder.c_str(), MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return false;
  const std::wstring path(full, length);
  for (const int csidl : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86}) {
    std::wstring root = UtilFunc::GetSpecialFolder(csidl);
    if (root.empty()) continue;
    UtilFunc::AppendBackslash(root);
    if (path.size() > root.size() && UtilFunc::EqualIgnoringCase(path.substr(0, root.size()), root)) return true;
  }
  return false;
}

// Copies the rest of `from` into `to`; 0 or the error.
DWORD CopyContent(HANDLE from, HANDLE to) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return ::GetLastError();
    if (read == 0) return 0;
    DWORD written = 0;
    if (!::WriteFile(to, buffer.data(), read, &written, nullptr)) return ::GetLastError();
    if (written != read) return ERROR_DISK_FULL;
  }
}

// COM in a single-threaded apartment on the install thread while the setup
// rules run (the shortcut rules use the shell-link object).
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

bool IsUsableVersion(const std::wstring& version) { return CheckVersion(version.c_str()) == VersionProblem::kNone; }

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
  decompress_ = new C7zDecompressImpl();
  package_.m_pDecompress = decompress_;
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
  // A worker that ended only as the silent run's limit passed (a rule helper
  // waited for up to it) did not finish within it either.
  if (::WaitForSingleObject(handle, wait_limit_ms_) == WAIT_TIMEOUT || run_deadline::Remaining() == 0) {
    // No thread is ended by force: one ended half-way through the switch
    // would leave a mixed installation. Decoding and writing stop at once;
    // before the switch the thread then removes what it wrote, in it it
    // finishes or undoes the switch. What else it waits for (a rule helper)
    // is waited for within the limit only, so the grace ends the wait.
    LOG_ERROR << "安装超时，停止安装";
    stop_requested_ = true;
    if (decompress_) decompress_->Cancel();
    if (!WaitForStoppedWorker(handle, install_folder_ + kJournalFileName))
      LOG_ERROR << "安装线程在宽限时间内没有结束，不再等待";
    outcome_ = InstallOutcome::kStopped;
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
  package_size_ = size;
  if (callback_) callback_->OnPackageSize(size);
}

void CInstall::Report(int stage) {
  if (callback_) callback_->OnInstallProgress(stage, 0, 0);
}

int CInstall::Fail() {
  outcome_ = stop_requested_ ? InstallOutcome::kStopped : InstallOutcome::kFailed;
  Report(kStageFailed);
  return -1;
}

int CInstall::DoStartInstall() {
  installing_ = true;

  // A switch a killed run left half-way is undone or finished first.
  const SwitchRecovery recovery = FinishInterruptedSwitch(install_folder_);
  if (!MayChangeInstallFolder(recovery)) return Fail();
  if (recovery == SwitchRecovery::kIncomplete) LOG_INFO << "原安装无法完全恢复，安装新版本覆盖现有文件";
  std::wstring extraction_folder = install_folder_ + kExtractionFolderName;
  UtilFunc::AppendBackslash(extraction_folder);
  if (!RemoveLeftoverExtraction(extraction_folder)) return Fail();
  // Each file is flushed as it is written only where the switch may put an
  // earlier installation aside. Into a folder that holds nothing, a power cut
  // soon after could cost only the new files, which running the installer
  // again restores, and a flush per file would make every first installation
  // wait for the disk.
  flush_written_ = !IsMissingOrEmpty(install_folder_);
  if (!flush_written_) LOG_INFO << "安装目录为空，写出的文件不逐个写入磁盘";
  if (!PrepareInstallFolder() || !CreateExtractionFolder(extraction_folder)) return Fail();
  LOG_INFO << "开始释放文件:" << extraction_folder;
  if (!WritePackage(extraction_folder) || !VerifyWrittenItems(extraction_folder))
    return FailBeforeSwitch(extraction_folder);

  std::string static_config;
  std::wstring version;
  if (ReadWholeFile(extraction_folder + kStaticConfigPath, static_config))
    version = ReadVersionString(static_config);
  // The version names a folder below the install folder that the switch
  // replaces: it must not lead anywhere else nor name one of ours.
  if (!IsUsableVersion(version)) {
    LOG_ERROR << "获取版本失败";
    return FailBeforeSwitch(extraction_folder);
  }
  const std::wstring version_folder = install_folder_ + version + L"\\";
  std::wstring install_dir = install_folder_;
  UtilFunc::RemoveTrailingBackslash(install_dir);
  SetupVariables::Set(SetupVariables::kInstDir, install_dir);
  SetupVariables::Set(SetupVariables::kVersion, version);

  // Everything that can fail is done or checked while the earlier
  // installation is untouched: the library's copy, the rule file, and
  // whether each entry the new version replaces can be moved aside.
  if (!CopyQuorixLibrary(extraction_folder)) return FailBeforeSwitch(extraction_folder);
  if (!skip_setup_config_ && !strategy_.LoadStrategyCfg(extraction_folder + kSetupFileName)) {
    LOG_ERROR << "读取安装配置失败";
    return FailBeforeSwitch(extraction_folder);
  }
  std::vector<std::wstring> staged;
  std::vector<std::wstring> replaced;
  std::vector<std::wstring> found;
  if (!ListStagedItems(extraction_folder, &staged) || !CollectReplacedItems(version, staged, &replaced, &found)) {
    LOG_ERROR << "拷贝到版本目录失败";
    return FailBeforeSwitch(extraction_folder);
  }
  if (!found.empty() && !RecordUserEntries(found)) return FailBeforeSwitch(extraction_folder);
  if (stop_requested_) return FailBeforeSwitch(extraction_folder);
  // Something to put aside appeared during the write-out: the new files go to
  // the disk before anything of it is moved.
  if (!flush_written_ && !replaced.empty()) {
    LOG_INFO << "安装目录中有要替换的条目，先将写出的文件写入磁盘";
    if (tree::FlushTree(extraction_folder) != 0) return FailBeforeSwitch(extraction_folder);
  }

  LOG_INFO << "移动目录:" << extraction_folder << "到" << version_folder;
  extraction_ = tree::Folder();  // the switch renames it
  std::vector<SwitchStep> steps;
  if (!PlanSwitch(install_folder_, replaced, staged, version, &steps) || !RunSwitch(install_folder_, steps)) {
    LOG_ERROR << "拷贝到版本目录失败";
    // A switch that could not be undone keeps its journal and everything it
    // names, for the next run to undo.
    if (PathExists(install_folder_ + kJournalFileName)) return Fail();
    return FailBeforeSwitch(extraction_folder);
  }

  if (!skip_setup_config_) {
    LOG_INFO << "开始执行安装配置";
    Report(kStageSetupConfig);
    LOG_INFO << "运行安装配置";
    // Only the rules use COM (shortcuts, and programs they start); its set-up,
    // tens of milliseconds on a new thread, is left out when there are none.
    std::optional<ComApartment> com;
    if (!strategy_.Strategies().empty()) com.emplace();
    strategy_.Install();
  }

  LOG_INFO << "安装完成，通知界面";
  outcome_ = InstallOutcome::kFinished;
  Report(kStageFinished);
  return 0;
}

bool CInstall::VerifyWrittenItems(const std::wstring& extraction_folder) const {
  const std::vector<ArchiveItem>* items = decompress_ ? decompress_->items() : nullptr;
  if (!items || items->empty()) {
    LOG_ERROR << "释放文件失败,安装包没有条目";
    return false;
  }
  const std::wstring parent_prefix = L"..\\";
  for (const ArchiveItem& item : *items) {
    // The decompressor refused a package with an unsafe path, with an ERROR record.
    if (!item.safe) return false;
    const bool staged = item.path.compare(0, parent_prefix.size(), parent_prefix) == 0;
    const std::wstring path = staged ? extraction_folder + kStagedItemsFolderName + L"\\" +
                                           item.path.substr(parent_prefix.size())
                                     : extraction_folder + item.path;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const bool present = ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    const bool folder = present && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (!present || folder != item.isFolder || (!folder && size != item.size)) {
      LOG_ERROR << "释放文件不完整:" << path;
      return false;
    }
  }
  return true;
}

bool CInstall::CopyQuorixLibrary(const std::wstring& extraction_folder) {
  // Made as a new file next to the library, through the extraction folder's
  // handle: nothing of that name is taken over or written through.
  ScopedHandle library;
  DWORD error = extraction_.OpenFileForReading(kQuorixDll, &library);
  if (error == ERROR_FILE_NOT_FOUND) return true;
  ScopedHandle copy;
  if (!error) error = extraction_.CreateNewFile(kQuorixCopy, GENERIC_WRITE, &copy);
  if (!error) error = CopyContent(library.get(), copy.get());
  if (!error && flush_written_ && !::FlushFileBuffers(copy.get())) error = ::GetLastError();
  if (!error) return true;
  LOG_ERROR << "复制文件失败:" << extraction_folder + kQuorixDll << "到" << extraction_folder + kQuorixCopy
            << ",错误码:" << error;
  return false;
}

bool CInstall::RecordUserEntries(const std::vector<std::wstring>& found) {
  tree::Folder install;
  std::vector<std::wstring> entries;
  if (!tree::Folder::OpenFollowingLinks(install_folder_, &install)) entries = ReadUserEntries(install);
  const size_t known = entries.size();
  for (const std::wstring& name : found)
    if (!IsUserEntry(entries, name)) entries.push_back(name);
  if (entries.size() == known) return true;
  std::wstring text;
  for (const std::wstring& name : entries) text += name + L"\n";
  // A list an earlier, failed first installation left is replaced by one
  // that holds its names too.
  const std::wstring path = install_folder_ + kUserEntriesFileName;
  ProtectedRights rights;
  if (known > 0) tree::DeleteChild(install, kUserEntriesFileName);
  ScopedHandle file(rights.valid() ? ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, rights.attributes(), CREATE_NEW,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                                   : INVALID_HANDLE_VALUE);
  DWORD written = 0;
  const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (file && ::WriteFile(file.get(), text.data(), bytes, &written, nullptr) && written == bytes) return true;
  LOG_ERROR << "写入安装目录原有条目列表失败:" << path << ",错误码:" << ::GetLastError();
  return false;
}

bool CInstall::ListStagedItems(const std::wstring& extraction_folder, std::vector<std::wstring>* names) {
  const std::wstring staged = extraction_folder + kStagedItemsFolderName;
  tree::Folder folder;
  const DWORD error = tree::Folder::Open(staged, &folder);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  if (error || !folder.List(names)) {
    LOG_ERROR << "打开目录失败:" << staged << ",错误码:" << (error ? error : ::GetLastError());
    return false;
  }
  // An item named like one of the switch's own entries would take its place.
  for (const std::wstring& name : *names) {
    for (const wchar_t* own : {kExtractionFolderName, kReplacedItemsFolderName, kJournalFileName, kUserEntriesFileName}) {
      if (UtilFunc::EqualIgnoringCase(name, own)) {
        LOG_ERROR << "安装包条目与安装程序自己的目录同名:" << name;
        return false;
      }
    }
  }
  return true;
}

// True when the install folder holds an installation of this application:
// only then are "new" and other version folders in it ours to replace.
bool CInstall::HoldsInstallation() const {
  if (tree::IsProtectedFolder(install_folder_)) return false;
  return UtilFunc::ReadInstalledVersion(install_folder_).state == UtilFunc::InstalledVersion::kUsable;
}

bool CInstall::CollectReplacedItems(const std::wstring& version, const std::vector<std::wstring>& staged,
                                    std::vector<std::wstring>* replaced, std::vector<std::wstring>* found) {
  tree::Folder install;
  std::vector<std::wstring> names;
  if (const DWORD error = tree::Folder::OpenFollowingLinks(install_folder_, &install); error || !install.List(&names)) {
    LOG_ERROR << "打开安装目录失败:" << install_folder_ << ",错误码:" << (error ? error : ::GetLastError());
    return false;
  }
  const bool installation = HoldsInstallation();
  const std::vector<std::wstring> user_entries = ReadUserEntries(install);
  const auto same = UtilFunc::EqualIgnoringCase;
  for (const std::wstring& name : names) {
    const bool is_version = same(name, version);
    const bool is_staged = std::any_of(staged.begin(), staged.end(), [&](const std::wstring& s) { return same(s, name); });
    const bool is_old = IsVersionFolderName(name) || same(name, kNewEntry);
    if (!is_version && !is_staged && !is_old) continue;
    const tree::EntryKind kind = install.Inspect(name);
    if (!is_version && !is_staged) {
      if (kind != tree::EntryKind::kFolder && kind != tree::EntryKind::kLink) continue;
      if (!installation) {
        LOG_INFO << "安装目录中没有已安装的程序，保留:" << install_folder_ + name;
        found->push_back(name);
        continue;
      }
      // Only what the application wrote is the application's.
      if (IsUserEntry(user_entries, name)) {
        LOG_INFO << "首次安装时已在安装目录中，保留:" << install_folder_ + name;
        continue;
      }
      if (!same(name, kNewEntry) && !IsApplicationVersionFolder(install, name)) {
        LOG_INFO << "不是本程序的版本目录，保留:" << install_folder_ + name;
        continue;
      }
    }
    switch (kind) {
      case tree::EntryKind::kMissing:
        continue;
      case tree::EntryKind::kFolder:
        if (is_version && !IsApplicationVersionFolder(install, name)) {
          LOG_ERROR << "版本目录的位置是不属于本程序的目录，不覆盖:" << install_folder_ + name;
          return false;
        }
        if (is_version) LOG_INFO << "覆盖安装,删除老文件";
        break;
      case tree::EntryKind::kLink:
        LOG_INFO << "链接将被移走，不写入其指向的内容:" << install_folder_ + name;
        break;
      case tree::EntryKind::kFile:
        if (!is_version) break;
        LOG_ERROR << "版本目录的位置是文件:" << install_folder_ + name;
        return false;
      case tree::EntryKind::kUnreachableLink:
        LOG_ERROR << "无法只移走链接本身，不安装:" << install_folder_ + name;
        return false;
      case tree::EntryKind::kUnreadable:
        LOG_ERROR << "无法移走旧文件:" << install_folder_ + name << ",错误码:" << ::GetLastError();
        return false;
    }
    replaced->push_back(name);
  }
  return true;
}

bool CInstall::RemoveLeftoverExtraction(const std::wstring& extraction_folder) {
  std::wstring path = extraction_folder;
  UtilFunc::RemoveTrailingBackslash(path);
  if (!PathExists(path)) return true;
  LOG_INFO << "删除残留的释放目录:" << path;
  if (tree::DeleteTree(path).ok() && !PathExists(path)) return true;
  LOG_ERROR << "删除残留的释放目录失败:" << path;
  return false;
}

bool CInstall::PrepareInstallFolder() {
  std::wstring folder = install_folder_;
  UtilFunc::RemoveTrailingBackslash(folder);
  if (!PathExists(folder)) {
    std::wstring parent, name;
    if (UtilFunc::SplitPath(folder, &parent, &name) && CreateFolderTree(parent) != 0) return false;
    // Below the program-files folder it inherits their rights; elsewhere it
    // gets them explicitly instead of what the folder above grants.
    const bool inherits = IsBelowProgramFiles(folder);
    ProtectedRights rights;
    if (!inherits && !rights.valid()) return false;
    if (::CreateDirectoryW(folder.c_str(), inherits ? nullptr : rights.attributes())) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      LOG_ERROR << "创建文件夹失败：" << folder << "，错误码：" << error;
      return false;
    }
  }
  // The user's folder keeps its rights.
  if (FolderLetsOtherUsersWrite(folder)) LOG_INFO << "警告：其他用户可以写入安装目录:" << folder;
  return true;
}

bool CInstall::CreateExtractionFolder(const std::wstring& extraction_folder) {
  tree::Folder install;
  DWORD error = tree::Folder::OpenFollowingLinks(install_folder_, &install);
  ProtectedRights rights;
  if (!error && !rights.valid()) error = ERROR_INVALID_SECURITY_DESCR;
  if (!error) error = install.CreateNewChild(kExtractionFolderName, &extraction_, rights.descriptor());
  if (!error) return true;
  LOG_ERROR << "创建释放目录失败:" << extraction_folder << ",错误码:" << error;
  return false;
}

int CInstall::FailBeforeSwitch(const std::wstring& extraction_folder) {
  extraction_ = tree::Folder();
  if (PathExists(extraction_folder)) tree::DeleteTree(extraction_folder);
  return Fail();
}

bool CInstall::WritePackage(const std::wstring& extraction_folder) {
  HRESULT result = E_FAIL;
  {
    // Held from before the wait until after the write-out, so that the
    // background thread is never seen half-started.
    ScopedLock lock(package_.m_lock);
    I7zDecompress* decompress = package_.m_pDecompress;
    if (decompress) decompress->SetParentItemsFolder(extraction_folder + kStagedItemsFolderName);
    if (decompress_) decompress_->SetFlushWrittenFiles(flush_written_);
    if (package_.m_hThread) {
      // What the background thread has decoded is written at once, the rest
      // as it comes; the thread may be waiting for exactly this.
      decompress->StartWriteToFolder(extraction_folder);
      if (::WaitForSingleObject(package_.m_hThread, INFINITE) == WAIT_OBJECT_0)
        result = decompress->WriteToFolder(extraction_folder);
    } else if (decompress && package_.OpenPackage() && package_.m_pView) {
      if (!HasRoomForPackage()) return false;
      const BYTE* archive = package_.m_pView + package_.m_archiveOffset;
      result = decompress->DecompressToFolder(archive, package_.m_fileSize - package_.m_archiveOffset,
                                              extraction_folder);
    }
  }
  // Only S_OK from every decoder and the writer counts as written.
  if (result == S_OK) return true;
  if (result == k7zPackageDamaged)
    LOG_ERROR << "安装包数据损坏，释放文件失败";
  else if (HRESULT_FACILITY(result) == FACILITY_WIN32)
    LOG_ERROR << "释放文件失败,last error:" << HRESULT_CODE(result);
  else
    LOG_ERROR << "释放文件失败,错误码:" << static_cast<long>(result);
  return false;
}

bool CInstall::HasRoomForPackage() const {
  // The install folder itself may not exist yet: the nearest folder above
  // it that does lies on the same volume.
  ULARGE_INTEGER available = {};
  std::wstring folder = install_folder_;
  while (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
    std::wstring name;
    if (!UtilFunc::SplitPath(folder, &folder, &name)) return true;
    UtilFunc::AppendBackslash(folder);
  }
  if (available.QuadPart >= package_size_) return true;
  LOG_ERROR << "磁盘空间不足,需要:" << package_size_ << ",可用:" << available.QuadPart;
  return false;
}
