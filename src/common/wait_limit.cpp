#include "common/wait_limit.h"

#include <atomic>
#include <cstdint>

DWORD ParseWaitLimitMs(const std::wstring& text, DWORD standard) {
  if (text.empty() || text.size() > 10) return standard;
  uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return standard;
    value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (value == 0 || value > 0xFFFFFFFEu) return standard;  // 0xFFFFFFFF would be INFINITE
  return static_cast<DWORD>(value);
}

DWORD WaitLimitMs(const test_hooks::Name& variable, DWORD standard) {
  return ParseWaitLimitMs(test_hooks::Text(variable), standard);
}

DWORD WaitGraceMs() { return WaitLimitMs(L"ORV_TEST_WAIT_GRACE_MS", 30000); }

bool WaitForStoppedWorker(HANDLE thread, const std::wstring& switchJournal) {
  const DWORD grace = WaitGraceMs();
  if (::WaitForSingleObject(thread, grace) != WAIT_TIMEOUT) return true;
  const ULONGLONG end = ::GetTickCount64() + grace;
  while (::GetFileAttributesW(switchJournal.c_str()) != INVALID_FILE_ATTRIBUTES && ::GetTickCount64() < end) {
    if (::WaitForSingleObject(thread, 100) != WAIT_TIMEOUT) return true;
  }
  return ::WaitForSingleObject(thread, 0) != WAIT_TIMEOUT;
}

namespace run_deadline {
namespace {

std::atomic<ULONGLONG> g_end{0};  // GetTickCount64 at the deadline; 0: none

}  // namespace

void Start(DWORD limitMs) { g_end = ::GetTickCount64() + limitMs; }

DWORD Remaining() {
  const ULONGLONG end = g_end;
  if (end == 0) return INFINITE;
  const ULONGLONG now = ::GetTickCount64();
  return now >= end ? 0 : static_cast<DWORD>(end - now);
}

DWORD Bound(DWORD waitMs) {
  const DWORD left = Remaining();
  return waitMs < left ? waitMs : left;
}

}  // namespace run_deadline
