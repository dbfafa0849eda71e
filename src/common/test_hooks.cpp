// The test build's reader of the hooks (see test_hooks.h).
#include "common/test_hooks.h"

#include <windows.h>

namespace test_hooks {

std::wstring Text(const Name& name) {
  const std::wstring variable = std::wstring(L"ORV_TEST_") + name.rest();
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(variable.c_str(), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(buffer, length);
}

}  // namespace test_hooks
