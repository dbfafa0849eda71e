// PE header reading, payload header, 7z start header and item paths.
#include <gtest/gtest.h>

#include "archive_tool.h"
#include "error.h"
#include "payload.h"
#include "pe_image.h"

namespace mkinstaller {
namespace {

// A minimal PE32+ program: headers of 0x200 bytes, one section of 0x200 bytes.
Bytes MinimalPe() {
  Bytes pe(0x400, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  WriteU32(&pe[0x3C], 0x80);
  WriteU32(&pe[0x80], 0x00004550);
  const size_t coff = 0x84;
  pe[coff] = 0x64;
  pe[coff + 1] = 0x86;       // x64
  pe[coff + 2] = 1;          // one section
  WriteU32(&pe[coff + 4], 0x12345678);
  pe[coff + 16] = 240;       // optional header size
  pe[coff + 18] = 0x22;      // executable image, large address aware
  const size_t opt = coff + 20;
  pe[opt] = 0x0B;
  pe[opt + 1] = 0x02;        // PE32+
  WriteU32(&pe[opt + 60], 0x200);  // SizeOfHeaders
  WriteU32(&pe[opt + 108], 16);    // data directories
  const size_t section = opt + 240;
  WriteU32(&pe[section + 16], 0x200);  // SizeOfRawData
  WriteU32(&pe[section + 20], 0x200);  // PointerToRawData
  return pe;
}

TEST(PeImage, ReadsTheFieldsTheBuildPatches) {
  const Bytes file = MinimalPe();
  const PeImage pe = ParsePeImage(file.data(), file.size());
  EXPECT_TRUE(pe.pe32_plus);
  EXPECT_FALSE(pe.is_dll);
  EXPECT_EQ(pe.time_stamp_offset, 0x88u);
  EXPECT_EQ(pe.time_stamp, 0x12345678u);
  EXPECT_EQ(pe.checksum_offset, 0x84u + 20 + 64);
  EXPECT_EQ(pe.image_end, 0x400u);
  EXPECT_EQ(pe.known_end, 0x400u);
  EXPECT_EQ(pe.certificate_offset, 0u);
  EXPECT_EQ(MachineName(pe.machine), "x64");
}

TEST(PeImage, RefusesFilesThatAreNotPeOrPointOutside) {
  const Bytes good = MinimalPe();
  auto refused = [](Bytes file) {
    try {
      ParsePeImage(file.data(), file.size());
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(refused(Bytes(0x30, 'M')), "");  // too short for e_lfanew
  Bytes text(0x400, 'x');
  EXPECT_NE(refused(text).find("MZ"), std::string::npos);
  Bytes far = good;
  WriteU32(&far[0x3C], 0xFFFFFFF0);  // would wrap in 32-bit arithmetic
  EXPECT_NE(refused(far).find("e_lfanew"), std::string::npos);
  Bytes no_signature = good;
  no_signature[0x80] = 'X';
  EXPECT_NE(refused(no_signature).find("PE signature"), std::string::npos);
  Bytes truncated(good.begin(), good.begin() + 0x300);
  EXPECT_NE(refused(truncated).find("truncated"), std::string::npos);
  Bytes sections = good;
  sections[0x84 + 2] = 0xFF;  // 255 sections cannot fit
  EXPECT_NE(refused(sections).find("section table"), std::string::npos);
}

TEST(PeImage, CountsASymbolTableAsPartOfTheProgram) {
  Bytes file = MinimalPe();
  WriteU32(&file[0x84 + 8], 0x400);  // PointerToSymbolTable
  WriteU32(&file[0x84 + 12], 2);     // two symbols of 18 bytes
  file.resize(0x400 + 36 + 8, 0);
  WriteU32(&file[0x400 + 36], 8);    // string table size, including its own field
  EXPECT_EQ(ParsePeImage(file.data(), file.size()).known_end, file.size());
}

TEST(PeChecksum, PiecesGiveTheSameSumAsTheWholeFile) {
  Bytes file = MinimalPe();
  for (size_t i = 0x200; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7);
  file.push_back(0xAB);  // odd length
  const uint32_t offset = ParsePeImage(file.data(), file.size()).checksum_offset;
  const uint32_t whole = ComputePeChecksum(file, offset);
  Bytes zeroed = file;
  WriteU32(&zeroed[offset], 0);
  PeChecksum pieces;
  pieces.Update(zeroed.data(), 3);
  pieces.Update(zeroed.data() + 3, 0x1FF);
  pieces.Update(zeroed.data() + 0x202, zeroed.size() - 0x202);
  EXPECT_EQ(pieces.Finish(), whole);
  // The stored checksum field does not take part in the sum.
  WriteU32(&file[offset], 0xDEADBEEF);
  EXPECT_EQ(ComputePeChecksum(file, offset), whole);
}

TEST(PayloadHeader, RoundTripsAndChecksTheMagic) {
  const Bytes header = EncodePayloadHeader(0xA1B2C3D4);
  ASSERT_EQ(header.size(), 9u);
  EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "App.");
  EXPECT_EQ(header[4], 0);
  EXPECT_EQ(header[5], 0xD4);
  EXPECT_EQ(header[8], 0xA1);
  const PayloadHeader decoded = DecodePayloadHeader(header.data());
  EXPECT_TRUE(decoded.magic_ok);
  EXPECT_EQ(decoded.total_size, 0xA1B2C3D4u);
  Bytes wrong = header;
  wrong[3] = ',';
  EXPECT_FALSE(DecodePayloadHeader(wrong.data()).magic_ok);
}

TEST(PayloadHeader, SizesMustFitThe32BitFields) {
  EXPECT_NO_THROW(CheckPayloadFits(1000, 1000, 0xFFFFFFFFull));
  EXPECT_THROW(CheckPayloadFits(1000, 1000, 0x100000000ull), Error);
  EXPECT_NO_THROW(CheckPayloadFits(1000, 0xFFFFFFFFull - 1009, 10));
  EXPECT_THROW(CheckPayloadFits(1000, 0xFFFFFFFFull - 1008, 10), Error);
  EXPECT_THROW(CheckPayloadFits(0xFFFFFFFFull - 8, 0, 0), Error);
}

TEST(SevenZipStart, FindsTheArchiveEndAndChecksTheCrc) {
  Bytes start = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  start.resize(32, 0);
  start[12] = 100;  // next header offset
  start[20] = 30;   // next header size
  WriteU32(&start[8], Crc32(&start[12], 20));
  SevenZipStart read = ReadSevenZipStart(start.data(), start.size());
  EXPECT_TRUE(read.signature_ok);
  EXPECT_TRUE(read.crc_ok);
  EXPECT_EQ(read.archive_size, 162u);
  start[20] = 31;
  EXPECT_FALSE(ReadSevenZipStart(start.data(), start.size()).crc_ok);
  EXPECT_FALSE(ReadSevenZipStart(start.data(), 31).signature_ok);
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST(ItemPaths, OnlyOneLeadingParentStepIsAllowed) {
  EXPECT_EQ(ItemPathProblem("Velpane.exe"), "");
  EXPECT_EQ(ItemPathProblem("configurations/staticconfig.xml"), "");
  EXPECT_EQ(ItemPathProblem("../Orvanta.exe"), "");
  EXPECT_EQ(ItemPathProblem("..\\Orvanta.exe"), "");
  EXPECT_TRUE(GoesToInstallFolder("../Orvanta.exe"));
  EXPECT_FALSE(GoesToInstallFolder("Orvanta.exe"));
  for (const char* bad : {"../../x", "a/../../x", "a/../x", "/etc/x", "\\x", "C:/x", "c:x", "..",
                          "a//b", "./a", ""}) {
    EXPECT_NE(ItemPathProblem(bad), "") << bad;
  }
}

TEST(SltListing, ReadsPathsSizesAndFolders) {
  const std::string listing =
      "7-Zip header\n\nPath = /tmp/a.7z\nType = 7z\n\n----------\n"
      "Path = ../Orvanta.exe\nSize = 12\nPacked Size = 8\n\n"
      "Path = configurations\nSize = 0\nAttributes = D\n\n"
      "Path = configurations/staticconfig.xml\r\nSize = 300\r\n";
  const auto entries = ParseSltListing(listing);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].path, "../Orvanta.exe");
  EXPECT_EQ(entries[0].size, 12u);
  EXPECT_TRUE(entries[1].folder);
  EXPECT_EQ(entries[2].path, "configurations/staticconfig.xml");
  EXPECT_EQ(entries[2].size, 300u);
}

}  // namespace
}  // namespace mkinstaller
