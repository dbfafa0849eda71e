#pragma once
// Writes decoded archive items to their files on a thread of its own, fed by
// the decoder threads through a bounded queue.
//
// Every folder and file below the output folder (and below the folder for
// the "..\" items) is created as new, relative to its parent's handle: a
// name that exists already (a link included) fails the write-out, so that
// nothing is written through a link nor into a file someone else put there.
// Each folder is opened once per write-out.
//
// Unless told otherwise (SetFlushFiles), every written file is flushed to the
// disk before it is closed, so that the whole package is on the disk when
// Finish returns. A flush waits for the disk, not for a processor: closing
// threads do it (and the close, and the report of the written item), so that
// the writer goes on with the next file meanwhile, and several flushes at
// once share the file system's commits.
//
// Until a target folder is known the queue simply holds what the decoders
// produce, up to a memory budget; decoders that would pass it wait. Once
// Start names the folder, the writer thread writes what is queued and then
// everything that follows, and the bound drops to a few megabytes so that
// nothing of the package stays in memory longer than it takes to write it.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/slim_sync.h"
#include "common/tree_walker.h"

// An archive item as it is known before decoding.
struct ArchiveItem {
  std::wstring path;  // as the handler reports it, backslash separators
  uint64_t size = 0;
  bool isFolder = false;
  bool safe = false;  // the path stays inside the output folder or its parent; else the write-out fails
};

// The bound of the queue once the writer runs: enough to keep the disk busy
// while the decoders go on.
inline constexpr uint64_t kStreamingQueueBytes = 8ull << 20;

// Finished files the writer may run ahead of the thread that flushes and
// closes them: each is a handle and data in the system's file cache, none of
// it in this process's memory.
inline constexpr size_t kMaxClosingFiles = 256;
// Threads that flush and close finished files: four flushes at once took a
// quarter of the time of one after another for files of a quarter megabyte.
inline constexpr unsigned kClosingThreads = 4;

// The largest piece of an item the decoders hand over at once; an item up to
// this size is written in one piece.
inline constexpr size_t kSingleWriteBytes = 1 << 20;

// Written buffers kept for the decoders' next pieces, at most this many bytes:
// as many as can be in flight while streaming (the queue, whose buffers of
// powers of two hold up to twice the bytes it counts, and a piece per
// decoder), so that the memory is not returned to the system and faulted in
// again, zeroed, for every piece. (The heap hands a block of 1 MiB back to
// the system when it is freed, and the free space of smaller ones too.)
inline constexpr size_t kPooledBufferBytes = 2 * kStreamingQueueBytes + 4 * kSingleWriteBytes;

// How much decoded data may wait in memory for the target folder: the smaller
// of 512 MB and a quarter of the physical memory. The environment variable
// ORV_TEST_MEMORY_BUDGET_MB (megabytes) overrides it; it is a test hook.
uint64_t DefaultMemoryBudget();
// The budget rule itself, for a machine with `physicalBytes` of memory.
uint64_t MemoryBudgetFor(uint64_t physicalBytes);

// Where an item lands: output folder + path, except that an item whose path
// begins with "..\" goes below `parentFolder` when one is given (the output
// folder's parent otherwise). Both folders end in a backslash.
std::wstring ItemTargetPath(const std::wstring& outputFolder, const std::wstring& parentFolder,
                            const std::wstring& itemPath);

// Creates `folder` and every missing parent; logs the one that fails and
// returns its error (0 on success).
DWORD CreateFolderTree(const std::wstring& folder);

// Runs of zero bytes at least this long are passed over instead of written:
// what was never written in a file of its final size reads as zeros.
inline constexpr size_t kZeroRunBytes = 64 << 10;

// A part of a piece: data to write, or a run of zeros to pass over.
struct PieceSpan {
  size_t offset;
  size_t length;
  bool zeros;
};
// Cuts a piece of `size` bytes into spans of data and zero runs. The piece is
// looked at in steps of kZeroRunBytes from its start; a run is a series of
// steps that are all zero (the last one may be shorter) of at least
// kZeroRunBytes in all. Checking a step stops at its first byte that is not
// zero, so data costs next to nothing.
std::vector<PieceSpan> SplitAtZeroRuns(const BYTE* data, size_t size);

class CItemWriter {
 public:
  // Called on the writer thread after each item has been written (or passed
  // over): its position among the written items and the item.
  using WrittenCallback = std::function<void(UINT32 position, const ArchiveItem& item)>;

  explicit CItemWriter(WrittenCallback written);
  ~CItemWriter();  // cancels and waits for the writer thread
  CItemWriter(const CItemWriter&) = delete;
  CItemWriter& operator=(const CItemWriter&) = delete;

  void SetMemoryBudget(uint64_t bytes);
  uint64_t memoryBudget() const;
  // Takes `bytes` of the budget for the decoders' own memory: decoded data
  // may fill only the rest while it waits for the folder.
  void ReserveForDecoders(uint64_t bytes);

  // Decoder side. A decoder announces itself before its first record and
  // leaves after its last. Push hands over `size` bytes of `item` (taking the
  // buffer), with `last` after the item's final bytes; it waits while the
  // queue is full and returns false once the writer was cancelled or failed.
  void DecoderStarted();
  void DecoderFinished();
  // A buffer of `pooledCapacity` bytes came from TakeBuffer and goes back to
  // the pool once written; 0 for any other.
  bool Push(const ArchiveItem* item, std::unique_ptr<BYTE[]> data, size_t size, bool last,
            size_t pooledCapacity = 0);
  // A buffer for a piece of `bytes` (at most kSingleWriteBytes), written
  // before and kept or a new one, of `*pooledCapacity` bytes: of
  // kSingleWriteBytes for a whole piece and, once writing has started, for
  // one of at least half that; of the next power of two for a smaller piece
  // once writing has started. Else (data waiting for the folder) a new one
  // of `bytes`, so that it takes only its own size, and `*pooledCapacity` 0.
  // (The queue counts pieces by their bytes: while writing, its buffers hold
  // at most twice its bound.)
  std::unique_ptr<BYTE[]> TakeBuffer(size_t bytes, size_t* pooledCapacity);

  // Whether each written file is flushed before it is closed (the default);
  // set before Start.
  void SetFlushFiles(bool flush) { flushFiles_ = flush; }

  // Starts writing below `outputFolder` (and `parentFolder`, see
  // ItemTargetPath), which must exist and not be a link; false when it
  // cannot be opened or the writer thread cannot start (logged).
  //
  // Test hooks, read here: ORV_TEST_WRITER_PAUSE_AT=N stops before the N-th
  // file is created, with an INFO record, until the file that
  // ORV_TEST_WRITER_CONTINUE names exists (at most a minute);
  // ORV_TEST_FLUSH_FAIL_AT=N makes the flush of the N-th flushed file fail.
  bool Start(const std::wstring& outputFolder, const std::wstring& parentFolder);
  bool started() const { return started_; }
  // Waits until every decoder has finished and everything queued is written;
  // then S_OK or the first write error. Requires Start.
  HRESULT Finish();

  // Ends all waiting: pushes fail from now on, queued data is dropped, the
  // writer thread stops after the write in progress.
  void Cancel();
  bool cancelled() const;
  // Ends the write-out with `error` (the first one counts): queued data is
  // dropped and pushes fail from now on.
  void Fail(HRESULT error);

  // Decoded bytes waiting in memory.
  uint64_t QueuedBytes() const;

 private:
  struct Record {
    const ArchiveItem* item;
    std::unique_ptr<BYTE[]> data;
    size_t size;
    bool last;
    size_t pooledCapacity;
  };
  // An item whose first record has been written and whose last has not; and
  // then, on the closing thread's queue, one whose file waits to be flushed
  // and closed.
  struct OpenItem {
    const ArchiveItem* item = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;  // INVALID_HANDLE_VALUE when nothing is written (folder, failed)
    std::wstring target;  // full path, for the error records
    // The file's end lies past what was written: its last bytes so far were
    // passed over as zeros (a file not sized in advance is given its size).
    bool endPending = false;
  };

  // What the queue may hold: the budget less the decoders' reserve until
  // Start, then at most kStreamingQueueBytes. Called with the lock held.
  uint64_t Bound() const;
  void Run();
  // Writes one record; the first record of an item opens its file.
  void Write(Record& record);
  HRESULT OpenTarget(OpenItem& open);
  // The folder `relative` (backslashes, none at the ends; empty: the root)
  // below the output folder or, with `parentRoot`, below the folder of the
  // "..\" items: opened or created as new (logged when it cannot be).
  HRESULT FolderAt(bool parentRoot, const std::wstring& relative, const tree::Folder** folder);
  // The folder of the "..\" items, ending in a backslash.
  std::wstring ParentItemsFolder() const;
  void PauseHook(const std::wstring& target);
  // A closing thread: flushes and closes finished items; they are reported
  // in the order the writer finished them.
  void RunCloser();
  // Hands a finished item to the closing threads (or, without any, closes it).
  void Close(OpenItem&& open);
  // Flushes and closes the finished item number `sequence`, then reports
  // every finished item whose turn has come.
  void FinishItem(OpenItem& open, uint64_t sequence);

  WrittenCallback written_;
  mutable SlimMutex lock_;
  // Each waiting role has its own condition, so that a hand-over wakes the
  // thread it is for and not every thread of the write-out: the decoders wait
  // for room in the queue, the writer thread for records (or the end).
  SlimCondition queueRoom_;
  SlimCondition recordsReady_;
  std::deque<Record> queue_;
  // Kept buffers by capacity: pool_[n] holds buffers of 2^n bytes, up to
  // kSingleWriteBytes.
  static constexpr unsigned kBufferOrders = 21;
  std::vector<std::unique_ptr<BYTE[]>> pool_[kBufferOrders];
  size_t pooledBytes_ = 0;  // see kPooledBufferBytes
  uint64_t queuedBytes_ = 0;
  uint64_t budget_;
  uint64_t reserved_ = 0;
  int activeDecoders_ = 0;
  bool started_ = false;
  bool flushFiles_ = true;
  bool cancelled_ = false;
  bool finishing_ = false;  // Finish waits: the thread ends once all is written
  HRESULT result_ = S_OK;
  // Finished items waiting for a closing thread, numbered in the order the
  // writer finished them; the threads end once the writer thread is done and
  // the queue is empty.
  std::deque<std::pair<OpenItem, uint64_t>> closing_;
  uint64_t finishedItems_ = 0;  // writer thread
  SlimCondition closingRoom_;   // the writer thread waits for room in closing_
  SlimCondition closingReady_;  // the closing threads wait for a file (or the end)
  bool writerDone_ = false;
  // Reports in finishing order: items closed ahead of their turn wait here.
  SlimMutex reportLock_;
  std::map<uint64_t, const ArchiveItem*> closedAhead_;
  uint64_t nextReport_ = 0;

  // Writer thread only.
  std::wstring outputFolder_;
  std::wstring parentFolder_;
  std::vector<OpenItem> open_;  // one per decoder at the most
  tree::Folder output_;
  tree::Folder parentRoot_;        // opened when the first "..\" item needs it
  std::wstring parentBelowOutput_;  // the "..\" items' folder relative to the output folder, if below it
  // Folders created in this write-out, by their lower-case path below their
  // root ("..\" first for the parent root).
  std::map<std::wstring, tree::Folder> folders_;
  UINT32 createdFiles_ = 0;
  unsigned long pauseAt_ = 0;
  std::wstring continueFile_;
  unsigned long flushFailAt_ = 0;
  std::atomic<unsigned long> flushedFiles_{0};  // closing threads
  UINT32 writtenCount_ = 0;  // with reportLock_
  std::thread thread_;
  std::vector<std::thread> closers_;
};
