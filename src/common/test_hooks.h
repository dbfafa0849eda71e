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
//
// A hook's name is taken apart while compiling: the program keeps only the
// part after "ORV_TEST_", and the reader puts the prefix back. So a shipped
// program carries no ORV_TEST_ text at all (a check of the built files relies
// on it), and a name without the prefix does not compile.

#include <cstddef>
#include <string>

namespace test_hooks {

class Name {
 public:
  static constexpr size_t kPrefixLength = 9;  // "ORV_TEST_"
  static constexpr size_t kMaxRest = 63;

  // Only from a constant: Text(L"ORV_TEST_X"), or a constexpr array.
  template <size_t N>
  consteval Name(const wchar_t (&name)[N]) : rest_{} {
    static_assert(N > kPrefixLength + 1 && N - 1 - kPrefixLength <= kMaxRest,
                  "a hook's name is ORV_TEST_ and 1 to 63 more characters");
    constexpr wchar_t kPrefix[] = L"ORV_TEST_";
    for (size_t i = 0; i < kPrefixLength; ++i)
      if (name[i] != kPrefix[i]) throw "a hook's name begins with ORV_TEST_";
    if (name[N - 1] != L'\0') throw "a hook's name is a string literal";
    for (size_t i = kPrefixLength; i + 1 < N; ++i) rest_[i - kPrefixLength] = name[i];
  }

  // The name without its prefix.
  const wchar_t* rest() const { return rest_; }

 private:
  wchar_t rest_[kMaxRest + 1];
};

// The text of the hook variable `name`; empty when it is unset, longer than
// a path, or the program is a shipped one.
std::wstring Text(const Name& name);

// The hook as a decimal number; 0 when unset or not wholly a number.
inline unsigned long Number(const Name& name) {
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
