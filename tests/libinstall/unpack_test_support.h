#pragma once
// Fixtures and recorders shared by the unpack tests.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libinstall/7zdecompress.h"

namespace unpacktest {

// A file below the build folder's test fixtures (made by make_7z_fixtures.sh).
std::wstring Fixture(const std::wstring& name);
std::wstring ProbeProgram();  // unpack_probe.exe
std::string FixtureBytes(const std::wstring& name);

// The items of package.7z: where each lands relative to the extraction
// folder, and its source file below fixtures\package.
struct PackageItem {
  std::wstring target;
  std::wstring source;
};
const std::vector<PackageItem>& PackageItems();
uint32_t PackageTotalSize();  // unpacked bytes of all items

// Bytes appended to the shared log since `offset`, and its current size.
uint64_t LogSize();
std::string LogSince(uint64_t offset);

// Records every progress report of a decompressor.
class CProgressRecorder : public I7zDecompressProgressCallBack {
 public:
  struct Report {
    int kind;
    int total;
    int index;
    std::wstring path;
  };
  void OnDecompressProgress(int kind, int total, int index, const std::wstring& itemPath) override {
    reports.push_back({kind, total, index, itemPath});
  }
  std::vector<Report> reports;
};

// A program file image carrying `archive` as its package: the payload header
// after the image and its offset in TimeDateStamp.
std::string PackProgram(const std::string& image, const std::string& archive, uint32_t totalSize);
// Overwrites the TimeDateStamp field of a PE image.
void SetTimeDateStamp(std::string* image, uint32_t value);

}  // namespace unpacktest
