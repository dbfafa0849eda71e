#include "pe_image.h"

#include <algorithm>
#include <cstdio>

#include "error.h"

namespace mkinstaller {

namespace {

constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kSecurityDirectory = 4;

void Require(bool condition, const char* what) {
  if (!condition) throw Error(std::string("not a PE file: ") + what);
}

}  // namespace

PeImage ParsePeImage(const uint8_t* data, uint64_t size) {
  PeImage pe;
  Require(size >= 0x40 && data[0] == 'M' && data[1] == 'Z', "no MZ header");
  pe.pe_offset = ReadU32(data + 0x3C);
  const uint64_t coff = uint64_t{pe.pe_offset} + 4;
  Require(coff + 20 <= size, "e_lfanew points outside the file");
  Require(ReadU32(data + pe.pe_offset) == 0x00004550, "no PE signature at e_lfanew");

  pe.machine = ReadU16(data + coff);
  const uint16_t sections = ReadU16(data + coff + 2);
  pe.time_stamp_offset = static_cast<uint32_t>(coff + 4);
  pe.time_stamp = ReadU32(data + coff + 4);
  const uint32_t symbol_table = ReadU32(data + coff + 8);
  const uint32_t symbols = ReadU32(data + coff + 12);
  const uint16_t optional_size = ReadU16(data + coff + 16);
  const uint16_t characteristics = ReadU16(data + coff + 18);
  Require(characteristics & kFileExecutableImage, "not marked as an executable image");
  pe.is_dll = (characteristics & kFileDll) != 0;

  const uint64_t opt = coff + 20;
  Require(optional_size >= 68 && opt + optional_size <= size, "optional header outside the file");
  const uint16_t magic = ReadU16(data + opt);
  Require(magic == 0x10B || magic == 0x20B, "unknown optional header magic");
  pe.pe32_plus = magic == 0x20B;
  const uint32_t size_of_headers = ReadU32(data + opt + 60);
  pe.checksum_offset = static_cast<uint32_t>(opt + 64);
  pe.checksum = ReadU32(data + opt + 64);

  const uint64_t count_field = opt + (pe.pe32_plus ? 108 : 92);
  if (count_field + 4 <= opt + optional_size) {
    const uint32_t dirs = ReadU32(data + count_field);
    const uint64_t entry = count_field + 4 + uint64_t{kSecurityDirectory} * 8;
    if (dirs > kSecurityDirectory && entry + 8 <= opt + optional_size) {
      pe.security_entry_offset = static_cast<uint32_t>(entry);
      pe.certificate_offset = ReadU32(data + entry);
      pe.certificate_size = ReadU32(data + entry + 4);
      if (pe.certificate_size == 0) pe.certificate_offset = 0;
    }
  }

  const uint64_t table = opt + optional_size;
  Require(table + uint64_t{sections} * 40 <= size, "section table outside the file");
  pe.image_end = std::max<uint64_t>(size_of_headers, table + uint64_t{sections} * 40);
  for (uint16_t i = 0; i < sections; ++i) {
    const uint8_t* section = data + table + uint64_t{i} * 40;
    const uint32_t raw_size = ReadU32(section + 16);
    const uint32_t raw_pointer = ReadU32(section + 20);
    if (raw_size != 0) pe.image_end = std::max(pe.image_end, uint64_t{raw_pointer} + raw_size);
  }
  Require(pe.image_end <= size, "the file is shorter than its sections say (truncated?)");

  pe.known_end = pe.image_end;
  if (symbol_table != 0) {
    uint64_t end = uint64_t{symbol_table} + uint64_t{symbols} * 18;
    if (end + 4 <= size) end += ReadU32(data + end);  // the string table follows the symbols
    if (end <= size) pe.known_end = std::max(pe.known_end, end);
  }
  if (pe.certificate_offset != 0) {
    Require(uint64_t{pe.certificate_offset} + pe.certificate_size <= size,
            "certificate table outside the file");
  }
  return pe;
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case 0x8664: return "x64";
    case 0x014C: return "x86";
    case 0xAA64: return "ARM64";
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%04X", machine);
  return text;
}

void PeChecksum::Update(const uint8_t* data, size_t size) {
  length_ += size;
  size_t i = 0;
  if (pending_ >= 0 && size > 0) {
    sum_ += static_cast<uint32_t>(pending_) | (uint32_t{data[0]} << 8);
    pending_ = -1;
    i = 1;
  }
  for (; i + 1 < size; i += 2) {
    sum_ += ReadU16(data + i);  // 2^31 words of at most 0xFFFF cannot overflow 64 bits
  }
  if (i < size) pending_ = data[i];
}

uint32_t PeChecksum::Finish() {
  if (pending_ >= 0) sum_ += static_cast<uint32_t>(pending_);
  pending_ = -1;
  uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + length_);
}

uint32_t ComputePeChecksum(const Bytes& file, uint32_t checksum_offset) {
  PeChecksum checksum;
  const uint8_t zero[4] = {};
  checksum.Update(file.data(), checksum_offset);
  checksum.Update(zero, 4);
  checksum.Update(file.data() + checksum_offset + 4, file.size() - checksum_offset - 4);
  return checksum.Finish();
}

}  // namespace mkinstaller
