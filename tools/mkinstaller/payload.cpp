#include "payload.h"

#include <cstring>

#include "error.h"

namespace mkinstaller {

namespace {
const uint8_t kMagic[4] = {'A', 'p', 'p', '.'};
const uint8_t kSevenZipSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
}  // namespace

Bytes EncodePayloadHeader(uint32_t total_size) {
  Bytes header(kPayloadHeaderSize, 0);
  std::memcpy(header.data(), kMagic, 4);
  WriteU32(header.data() + 5, total_size);
  return header;
}

PayloadHeader DecodePayloadHeader(const uint8_t* header) {
  PayloadHeader decoded;
  decoded.magic_ok = std::memcmp(header, kMagic, 4) == 0;
  decoded.reserved = header[4];
  decoded.total_size = ReadU32(header + 5);
  return decoded;
}

void CheckPayloadFits(uint64_t program_size, uint64_t archive_size, uint64_t total_size) {
  if (total_size > 0xFFFFFFFFull) {
    throw Error("the package unpacks to " + std::to_string(total_size) +
                " bytes; the payload header holds at most 4294967295");
  }
  if (program_size > 0xFFFFFFFFull - kPayloadHeaderSize) {
    throw Error("the program file is too large for a 32-bit package offset");
  }
  const uint64_t file_size = program_size + kPayloadHeaderSize + archive_size;
  if (file_size > kMaxFileSize) {
    throw Error("the installer would be " + std::to_string(file_size) +
                " bytes; the installer reads files of at most 4294967295 bytes");
  }
}

SevenZipStart ReadSevenZipStart(const uint8_t* data, uint64_t available) {
  SevenZipStart start;
  if (available < 32 || std::memcmp(data, kSevenZipSignature, 6) != 0) return start;
  start.signature_ok = true;
  start.crc_ok = Crc32(data + 12, 20) == ReadU32(data + 8);
  const uint64_t offset = ReadU64(data + 12);
  const uint64_t size = ReadU64(data + 20);
  if (offset < (1ull << 40) && size < (1ull << 40)) start.archive_size = 32 + offset + size;
  return start;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  static uint32_t table[256];
  static const bool ready = [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return true;
  }();
  (void)ready;
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace mkinstaller
