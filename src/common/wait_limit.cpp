#include "common/wait_limit.h"

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
