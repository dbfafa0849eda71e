#include "libinstall/itemwriter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/logging.h"
#include "common/test_hooks.h"
#include "common/utilfunc.h"

namespace {

constexpr uint64_t kMaxBudgetBytes = 512ull << 20;
constexpr wchar_t kBudgetHook[] = L"ORV_TEST_MEMORY_BUDGET_MB";

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

DWORD CreateFolderTree(const std::wstring& folder) {
  std::wstring path = folder;
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (path.empty() || IsFolder(path)) return 0;
  const size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0) {
    if (const DWORD error = CreateFolderTree(path.substr(0, slash))) return error;
  }
  if (::CreateDirectoryW(path.c_str(), nullptr)) return 0;
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return 0;
  LOG_ERROR << "创建文件夹失败：" << path << "，错误码：" << error;
  return error;
}

namespace {

// The smallest n with 2^n >= bytes.
unsigned OrderOf(size_t bytes) {
  unsigned order = 0;
  while ((size_t(1) << order) < bytes) ++order;
  return order;
}

bool IsParentItem(const std::wstring& itemPath) {
  return itemPath.size() > 3 && itemPath[0] == L'.' && itemPath[1] == L'.' &&
         (itemPath[2] == L'\\' || itemPath[2] == L'/');
}

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& start) {
  return text.size() >= start.size() &&
         ::CompareStringOrdinal(text.c_str(), static_cast<int>(start.size()), start.c_str(),
                                static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

std::wstring Lower(std::wstring text) {
  if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// Logs why `target` could not be created and gives the failure.
HRESULT CreateFailed(const std::wstring& target, DWORD error) {
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
    LOG_ERROR << "目标位置已有条目，不写入：" << target << "，错误码：" << error;
  else
    LOG_ERROR << "写出文件失败：" << target << "，错误码：" << error;
  return HRESULT_FROM_WIN32(error);
}

// True when the `size` bytes at `data` are all zero (memcmp of the piece
// against itself shifted by one byte: it stops at the first byte that is not).
bool IsAllZero(const BYTE* data, size_t size) {
  return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
}

void CloseFile(HANDLE& file) {
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  file = INVALID_HANDLE_VALUE;
}

}  // namespace

std::vector<PieceSpan> SplitAtZeroRuns(const BYTE* data, size_t size) {
  std::vector<PieceSpan> spans;
  const auto add = [&spans](size_t offset, size_t length, bool zeros) {
    if (!spans.empty() && spans.back().zeros == zeros)
      spans.back().length += length;
    else
      spans.push_back(PieceSpan{offset, length, zeros});
  };
  size_t runStart = 0;
  size_t runLength = 0;
  for (size_t offset = 0; offset < size; offset += kZeroRunBytes) {
    const size_t step = std::min(kZeroRunBytes, size - offset);
    if (IsAllZero(data + offset, step)) {
      if (runLength == 0) runStart = offset;
      runLength += step;
      continue;
    }
    if (runLength > 0) add(runStart, runLength, runLength >= kZeroRunBytes);
    runLength = 0;
    add(offset, step, false);
  }
  if (runLength > 0) add(runStart, runLength, runLength >= kZeroRunBytes);
  return spans;
}

uint64_t MemoryBudgetFor(uint64_t physicalBytes) { return std::min(kMaxBudgetBytes, physicalBytes / 4); }

uint64_t DefaultMemoryBudget() {
  if (const unsigned long long megabytes = test_hooks::Number(kBudgetHook)) return megabytes << 20;
  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof memory;
  if (!::GlobalMemoryStatusEx(&memory)) return MemoryBudgetFor(0);
  return MemoryBudgetFor(memory.ullTotalPhys);
}

std::wstring ItemTargetPath(const std::wstring& outputFolder, const std::wstring& parentFolder,
                            const std::wstring& itemPath) {
  if (IsParentItem(itemPath) && !parentFolder.empty()) return parentFolder + itemPath.substr(3);
  return outputFolder + itemPath;
}

CItemWriter::CItemWriter(WrittenCallback written)
    : written_(std::move(written)), budget_(DefaultMemoryBudget()) {}

CItemWriter::~CItemWriter() {
  Cancel();
  if (thread_.joinable()) thread_.join();
  for (std::thread& closer : closers_) closer.join();
}

void CItemWriter::SetMemoryBudget(uint64_t bytes) {
  std::lock_guard<SlimMutex> guard(lock_);
  budget_ = bytes;
  queueRoom_.notify_all();
}

uint64_t CItemWriter::memoryBudget() const {
  std::lock_guard<SlimMutex> guard(lock_);
  return budget_;
}

void CItemWriter::ReserveForDecoders(uint64_t bytes) {
  std::lock_guard<SlimMutex> guard(lock_);
  reserved_ = bytes;
  queueRoom_.notify_all();
}

uint64_t CItemWriter::Bound() const {
  return started_ ? std::min(budget_, kStreamingQueueBytes) : budget_ - std::min(reserved_, budget_);
}

void CItemWriter::DecoderStarted() {
  std::lock_guard<SlimMutex> guard(lock_);
  ++activeDecoders_;
}

void CItemWriter::DecoderFinished() {
  std::lock_guard<SlimMutex> guard(lock_);
  --activeDecoders_;
  recordsReady_.notify_one();
}

bool CItemWriter::Push(const ArchiveItem* item, std::unique_ptr<BYTE[]> data, size_t size, bool last,
                       size_t pooledCapacity) {
  std::unique_lock<SlimMutex> guard(lock_);
  // One record larger than the bound still passes an empty queue.
  queueRoom_.wait(guard, [&] {
    return cancelled_ || FAILED(result_) || queuedBytes_ == 0 || queuedBytes_ + size <= Bound();
  });
  if (cancelled_ || FAILED(result_)) return false;
  queue_.push_back(Record{item, std::move(data), size, last, pooledCapacity});
  queuedBytes_ += size;
  recordsReady_.notify_one();
  return true;
}

std::unique_ptr<BYTE[]> CItemWriter::TakeBuffer(size_t bytes, size_t* pooledCapacity) {
  static_assert(size_t(1) << (kBufferOrders - 1) == kSingleWriteBytes, "an order per power of two");
  {
    std::lock_guard<SlimMutex> guard(lock_);
    unsigned order = 0;
    if (bytes >= kSingleWriteBytes || (started_ && bytes >= kSingleWriteBytes / 2)) {
      order = kBufferOrders - 1;
    } else if (started_) {
      order = OrderOf(bytes);
    } else {
      *pooledCapacity = 0;
      return std::unique_ptr<BYTE[]>(new BYTE[bytes]);
    }
    *pooledCapacity = size_t(1) << order;
    if (!pool_[order].empty()) {
      std::unique_ptr<BYTE[]> buffer = std::move(pool_[order].back());
      pool_[order].pop_back();
      pooledBytes_ -= *pooledCapacity;
      return buffer;
    }
  }
  return std::unique_ptr<BYTE[]>(new BYTE[*pooledCapacity]);
}

bool CItemWriter::Start(const std::wstring& outputFolder, const std::wstring& parentFolder) {
  std::unique_lock<SlimMutex> guard(lock_);
  if (thread_.joinable()) return true;
  outputFolder_ = outputFolder;
  parentFolder_ = parentFolder;
  if (const DWORD error = tree::Folder::Open(outputFolder_, &output_)) {
    LOG_ERROR << "打开释放目录失败：" << outputFolder_ << "，错误码：" << error;
    return false;
  }
  parentBelowOutput_.clear();
  if (!parentFolder_.empty() && StartsWithIgnoringCase(parentFolder_, outputFolder_))
    parentBelowOutput_ = parentFolder_.substr(outputFolder_.size());
  parentRoot_ = tree::Folder();
  folders_.clear();
  createdFiles_ = 0;
  pauseAt_ = test_hooks::Number(L"ORV_TEST_WRITER_PAUSE_AT");
  continueFile_ = test_hooks::Text(L"ORV_TEST_WRITER_CONTINUE");
  flushFailAt_ = test_hooks::Number(L"ORV_TEST_FLUSH_FAIL_AT");
  flushedFiles_ = 0;
  started_ = true;
  finishing_ = false;
  result_ = S_OK;
  writerDone_ = false;
  finishedItems_ = 0;
  nextReport_ = 0;
  closedAhead_.clear();
  // Without any closing thread the writer thread closes its files itself.
  for (unsigned i = 0; i < kClosingThreads; ++i) {
    try {
      closers_.emplace_back(&CItemWriter::RunCloser, this);
    } catch (const std::system_error&) {
      break;
    }
  }
  try {
    thread_ = std::thread(&CItemWriter::Run, this);
  } catch (const std::system_error& error) {
    LOG_ERROR << "创建写文件线程失败，错误码：" << error.code().value();
    started_ = false;
    writerDone_ = true;  // the closing threads end at once
    closingReady_.notify_all();
    guard.unlock();
    for (std::thread& closer : closers_) closer.join();
    guard.lock();
    closers_.clear();
    return false;
  }
  queueRoom_.notify_all();  // the bound is the streaming queue's now
  return true;
}

HRESULT CItemWriter::Finish() {
  {
    std::lock_guard<SlimMutex> guard(lock_);
    if (!thread_.joinable()) return E_FAIL;
    finishing_ = true;
    recordsReady_.notify_one();
  }
  thread_.join();
  for (std::thread& closer : closers_) closer.join();
  closers_.clear();
  std::lock_guard<SlimMutex> guard(lock_);
  return cancelled_ && SUCCEEDED(result_) ? E_ABORT : result_;
}

void CItemWriter::Cancel() {
  std::lock_guard<SlimMutex> guard(lock_);
  cancelled_ = true;
  for (const Record& record : queue_) queuedBytes_ -= record.size;
  queue_.clear();
  queueRoom_.notify_all();
  recordsReady_.notify_one();
  closingRoom_.notify_one();
  closingReady_.notify_all();
}

bool CItemWriter::cancelled() const {
  std::lock_guard<SlimMutex> guard(lock_);
  return cancelled_;
}

uint64_t CItemWriter::QueuedBytes() const {
  std::lock_guard<SlimMutex> guard(lock_);
  return queuedBytes_;
}

void CItemWriter::Fail(HRESULT error) {
  std::lock_guard<SlimMutex> guard(lock_);
  if (SUCCEEDED(result_)) result_ = error;
  for (const Record& record : queue_) queuedBytes_ -= record.size;
  queue_.clear();
  queueRoom_.notify_all();
}

void CItemWriter::Run() {
  for (;;) {
    Record record;
    {
      std::unique_lock<SlimMutex> guard(lock_);
      recordsReady_.wait(guard, [&] { return cancelled_ || !queue_.empty() || (finishing_ && activeDecoders_ == 0); });
      if (cancelled_ || queue_.empty()) break;
      record = std::move(queue_.front());
      queue_.pop_front();
    }
    Write(record);
    std::lock_guard<SlimMutex> guard(lock_);
    queuedBytes_ -= record.size;
    if (record.pooledCapacity && record.data && pooledBytes_ + record.pooledCapacity <= kPooledBufferBytes) {
      pool_[OrderOf(record.pooledCapacity)].push_back(std::move(record.data));
      pooledBytes_ += record.pooledCapacity;
    }
    queueRoom_.notify_all();
  }
  for (OpenItem& open : open_) CloseFile(open.file);
  open_.clear();
  folders_.clear();
  parentRoot_ = tree::Folder();
  output_ = tree::Folder();
  std::lock_guard<SlimMutex> guard(lock_);
  writerDone_ = true;
  closingReady_.notify_all();
}

void CItemWriter::Close(OpenItem&& open) {
  const uint64_t sequence = finishedItems_++;
  if (closers_.empty()) {
    FinishItem(open, sequence);
    return;
  }
  std::unique_lock<SlimMutex> guard(lock_);
  closingRoom_.wait(guard, [&] { return cancelled_ || closing_.size() < kMaxClosingFiles; });
  closing_.emplace_back(std::move(open), sequence);
  closingReady_.notify_one();
}

void CItemWriter::RunCloser() {
  for (;;) {
    std::pair<OpenItem, uint64_t> next;
    {
      std::unique_lock<SlimMutex> guard(lock_);
      closingReady_.wait(guard, [&] { return !closing_.empty() || writerDone_; });
      if (closing_.empty()) break;
      next = std::move(closing_.front());
      closing_.pop_front();
      closingRoom_.notify_one();
    }
    FinishItem(next.first, next.second);
  }
}

void CItemWriter::FinishItem(OpenItem& open, uint64_t sequence) {
  // On the disk before the switch renames anything of the earlier version;
  // a cancelled write-out is not installed, so its files need no flush.
  if (flushFiles_ && open.file != INVALID_HANDLE_VALUE && !cancelled()) {
    DWORD error = ::FlushFileBuffers(open.file) ? 0 : ::GetLastError();
    if (flushFailAt_ != 0 && ++flushedFiles_ == flushFailAt_) {
      LOG_ERROR << "测试：写入磁盘失败于:" << open.target;
      error = ERROR_IO_DEVICE;
    }
    if (error) {
      LOG_ERROR << "写出文件失败：" << open.target << "，错误码：" << error;
      Fail(HRESULT_FROM_WIN32(error));
    }
  }
  CloseFile(open.file);
  // Reports go out in finishing order and not under lock_, which the
  // decoders need while a report may wait for the window.
  std::lock_guard<SlimMutex> guard(reportLock_);
  closedAhead_.emplace(sequence, open.item);
  for (auto turn = closedAhead_.find(nextReport_); turn != closedAhead_.end(); turn = closedAhead_.find(nextReport_)) {
    const ArchiveItem* item = turn->second;
    closedAhead_.erase(turn);
    ++nextReport_;
    if (written_ && !cancelled()) written_(writtenCount_++, *item);
  }
}

void CItemWriter::Write(Record& record) {
  auto open = std::find_if(open_.begin(), open_.end(), [&](const OpenItem& o) { return o.item == record.item; });
  if (open == open_.end()) {
    OpenItem item{record.item, INVALID_HANDLE_VALUE, {}};
    if (!record.item->safe) {
      LOG_ERROR << "安装包条目路径不安全，未写出：" << record.item->path;
      Fail(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
    } else if (const HRESULT hr = OpenTarget(item); FAILED(hr)) {
      Fail(hr);
    }
    open_.push_back(std::move(item));
    open = open_.end() - 1;
  }
  // What was never written reads as zeros once the file has its size (given
  // in advance in OpenTarget, else at the end below): a run of zeros is passed
  // over, so that neither the write nor the flush takes it to the disk.
  for (const PieceSpan& span : SplitAtZeroRuns(record.data.get(), record.size)) {
    if (open->file == INVALID_HANDLE_VALUE) break;
    LARGE_INTEGER skip;
    skip.QuadPart = static_cast<LONGLONG>(span.length);
    if (span.zeros && ::SetFilePointerEx(open->file, skip, nullptr, FILE_CURRENT)) {
      open->endPending = true;
      continue;
    }
    const BYTE* data = record.data.get() + span.offset;
    size_t left = span.length;
    while (left > 0) {
      DWORD written = 0;
      if (!::WriteFile(open->file, data, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
        const DWORD error = written == 0 && ::GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : ::GetLastError();
        LOG_ERROR << "写出文件失败：" << open->target << "，错误码：" << error;
        CloseFile(open->file);
        Fail(HRESULT_FROM_WIN32(error));
        break;
      }
      data += written;
      left -= written;
    }
    open->endPending = false;
  }
  if (record.last && open->endPending && open->item->size <= kSingleWriteBytes && !::SetEndOfFile(open->file)) {
    const DWORD error = ::GetLastError();
    LOG_ERROR << "写出文件失败：" << open->target << "，错误码：" << error;
    CloseFile(open->file);
    Fail(HRESULT_FROM_WIN32(error));
  }
  if (!record.last) return;
  OpenItem finished = std::move(*open);
  open_.erase(open);
  Close(std::move(finished));
}

HRESULT CItemWriter::OpenTarget(OpenItem& open) {
  const ArchiveItem& item = *open.item;
  open.target = ItemTargetPath(outputFolder_, parentFolder_, item.path);
  // The item's path below its root: the output folder, or for a "..\" item
  // its own folder (which may lie below the output folder).
  const bool toParent = IsParentItem(item.path);
  std::wstring relative = toParent ? item.path.substr(3) : item.path;
  std::replace(relative.begin(), relative.end(), L'/', L'\\');
  const bool parentRoot = toParent && parentBelowOutput_.empty();
  if (toParent && !parentRoot) relative = parentBelowOutput_ + relative;
  // Named in the records as it lands, "..\" resolved.
  if (parentRoot) open.target = ParentItemsFolder() + relative;
  const tree::Folder* folder = nullptr;
  if (item.isFolder) return FolderAt(parentRoot, relative, &folder);
  std::wstring folderPart, name;
  UtilFunc::SplitLastPart(relative, &folderPart, &name);
  if (const HRESULT hr = FolderAt(parentRoot, folderPart, &folder); FAILED(hr)) return hr;
  PauseHook(open.target);
  ScopedHandle file;
  if (const DWORD error = folder->CreateNewFile(name, GENERIC_WRITE, &file)) return CreateFailed(open.target, error);
  open.file = file.release();
  // A file written in more than one piece gets its final size at once, so
  // that a full disk shows before any data is written and the data lands in
  // one contiguous run; a smaller one is a single write, which shows it too.
  if (item.size <= kSingleWriteBytes) return S_OK;
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(item.size);
  const LARGE_INTEGER start{};
  if (!::SetFilePointerEx(open.file, size, nullptr, FILE_BEGIN) || !::SetEndOfFile(open.file) ||
      !::SetFilePointerEx(open.file, start, nullptr, FILE_BEGIN)) {
    const DWORD error = ::GetLastError();
    CloseFile(open.file);
    return CreateFailed(open.target, error);
  }
  return S_OK;
}

HRESULT CItemWriter::FolderAt(bool parentRoot, const std::wstring& relative, const tree::Folder** folder) {
  if (relative.empty() && !parentRoot) {
    *folder = &output_;
    return S_OK;
  }
  if (relative.empty()) {
    if (!parentRoot_.valid()) {
      // The caller's folder: it may lie anywhere, through links the caller chose.
      const std::wstring path = ParentItemsFolder();
      if (!parentFolder_.empty()) {
        if (const DWORD error = CreateFolderTree(path)) return HRESULT_FROM_WIN32(error);
      }
      // With its backslash, a drive root is the root and not that drive's current folder.
      if (const DWORD error = tree::Folder::OpenFollowingLinks(path, &parentRoot_)) {
        LOG_ERROR << "打开目录失败：" << path << "，错误码：" << error;
        return HRESULT_FROM_WIN32(error);
      }
    }
    *folder = &parentRoot_;
    return S_OK;
  }
  const std::wstring key = Lower((parentRoot ? L"..\\" : L"") + relative);
  if (const auto known = folders_.find(key); known != folders_.end()) {
    *folder = &known->second;
    return S_OK;
  }
  std::wstring above, name;
  UtilFunc::SplitLastPart(relative, &above, &name);
  const tree::Folder* parent = nullptr;
  if (const HRESULT hr = FolderAt(parentRoot, above, &parent); FAILED(hr)) return hr;
  tree::Folder created;
  if (const DWORD error = parent->CreateNewChild(name, &created))
    return CreateFailed(parent->path() + L"\\" + name, error);
  *folder = &folders_.emplace(key, std::move(created)).first->second;
  return S_OK;
}

std::wstring CItemWriter::ParentItemsFolder() const {
  if (!parentFolder_.empty()) return parentFolder_;
  std::wstring parent, name;
  UtilFunc::SplitLastPart(output_.path(), &parent, &name);
  return parent + L"\\";
}

void CItemWriter::PauseHook(const std::wstring& target) {
  if (pauseAt_ == 0 || ++createdFiles_ != pauseAt_ || continueFile_.empty()) return;
  LOG_INFO << "测试：写出暂停于:" << target;
  for (int waited = 0; waited < 600 && ::GetFileAttributesW(continueFile_.c_str()) == INVALID_FILE_ATTRIBUTES; ++waited)
    ::Sleep(100);
}
