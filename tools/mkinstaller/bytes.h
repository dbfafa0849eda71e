#pragma once
// Little-endian field access on byte buffers and whole-file reading.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mkinstaller {

using Bytes = std::vector<uint8_t>;

inline uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadU64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}
inline void WriteU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads a whole file; throws Error naming the file when it cannot be read.
Bytes ReadFile(const std::string& path);
// Reads a whole file into a string; false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* text);

}  // namespace mkinstaller
