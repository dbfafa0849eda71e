#include "archive_tool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "bytes.h"
#include "error.h"
#include "run_process.h"

namespace mkinstaller {

namespace {

std::vector<std::string> AddCommand(const std::string& seven_zip, const std::string& archive,
                                    const std::string& list_file, bool progress, int dictionary_log,
                                    bool x86_code) {
  std::vector<std::string> command = {seven_zip, "a", "-t7z"};
  const std::string main_stream = "LZMA:d=" + std::to_string(dictionary_log);
  if (x86_code) {
    // LZMA with the BCJ2 filter: the code stream and BCJ2's call and jump streams.
    command.insert(command.end(), {"-m0=BCJ2", "-m1=" + main_stream, "-m2=LZMA:d=19", "-m3=LZMA:d=19", "-mb0:1",
                                   "-mb0s1:2", "-mb0s2:3"});
  } else {
    command.push_back("-m0=" + main_stream);
  }
  command.insert(command.end(),
                 {// One solid block per call, however large.
                  "-ms=on",
                  // Nothing of the build machine: no times, no attributes, a fixed thread count.
                  "-mtm=off", "-mtc=off", "-mta=off", "-mtr=off", "-mmt=2",
                  // Exactly the listed files, names taken literally.
                  "-r-", "-spd", "-scsUTF-8",
                  // Either the percentage alone on stdout or no progress at all.
                  progress ? "-bsp1" : "-bd", progress ? "-bso0" : "-bso1", archive, "@" + list_file});
  return command;
}

// Whether the file at `path` begins with an x86 or x64 PE image.
bool FileHoldsX86Code(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint8_t head[kCodeProbeBytes];
  in.read(reinterpret_cast<char*>(head), sizeof(head));
  return HoldsX86Code(head, static_cast<size_t>(in.gcount()));
}

void WriteList(const std::string& path, const std::vector<std::string>& names) {
  std::ofstream out(path, std::ios::binary);
  for (const auto& name : names) out << name << '\n';
  if (!out) throw Error("cannot write " + path);
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

// The packed size of the block that holds the data of `items` (names as
// stored); 7zz does not keep blocks in the order they were added.
uint64_t BlockPacked(const std::string& seven_zip, const std::string& archive, const std::vector<std::string>& items) {
  const std::set<std::string> names(items.begin(), items.end());
  std::map<int, uint64_t> packed;
  int block = -1;
  for (const ArchiveEntry& entry : ListArchive(seven_zip, archive)) {
    if (entry.packed != 0) packed[entry.block] = entry.packed;
    if (block < 0 && entry.block >= 0 && names.count(entry.path)) block = entry.block;
  }
  const auto found = packed.find(block);
  if (found == packed.end()) throw Error("7zz listed no packed block for the items of " + archive);
  return found->second;
}

}  // namespace

bool TriesSmallerDictionary(uint64_t block_size) {
  return block_size > (1ull << (kDictionaryLog - 1)) && block_size <= (1ull << kDictionaryLog);
}

bool KeepsSmallerDictionary(uint64_t smaller_packed, uint64_t larger_packed) {
  return smaller_packed * 400 <= larger_packed * 401;
}

uint64_t DecodeCost(uint64_t packed, uint64_t size) { return packed + size / 8; }

bool HoldsX86Code(const uint8_t* head, size_t size) {
  if (size < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
  const uint32_t pe = ReadU32(head + 0x3c);  // e_lfanew
  if (pe > size - 6 || ReadU32(head + pe) != 0x00004550) return false;  // "PE\0\0"
  const uint16_t machine = ReadU16(head + pe + 4);
  return machine == 0x14c || machine == 0x8664;
}

int DefaultBlockCount(uint64_t total_cost) {
  // One block per 10 MiB of decoding work (about 0.4 s of one core), an even
  // number from 2 to 8: a product-like package of 60 MiB gets 2, one of
  // 120 MiB 4, one of 240 MiB or more 8. Blocks of equal work end together
  // on 2, 4 or 8 decoders; more of them even out what the estimate misses.
  // Fewer than two blocks' work stays one block, where a split would cost
  // more archive size than the decoding it saves.
  const uint64_t per_block = 10ull << 20;
  if (total_cost < 2 * per_block) return 1;
  const uint64_t count = std::min<uint64_t>(8, total_cost / per_block);
  return static_cast<int>(count & ~1ull);
}

std::vector<PackBlock> PlanBlocks(const std::vector<uint64_t>& sizes, int count) {
  uint64_t total = 0;
  for (uint64_t size : sizes) total += size;
  const uint64_t parts = static_cast<uint64_t>(std::max(count, 1));
  std::vector<PackBlock> runs;
  size_t first = 0;
  uint64_t before = 0;  // bytes of the items ahead of `first`
  for (uint64_t part = 1; part <= parts && first < sizes.size(); ++part) {
    const bool last = part == parts;
    const uint64_t goal = total / parts * part + total % parts * part / parts;
    if (!last && before >= goal) continue;  // a large item reached past this share
    size_t end = first;
    uint64_t reached = before;
    // Take items while their middle lies before the share's end.
    while (end < sizes.size() && (last || end == first || reached + sizes[end] / 2 < goal)) {
      reached += sizes[end++];
    }
    runs.push_back(PackBlock{first, end - first, reached - before});
    first = end;
    before = reached;
  }
  // Runs of empty files only would be blocks without data: they join a neighbour.
  std::vector<PackBlock> blocks;
  for (const PackBlock& run : runs) {
    if (!blocks.empty() && (run.size == 0 || blocks.back().size == 0)) {
      blocks.back().count += run.count;
      blocks.back().size += run.size;
    } else {
      blocks.push_back(run);
    }
  }
  return blocks;
}

std::string ProgressText(const PackProgress& progress) {
  const double mb = 1024.0 * 1024.0;
  const int percent = progress.total ? static_cast<int>(progress.done * 100 / progress.total) : 100;
  char text[128];
  std::snprintf(text, sizeof(text), "packing block %zu of %zu: %3d %% (%.1f of %.1f MiB)",
                progress.block + 1, progress.blocks, percent, progress.done / mb, progress.total / mb);
  return text;
}

int PercentReader::Feed(const std::string& chunk) {
  for (char c : chunk) {
    if (c != '\b' && c != '\r' && c != '\n') {
      if (pending_.size() < 64) pending_ += c;
      continue;
    }
    size_t i = pending_.find_first_not_of(' ');
    size_t digits = i;
    while (digits < pending_.size() && pending_[digits] >= '0' && pending_[digits] <= '9') ++digits;
    if (i != std::string::npos && digits > i && digits < pending_.size() && pending_[digits] == '%' &&
        digits - i <= 3) {
      percent_ = std::atoi(pending_.c_str() + i);
    }
    pending_.clear();
  }
  return percent_;
}

std::vector<uint64_t> EstimateDecodeCosts(const std::string& seven_zip, const Package& package,
                                          const std::string& work_folder) {
  std::vector<std::string> sources;
  for (const auto& item : package.items) {
    const bool install = item.destination == Destination::kInstallFolder;
    sources.push_back(std::string(install ? kInstallFolderName : kVersionFolderName) + "/" + item.path);
  }
  const std::string list = work_folder + "/estimate-items.txt";
  const std::string estimate = work_folder + "/estimate.7z";
  WriteList(list, sources);
  std::remove(estimate.c_str());
  RunChecked({seven_zip, "a", "-t7z", "-m0=BCJ2", "-m1=LZMA:d=22:a=0:mf=hc4:fb=32", "-m2=LZMA:d=19",
              "-m3=LZMA:d=19", "-mb0:1", "-mb0s1:2", "-mb0s2:3",
              // Every file a block of its own: its packed size is listed.
              "-ms=off", "-mtm=off", "-mtc=off", "-mta=off", "-mtr=off", "-mmt=2", "-r-", "-spd",
              "-scsUTF-8", "-bd", "-bso0", estimate, "@" + list},
             "estimating the decoding work", package.root);
  std::map<std::string, uint64_t> packed;
  for (const auto& entry : ListArchive(seven_zip, estimate)) packed[entry.path] = entry.packed;
  std::remove(estimate.c_str());
  std::vector<uint64_t> costs;
  for (size_t i = 0; i < package.items.size(); ++i) {
    const auto found = packed.find(sources[i]);
    // An item 7zz did not list (it stores every file) counts as incompressible.
    const uint64_t size = package.items[i].size;
    costs.push_back(DecodeCost(found == packed.end() ? size : found->second, size));
  }
  return costs;
}

size_t CreatePackageArchive(const std::string& seven_zip, const Package& package,
                            const std::string& archive, const std::string& work_folder, int blocks,
                            const std::vector<uint64_t>& costs, const PackProgressFn& progress) {
  // Every item is packed under its sub-folder's name, so that an
  // install-folder item and a version-folder item of the same name stay
  // apart, then each top-level name is renamed to where it is stored.
  std::vector<std::string> sources, renames;
  std::vector<uint64_t> sizes;
  std::set<std::string> tops;
  for (const auto& item : package.items) {
    const bool install = item.destination == Destination::kInstallFolder;
    const std::string folder = install ? kInstallFolderName : kVersionFolderName;
    sources.push_back(folder + "/" + item.path);
    sizes.push_back(item.size);
    const std::string top = item.path.substr(0, item.path.find('/'));
    if (tops.insert(folder + "/" + top).second) {
      renames.push_back(folder + "/" + top);
      renames.push_back(install ? "../" + top : top);
    }
  }
  std::vector<PackBlock> plan = PlanBlocks(costs.size() == sizes.size() ? costs : sizes, blocks);
  for (PackBlock& block : plan) {  // the progress counts unpacked bytes
    block.size = 0;
    for (size_t i = block.first; i < block.first + block.count; ++i) block.size += sizes[i];
  }
  const std::string list = work_folder + "/items.txt";
  PackProgress state;
  state.blocks = plan.size();
  state.total = package.total_size;
  for (const PackBlock& block : plan) {
    const std::vector<std::string> names(sources.begin() + static_cast<std::ptrdiff_t>(block.first),
                                         sources.begin() + static_cast<std::ptrdiff_t>(block.first + block.count));
    WriteList(list, names);
    const uint64_t done_before = state.done;
    PercentReader percent;
    OutputWatcher watch;
    if (progress) {
      progress(state);
      watch = [&](const std::string& chunk) {
        const int now = percent.Feed(chunk);
        if (now < 0) return;
        state.done = done_before + block.size * static_cast<uint64_t>(now) / 100;
        progress(state);
      };
    }
    const std::string what = "packing block " + std::to_string(state.block + 1) + " of " + std::to_string(plan.size());
    const bool trial = TriesSmallerDictionary(block.size);
    const int first_dictionary = trial ? kDictionaryLog - 1 : kDictionaryLog;
    bool x86_code = false;
    for (size_t i = block.first; i < block.first + block.count && !x86_code; ++i)
      x86_code = FileHoldsX86Code(package.SourcePath(package.items[i]));
    RunChecked(AddCommand(seven_zip, archive, list, static_cast<bool>(progress), first_dictionary, x86_code), what,
               package.root, watch);
    if (trial) {
      // The same block with the full dictionary, on its own; if the smaller
      // one costs too much, the block is packed again with the full one.
      const uint64_t smaller = BlockPacked(seven_zip, archive, names);
      const std::string trial_archive = work_folder + "/dictionary-trial.7z";
      std::remove(trial_archive.c_str());
      RunChecked(AddCommand(seven_zip, trial_archive, list, false, kDictionaryLog, x86_code), what, package.root);
      const uint64_t larger = BlockPacked(seven_zip, trial_archive, names);
      std::remove(trial_archive.c_str());
      if (!KeepsSmallerDictionary(smaller, larger)) {
        RunChecked({seven_zip, "d", "-r-", "-spd", "-scsUTF-8", "-bd", "-bso0", archive, "@" + list}, what);
        RunChecked(AddCommand(seven_zip, archive, list, false, kDictionaryLog, x86_code), what, package.root);
      }
    }
    state.done = done_before + block.size;
    ++state.block;
  }
  if (progress) {
    state.block = plan.empty() ? 0 : plan.size() - 1;
    progress(state);
  }
  std::vector<std::string> rename = {seven_zip, "rn", "-bd", "--", archive};  // names taken literally
  rename.insert(rename.end(), renames.begin(), renames.end());
  RunChecked(rename, "renaming the items to where they are installed");

  std::vector<std::string> expected, stored;
  std::set<int> stored_blocks;
  for (const auto& item : package.items) expected.push_back(item.ArchivePath());
  for (const auto& entry : ListArchive(seven_zip, archive)) {
    stored.push_back(entry.path);
    if (entry.block >= 0) stored_blocks.insert(entry.block);
  }
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  if (expected != stored) {
    throw Error("7zz stored other items than the package holds (" + std::to_string(stored.size()) +
                " items instead of " + std::to_string(expected.size()) + ")");
  }
  return stored_blocks.size();
}

std::vector<ArchiveEntry> ParseSltListing(const std::string& listing) {
  std::vector<ArchiveEntry> entries;
  std::istringstream in(listing);
  std::string line;
  bool in_items = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!in_items) {
      in_items = line.rfind("----------", 0) == 0;
      continue;
    }
    if (line.rfind("Path = ", 0) == 0) {
      entries.push_back(ArchiveEntry());
      entries.back().path = line.substr(7);
    } else if (entries.empty()) {
      continue;
    } else if (line.rfind("Size = ", 0) == 0) {
      entries.back().size = std::strtoull(line.c_str() + 7, nullptr, 10);
    } else if (line.rfind("Packed Size = ", 0) == 0) {
      entries.back().packed = std::strtoull(line.c_str() + 14, nullptr, 10);
    } else if (line.rfind("Block = ", 0) == 0) {
      entries.back().block = std::atoi(line.c_str() + 8);
    } else if (line == "Folder = +" || line.rfind("Attributes = D", 0) == 0) {
      entries.back().folder = true;
    }
  }
  return entries;
}

std::vector<ArchiveEntry> ListArchive(const std::string& seven_zip, const std::string& archive) {
  return ParseSltListing(RunChecked({seven_zip, "l", "-slt", "-bd", archive}, "listing " + archive));
}

bool TestArchive(const std::string& seven_zip, const std::string& archive, std::string* output) {
  const ProcessResult result = RunProcess({seven_zip, "t", "-bd", archive});
  *output = result.output;
  return result.exit_code == 0 && result.output.find("Everything is Ok") != std::string::npos;
}

bool ExtractItem(const std::string& seven_zip, const std::string& archive, const std::string& item,
                 std::string* bytes) {
  const ProcessResult result =
      RunProcess({seven_zip, "x", "-so", "-bd", "-spd", "-r-", archive, item}, "", false);
  if (result.exit_code != 0) return false;
  *bytes = result.output;
  return true;
}

std::string ItemPathProblem(const std::string& path) {
  const std::vector<std::string> parts = SplitPath(path);
  if (path.empty()) return "empty path";
  if (parts.front().empty()) return "absolute path";
  if (parts.front().size() >= 2 && parts.front()[1] == ':') return "drive letter";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) return "empty path component";
    if (parts[i] == ".") return "'.' component";
    if (parts[i] == ".." && (i != 0 || parts.size() == 1)) {
      return "'..' other than one leading '../'";
    }
  }
  return std::string();
}

bool GoesToInstallFolder(const std::string& path) {
  return path.rfind("../", 0) == 0 || path.rfind("..\\", 0) == 0;
}

}  // namespace mkinstaller
