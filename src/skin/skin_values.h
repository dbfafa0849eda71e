#pragma once
// The value syntaxes of the skin documents' attributes (tables, layouts,
// controls). Plain functions, no platform calls.

#include <cstdint>
#include <string>

namespace skin {

// Optional leading blanks, optional sign, decimal digits; reading stops at the
// first other character and no digits give 0.
int ParseDecimal(const std::string& value);

// A 32-bit number in base 16 with an optional "0x"/"0X" prefix, read like
// ParseDecimal; overflow gives 0xFFFFFFFF. Used unchanged as ARGB (or, by the
// native edit, as a GDI colour).
uint32_t ParseColour(const std::string& value);

// True exactly when the value is "true" in any letter case.
bool ParseBool(const std::string& value);

// Up to `count` decimal integers separated by commas ("%d,%d,..."): reading
// stops at the first field that does not match; fields not read keep their
// value in `out`. Returns the number of fields read.
int ParseIntList(const std::string& value, int* out, int count);

// UTF-8 bytes to UTF-16; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& utf8);

}  // namespace skin
