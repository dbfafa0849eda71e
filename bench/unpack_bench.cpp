// Unpacks the package appended to its own file the way the installer does:
// in-memory decompression on the background thread, then the write-out into
// a folder, and prints the times and the process's peak memory as key=value
// lines for bench/run_unpack_bench.sh.
//   unpack_bench.exe OUTPUT_FOLDER
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>

#include "libinstall/packageextract.h"

namespace {

class CCounter : public IPackageExtractProgressCallBack {
 public:
  void OnExtractProgress(int kind, int, int) override { ++(kind == 1 ? decompressed : written); }
  void OnExtractTotalSize(UINT32 size) override { totalSize = size; }
  std::atomic<int> decompressed{0};
  std::atomic<int> written{0};
  UINT32 totalSize = 0;
};

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: unpack_bench.exe OUTPUT_FOLDER\n");
    return 2;
  }
  CCounter counter;
  CPackageExtract extract;
  extract.m_pProgress = &counter;
  C7zDecompressImpl* decompress = new C7zDecompressImpl;
  extract.m_pDecompress = decompress;
  decompress->SetProgressCallBack(&extract);
  // The folder is new: the installer writes into such a folder without a
  // flush per file, and the window's write-out is measured against this one.
  decompress->SetFlushWrittenFiles(false);

  LARGE_INTEGER start, decompressed, written;
  ::QueryPerformanceCounter(&start);
  ::EnterCriticalSection(&extract.m_lock);
  const bool started = extract.StartDecompressThread();
  ::LeaveCriticalSection(&extract.m_lock);
  if (!started) return 3;
  ::WaitForSingleObject(extract.m_hThread, INFINITE);
  ::QueryPerformanceCounter(&decompressed);
  const HRESULT writeResult = decompress->WriteToFolder(argv[1]);
  ::QueryPerformanceCounter(&written);

  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);

  printf("package_size=%u\n", counter.totalSize);
  printf("items=%u\n", decompress->itemCount());
  printf("blocks=%u\n", decompress->blockCount());
  printf("decoders=%u\n", decompress->decoderCount());
  printf("progress_decompressed=%d\n", counter.decompressed.load());
  printf("progress_written=%d\n", counter.written.load());
  printf("decompress_result=0x%08lX\n", static_cast<unsigned long>(extract.m_hrDecompress));
  printf("write_result=0x%08lX\n", static_cast<unsigned long>(writeResult));
  printf("decompress_ms=%.0f\n", Milliseconds(start, decompressed));
  printf("write_ms=%.0f\n", Milliseconds(decompressed, written));
  printf("bridge_ms=%.0f\n", Milliseconds(start, written));
  printf("peak_working_set=%zu\n", static_cast<size_t>(memory.PeakWorkingSetSize));
  printf("peak_private=%zu\n", static_cast<size_t>(memory.PeakPagefileUsage));
  return extract.m_hrDecompress == S_OK && writeResult == S_OK ? 0 : 1;
}
