#pragma once
// The package appended to the installer program: a 9-byte payload header
// ("App.", one zero byte, the total unpacked size as uint32 LE) followed by
// the 7z archive. The package offset goes into the COFF TimeDateStamp.

#include <cstdint>
#include <string>

#include "bytes.h"

namespace mkinstaller {

constexpr uint32_t kPayloadHeaderSize = 9;
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;  // the installer sizes its own file in 32 bits

struct PayloadHeader {
  bool magic_ok = false;
  uint8_t reserved = 0;
  uint32_t total_size = 0;
};

Bytes EncodePayloadHeader(uint32_t total_size);
PayloadHeader DecodePayloadHeader(const uint8_t* header);

// Throws Error unless an installer of `program_size` bytes followed by the
// payload header and an archive of `archive_size` bytes, unpacking to
// `total_size` bytes, fits the installer's 32-bit fields.
void CheckPayloadFits(uint64_t program_size, uint64_t archive_size, uint64_t total_size);

// The 7z start header (the first 32 bytes of an archive) tells where the
// archive ends, so the bytes behind it (alignment, signature) can be told apart.
struct SevenZipStart {
  bool signature_ok = false;
  bool crc_ok = false;
  uint64_t archive_size = 0;  // 32 + next-header offset + next-header size
};
SevenZipStart ReadSevenZipStart(const uint8_t* data, uint64_t available);

uint32_t Crc32(const uint8_t* data, size_t size);

}  // namespace mkinstaller
