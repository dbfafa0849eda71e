#include "libinstall/packageextract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "support/test_support.h"
#include "unpack_test_support.h"

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;
using unpacktest::FixtureBytes;
using unpacktest::PackageItems;

namespace {

// A minimal image: e_lfanew at 0x3C, the PE signature at 0x40 and the
// TimeDateStamp field at 0x48, padded to `size` bytes.
std::string SmallImage(uint32_t stamp, size_t size = 0x200) {
  std::string image(size, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  const uint32_t lfanew = 0x40;
  memcpy(&image[0x3C], &lfanew, 4);
  memcpy(&image[0x40], "PE\0\0", 4);
  memcpy(&image[0x48], &stamp, 4);
  return image;
}

void PutPayloadHeader(std::string* image, size_t at, uint32_t total) {
  memcpy(&(*image)[at], "App.", 4);
  (*image)[at + 4] = 0;
  memcpy(&(*image)[at + 5], &total, 4);
}

std::string SizeLine() { return "size " + std::to_string(unpacktest::PackageTotalSize()); }

bool Locate(const std::string& image, PayloadLocation* location) {
  return LocatePayload(reinterpret_cast<const BYTE*>(image.data()), image.size(), location);
}

TEST(PayloadHeader, IsFoundThroughTheTimeDateStamp) {
  std::string image = SmallImage(0x100);
  PutPayloadHeader(&image, 0x100, 123456);
  PayloadLocation location{};
  ASSERT_TRUE(Locate(image, &location));
  EXPECT_EQ(location.packageOffset, 0x100u);
  EXPECT_EQ(location.archiveOffset, 0x109u);
  EXPECT_EQ(location.totalSize, 123456u);

  // A header that ends exactly at the end of the file, with no archive after it.
  image = SmallImage(0x200 - 9);
  PutPayloadHeader(&image, 0x200 - 9, 7);
  ASSERT_TRUE(Locate(image, &location));
  EXPECT_EQ(location.archiveOffset, 0x200u);
}

TEST(PayloadHeader, IsRejectedWhenAnyFieldLiesOutsideTheFile) {
  PayloadLocation location{};
  // Missing magic.
  std::string image = SmallImage(0x100);
  memcpy(&image[0x100], "App,", 4);
  EXPECT_FALSE(Locate(image, &location));
  // The header closer than 9 bytes to the end, at the end, and beyond it.
  for (uint32_t offset : {0x200u - 8, 0x200u - 4, 0x200u, 0x300u}) {
    image = SmallImage(offset);
    if (offset + 4 <= image.size()) memcpy(&image[offset], "App.", 4);
    EXPECT_FALSE(Locate(image, &location)) << offset;
  }
  // Offsets whose P + 9 wraps round in 32 bits to a place inside the file.
  for (uint32_t offset : {0xFFFFFFF7u, 0xFFFFFFFFu, 0xFFFFFFFAu}) {
    image = SmallImage(offset);
    memcpy(&image[0], "App.", 4);
    EXPECT_FALSE(Locate(image, &location)) << offset;
  }
  // e_lfanew pointing past the end, or so far that e_lfanew + 8 wraps round.
  for (uint32_t lfanew : {0x1F9u, 0x200u, 0xFFFFFFF8u, 0xFFFFFFFCu}) {
    image = SmallImage(0x100);
    PutPayloadHeader(&image, 0x100, 1);
    memcpy(&image[0x3C], &lfanew, 4);
    EXPECT_FALSE(Locate(image, &location)) << lfanew;
  }
  // Files too short to hold e_lfanew.
  image = SmallImage(0x100);
  EXPECT_FALSE(LocatePayload(reinterpret_cast<const BYTE*>(image.data()), 0x3F, &location));
  EXPECT_FALSE(LocatePayload(nullptr, 0, &location));
}

// What unpack_probe.exe reported, line by line.
std::vector<std::string> RunProbe(const std::wstring& program, std::wstring output, const std::wstring& report) {
  // A backslash before the closing quote would escape it.
  while (!output.empty() && output.back() == L'\\') output.pop_back();
  EXPECT_EQ(testsupport::RunAndWait(L"\"" + program + L"\" \"" + output + L"\" \"" + report + L"\"", 120000), 0);
  std::vector<std::string> lines;
  std::istringstream text(ReadFileBytes(report));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> ExpectedSuccessReport() {
  std::vector<std::string> lines = {SizeLine()};
  for (int kind : {1, 2})
    for (int i = 0; i < 6; ++i) lines.push_back("progress " + std::to_string(kind) + " 6 " + std::to_string(i));
  lines.insert(lines.end(), {"thread 0", "decompress 0", "write 0"});
  return lines;
}

class PackedProgramTest : public ::testing::Test {
 protected:
  // Runs `program` as a copy in a folder of its own and returns its report.
  std::vector<std::string> Run(const std::string& program) {
    const std::wstring copy = folder_.path() + L"setup.exe";
    EXPECT_TRUE(WriteFileBytes(copy, program));
    return RunProbe(copy, extraction_, folder_.path() + L"report.txt");
  }
  // Every item written, ..\ items into the install folder.
  void ExpectPackageWritten() {
    for (const auto& item : PackageItems())
      EXPECT_EQ(ReadFileBytes(extraction_ + item.target) == FixtureBytes(L"package\\" + item.source), true)
          << item.target;
    EXPECT_TRUE(FileExists(folder_.path() + L"install\\Orvanta.exe"));
  }

  testsupport::TempFolder folder_{L"packed"};
  std::wstring extraction_ = folder_.path() + L"install\\{VersionNameFolder}\\";
  std::string probe_ = ReadFileBytes(unpacktest::ProbeProgram());
};

// Installer files made by the build step, one of them with an Authenticode
// signature after the archive.
TEST_F(PackedProgramTest, BuiltInstallersUnpackSignedOrNot) {
  for (const wchar_t* name : {L"probe-setup.exe", L"probe-setup-signed.exe"}) {
    const std::string installer = FixtureBytes(name);
    ASSERT_GT(installer.size(), probe_.size()) << name;
    testsupport::RemoveTree(folder_.path() + L"install");
    EXPECT_EQ(Run(installer), ExpectedSuccessReport()) << name;
    ExpectPackageWritten();
  }
  // The signed file really carries a certificate table behind the archive.
  const std::string signedFile = FixtureBytes(L"probe-setup-signed.exe");
  const std::string archive = FixtureBytes(L"package.7z");
  const size_t archiveAt = signedFile.find(archive.substr(0, 64));
  ASSERT_NE(archiveAt, std::string::npos);
  EXPECT_GT(signedFile.size(), archiveAt + archive.size() + 512);
}

TEST_F(PackedProgramTest, StampThatMissesTheMagicUnpacksNothing) {
  // As linked, the program's TimeDateStamp is 0, where "MZ" stands.
  const std::string failed = std::to_string(static_cast<long>(E_FAIL));
  EXPECT_EQ(Run(probe_), (std::vector<std::string>{"thread -1", "decompress " + failed, "write " + failed}));

  std::string packed = unpacktest::PackProgram(probe_, FixtureBytes(L"package.7z"), unpacktest::PackageTotalSize());
  unpacktest::SetTimeDateStamp(&packed, 0x100);
  EXPECT_EQ(Run(packed), (std::vector<std::string>{"thread -1", "decompress " + failed, "write " + failed}));
  EXPECT_FALSE(FileExists(extraction_ + L"bin\\a.dll"));
}

TEST_F(PackedProgramTest, DamagedPackageIsReportedAndNothingWritten) {
  std::string archive = FixtureBytes(L"package.7z");
  archive[32 + archive.size() / 3] ^= 0x01;
  const std::vector<std::string> report = Run(unpacktest::PackProgram(probe_, archive, unpacktest::PackageTotalSize()));
  const std::string damaged = std::to_string(static_cast<long>(k7zPackageDamaged));
  ASSERT_GE(report.size(), 4u);
  EXPECT_EQ(report.front(), SizeLine());
  EXPECT_EQ(std::vector<std::string>(report.end() - 3, report.end()),
            (std::vector<std::string>{"thread -1", "decompress " + damaged, "write " + damaged}));
  EXPECT_FALSE(FileExists(extraction_ + L"bin\\a.dll"));
}

}  // namespace
