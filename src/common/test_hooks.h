#pragma once
// Test hooks: environment variables (all named ORV_TEST_...) with which tests
// and benchmarks make a program fail, stop, pause or shorten a limit at a
// chosen point.
//
// Only a test build reads them. The hooks' reader, test_hooks.cpp, is part of
// the common library that every test program links; a shipped program links
// test_hooks_off.cpp as one of its own sources instead, which defines the same
// function and answers "unset" for every hook, so the linker never takes the
// reader from the library. Whoever starts a shipped program chooses its
// environment, so nothing in it may depend on these variables.

#include <cwchar>
#include <string>

namespace test_hooks {

// The text of the hook variable `name`; empty when it is unset, longer than
// a path, or the program is a shipped one.
std::wstring Text(const wchar_t* name);

// The hook as a decimal number; 0 when unset or not wholly a number.
inline unsigned long Number(const wchar_t* name) {
  const std::wstring text = Text(name);
  if (text.empty() || text.size() > 10) return 0;
  unsigned long long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return 0;
    value = value * 10 + static_cast<unsigned>(c - L'0');
  }
  return value > 0xFFFFFFFFull ? 0 : static_cast<unsigned long>(value);
}

}  // namespace test_hooks
