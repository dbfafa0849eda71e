#pragma once
// The installer's layer over the 7z archive handler: opens an archive that lies
// in memory and extracts every item, with per-item progress, either into
// memory first (DecompressToMemory, later written out by WriteToFolder) or
// straight into files (DecompressToFolder).
//
// Decoding: an archive laid out in several solid blocks is decoded by up to
// as many decoders at once as the machine has cores, each with a handler of
// its own over the same data. Decoded data goes through one CItemWriter: in
// memory mode it waits there, within a memory budget, until a folder is
// known (StartWriteToFolder or WriteToFolder); decoders that would pass the
// budget wait too. From then on the writer thread writes everything as it
// comes, overlapping the decoding. Cancel ends all of it within moments.
//
// Result codes are HRESULTs, and only S_OK is success: the handler answers
// S_FALSE for data that is not a (complete) 7z archive, and an archive
// without items gives E_FAIL. Besides those and the handler's own codes:
//   k7zPackageDamaged  an item failed its data or CRC check, or the in-memory
//                      decompression that WriteToFolder would write out did not
//                      complete; decoding and writing stop at once.
//   HRESULT_FROM_WIN32(error)  an item could not be written out (e.g. the disk
//                      is full); decoding and writing stop at once.
//   HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME)  an item's path would leave the
//                      folders it may be written to (IsSafeItemPath); each
//                      such item is logged and nothing is decoded.
//   E_ABORT            Cancel was called.
// Every file and folder below the output folder is created as new (see
// itemwriter.h): an entry that exists there already fails the write-out.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libinstall/itemwriter.h"

struct IInArchive;
struct IInStream;
struct ISequentialOutStream;

constexpr HRESULT k7zPackageDamaged = HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT);

// Progress kinds reported through I7zDecompressProgressCallBack.
enum : int {
  k7zProgressDecompressing = 1,  // an item is about to be decompressed into memory
  k7zProgressWritten = 2,        // an item has been written to its file
};

class I7zDecompressProgressCallBack {
 public:
  virtual ~I7zDecompressProgressCallBack() {}
  virtual void OnDecompressProgress(int kind, int total, int index, const std::wstring& itemPath) = 0;
};

class I7zDecompress {
 public:
  virtual ~I7zDecompress() {}
  virtual int SetProgressCallBack(I7zDecompressProgressCallBack* progress) = 0;
  // Extracts the archive file at archivePath into folder.
  virtual HRESULT DecompressFileToFolder(const std::wstring& archivePath, const std::wstring& folder) = 0;
  virtual HRESULT DecompressToFolder(const void* data, uint64_t size, const std::wstring& folder) = 0;
  // Decodes into memory, within the memory budget; when the budget is full
  // it waits until StartWriteToFolder or Cancel is called on another thread.
  virtual HRESULT DecompressToMemory(const void* data, uint64_t size) = 0;
  // Writes everything decoded into memory below folder, waits until all of
  // it is written and returns the result. When StartWriteToFolder came first,
  // the folder given there is used.
  virtual HRESULT WriteToFolder(const std::wstring& folder) = 0;
  // Starts writing below folder while DecompressToMemory may still run on
  // another thread: what is in memory is written at once, the rest as it is
  // decoded. WriteToFolder then waits for the end.
  virtual void StartWriteToFolder(const std::wstring& folder) = 0;
  // Items whose path begins with "..\" are written below this folder instead
  // of the output folder's parent (empty: the parent).
  virtual void SetParentItemsFolder(const std::wstring& folder) = 0;
  // Stops decoding and writing; may be called from any thread.
  virtual void Cancel() = 0;
};

// What the extract callback bridge asks of the decompressor, once per item:
// an output stream before the item is decoded, and the item's operation
// result (a 7-Zip NExtract::NOperationResult code) after it; and, while it
// decodes, whether to stop. Called on the decoder threads.
class I7zDecompressCallBack {
 public:
  virtual ~I7zDecompressCallBack() {}
  virtual HRESULT GetItemStream(UINT32 index, ISequentialOutStream** outStream, INT32 askMode) = 0;
  virtual void OnItemResult(UINT32 index, INT32 operationResult) = 0;
  virtual bool ShouldStop() const = 0;
};

// True when an archive item path stays inside the extraction folder or, with
// a single leading "..\", inside its parent: no absolute path, drive letter or
// stream name, no empty, "." or ".." segment anywhere else.
bool IsSafeItemPath(const std::wstring& itemPath);

// No solid block: an item without data (an empty file or a folder).
inline constexpr UINT32 kNoBlock = 0xFFFFFFFF;

// Where an item's data lies: its solid block, its unpacked size and, on the
// first item of a block, the block's packed size and the dictionary bytes its
// decoder allocates (0 on the others).
struct ItemPlacement {
  UINT32 block = kNoBlock;
  uint64_t size = 0;
  uint64_t packedSize = 0;
  uint64_t dictionaryBytes = 0;    // all of its block's dictionaries
  uint64_t largestDictionary = 0;  // the largest of them
};

// The item indices one decoder extracts in one call of the handler.
struct DecodeJob {
  std::vector<UINT32> indices;
  uint64_t bytes = 0;  // unpacked
  uint64_t cost = 0;   // the decoding work, see DecodeCost
  // What its decoder holds in memory: the dictionary, as far as the data
  // decoded into it reaches.
  uint64_t memory = 0;
};

// The dictionaries a decoder of a block allocates, from the handler's method
// text for it ("BCJ2 LZMA:25 LZMA:19 LZMA:19"): one per LZMA and LZMA2 coder,
// whose sizes read "25" (2^25), "24m", "1536k" or "77b".
struct MethodDictionaries {
  uint64_t total = 0;    // all of them
  uint64_t largest = 0;  // the largest one (the main stream's)
};
MethodDictionaries DictionariesOf(const std::wstring& method);

// How many decoders may run at once when decoded data waits in memory within
// `budget`: at most `wanted`, and no more than leave half of the budget for
// the data; at least one.
unsigned DecodersWithinBudget(unsigned wanted, uint64_t memoryPerDecoder, uint64_t budget);

// The peak working set the decoding may reach while it writes as it decodes
// (a silent installation), whatever the number of processors.
inline constexpr uint64_t kStreamingWorkingSetBytes = 128ull << 20;

// How many decoders may run at once while decoded data goes straight to the
// writer: at most `wanted` (one per processor), and no more than fit in a
// peak working set of `workingSet` bytes beside what the process holds
// without them (the program, the system's share, the writer's queue and its
// kept buffers), each with `memoryPerDecoder` bytes of dictionaries and
// buffers of its own; at least one.
unsigned DecodersWithinWorkingSet(unsigned wanted, uint64_t memoryPerDecoder, uint64_t workingSet);

// The decoding work of `packed` bytes that unpack to `unpacked` bytes, in
// units of a packed byte. LZMA's time goes into the bits it decodes far more
// than into the bytes it copies out: of two product-like blocks of 63 MB, the
// one packed to 6 MB decodes in a quarter of the time of one packed to 40 MB.
uint64_t DecodeCost(uint64_t packed, uint64_t unpacked);

// How the items are shared out among `decoders` decoders: one job with every
// index in order for a single decoder; otherwise one job per solid block
// (items without a block together in one more), the costliest first, so that
// decoders pulling jobs in order finish close together.
std::vector<DecodeJob> PlanDecodeJobs(const std::vector<ItemPlacement>& items, unsigned decoders);

class C7zDecompressImpl : public I7zDecompress, public I7zDecompressCallBack {
 public:
  C7zDecompressImpl();
  ~C7zDecompressImpl() override;
  C7zDecompressImpl(const C7zDecompressImpl&) = delete;
  C7zDecompressImpl& operator=(const C7zDecompressImpl&) = delete;

  int SetProgressCallBack(I7zDecompressProgressCallBack* progress) override;
  HRESULT DecompressFileToFolder(const std::wstring& archivePath, const std::wstring& folder) override;
  HRESULT DecompressToFolder(const void* data, uint64_t size, const std::wstring& folder) override;
  HRESULT DecompressToMemory(const void* data, uint64_t size) override;
  HRESULT WriteToFolder(const std::wstring& folder) override;
  void StartWriteToFolder(const std::wstring& folder) override;
  void SetParentItemsFolder(const std::wstring& folder) override;
  void Cancel() override;

  HRESULT GetItemStream(UINT32 index, ISequentialOutStream** outStream, INT32 askMode) override;
  void OnItemResult(UINT32 index, INT32 operationResult) override;
  bool ShouldStop() const override;

  // The most decoders run at once (default: the number of processors, or
  // the test hook ORV_TEST_DECODERS=N).
  void SetMaxDecoders(unsigned decoders) { m_maxDecoders = decoders ? decoders : 1; }
  // Whether the written files are flushed one by one (see itemwriter.h);
  // set before the writing starts.
  void SetFlushWrittenFiles(bool flush) { m_writer.SetFlushFiles(flush); }
  // Decoded bytes that may wait in memory for a folder (see itemwriter.h).
  void SetMemoryBudget(uint64_t bytes) { m_writer.SetMemoryBudget(bytes); }

  UINT32 itemCount() const { return m_itemCount; }
  // The items of the last extraction (null before the first).
  const std::vector<ArchiveItem>* items() const { return m_pItems; }
  // Solid blocks of the last opened archive, and decoders used for it.
  UINT32 blockCount() const { return m_blockCount; }
  unsigned decoderCount() const { return m_decoderCount; }
  uint64_t BytesInMemory() const { return m_writer.QueuedBytes(); }

 private:
  // Opens a fresh input stream over the archive, one for each decoder.
  using StreamSource = std::function<IInStream*()>;
  HRESULT OpenAndExtract(const StreamSource& source);
  // The one-phase extraction: the writer runs from the start.
  HRESULT ExtractIntoFolder(const StreamSource& source, const std::wstring& folder);
  HRESULT CombinedResult(HRESULT decoded, HRESULT written) const;
  HRESULT ReadItems(IInArchive* archive, std::vector<ArchiveItem>* items, std::vector<ItemPlacement>* placements);
  // Extracts jobs, pulled in order from `nextJob`, with `archive` (opened).
  HRESULT RunDecoder(IInArchive* archive, const std::vector<DecodeJob>& jobs, std::atomic<size_t>* nextJob);
  // One more decoder on a thread of its own: a handler over a fresh stream.
  HRESULT RunExtraDecoder(const StreamSource& source, const std::vector<DecodeJob>& jobs,
                          std::atomic<size_t>* nextJob);
  void SetOutputFolder(const std::wstring& folder);
  void ReportProgress(int kind, UINT32 position, const std::wstring& path);

  I7zDecompressProgressCallBack* m_pProgress = nullptr;
  int m_memoryMode = 0;
  std::wstring m_outputFolder;
  std::wstring m_parentFolder;
  IInArchive* m_pArchive = nullptr;
  // Every extraction's item table; the writer refers to their items until
  // it is done with them.
  std::vector<std::unique_ptr<std::vector<ArchiveItem>>> m_itemTables;
  const std::vector<ArchiveItem>* m_pItems = nullptr;  // the current extraction's
  UINT32 m_itemCount = 0;
  UINT32 m_blockCount = 0;
  unsigned m_decoderCount = 0;
  bool m_coderThreads = true;  // see UseCoderThreads
  unsigned m_maxDecoders;

  SlimMutex m_progressLock;
  UINT32 m_startedItems = 0;  // kind 1 reports of the current extraction

  // Items whose operation result was not OK in the current extraction.
  std::atomic<UINT32> m_damagedItems{0};
  std::atomic<bool> m_stopped{false};  // Cancel, damage or a write error
  std::atomic<bool> m_cancelled{false};  // Cancel() was called: no failure to report
  // S_OK while every in-memory decompression so far completed intact.
  HRESULT m_memoryResult = S_OK;
  CItemWriter m_writer;
  // Test hook ORV_TEST_DECODER_FAIL_AT=N: the N-th output stream asked for
  // fails with E_FAIL, as a decoder failing part-way would.
  UINT32 m_failAtStream = 0;
  std::atomic<UINT32> m_openedStreams{0};
};
