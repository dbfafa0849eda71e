#include "unpack_test_support.h"

#include <cstdlib>
#include <cstring>

#include "common/logging.h"
#include "support/test_support.h"

namespace unpacktest {

namespace {

// ORV_BINARY_DIR is a Linux path; drive Z: maps the Linux root.
std::wstring BinaryFolder() {
  const char* dir = std::getenv("ORV_BINARY_DIR");
  std::wstring path = L"Z:";
  for (const char* c = dir ? dir : ""; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return path + L"\\";
}

}  // namespace

std::wstring Fixture(const std::wstring& name) { return BinaryFolder() + L"tests\\libinstall\\fixtures\\" + name; }

std::wstring ProbeProgram() { return BinaryFolder() + L"tests\\libinstall\\unpack_probe.exe"; }

std::string FixtureBytes(const std::wstring& name) { return testsupport::ReadFileBytes(Fixture(name)); }

const std::vector<PackageItem>& PackageItems() {
  static const std::vector<PackageItem> items = {
      {L"zero.bin", L"zero.bin"},
      {L"..\\Orvanta.exe", L"Orvanta.exe"},
      {L"bin\\a.dll", L"bin\\a.dll"},
      {L"bin\\sub\\resources.txt", L"bin\\sub\\resources.txt"},
      {L"configurations\\staticconfig.xml", L"configurations\\staticconfig.xml"},
      {L"data\\noise.bin", L"data\\noise.bin"},
  };
  return items;
}

uint32_t PackageTotalSize() {
  uint64_t total = 0;
  for (const auto& item : PackageItems()) total += testsupport::FileSize(Fixture(L"package\\" + item.source));
  return static_cast<uint32_t>(total);
}

uint64_t LogSize() {
  const std::string& path = logging::LogFilePath();
  return testsupport::FileSize(std::wstring(path.begin(), path.end()));
}

std::string LogSince(uint64_t offset) {
  const std::string& path = logging::LogFilePath();
  const std::string bytes = testsupport::ReadFileBytes(std::wstring(path.begin(), path.end()));
  return offset <= bytes.size() ? bytes.substr(offset) : std::string();
}

void SetTimeDateStamp(std::string* image, uint32_t value) {
  uint32_t lfanew = 0;
  memcpy(&lfanew, image->data() + 0x3C, 4);
  memcpy(&(*image)[lfanew + 8], &value, 4);
}

std::string PackProgram(const std::string& image, const std::string& archive, uint32_t totalSize) {
  std::string file = image;
  SetTimeDateStamp(&file, static_cast<uint32_t>(file.size()));
  file += "App.";
  file += '\0';
  file.append(reinterpret_cast<const char*>(&totalSize), 4);
  file += archive;
  return file;
}

}  // namespace unpacktest
