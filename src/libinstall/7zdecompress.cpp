#include "libinstall/7zdecompress.h"

#include <ole2.h>  // COM and PROPVARIANT, left out by WIN32_LEAN_AND_MEAN

#include <numeric>

#include "7zCrc.h"
#include "7zip/Archive/7z/7zHandler.h"
#include "7zip/Archive/IArchive.h"
#include "7zip/Common/FileStreams.h"
#include "Common/MyCom.h"
#include "Windows/PropVariant.h"

#include "common/logging.h"

namespace {

// How far into the data the handler looks for the 7z signature.
constexpr UInt64 kMaxCheckStartPosition = 4194304;

// Reference counting and QueryInterface for the bridge's COM objects. Each
// answers IUnknown and, when given, the one interface `kIid` names. Objects
// start at a count of 0 and delete themselves when it returns to 0.
template <class Interface, const IID* kIid>
class CComObject : public Interface {
 public:
  STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || (kIid != nullptr && iid == *kIid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refCount)); }
  STDMETHOD_(ULONG, Release)() override {
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

 protected:
  virtual ~CComObject() = default;

 private:
  LONG m_refCount = 0;
};

// True when `data` lies in a read-only view of a mapped file, whose pages can
// always be read again from the file.
bool IsReadOnlyFileView(const void* data) {
  MEMORY_BASIC_INFORMATION info;
  return data && ::VirtualQuery(data, &info, sizeof info) == sizeof info && info.Type == MEM_MAPPED &&
         info.Protect == PAGE_READONLY;
}

// Drops the whole pages of [begin, end) from the working set. Used on the
// mapped installer behind the decoder, so that the archive does not stay
// resident on top of the unpacked items: VirtualUnlock does this on Windows,
// MEM_RESET under Wine. A page touched again is read back from the file.
void ReleaseFilePages(const BYTE* begin, const BYTE* end) {
  constexpr uintptr_t kPage = 4096;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(kPage - 1);
  if (last <= first) return;
  void* pages = reinterpret_cast<void*>(first);
  ::VirtualUnlock(pages, last - first);
  ::VirtualAlloc(pages, last - first, MEM_RESET, PAGE_READONLY);
}

// A seekable stream over a buffer the caller owns (the mapped installer file).
class CInMemStream final : public CComObject<IInStream, &IID_IInStream> {
 public:
  CInMemStream(const void* data, UInt64 size)
      : m_pData(static_cast<const BYTE*>(data)), m_size(size), m_releaseRead(IsReadOnlyFileView(data)) {}

  Z7_COM7F_IMF(Read(void* data, UInt32 size, UInt32* processedSize)) override {
    if (processedSize) *processedSize = 0;
    if (size == 0) return S_OK;
    if (m_position > m_size) return E_FAIL;
    const UInt64 available = m_size - m_position;
    const UInt32 count = available < size ? static_cast<UInt32>(available) : size;
    memcpy(data, m_pData + m_position, count);
    if (m_releaseRead) ReleaseFilePages(m_pData + m_position, m_pData + m_position + count);
    m_position += count;
    if (processedSize) *processedSize = count;
    return S_OK;
  }

  Z7_COM7F_IMF(Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition)) override {
    UInt64 base;
    switch (seekOrigin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = m_position; break;
      case STREAM_SEEK_END: base = m_size; break;
      default: return STG_E_INVALIDFUNCTION;
    }
    // Positions beyond the end are allowed; Read then fails.
    m_position = base + static_cast<UInt64>(offset);
    if (newPosition) *newPosition = m_position;
    return S_OK;
  }

 private:
  const BYTE* m_pData;
  UInt64 m_position = 0;
  UInt64 m_size;
  bool m_releaseRead;  // drop what has been read from the working set
};

// Receives one item's data into a memory item, one buffer per write.
class COutMemStream final : public CComObject<ISequentialOutStream, nullptr> {
 public:
  explicit COutMemStream(C7zDecompressImpl::MemoryItem* item) : m_pItem(item) {}

  Z7_COM7F_IMF(Write(const void* data, UInt32 size, UInt32* processedSize)) override {
    if (processedSize) *processedSize = 0;
    if (!m_pItem) return E_FAIL;
    if (size == 0) return S_OK;
    C7zDecompressImpl::MemoryChunk chunk{std::unique_ptr<BYTE[]>(new BYTE[size]), size};
    memcpy(chunk.data.get(), data, size);
    m_pItem->chunks.push_back(std::move(chunk));
    m_pItem->total += size;
    if (processedSize) *processedSize = size;
    return S_OK;
  }

 private:
  C7zDecompressImpl::MemoryItem* m_pItem;
};

// The handler's extract callback: hands out the decompressor's streams and
// passes every item's operation result back to it.
class CExtractCallbackBridge final : public CComObject<IArchiveExtractCallback, &IID_IArchiveExtractCallback> {
 public:
  explicit CExtractCallbackBridge(I7zDecompressCallBack* target) : m_pTarget(target) {}

  Z7_COM7F_IMF(SetTotal(UInt64)) override { return S_OK; }
  Z7_COM7F_IMF(SetCompleted(const UInt64*)) override { return S_OK; }
  Z7_COM7F_IMF(GetStream(UInt32 index, ISequentialOutStream** outStream, Int32 askExtractMode)) override {
    *outStream = nullptr;
    m_index = index;
    if (!m_pTarget) return S_OK;
    return m_pTarget->GetItemStream(index, outStream, askExtractMode);
  }
  Z7_COM7F_IMF(PrepareOperation(Int32)) override { return S_OK; }
  Z7_COM7F_IMF(SetOperationResult(Int32 opRes)) override {
    if (m_pTarget) m_pTarget->OnItemResult(m_index, opRes);
    return S_OK;
  }

 private:
  I7zDecompressCallBack* m_pTarget;
  UInt32 m_index = 0;
};

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `folder` and every missing parent; logs the one that fails.
bool CreateFolderTree(const std::wstring& folder) {
  std::wstring path = folder;
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (path.empty() || IsFolder(path)) return true;
  const size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0 && !CreateFolderTree(path.substr(0, slash))) return false;
  if (::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
  LOG_ERROR << "创建文件夹失败：" << path << "，错误码：" << ::GetLastError();
  return false;
}

// The absolute, normalised form of `path` ("..\" resolved); empty on failure.
std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

std::wstring FolderPart(const std::wstring& fullPath) {
  const size_t slash = fullPath.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : fullPath.substr(0, slash + 1);
}

// An existing file that is in use or read-only is kept as it was.
bool IsKeptTarget(DWORD error, const std::wstring& fullPath) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = ::GetFileAttributesW(fullPath.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class CHandleCloser {
 public:
  explicit CHandleCloser(HANDLE handle) : m_handle(handle) {}
  ~CHandleCloser() {
    if (m_handle && m_handle != INVALID_HANDLE_VALUE) ::CloseHandle(m_handle);
  }
  CHandleCloser(const CHandleCloser&) = delete;
  CHandleCloser& operator=(const CHandleCloser&) = delete;
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

HRESULT ReadItemPath(IInArchive* archive, UInt32 index, std::wstring* path, bool* isFolder) {
  NWindows::NCOM::CPropVariant value;
  HRESULT hr = archive->GetProperty(index, kpidPath, &value);
  if (hr != S_OK) return hr;
  if (value.vt == VT_BSTR) {
    path->assign(value.bstrVal);
  } else if (value.vt != VT_EMPTY) {
    return E_FAIL;
  }
  NWindows::NCOM::CPropVariant folder;
  hr = archive->GetProperty(index, kpidIsDir, &folder);
  if (hr != S_OK) return hr;
  *isFolder = folder.vt == VT_BOOL && folder.boolVal != VARIANT_FALSE;
  return S_OK;
}

bool IsDotsOnly(const std::wstring& segment) {
  // Windows drops trailing dots and blanks from a path segment, so "..." or
  // ". ." would resolve like "." or "..".
  return segment.find_first_not_of(L". ") == std::wstring::npos;
}

}  // namespace

bool IsSafeItemPath(const std::wstring& itemPath) {
  if (itemPath.empty() || itemPath.find(L':') != std::wstring::npos) return false;
  size_t start = 0;
  bool first = true;
  for (;;) {
    const size_t end = itemPath.find_first_of(L"\\/", start);
    const std::wstring segment = itemPath.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    const bool leadingParent = first && segment == L".." && end != std::wstring::npos;
    if (IsDotsOnly(segment) && !leadingParent) return false;
    if (end == std::wstring::npos) return true;
    start = end + 1;
    first = false;
  }
}

C7zDecompressImpl::C7zDecompressImpl() {
  CrcGenerateTable();
  m_pArchive = new NArchive::N7z::CHandler;
  m_pArchive->AddRef();
}

C7zDecompressImpl::~C7zDecompressImpl() {
  m_items.clear();
  if (m_pArchive) m_pArchive->Release();
}

int C7zDecompressImpl::SetProgressCallBack(I7zDecompressProgressCallBack* progress) {
  m_pProgress = progress;
  return 0;
}

void C7zDecompressImpl::SetOutputFolder(const std::wstring& folder) {
  m_outputFolder = folder;
  if (m_outputFolder.empty() || m_outputFolder.back() != L'\\') m_outputFolder += L'\\';
  CreateFolderTree(m_outputFolder);
}

HRESULT C7zDecompressImpl::OpenAndExtract(IInStream* stream) {
  m_damagedItems = 0;
  HRESULT hr = m_pArchive->Open(stream, &kMaxCheckStartPosition, nullptr);
  if (hr != S_OK) return hr;
  UInt32 count = 0;
  hr = m_pArchive->GetNumberOfItems(&count);
  if (hr == S_OK) {
    m_itemCount = count;
    if (count == 0) {
      hr = E_FAIL;
    } else {
      std::vector<UInt32> indices(count);
      std::iota(indices.begin(), indices.end(), 0u);
      CMyComPtr<IArchiveExtractCallback> bridge = new CExtractCallbackBridge(this);
      hr = m_pArchive->Extract(indices.data(), count, 0, bridge);
    }
  }
  // The handler keeps the stream (and with it the caller's buffer) until closed.
  m_pArchive->Close();
  if (hr == S_OK && m_damagedItems != 0) {
    LOG_ERROR << "安装包数据已损坏，损坏的条目数：" << m_damagedItems;
    hr = k7zPackageDamaged;
  }
  return hr;
}

HRESULT C7zDecompressImpl::DecompressFileToFolder(const std::wstring& archivePath, const std::wstring& folder) {
  SetOutputFolder(folder);
  m_memoryMode = 0;
  CInFileStream* fileStream = new CInFileStream;
  CMyComPtr<IInStream> stream = fileStream;
  if (!fileStream->Open(archivePath.c_str())) {
    const DWORD error = ::GetLastError();
    LOG_ERROR << "打开压缩包失败：" << archivePath << "，错误码：" << error;
    return HRESULT_FROM_WIN32(error);
  }
  return OpenAndExtract(stream);
}

HRESULT C7zDecompressImpl::DecompressToFolder(const void* data, uint64_t size, const std::wstring& folder) {
  SetOutputFolder(folder);
  m_memoryMode = 0;
  CMyComPtr<IInStream> stream = new CInMemStream(data, size);
  const HRESULT hr = OpenAndExtract(stream);
  if (hr != S_OK) LOG_ERROR << "解压安装包失败：" << m_outputFolder << "，错误码：" << hr;
  return hr;
}

HRESULT C7zDecompressImpl::DecompressToMemory(const void* data, uint64_t size) {
  m_memoryMode = 1;
  CMyComPtr<IInStream> stream = new CInMemStream(data, size);
  const HRESULT hr = OpenAndExtract(stream);
  if (hr != S_OK) {
    LOG_ERROR << "解压安装包到内存失败，错误码：" << hr;
    // Not-an-archive is S_FALSE from the handler; a failure all the same.
    if (m_memoryResult == S_OK) m_memoryResult = FAILED(hr) ? hr : k7zPackageDamaged;
  }
  return hr;
}

HRESULT C7zDecompressImpl::GetItemStream(UINT32 index, ISequentialOutStream** outStream, INT32) {
  std::wstring path;
  bool isFolder = false;
  const HRESULT hr = ReadItemPath(m_pArchive, index, &path, &isFolder);
  if (hr != S_OK) return hr;
  m_currentPath = path;
  if (!m_memoryMode) return OpenItemFile(path, isFolder, outStream);

  m_items.push_back(std::make_unique<MemoryItem>());
  MemoryItem* item = m_items.back().get();
  item->path = path;
  item->isFolder = isFolder;
  if (m_pProgress)
    m_pProgress->OnDecompressProgress(k7zProgressDecompressing, static_cast<int>(m_itemCount), static_cast<int>(index), path);
  if (!isFolder) {
    CMyComPtr<ISequentialOutStream> stream = new COutMemStream(item);
    *outStream = stream.Detach();
  }
  return S_OK;
}

void C7zDecompressImpl::OnItemResult(UINT32, INT32 operationResult) {
  if (operationResult == NArchive::NExtract::NOperationResult::kOK) return;
  ++m_damagedItems;
  LOG_ERROR << "安装包条目已损坏：" << m_currentPath << "，结果码：" << operationResult;
}

HRESULT C7zDecompressImpl::OpenItemFile(const std::wstring& itemPath, bool isFolder,
                                        ISequentialOutStream** outStream) {
  if (!IsSafeItemPath(itemPath)) {
    LOG_ERROR << "安装包条目路径不安全，未写出：" << itemPath;
    return S_OK;
  }
  const std::wstring fullPath = FullPath(m_outputFolder + itemPath);
  if (fullPath.empty()) {
    LOG_ERROR << "写出文件失败：" << m_outputFolder << itemPath << "，错误码：" << ::GetLastError();
    return E_FAIL;
  }
  if (isFolder) return CreateFolderTree(fullPath) ? S_OK : E_FAIL;
  if (!CreateFolderTree(FolderPart(fullPath))) return E_FAIL;
  COutFileStream* fileStream = new COutFileStream;
  CMyComPtr<ISequentialOutStream> stream = fileStream;
  if (!fileStream->Create_ALWAYS(fullPath.c_str())) {
    LOG_ERROR << "写出文件失败：" << fullPath << "，错误码：" << ::GetLastError();
    return E_FAIL;
  }
  *outStream = stream.Detach();
  return S_OK;
}

HRESULT C7zDecompressImpl::WriteToFolder(const std::wstring& folder) {
  if (!m_memoryMode) return E_FAIL;
  if (m_memoryResult != S_OK) {
    LOG_ERROR << "安装包未完整解压，不写出文件，错误码：" << m_memoryResult;
    return m_memoryResult;
  }
  SetOutputFolder(folder);
  HRESULT result = S_OK;
  for (size_t i = 0; i < m_items.size(); ++i) {
    const MemoryItem& item = *m_items[i];
    const HRESULT hr = WriteMemoryItem(item);
    if (hr != S_OK && result == S_OK) result = hr;
    if (m_pProgress)
      m_pProgress->OnDecompressProgress(k7zProgressWritten, static_cast<int>(m_itemCount), static_cast<int>(i), item.path);
  }
  return result;
}

HRESULT C7zDecompressImpl::WriteMemoryItem(const MemoryItem& item) {
  if (!IsSafeItemPath(item.path)) {
    LOG_ERROR << "安装包条目路径不安全，未写出：" << item.path;
    return S_OK;
  }
  const std::wstring fullPath = FullPath(m_outputFolder + item.path);
  if (fullPath.empty()) {
    const DWORD error = ::GetLastError();
    LOG_ERROR << "写出文件失败：" << m_outputFolder << item.path << "，错误码：" << error;
    return HRESULT_FROM_WIN32(error);
  }
  if (item.isFolder) return CreateFolderTree(fullPath) ? S_OK : E_FAIL;
  if (!CreateFolderTree(FolderPart(fullPath))) return E_FAIL;
  if (item.total > 0xFFFFFFFFull) {
    LOG_ERROR << "写出文件失败：" << fullPath << "，文件过大：" << item.total;
    return E_FAIL;
  }

  auto fail = [&fullPath](DWORD error) -> HRESULT {
    if (IsKeptTarget(error, fullPath)) {
      LOG_ERROR << "目标文件正在使用或只读，保留原文件：" << fullPath << "，错误码：" << error;
      return S_OK;
    }
    LOG_ERROR << "写出文件失败：" << fullPath << "，错误码：" << error;
    return HRESULT_FROM_WIN32(error);
  };

  // Checked before opening: a process with backup rights (or Wine run by
  // root) could otherwise replace a read-only file.
  const DWORD attributes = ::GetFileAttributesW(fullPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return fail(ERROR_ACCESS_DENIED);

  CHandleCloser file(::CreateFileW(fullPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return fail(::GetLastError());
  // A zero-byte item is the empty file just created.
  if (item.total == 0) return S_OK;

  // The file gets its final size at once (so a full disk shows before any
  // data is written), then the chunks are written back to back. Plain writes
  // rather than a mapped view: a full disk then fails a call instead of
  // faulting on a page.
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(item.total);
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get()) ||
      !::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN))
    return fail(::GetLastError());
  for (const MemoryChunk& chunk : item.chunks) {
    DWORD written = 0;
    if (!::WriteFile(file.get(), chunk.data.get(), static_cast<DWORD>(chunk.size), &written, nullptr))
      return fail(::GetLastError());
    if (written != chunk.size) return fail(ERROR_DISK_FULL);
  }
  return S_OK;
}
