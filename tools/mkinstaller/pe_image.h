#pragma once
// The parts of a PE file that the installer build step reads and patches:
// where the image ends, where the COFF TimeDateStamp and the checksum sit,
// and the certificate table (Authenticode signature), if any.

#include <cstdint>
#include <string>

#include "bytes.h"

namespace mkinstaller {

struct PeImage {
  uint32_t pe_offset = 0;             // e_lfanew
  uint16_t machine = 0;
  bool pe32_plus = false;
  bool is_dll = false;
  uint32_t time_stamp_offset = 0;     // file offset of COFF TimeDateStamp
  uint32_t time_stamp = 0;
  uint32_t checksum_offset = 0;       // file offset of the optional header's CheckSum
  uint32_t checksum = 0;
  uint32_t security_entry_offset = 0; // file offset of the certificate-table directory entry; 0 if none
  uint32_t certificate_offset = 0;    // certificate table (a file offset, not an RVA); 0 if unsigned
  uint32_t certificate_size = 0;
  uint64_t image_end = 0;             // end of the headers and of every section's raw data
  uint64_t known_end = 0;             // image_end, or the end of a COFF symbol table behind it
};

// Parses the headers of a PE file held in `data`. Throws Error with a clear
// reason when the data is not a PE file or its headers point outside it.
PeImage ParsePeImage(const uint8_t* data, uint64_t size);

std::string MachineName(uint16_t machine);

// The PE checksum (the algorithm of the image help library): 16-bit one's
// complement sum of the file with the CheckSum field taken as zero, plus the
// file length. Fed in pieces; the CheckSum field must already be zero.
class PeChecksum {
 public:
  void Update(const uint8_t* data, size_t size);
  uint32_t Finish();

 private:
  uint64_t sum_ = 0;
  uint64_t length_ = 0;
  int pending_ = -1;  // low byte of a word split between two Update calls
};

uint32_t ComputePeChecksum(const Bytes& file, uint32_t checksum_offset);

}  // namespace mkinstaller
