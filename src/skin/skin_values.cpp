#include "skin/skin_values.h"

#include <windows.h>

#include <cstring>

namespace skin {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads an optional sign and decimal digits at `p`; advances `p` past them.
// False when there are no digits. Overflow wraps like the 32-bit Windows rule.
bool ReadDecimal(const char*& p, int* out) {
  const char* q = p;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = (*q++ == '-');
  if (*q < '0' || *q > '9') return false;
  uint32_t value = 0;
  while (*q >= '0' && *q <= '9') value = value * 10u + static_cast<uint32_t>(*q++ - '0');
  *out = static_cast<int>(negative ? 0u - value : value);
  p = q;
  return true;
}

}  // namespace

int ParseDecimal(const std::string& value) {
  const char* p = value.c_str();
  while (IsBlank(*p)) ++p;
  int result = 0;
  return ReadDecimal(p, &result) ? result : 0;
}

uint32_t ParseColour(const std::string& value) {
  const char* p = value.c_str();
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
  uint64_t number = 0;
  bool overflow = false;
  for (int digit; (digit = HexDigit(*p)) >= 0; ++p) {
    number = number * 16u + static_cast<unsigned>(digit);
    if (number > 0xFFFFFFFFull) overflow = true;
  }
  if (overflow) return 0xFFFFFFFFu;
  const uint32_t result = static_cast<uint32_t>(number);
  return negative ? 0u - result : result;
}

bool ParseBool(const std::string& value) {
  return value.size() == 4 && _strnicmp(value.c_str(), "true", 4) == 0;
}

int ParseIntList(const std::string& value, int* out, int count) {
  const char* p = value.c_str();
  int read = 0;
  while (read < count) {
    if (read > 0) {
      if (*p != ',') break;
      ++p;
    }
    while (IsBlank(*p)) ++p;
    if (!ReadDecimal(p, &out[read])) break;
    ++read;
  }
  return read;
}

std::wstring Utf8ToWide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], length);
  return wide;
}

}  // namespace skin
