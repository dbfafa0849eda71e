#pragma once
// Finds the package appended to the running installer's own file and has the
// 7z decompressor unpack it into memory on a background thread.
//
// Layout of the installer file (little-endian):
//   0x3C                  e_lfanew, offset of the PE signature
//   e_lfanew + 8          COFF TimeDateStamp: the package offset P
//   P + 0                 "App."
//   P + 4                 one byte, not read
//   P + 5                 total unpacked size of all items, 32 bits
//   P + 9 .. end of file  the 7z archive, then anything (alignment, signature)

#include <windows.h>

#include <cstdint>

#include "libinstall/7zdecompress.h"

class IPackageExtractProgressCallBack {
 public:
  virtual ~IPackageExtractProgressCallBack() {}
  virtual void OnExtractProgress(int kind, int total, int index) = 0;
  virtual void OnExtractTotalSize(UINT32 size) = 0;
};

constexpr UINT32 kPayloadHeaderSize = 9;

struct PayloadLocation {
  UINT32 packageOffset;  // P
  UINT32 archiveOffset;  // P + 9
  UINT32 totalSize;      // unpacked size of all items
};

// Reads e_lfanew, the package offset and the payload header from a file image
// of fileSize bytes, never outside it. False when any of them lies outside the
// file, P + 9 passes its end, or the magic is missing. packageOffset is set
// whenever the time-stamp field could be read.
bool LocatePayload(const BYTE* image, uint64_t fileSize, PayloadLocation* location);

class CPackageExtract : public I7zDecompressProgressCallBack {
 public:
  CPackageExtract();
  ~CPackageExtract() override;
  CPackageExtract(const CPackageExtract&) = delete;
  CPackageExtract& operator=(const CPackageExtract&) = delete;

  void OnDecompressProgress(int kind, int total, int index, const std::wstring& itemPath) override;

  // Maps the running program's file and validates its payload header; reports
  // the total size to the progress receiver once on success.
  bool OpenPackage();

  // Body of the background thread: OpenPackage, then the in-memory
  // decompression. 0 on success, -1 on any failure; m_hrDecompress keeps the
  // decompressor's result.
  int DecompressRoutine();

  // Starts the background thread running DecompressRoutine and stores its
  // handle in m_hThread. The caller holds m_lock. False when the thread
  // cannot be created (logged).
  bool StartDecompressThread();

  // Fields read directly by the install driver.
  IPackageExtractProgressCallBack* m_pProgress = nullptr;  // not owned
  I7zDecompress* m_pDecompress = nullptr;                   // owned
  HANDLE m_hThread = nullptr;                               // owned
  CRITICAL_SECTION m_lock;
  HANDLE m_hMapping = nullptr;  // owned
  const BYTE* m_pView = nullptr;
  UINT32 m_fileSize = 0;
  UINT32 m_archiveOffset = 0;   // P, then P + 9 once validated
  // Result of the background decompression: E_PENDING until the routine has
  // run, then S_OK, the decompressor's failure code, or E_FAIL when the
  // package could not be opened. The install driver checks it (or the
  // result of WriteToFolder, which refuses a damaged package) to fail.
  HRESULT m_hrDecompress = E_PENDING;

 private:
  bool OpenPackageFile(const std::wstring& path);
  void ReleaseMapping();
};
