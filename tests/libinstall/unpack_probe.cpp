// Runs the installer's two-phase unpacking on the package appended to its own
// file, as the install driver does, and writes what it saw to a report:
//   unpack_probe.exe OUTPUT_FOLDER REPORT_FILE
// Report lines: "size N", "progress KIND TOTAL INDEX" (in order), "thread RC",
// "decompress HRESULT", "write HRESULT" (all decimal).
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "libinstall/packageextract.h"

namespace {

class CRecorder : public IPackageExtractProgressCallBack {
 public:
  void OnExtractProgress(int kind, int total, int index) override {
    Add("progress " + std::to_string(kind) + " " + std::to_string(total) + " " + std::to_string(index));
  }
  void OnExtractTotalSize(UINT32 size) override { Add("size " + std::to_string(size)); }
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_lines.push_back(line);
  }
  std::vector<std::string> lines() const { return m_lines; }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  CRecorder recorder;
  DWORD threadResult = 0;
  HRESULT writeResult = E_PENDING;
  {
    CPackageExtract extract;
    extract.m_pProgress = &recorder;
    extract.m_pDecompress = new C7zDecompressImpl;
    extract.m_pDecompress->SetProgressCallBack(&extract);
    ::EnterCriticalSection(&extract.m_lock);
    const bool started = extract.StartDecompressThread();
    ::LeaveCriticalSection(&extract.m_lock);
    if (!started) return 3;
    ::WaitForSingleObject(extract.m_hThread, INFINITE);
    ::GetExitCodeThread(extract.m_hThread, &threadResult);
    writeResult = extract.m_pDecompress->WriteToFolder(argv[1]);
    recorder.Add("thread " + std::to_string(static_cast<int>(threadResult)));
    recorder.Add("decompress " + std::to_string(static_cast<long>(extract.m_hrDecompress)));
    recorder.Add("write " + std::to_string(static_cast<long>(writeResult)));
  }
  FILE* report = _wfopen(argv[2], L"wb");
  if (!report) return 4;
  for (const std::string& line : recorder.lines()) fprintf(report, "%s\n", line.c_str());
  fclose(report);
  return 0;
}
