#include "libinstall/7zdecompress.h"

#include <cwchar>

#include <ole2.h>  // COM and PROPVARIANT, left out by WIN32_LEAN_AND_MEAN

#include <algorithm>
#include <numeric>
#include <thread>

#include "7zCrc.h"
#include "7zip/Archive/7z/7zHandler.h"
#include "7zip/Archive/IArchive.h"
#include "7zip/Common/FileStreams.h"
#include "Common/MyCom.h"
#include "Windows/PropVariant.h"

#include "common/logging.h"
#include "common/test_hooks.h"
#include "libinstall/dictionarypool.h"

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

// Receives one item's data for the writer, in buffers of up to kChunkBytes,
// each sized for what the item still has to come.
class CItemOutStream final : public CComObject<ISequentialOutStream, nullptr> {
 public:
  static constexpr size_t kChunkBytes = kSingleWriteBytes;

  CItemOutStream(CItemWriter* writer, const ArchiveItem* item, const I7zDecompressCallBack* owner)
      : m_pWriter(writer), m_pItem(item), m_pOwner(owner) {}

  Z7_COM7F_IMF(Write(const void* data, UInt32 size, UInt32* processedSize)) override {
    if (processedSize) *processedSize = 0;
    if (m_pOwner->ShouldStop()) return E_ABORT;
    const BYTE* from = static_cast<const BYTE*>(data);
    UInt32 left = size;
    while (left > 0) {
      if (!m_buffer) {
        const uint64_t expected = m_pItem->size > m_sent ? m_pItem->size - m_sent : left;
        m_capacity = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(expected, 1), kChunkBytes));
        m_buffer = m_pWriter->TakeBuffer(m_capacity, &m_pooledCapacity);
        m_filled = 0;
      }
      const size_t count = std::min<size_t>(left, m_capacity - m_filled);
      memcpy(m_buffer.get() + m_filled, from, count);
      m_filled += count;
      from += count;
      left -= static_cast<UInt32>(count);
      if (m_filled == m_capacity && !Flush()) return E_ABORT;
    }
    if (processedSize) *processedSize = size;
    return S_OK;
  }

 private:
  // The handler releases the stream before it reports the item's result.
  ~CItemOutStream() override { Flush(); }

  bool Flush() {
    if (!m_buffer) return true;
    m_sent += m_filled;
    return m_pWriter->Push(m_pItem, std::move(m_buffer), m_filled, false, m_pooledCapacity);
  }

  CItemWriter* m_pWriter;
  const ArchiveItem* m_pItem;
  const I7zDecompressCallBack* m_pOwner;
  std::unique_ptr<BYTE[]> m_buffer;
  size_t m_capacity = 0;
  size_t m_pooledCapacity = 0;  // m_buffer is one of the writer's, of this size
  size_t m_filled = 0;
  uint64_t m_sent = 0;
};

// The handler's extract callback, one per decoder: hands out the
// decompressor's streams, passes every item's operation result back to it,
// and stops the decoding when the decompressor says so.
class CExtractCallbackBridge final : public CComObject<IArchiveExtractCallback, &IID_IArchiveExtractCallback> {
 public:
  explicit CExtractCallbackBridge(I7zDecompressCallBack* target) : m_pTarget(target) {}

  Z7_COM7F_IMF(SetTotal(UInt64)) override { return S_OK; }
  Z7_COM7F_IMF(SetCompleted(const UInt64*)) override {
    return m_pTarget && m_pTarget->ShouldStop() ? E_ABORT : S_OK;
  }
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

// Whether a decoder's coders (the main stream, the branch streams and the
// branch filter) run on threads of their own. A decoder with a core to
// itself gains from them; with a decoder on every core the cores are busy
// already, and the hand-overs between the threads cost more than they give.
void UseCoderThreads(IInArchive* archive, bool use) {
  CMyComPtr<ISetProperties> setter;
  if (archive->QueryInterface(IID_ISetProperties, reinterpret_cast<void**>(&setter)) != S_OK) return;
  const wchar_t* names[] = {L"mtf"};
  NWindows::NCOM::CPropVariant value(use);
  if (const HRESULT hr = setter->SetProperties(names, &value, 1); hr != S_OK)
    LOG_ERROR << "设置解压线程方式失败，错误码：" << hr;
}

// An archive item's properties; absent ones leave the defaults.
HRESULT ReadItem(IInArchive* archive, UInt32 index, ArchiveItem* item, ItemPlacement* placement) {
  NWindows::NCOM::CPropVariant path, folder, size, blockIndex, packedSize, method;
  HRESULT hr = archive->GetProperty(index, kpidPath, &path);
  if (hr == S_OK) hr = archive->GetProperty(index, kpidIsDir, &folder);
  if (hr == S_OK) hr = archive->GetProperty(index, kpidSize, &size);
  if (hr == S_OK) hr = archive->GetProperty(index, kpidBlock, &blockIndex);
  if (hr == S_OK) hr = archive->GetProperty(index, kpidPackSize, &packedSize);
  if (hr != S_OK) return hr;
  if (path.vt == VT_BSTR) {
    item->path.assign(path.bstrVal);
  } else if (path.vt != VT_EMPTY) {
    return E_FAIL;
  }
  item->isFolder = folder.vt == VT_BOOL && folder.boolVal != VARIANT_FALSE;
  item->size = size.vt == VT_UI8 ? size.uhVal.QuadPart : 0;
  item->safe = IsSafeItemPath(item->path);
  placement->block = blockIndex.vt == VT_UI4 ? blockIndex.ulVal : kNoBlock;
  placement->size = item->size;
  placement->packedSize = packedSize.vt == VT_UI8 ? packedSize.uhVal.QuadPart : 0;
  // The handler reports a block's pack size on its first item only.
  if (placement->packedSize != 0) {
    hr = archive->GetProperty(index, kpidMethod, &method);
    if (hr != S_OK) return hr;
    if (method.vt == VT_BSTR) {
      const MethodDictionaries dictionaries = DictionariesOf(method.bstrVal);
      placement->dictionaryBytes = dictionaries.total;
      placement->largestDictionary = dictionaries.largest;
    }
  }
  return S_OK;
}

bool IsDotsOnly(const std::wstring& segment) {
  // Windows drops trailing dots and blanks from a path segment, so "..." or
  // ". ." would resolve like "." or "..".
  return segment.find_first_not_of(L". ") == std::wstring::npos;
}

unsigned ProcessorCount() {
  SYSTEM_INFO info = {};
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}

// The most decoders at once: the processor count, or the test hook
// ORV_TEST_DECODERS=N, which lets a benchmark time one decoder alone.
unsigned DefaultMaxDecoders() {
  const unsigned long decoders = test_hooks::Number(L"ORV_TEST_DECODERS");
  if (decoders > 0 && decoders <= 64) return static_cast<unsigned>(decoders);
  return ProcessorCount();
}

// The most memory one decoder of `jobs` holds.
uint64_t LargestDecoderMemory(const std::vector<DecodeJob>& jobs) {
  uint64_t memory = 0;
  for (const DecodeJob& job : jobs) memory = std::max(memory, job.memory);
  return memory;
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

uint64_t DecodeCost(uint64_t packed, uint64_t unpacked) { return packed + unpacked / 8; }

MethodDictionaries DictionariesOf(const std::wstring& method) {
  MethodDictionaries dictionaries;
  size_t start = 0;
  while (start < method.size()) {
    size_t end = method.find(L' ', start);
    if (end == std::wstring::npos) end = method.size();
    const std::wstring coder = method.substr(start, end - start);
    start = end + 1;
    const size_t colon = coder.find(L':');
    const std::wstring name = coder.substr(0, colon);
    if (colon == std::wstring::npos || (name != L"LZMA" && name != L"LZMA2")) continue;
    size_t digits = colon + 1;
    uint64_t value = 0;
    while (digits < coder.size() && coder[digits] >= L'0' && coder[digits] <= L'9' && value < (1ull << 32))
      value = value * 10 + (coder[digits++] - L'0');
    if (digits == colon + 1 || value >= (1ull << 32)) continue;
    const wchar_t unit = digits < coder.size() ? coder[digits] : L':';
    if (unit == L'm') value <<= 20;
    else if (unit == L'k') value <<= 10;
    else if (unit == L':') value = value <= 32 ? 1ull << value : 0;  // LZMA allows at most 4 GiB
    else if (unit != L'b') continue;
    dictionaries.total += value;
    dictionaries.largest = std::max(dictionaries.largest, value);
  }
  return dictionaries;
}

unsigned DecodersWithinBudget(unsigned wanted, uint64_t memoryPerDecoder, uint64_t budget) {
  unsigned decoders = std::max(wanted, 1u);
  while (decoders > 1 && decoders * memoryPerDecoder > budget / 2) --decoders;
  return decoders;
}

unsigned DecodersWithinWorkingSet(unsigned wanted, uint64_t memoryPerDecoder, uint64_t workingSet) {
  // Measured on the silent installation of a product-like package: about
  // 40 MiB with no decoder counted, and each decoder its dictionaries plus
  // about 8 MiB (its input and filter buffers, its piece in flight, its stack).
  constexpr uint64_t kWithoutDecoders = 40ull << 20;
  constexpr uint64_t kDecoderOwnBytes = 8ull << 20;
  const uint64_t room = workingSet > kWithoutDecoders ? workingSet - kWithoutDecoders : 0;
  const uint64_t fitting = room / (memoryPerDecoder + kDecoderOwnBytes);
  return static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(std::max(wanted, 1u), fitting)));
}

std::vector<DecodeJob> PlanDecodeJobs(const std::vector<ItemPlacement>& items, unsigned decoders) {
  std::vector<DecodeJob> jobs;
  auto add = [&items](DecodeJob& job, UINT32 index) {
    job.indices.push_back(index);
    job.bytes += items[index].size;
    job.cost += DecodeCost(items[index].packedSize, items[index].size);
    job.memory = std::max(job.memory, items[index].dictionaryBytes);  // capped below
  };
  auto finish = [&jobs] {
    for (DecodeJob& job : jobs) job.memory = std::min(job.memory, job.bytes);
    return jobs;
  };
  if (decoders <= 1) {
    jobs.emplace_back();
    for (UINT32 i = 0; i < items.size(); ++i) add(jobs.back(), i);
    return finish();
  }
  // Jobs in order of their first item; the handler wants a block's items in
  // index order, which appending in index order gives.
  std::vector<size_t> jobIndex;
  size_t noBlockJob = SIZE_MAX;
  for (UINT32 i = 0; i < items.size(); ++i) {
    const UINT32 block = items[i].block;
    size_t* slot = &noBlockJob;
    if (block != kNoBlock) {
      if (block >= jobIndex.size()) jobIndex.resize(block + 1, SIZE_MAX);
      slot = &jobIndex[block];
    }
    if (*slot == SIZE_MAX) {
      *slot = jobs.size();
      jobs.emplace_back();
    }
    add(jobs[*slot], i);
  }
  std::stable_sort(jobs.begin(), jobs.end(), [](const DecodeJob& a, const DecodeJob& b) { return a.cost > b.cost; });
  return finish();
}

C7zDecompressImpl::C7zDecompressImpl()
    : m_maxDecoders(DefaultMaxDecoders()),
      m_writer([this](UINT32 position, const ArchiveItem& item) {
        if (m_memoryMode) ReportProgress(k7zProgressWritten, position, item.path);
      }) {
  CrcGenerateTable();
  m_failAtStream = test_hooks::Number(L"ORV_TEST_DECODER_FAIL_AT");
  m_pArchive = new NArchive::N7z::CHandler;
  m_pArchive->AddRef();
}

// The writer goes first (its thread refers to the item tables).
C7zDecompressImpl::~C7zDecompressImpl() {
  m_writer.Cancel();
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

void C7zDecompressImpl::SetParentItemsFolder(const std::wstring& folder) {
  m_parentFolder = folder;
  if (!m_parentFolder.empty() && m_parentFolder.back() != L'\\') m_parentFolder += L'\\';
}

void C7zDecompressImpl::Cancel() {
  m_cancelled = true;
  m_stopped = true;
  m_writer.Cancel();
}

bool C7zDecompressImpl::ShouldStop() const { return m_stopped.load(); }

void C7zDecompressImpl::ReportProgress(int kind, UINT32 position, const std::wstring& path) {
  std::lock_guard<SlimMutex> guard(m_progressLock);
  if (kind == k7zProgressDecompressing) position = m_startedItems++;
  if (m_pProgress) m_pProgress->OnDecompressProgress(kind, static_cast<int>(m_itemCount), static_cast<int>(position), path);
}

HRESULT C7zDecompressImpl::ReadItems(IInArchive* archive, std::vector<ArchiveItem>* items,
                                     std::vector<ItemPlacement>* placements) {
  for (UINT32 i = 0; i < items->size(); ++i) {
    const HRESULT hr = ReadItem(archive, i, &(*items)[i], &(*placements)[i]);
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

HRESULT C7zDecompressImpl::OpenAndExtract(const StreamSource& source) {
  m_damagedItems = 0;
  m_startedItems = 0;
  CMyComPtr<IInStream> stream = source();
  HRESULT hr = m_pArchive->Open(stream, &kMaxCheckStartPosition, nullptr);
  if (hr != S_OK) return hr;
  UInt32 count = 0;
  hr = m_pArchive->GetNumberOfItems(&count);
  std::vector<DecodeJob> jobs;
  if (hr == S_OK) {
    m_itemCount = count;
    m_itemTables.push_back(std::make_unique<std::vector<ArchiveItem>>(count));
    m_pItems = m_itemTables.back().get();
    std::vector<ItemPlacement> placements(count);
    hr = count == 0 ? E_FAIL : ReadItems(m_pArchive, m_itemTables.back().get(), &placements);
    // A package with an item that would land outside its folders is refused
    // whole, before anything of it is decoded.
    bool unsafe = false;
    for (const ArchiveItem& item : *m_pItems) {
      if (hr != S_OK || item.safe) continue;
      LOG_ERROR << "安装包条目路径不安全，未写出：" << item.path;
      unsafe = true;
    }
    if (unsafe) hr = HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
    if (hr == S_OK) {
      std::vector<UINT32> distinct;
      for (const ItemPlacement& placement : placements) distinct.push_back(placement.block);
      distinct.erase(std::remove(distinct.begin(), distinct.end(), kNoBlock), distinct.end());
      std::sort(distinct.begin(), distinct.end());
      m_blockCount = static_cast<UINT32>(std::unique(distinct.begin(), distinct.end()) - distinct.begin());
      unsigned wanted = std::min<unsigned>(m_maxDecoders, std::max<UINT32>(m_blockCount, 1));
      jobs = PlanDecodeJobs(placements, wanted);
      uint64_t largestDictionary = 0;
      for (const ItemPlacement& placement : placements)
        largestDictionary = std::max(largestDictionary, placement.largestDictionary);
      SetPooledDictionarySize(static_cast<size_t>(largestDictionary));
      if (!m_writer.started()) {
        // Decoded data waits in memory: the decoders' dictionaries count
        // against the same budget.
        const unsigned fitting = DecodersWithinBudget(wanted, LargestDecoderMemory(jobs), m_writer.memoryBudget());
        if (fitting < wanted) jobs = PlanDecodeJobs(placements, wanted = fitting);
        m_writer.ReserveForDecoders(wanted * LargestDecoderMemory(jobs));
      } else {
        // Written as decoded: the decoders are what grows with the processors.
        const unsigned fitting =
            DecodersWithinWorkingSet(wanted, LargestDecoderMemory(jobs), kStreamingWorkingSetBytes);
        if (fitting < wanted) jobs = PlanDecodeJobs(placements, wanted = fitting);
      }
      m_decoderCount = static_cast<unsigned>(std::min<size_t>(wanted, jobs.size()));
      m_coderThreads = m_decoderCount < ProcessorCount();
      UseCoderThreads(m_pArchive, m_coderThreads);
    }
  }
  if (hr == S_OK) {
    // Every decoder counts as running from here, so that the writer cannot
    // take a moment before an extra decoder starts for the end.
    for (unsigned i = 0; i < m_decoderCount; ++i) m_writer.DecoderStarted();
    std::atomic<size_t> nextJob{0};
    std::vector<HRESULT> results(m_decoderCount, S_OK);
    std::vector<std::thread> extra;
    for (unsigned i = 1; i < m_decoderCount; ++i) {
      try {
        extra.emplace_back([&, i] { results[i] = RunExtraDecoder(source, jobs, &nextJob); });
      } catch (const std::system_error& error) {
        // The other decoders take its jobs.
        LOG_ERROR << "创建解压线程失败，错误码：" << error.code().value();
        m_writer.DecoderFinished();
      }
    }
    results[0] = RunDecoder(m_pArchive, jobs, &nextJob);
    for (std::thread& thread : extra) thread.join();
    // The first real cause: a decoder that stopped because another failed
    // answers E_ABORT, which says nothing.
    for (HRESULT result : results)
      if (result != S_OK && (hr == S_OK || (hr == E_ABORT && result != E_ABORT))) hr = result;
  }
  // The handler keeps the stream (and with it the caller's buffer) until closed.
  m_pArchive->Close();
  ReleasePooledDictionaries();
  if (m_damagedItems != 0) {
    LOG_ERROR << "安装包数据已损坏，损坏的条目数：" << m_damagedItems.load();
    hr = k7zPackageDamaged;
  }
  return hr;
}

HRESULT C7zDecompressImpl::RunDecoder(IInArchive* archive, const std::vector<DecodeJob>& jobs,
                                      std::atomic<size_t>* nextJob) {
  CMyComPtr<IArchiveExtractCallback> bridge = new CExtractCallbackBridge(this);
  HRESULT result = S_OK;
  for (size_t job = (*nextJob)++; job < jobs.size(); job = (*nextJob)++) {
    const std::vector<UINT32>& indices = jobs[job].indices;
    result = ShouldStop() ? E_ABORT : archive->Extract(indices.data(), static_cast<UInt32>(indices.size()), 0, bridge);
    if (result != S_OK) {
      // The other decoders stop too: the package cannot be complete.
      m_stopped = true;
      break;
    }
  }
  m_writer.DecoderFinished();
  return result;
}

HRESULT C7zDecompressImpl::RunExtraDecoder(const StreamSource& source, const std::vector<DecodeJob>& jobs,
                                           std::atomic<size_t>* nextJob) {
  CMyComPtr<IInArchive> archive = new NArchive::N7z::CHandler;
  UseCoderThreads(archive, m_coderThreads);
  CMyComPtr<IInStream> stream = source();
  const HRESULT hr = archive->Open(stream, &kMaxCheckStartPosition, nullptr);
  if (hr != S_OK) {
    LOG_ERROR << "解压线程打开安装包失败，错误码：" << hr;
    m_writer.DecoderFinished();
    return hr;
  }
  const HRESULT result = RunDecoder(archive, jobs, nextJob);
  archive->Close();
  return result;
}

HRESULT C7zDecompressImpl::DecompressFileToFolder(const std::wstring& archivePath, const std::wstring& folder) {
  {
    CInFileStream probe;
    if (!probe.Open(archivePath.c_str())) {
      const DWORD error = ::GetLastError();
      LOG_ERROR << "打开压缩包失败：" << archivePath << "，错误码：" << error;
      return HRESULT_FROM_WIN32(error);
    }
  }
  return ExtractIntoFolder(
      [archivePath]() -> IInStream* {
        CInFileStream* stream = new CInFileStream;
        stream->Open(archivePath.c_str());
        return stream;
      },
      folder);
}

HRESULT C7zDecompressImpl::DecompressToFolder(const void* data, uint64_t size, const std::wstring& folder) {
  const HRESULT hr = ExtractIntoFolder([data, size] { return new CInMemStream(data, size); }, folder);
  if (hr != S_OK) LOG_ERROR << "解压安装包失败：" << m_outputFolder << "，错误码：" << hr;
  return hr;
}

HRESULT C7zDecompressImpl::ExtractIntoFolder(const StreamSource& source, const std::wstring& folder) {
  SetOutputFolder(folder);
  m_memoryMode = 0;
  if (!m_writer.Start(m_outputFolder, m_parentFolder)) return E_FAIL;
  const HRESULT decoded = OpenAndExtract(source);
  const HRESULT written = m_writer.Finish();
  return CombinedResult(decoded, written);
}

// A write error or damage found by the writer says more than the E_ABORT the
// decoders answer with once the writer refuses their data.
HRESULT C7zDecompressImpl::CombinedResult(HRESULT decoded, HRESULT written) const {
  if (FAILED(written) && written != E_ABORT) return written;
  if (decoded != S_OK) return decoded;
  return written;
}

HRESULT C7zDecompressImpl::DecompressToMemory(const void* data, uint64_t size) {
  m_memoryMode = 1;
  const HRESULT hr = OpenAndExtract([data, size] { return new CInMemStream(data, size); });
  if (hr != S_OK) {
    if (!m_cancelled) LOG_ERROR << "解压安装包到内存失败，错误码：" << hr;
    // Not-an-archive is S_FALSE from the handler; a failure all the same.
    if (m_memoryResult == S_OK) m_memoryResult = FAILED(hr) ? hr : k7zPackageDamaged;
  }
  return hr;
}

HRESULT C7zDecompressImpl::GetItemStream(UINT32 index, ISequentialOutStream** outStream, INT32) {
  if (ShouldStop()) return E_ABORT;
  if (m_failAtStream != 0 && ++m_openedStreams == m_failAtStream) {
    LOG_ERROR << "测试：解压失败于条目" << index;
    return E_FAIL;
  }
  if (!m_pItems || index >= m_pItems->size()) return E_FAIL;
  const ArchiveItem& item = (*m_pItems)[index];
  if (m_memoryMode) ReportProgress(k7zProgressDecompressing, 0, item.path);
  // Folders and unsafe items get no stream; the writer creates the folder or
  // logs the refusal when their result arrives.
  if (!item.safe || item.isFolder) return S_OK;
  CMyComPtr<ISequentialOutStream> stream = new CItemOutStream(&m_writer, &item, this);
  *outStream = stream.Detach();
  return S_OK;
}

void C7zDecompressImpl::OnItemResult(UINT32 index, INT32 operationResult) {
  if (!m_pItems || index >= m_pItems->size()) return;
  const ArchiveItem& item = (*m_pItems)[index];
  if (operationResult != NArchive::NExtract::NOperationResult::kOK) {
    ++m_damagedItems;
    LOG_ERROR << "安装包条目已损坏：" << item.path << "，结果码：" << operationResult;
    // Nothing more of a damaged package is decoded or written.
    m_stopped = true;
    m_writer.Fail(k7zPackageDamaged);
    return;
  }
  m_writer.Push(&item, nullptr, 0, true);
}

void C7zDecompressImpl::StartWriteToFolder(const std::wstring& folder) {
  if (!m_memoryMode || m_writer.started() || m_memoryResult != S_OK) return;
  SetOutputFolder(folder);
  m_writer.Start(m_outputFolder, m_parentFolder);
}

HRESULT C7zDecompressImpl::WriteToFolder(const std::wstring& folder) {
  if (!m_memoryMode) return E_FAIL;
  if (m_memoryResult != S_OK && !m_writer.started()) {
    LOG_ERROR << "安装包未完整解压，不写出文件，错误码：" << m_memoryResult;
    return m_memoryResult;
  }
  StartWriteToFolder(folder);
  const HRESULT written = m_writer.Finish();
  return CombinedResult(m_memoryResult, written);
}
