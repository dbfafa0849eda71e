#pragma once
// The 7z archive of a package, made and read with the 7zz program.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package_folder.h"

namespace mkinstaller {

struct ArchiveEntry {
  std::string path;  // as stored, '/'-separated; "../NAME" for the install folder
  uint64_t size = 0;
  bool folder = false;
  int block = -1;  // the solid block holding its data; -1 for folders and empty files
  uint64_t packed = 0;  // "Packed Size" as listed: its block's packed bytes, on the block's first item
};

// A run of consecutive items of Package::items packed as one solid block.
struct PackBlock {
  size_t first = 0;
  size_t count = 0;
  uint64_t size = 0;  // unpacked bytes
};

// The decoding work of an item that packs to `packed` bytes and unpacks to
// `size`, in units of a packed byte: LZMA's time goes into the bits it
// decodes far more than into the bytes it copies out (the installer's
// decoders weigh their blocks the same way).
uint64_t DecodeCost(uint64_t packed, uint64_t size);

// Whether `head`, the first `size` bytes of a file (kCodeProbeBytes are
// enough), begins an x86 or x64 PE image: a block holding such a file is
// packed with the BCJ2 filter, which turns the code's relative calls and jumps
// into absolute ones that LZMA finds again. For other data the filter gains
// nothing worth its decoding time (a pass over every byte, and two more LZMA
// streams), so a block without code is plain LZMA.
inline constexpr size_t kCodeProbeBytes = 4096;
bool HoldsX86Code(const uint8_t* head, size_t size);

// The number of solid blocks a package of `total_cost` decoding work (see
// DecodeCost) gets unless another is asked for.
int DefaultBlockCount(uint64_t total_cost);

// The main stream's dictionary, as a power of two: 32 MiB. A block of more
// than 16 MiB and at most 32 MiB is packed with half of it too, and keeps the
// smaller one when that costs at most a quarter percent of the block's packed
// size: its decoder then touches half the memory, and every fresh page is a
// fault (about 10 us each on a virtual machine). Smaller blocks need no trial:
// 7zz sizes the dictionary down to the data itself.
inline constexpr int kDictionaryLog = 25;
bool TriesSmallerDictionary(uint64_t block_size);
bool KeepsSmallerDictionary(uint64_t smaller_packed, uint64_t larger_packed);

// Cuts `weights` (in their order) into at most `count` runs of similar total,
// each cut at the item boundary nearest to its share; runs of weight 0 join a
// neighbour. Keeping the order keeps similar files together, which is what
// the compression gains most from. `size` of each run is its total weight.
std::vector<PackBlock> PlanBlocks(const std::vector<uint64_t>& weights, int count);

// Each item's decoding work, from a quick pass of 7zz that packs every file
// on its own with a fast setting of the same coders: a file that packs well
// costs a fraction of one that does not. In the order of Package::items.
std::vector<uint64_t> EstimateDecodeCosts(const std::string& seven_zip, const Package& package,
                                          const std::string& work_folder);

// How far packing has come, for a progress display.
struct PackProgress {
  size_t block = 0;   // 0-based block being packed
  size_t blocks = 0;
  uint64_t done = 0;  // unpacked bytes packed so far
  uint64_t total = 0;
};
using PackProgressFn = std::function<void(const PackProgress&)>;
std::string ProgressText(const PackProgress& progress);

// Reads the percentages 7zz prints with -bsp1, where every update rubs out
// the last one with backspaces ("  37% 12 + bin/x.dll\b\b...").
class PercentReader {
 public:
  // Takes the next piece of output; returns the latest percentage so far, or -1.
  int Feed(const std::string& chunk);

 private:
  std::string pending_;
  int percent_ = -1;
};

// Builds the package archive at `archive` in `blocks` solid blocks of similar
// decoding work, `costs` (one per item, see EstimateDecodeCosts; empty: the
// unpacked sizes), fewer when the items do not divide so far: the
// install-folder items first, stored as "../NAME", then the version-folder
// items, each group in sorted order, every block LZMA (with the BCJ2 filter
// when it holds x86 or x64 code, see HoldsX86Code), without times and
// attributes, so that the same package gives the same bytes. `progress`,
// when set, hears how far packing has come. Returns the number of blocks
// written.
size_t CreatePackageArchive(const std::string& seven_zip, const Package& package,
                            const std::string& archive, const std::string& work_folder,
                            int blocks, const std::vector<uint64_t>& costs,
                            const PackProgressFn& progress = {});

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
