#include "libinstall/packageextract.h"

#include <process.h>

#include <cerrno>
#include <cstring>

#include "common/logging.h"

namespace {

constexpr uint64_t kLfanewOffset = 0x3C;
constexpr uint64_t kTimeDateStampOffset = 8;  // from the PE signature
constexpr BYTE kPayloadMagic[4] = {'A', 'p', 'p', '.'};

UINT32 ReadUInt32(const BYTE* at) {
  UINT32 value;
  memcpy(&value, at, sizeof value);
  return value;
}

// Heap-allocated start record of the background thread; the thread frees it.
struct ThreadStart {
  CPackageExtract* object;
  int (CPackageExtract::*routine)();
};

unsigned __stdcall RunThread(void* parameter) {
  ThreadStart* start = static_cast<ThreadStart*>(parameter);
  const int result = (start->object->*start->routine)();
  delete start;
  return static_cast<unsigned>(result);
}

}  // namespace

bool LocatePayload(const BYTE* image, uint64_t fileSize, PayloadLocation* location) {
  if (!image || fileSize < kLfanewOffset + 4) return false;
  const uint64_t lfanew = ReadUInt32(image + kLfanewOffset);
  const uint64_t stampOffset = lfanew + kTimeDateStampOffset;
  if (stampOffset + 4 > fileSize) return false;
  const uint64_t packageOffset = ReadUInt32(image + stampOffset);
  location->packageOffset = static_cast<UINT32>(packageOffset);
  // 64-bit arithmetic: an offset near 0xFFFFFFFF must not wrap round to a
  // small value.
  if (packageOffset + kPayloadHeaderSize > fileSize) return false;
  if (memcmp(image + packageOffset, kPayloadMagic, sizeof kPayloadMagic) != 0) return false;
  location->archiveOffset = static_cast<UINT32>(packageOffset + kPayloadHeaderSize);
  location->totalSize = ReadUInt32(image + packageOffset + 5);
  return true;
}

CPackageExtract::CPackageExtract() { ::InitializeCriticalSection(&m_lock); }

CPackageExtract::~CPackageExtract() {
  ReleaseMapping();
  delete m_pDecompress;
  if (m_hThread) ::CloseHandle(m_hThread);
  ::DeleteCriticalSection(&m_lock);
}

void CPackageExtract::ReleaseMapping() {
  if (m_pView) ::UnmapViewOfFile(m_pView);
  if (m_hMapping) ::CloseHandle(m_hMapping);
  m_pView = nullptr;
  m_hMapping = nullptr;
  m_fileSize = 0;
  m_archiveOffset = 0;
}

void CPackageExtract::OnDecompressProgress(int kind, int total, int index, const std::wstring&) {
  if (m_pProgress) m_pProgress->OnExtractProgress(kind, total, index);
}

bool CPackageExtract::OpenPackage() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) path[0] = L'\0';
  return OpenPackageFile(path);
}

bool CPackageExtract::OpenPackageFile(const std::wstring& path) {
  ReleaseMapping();
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = ::GetFileSize(file, nullptr);
  if (size == INVALID_FILE_SIZE || size == 0) {
    ::CloseHandle(file);
    return false;
  }
  m_fileSize = size;
  // The mapping keeps the file open once created; the handle is closed on every path.
  m_hMapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, size, nullptr);
  ::CloseHandle(file);
  if (!m_hMapping) return false;
  m_pView = static_cast<const BYTE*>(::MapViewOfFile(m_hMapping, FILE_MAP_READ, 0, 0, size));
  if (!m_pView) return false;

  PayloadLocation location{};
  const bool found = LocatePayload(m_pView, m_fileSize, &location);
  m_archiveOffset = location.packageOffset;
  if (!found) return false;
  if (m_pProgress) m_pProgress->OnExtractTotalSize(location.totalSize);
  m_archiveOffset = location.archiveOffset;
  return true;
}

int CPackageExtract::DecompressRoutine() {
  if (!OpenPackage()) {
    m_hrDecompress = E_FAIL;
    return -1;
  }
  if (!m_pView || !m_pDecompress) {
    m_hrDecompress = E_FAIL;
    return -1;
  }
  m_hrDecompress = m_pDecompress->DecompressToMemory(m_pView + m_archiveOffset, uint64_t{m_fileSize} - m_archiveOffset);
  // S_FALSE (not a 7z archive) is no success here.
  return m_hrDecompress == S_OK ? 0 : -1;
}

bool CPackageExtract::StartDecompressThread() {
  ThreadStart* start = new ThreadStart{this, &CPackageExtract::DecompressRoutine};
  const uintptr_t thread = _beginthreadex(nullptr, 0, RunThread, start, 0, nullptr);
  if (thread == 0) {
    LOG_ERROR << "创建解压线程失败，错误码：" << errno;
    delete start;
    return false;
  }
  m_hThread = reinterpret_cast<HANDLE>(thread);
  return true;
}
