// How the package is cut into solid blocks, and how 7zz's progress is read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "archive_tool.h"
#include "run_process.h"

namespace mkinstaller {
namespace {

// Checks that the blocks cover every item once, in order, and add up.
void ExpectCoversAll(const std::vector<PackBlock>& blocks, const std::vector<uint64_t>& sizes) {
  size_t next = 0;
  for (const PackBlock& block : blocks) {
    EXPECT_EQ(block.first, next);
    EXPECT_GT(block.count, 0u);
    uint64_t sum = 0;
    for (size_t i = block.first; i < block.first + block.count; ++i) sum += sizes[i];
    EXPECT_EQ(block.size, sum);
    next = block.first + block.count;
  }
  EXPECT_EQ(next, sizes.size());
}

// Each item's coders as 7zz lists them ("BCJ2 LZMA:24 LZMA:19 LZMA:19").
std::map<std::string, std::string> MethodsOf(const std::string& archive) {
  std::map<std::string, std::string> method_of;
  std::string path;
  std::istringstream listing(RunChecked({"7zz", "l", "-slt", archive}, "listing"));
  for (std::string line; std::getline(listing, line);) {
    if (line.rfind("Path = ", 0) == 0) path = line.substr(7);
    if (line.rfind("Method = ", 0) == 0 && !method_of.count(path)) method_of[path] = line.substr(9);
  }
  return method_of;
}

// The main stream's coder of a block: its first LZMA coder.
std::string MainStream(const std::string& method) {
  std::istringstream coders(method);
  for (std::string coder; coders >> coder;)
    if (coder.rfind("LZMA:", 0) == 0) return coder;
  return {};
}

TEST(PlanBlocks, CutsManyItemsIntoRunsOfSimilarSize) {
  std::vector<uint64_t> sizes;
  for (int i = 0; i < 1500; ++i) sizes.push_back(1000 + (i * 7919) % 500000);  // uneven items
  uint64_t total = 0, largest_item = 0;
  for (uint64_t size : sizes) {
    total += size;
    largest_item = std::max(largest_item, size);
  }
  for (int count : {1, 2, 3, 6, 8}) {
    const std::vector<PackBlock> blocks = PlanBlocks(sizes, count);
    ASSERT_EQ(blocks.size(), static_cast<size_t>(count));
    ExpectCoversAll(blocks, sizes);
    for (const PackBlock& block : blocks) {
      // Each cut lies within one item of its share, so no block strays further.
      EXPECT_LE(block.size, total / count + largest_item) << count;
      EXPECT_GE(block.size + largest_item, total / count) << count;
    }
  }
}

TEST(PlanBlocks, LargeItemsAndEmptyFilesGiveFewerBlocksNeverEmptyOnes) {
  // One item larger than several shares: the shares it covers are not cut again.
  std::vector<uint64_t> sizes = {100, 1, 1, 1};
  std::vector<PackBlock> blocks = PlanBlocks(sizes, 4);
  ExpectCoversAll(blocks, sizes);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].size, 100u);

  // Fewer items than blocks asked for.
  sizes = {5, 7};
  blocks = PlanBlocks(sizes, 8);
  ExpectCoversAll(blocks, sizes);
  EXPECT_EQ(blocks.size(), 2u);

  // Empty files hold no data: they ride along with a block that has some,
  // also when they come first.
  sizes = {0, 0, 10, 0, 10, 0};
  blocks = PlanBlocks(sizes, 4);
  ExpectCoversAll(blocks, sizes);
  ASSERT_EQ(blocks.size(), 2u);
  for (const PackBlock& block : blocks) EXPECT_EQ(block.size, 10u);

  sizes = {0, 0, 0};
  blocks = PlanBlocks(sizes, 2);
  ExpectCoversAll(blocks, sizes);
  EXPECT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(PlanBlocks({}, 3).empty());
}

TEST(PlanBlocks, DefaultIsOneBlockForLittleWorkAndAnEvenCountForMore) {
  const uint64_t mib = 1 << 20;
  const struct {
    uint64_t cost;
    int blocks;
  } cases[] = {
      {0, 1},          {3 * mib, 1},   {19 * mib, 1},  // a split would cost more size than it saves
      {20 * mib, 2},   {39 * mib, 2},  {40 * mib, 4},  {79 * mib, 6},
      {80 * mib, 8},   {1536 * mib, 8}, {0xFFFFFFFFull, 8},
  };
  for (const auto& c : cases) EXPECT_EQ(DefaultBlockCount(c.cost), c.blocks) << c.cost / mib << " MiB";
  // The work of an incompressible megabyte against one that packs to a tenth.
  EXPECT_EQ(DecodeCost(mib, mib), mib + mib / 8);
  EXPECT_EQ(DecodeCost(mib / 10, mib), mib / 10 + mib / 8);
}

// The estimate tells data that packs well from data that does not, which is
// what makes blocks of equal size take unequal time to decode.
TEST(EstimateDecodeCosts, IncompressibleDataCostsSeveralTimesWhatCodeOrZerosCost) {
  namespace fs = std::filesystem;
  TempFolder work;
  const fs::path root = fs::path(work.path()) / "package";
  const uint64_t mib = 1 << 20;
  std::mt19937 random(7);
  std::string noise(mib, '\0'), text;
  for (char& c : noise) c = static_cast<char>(random());
  while (text.size() < mib) text += "<item id=\"OVVersionString\">" + std::to_string(text.size() % 977) + "</item>\n";
  text.resize(mib);
  const struct {
    Destination destination;
    std::string path;
    std::string bytes;
  } files[] = {
      {Destination::kInstallFolder, "Orvanta.ini", "[Common]\r\nVersion=7.19.02N\r\n"},
      {Destination::kVersionFolder, "data/noise.bin", noise},
      {Destination::kVersionFolder, "data/zeros.bin", std::string(mib, '\0')},
      {Destination::kVersionFolder, "res/strings.xml", text},
      {Destination::kVersionFolder, "zero.bin", ""},
  };
  Package package;
  package.root = root.string();
  for (const auto& file : files) {
    const fs::path path = root / (file.destination == Destination::kInstallFolder ? kInstallFolderName : kVersionFolderName) / file.path;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << file.bytes;
    package.items.push_back(PackageItem{file.path, file.destination, file.bytes.size()});
  }
  const std::vector<uint64_t> costs = EstimateDecodeCosts("7zz", package, work.path());
  ASSERT_EQ(costs.size(), package.items.size());
  EXPECT_GT(costs[0], 0u);
  EXPECT_LT(costs[0], 1000u);
  EXPECT_GE(costs[1], DecodeCost(mib, mib));             // noise does not pack
  EXPECT_LT(costs[2] * 4, costs[1]) << costs[2];          // zeros nearly vanish
  EXPECT_LT(costs[3] * 3, costs[1]) << costs[3];          // repetitive text packs well
  EXPECT_EQ(costs[4], 0u);
  // Cut by work, the noise gets a block of its own and the rest shares the other.
  const std::vector<PackBlock> blocks = PlanBlocks(costs, 2);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].first + blocks[0].count, 2u);
}

TEST(SmallerDictionary, TriedForBlocksItCoversHalfOfAndKeptWhenItCostsAQuarterPercentAtMost) {
  const uint64_t half = 1ull << (kDictionaryLog - 1);
  const struct {
    uint64_t block;
    bool tried;
  } sizes[] = {{half, false}, {half + 1, true}, {2 * half, true}, {2 * half + 1, false}};
  for (const auto& size : sizes) EXPECT_EQ(TriesSmallerDictionary(size.block), size.tried) << size.block;
  const struct {
    uint64_t smaller, larger;
    bool kept;
  } packs[] = {{4000, 4000, true}, {3990, 4000, true}, {4010, 4000, true}, {4011, 4000, false}, {0, 0, true}};
  for (const auto& pack : packs)
    EXPECT_EQ(KeepsSmallerDictionary(pack.smaller, pack.larger), pack.kept) << pack.smaller << " " << pack.larger;
}

// Packs `files` (version-folder items) in two blocks cut by their weights and
// checks that the archive unpacks; returns each item's coders.
struct WeighedFile {
  std::string path, bytes;
  uint64_t weight;
};
std::map<std::string, std::string> PackInTwoBlocks(const TempFolder& work, const std::vector<WeighedFile>& files) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(work.path()) / "package";
  Package package;
  package.root = root.string();
  std::vector<uint64_t> weights;
  for (const auto& file : files) {
    const fs::path path = root / kVersionFolderName / file.path;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << file.bytes;
    package.items.push_back(PackageItem{file.path, Destination::kVersionFolder, file.bytes.size()});
    weights.push_back(file.weight);
  }
  const std::string archive = (fs::path(work.path()) / "package.7z").string();
  EXPECT_EQ(CreatePackageArchive("7zz", package, archive, work.path(), 2, weights, {}), 2u);
  std::string report;
  EXPECT_TRUE(TestArchive("7zz", archive, &report)) << report;
  return MethodsOf(archive);
}

// Two blocks in the trial's range: in the first, a file repeats one 17 MiB
// back, which only the full dictionary reaches; the second, of zeros, packs
// to the same few bytes with either. 7zz lists blocks in an order of its
// own, so each trial must find its own block's packed size: weighed against
// the first block's megabytes, the second would lose its smaller dictionary.
TEST(SmallerDictionary, EachBlockGetsTheDictionaryItsOwnDataPaysFor) {
  TempFolder work;
  const uint64_t mib = 1 << 20;
  std::mt19937 random(1);
  std::string repeated(9 * mib, '\0');
  for (char& c : repeated) c = static_cast<char>(random());
  // The weights cut the blocks after repeat.bin.
  std::map<std::string, std::string> method_of = PackInTwoBlocks(work, {
      {"a/first.bin", repeated, 10},
      {"a/middle.bin", std::string(8 * mib, '\0'), 0},
      {"a/repeat.bin", repeated, 10},
      {"b/zeros.bin", std::string(17 * mib, '\0'), 20},
  });
  // 7zz names the full dictionary by the data it covers ("LZMA:26m").
  EXPECT_NE(MainStream(method_of["a/first.bin"]), "LZMA:24") << method_of["a/first.bin"];
  EXPECT_EQ(MainStream(method_of["b/zeros.bin"]), "LZMA:24") << method_of["b/zeros.bin"];
}

TEST(CodeFilter, FindsX86AndX64ImagesOnly) {
  // A PE header at 0x80 for `machine`, or `signature` in place of "PE\0\0".
  auto image = [](uint16_t machine, const char* signature = "PE") {
    std::string head(0x200, '\0');
    head[0] = 'M';
    head[1] = 'Z';
    head[0x3c] = static_cast<char>(0x80);
    head.replace(0x80, 2, signature);
    head[0x84] = static_cast<char>(machine & 0xff);
    head[0x85] = static_cast<char>(machine >> 8);
    return head;
  };
  std::string beyond = image(0x8664);
  beyond[0x3d] = 0x10;  // the PE header would lie past what was read
  const struct {
    std::string head;
    bool code;
  } cases[] = {
      {image(0x8664), true},  {image(0x14c), true},         {image(0xaa64), false},  // x64, x86, ARM64
      {image(0x8664, "NE"), false}, {beyond, false},        {image(0x8664).substr(0, 0x86), true},
      {image(0x8664).substr(0, 0x85), false}, {"MZ", false}, {std::string(0x200, 'M'), false},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(HoldsX86Code(reinterpret_cast<const uint8_t*>(test.head.data()), test.head.size()), test.code)
        << testing::PrintToString(test.head.substr(0, 8)) << " of " << test.head.size() << " bytes";
  }
}

// A block that holds a program gets the branch filter; one of data only is
// plain LZMA, and both unpack.
TEST(CodeFilter, OnlyBlocksWithCodeGetTheBranchFilter) {
  TempFolder work;
  std::string program(0x10000, '\0');
  program.replace(0, 2, "MZ");
  program[0x3c] = 0x40;
  program.replace(0x40, 6, std::string("PE\0\0\x64\x86", 6));
  for (size_t i = 0x200; i + 5 < program.size(); i += 7) program[i] = static_cast<char>(0xe8);
  const std::map<std::string, std::string> method_of =
      PackInTwoBlocks(work, {{"bin/program.exe", program, 1}, {"res/strings.xml", std::string(50000, 'x'), 1}});
  EXPECT_EQ(method_of.at("bin/program.exe").rfind("BCJ2 ", 0), 0u) << method_of.at("bin/program.exe");
  EXPECT_EQ(method_of.at("res/strings.xml").find("BCJ2"), std::string::npos) << method_of.at("res/strings.xml");
}

TEST(PercentReader, ReadsTheLatestPercentageWhateverThePieces) {
  // As 7zz -bsp1 prints it into a pipe: each update rubbed out with backspaces.
  const std::string output =
      "  0M Scan\b\b\b\b\b\b\b\b\b      \b\b\b\b\b\b  0%\b\b\b\b    \b\b\b\b"
      "  7% 12 + bin/module10.dll\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b"
      " 42% 301 + data/media 99%.bin\b\b\b\b";
  for (size_t piece : {output.size(), size_t(1), size_t(5), size_t(13)}) {
    PercentReader reader;
    int last = -1;
    for (size_t at = 0; at < output.size(); at += piece) last = reader.Feed(output.substr(at, piece));
    EXPECT_EQ(last, 42) << "pieces of " << piece;
  }
  PercentReader reader;
  EXPECT_EQ(reader.Feed("Scanning the drive\nCreating archive: 100 files\n"), -1);
  EXPECT_EQ(reader.Feed(" 100%\b\b\b\b\b"), 100);
  EXPECT_EQ(reader.Feed("file 55%.txt\b\b"), 100);  // a name is not a percentage
}

TEST(PercentReader, ProgressTextSaysBlockAndShare) {
  PackProgress progress;
  progress.block = 1;
  progress.blocks = 6;
  progress.done = 90ull << 20;
  progress.total = 360ull << 20;
  EXPECT_EQ(ProgressText(progress), "packing block 2 of 6:  25 % (90.0 of 360.0 MiB)");
  progress.total = 0;
  progress.done = 0;
  EXPECT_NE(ProgressText(progress).find("100 %"), std::string::npos);
}

TEST(SltListing, ReadsEachItemsBlock) {
  const auto entries = ParseSltListing(
      "Path = a.7z\nBlocks = 2\n\n----------\nPath = a\nSize = 3\nBlock = 1\n\n"
      "Path = empty\nSize = 0\n\nPath = b\nSize = 4\nBlock = 0\n");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].block, 1);
  EXPECT_EQ(entries[1].block, -1);
  EXPECT_EQ(entries[2].block, 0);
}

}  // namespace
}  // namespace mkinstaller
