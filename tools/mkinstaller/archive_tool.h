#pragma once
// The 7z archive of a package, made and read with the 7zz program.

#include <cstdint>
#include <string>
#include <vector>

#include "package_folder.h"

namespace mkinstaller {

struct ArchiveEntry {
  std::string path;  // as stored, '/'-separated; "../NAME" for the install folder
  uint64_t size = 0;
  bool folder = false;
};

// Builds the package archive at `archive`: the install-folder items first,
// renamed to "../NAME", then the version-folder items, each group in sorted
// order, LZMA with the BCJ2 filter, without times and attributes, so that the
// same package gives the same bytes.
void CreatePackageArchive(const std::string& seven_zip, const Package& package,
                          const std::string& archive, const std::string& work_folder);

// Items of an archive, from `7zz l -slt`.
std::vector<ArchiveEntry> ListArchive(const std::string& seven_zip, const std::string& archive);
std::vector<ArchiveEntry> ParseSltListing(const std::string& listing);

// `7zz t`: true when every item decompresses with a matching CRC; `output` gets 7zz's report.
bool TestArchive(const std::string& seven_zip, const std::string& archive, std::string* output);

// One item's bytes, or false when the archive has no such item.
bool ExtractItem(const std::string& seven_zip, const std::string& archive, const std::string& item,
                 std::string* bytes);

// Why an item path would not land inside the install folder; empty when it does.
std::string ItemPathProblem(const std::string& path);
bool GoesToInstallFolder(const std::string& path);

}  // namespace mkinstaller
