#pragma once
// The installer's layer over the 7z archive handler: opens an archive that lies
// in memory and extracts every item either into memory (to be written out
// later with WriteToFolder) or straight into files, with per-item progress.
//
// Result codes are HRESULTs, and only S_OK is success: the handler answers
// S_FALSE for data that is not a (complete) 7z archive, and an archive
// without items gives E_FAIL. Besides those and the handler's own codes:
//   k7zPackageDamaged  an item failed its data or CRC check, or the in-memory
//                      decompression that WriteToFolder would write out did not
//                      complete; nothing of a damaged package is written.
//   HRESULT_FROM_WIN32(error)  an item could not be written out (e.g. the disk
//                      is full); the other items were still written.
// An existing target that is in use or read-only is left as it was in
// WriteToFolder and is not a failure.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  virtual HRESULT DecompressToMemory(const void* data, uint64_t size) = 0;
  virtual HRESULT WriteToFolder(const std::wstring& folder) = 0;
};

// What the extract callback bridge asks of the decompressor, once per item in
// index order: an output stream before the item is decoded, and the item's
// operation result (a 7-Zip NExtract::NOperationResult code) after it.
class I7zDecompressCallBack {
 public:
  virtual ~I7zDecompressCallBack() {}
  virtual HRESULT GetItemStream(UINT32 index, ISequentialOutStream** outStream, INT32 askMode) = 0;
  virtual void OnItemResult(UINT32 index, INT32 operationResult) = 0;
};

// True when an archive item path stays inside the extraction folder or, with
// a single leading "..\", inside its parent: no absolute path, drive letter or
// stream name, no empty, "." or ".." segment anywhere else.
bool IsSafeItemPath(const std::wstring& itemPath);

class C7zDecompressImpl : public I7zDecompress, public I7zDecompressCallBack {
 public:
  // One archive item extracted in memory mode: its data as the decoder wrote it.
  struct MemoryChunk {
    std::unique_ptr<BYTE[]> data;
    size_t size;
  };
  struct MemoryItem {
    std::wstring path;
    uint64_t total = 0;
    std::vector<MemoryChunk> chunks;
    bool isFolder = false;
  };

  C7zDecompressImpl();
  ~C7zDecompressImpl() override;
  C7zDecompressImpl(const C7zDecompressImpl&) = delete;
  C7zDecompressImpl& operator=(const C7zDecompressImpl&) = delete;

  int SetProgressCallBack(I7zDecompressProgressCallBack* progress) override;
  HRESULT DecompressFileToFolder(const std::wstring& archivePath, const std::wstring& folder) override;
  HRESULT DecompressToFolder(const void* data, uint64_t size, const std::wstring& folder) override;
  HRESULT DecompressToMemory(const void* data, uint64_t size) override;
  HRESULT WriteToFolder(const std::wstring& folder) override;

  HRESULT GetItemStream(UINT32 index, ISequentialOutStream** outStream, INT32 askMode) override;
  void OnItemResult(UINT32 index, INT32 operationResult) override;

  const std::vector<std::unique_ptr<MemoryItem>>& items() const { return m_items; }
  UINT32 itemCount() const { return m_itemCount; }

 private:
  void SetOutputFolder(const std::wstring& folder);
  HRESULT OpenAndExtract(IInStream* stream);
  HRESULT WriteMemoryItem(const MemoryItem& item);
  HRESULT OpenItemFile(const std::wstring& itemPath, bool isFolder, ISequentialOutStream** outStream);

  I7zDecompressProgressCallBack* m_pProgress = nullptr;
  int m_memoryMode = 0;
  std::wstring m_outputFolder;
  IInArchive* m_pArchive = nullptr;
  std::vector<std::unique_ptr<MemoryItem>> m_items;
  UINT32 m_itemCount = 0;

  // Items whose operation result was not OK in the current extraction.
  UINT32 m_damagedItems = 0;
  // Path of the item being extracted, for the error record of a failed result.
  std::wstring m_currentPath;
  // S_OK while every in-memory decompression so far completed intact.
  HRESULT m_memoryResult = S_OK;
};
