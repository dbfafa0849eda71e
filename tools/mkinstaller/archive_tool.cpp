#include "archive_tool.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "error.h"
#include "run_process.h"

namespace mkinstaller {

namespace {

std::vector<std::string> AddCommand(const std::string& seven_zip, const std::string& archive,
                                    const std::string& list_file) {
  return {seven_zip, "a", "-t7z",
          // LZMA with the BCJ2 filter: the code stream and BCJ2's call and jump streams.
          "-m0=BCJ2", "-m1=LZMA:d=25", "-m2=LZMA:d=19", "-m3=LZMA:d=19", "-mb0:1", "-mb0s1:2",
          "-mb0s2:3",
          // Nothing of the build machine: no times, no attributes, a fixed thread count.
          "-mtm=off", "-mtc=off", "-mta=off", "-mtr=off", "-mmt=2",
          // Exactly the listed files, names taken literally.
          "-r-", "-spd", "-scsUTF-8", "-bd", archive, "@" + list_file};
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

}  // namespace

void CreatePackageArchive(const std::string& seven_zip, const Package& package,
                          const std::string& archive, const std::string& work_folder) {
  std::vector<std::string> install_items, version_items, renames;
  std::set<std::string> tops;
  for (const auto& item : package.items) {
    if (item.destination == Destination::kInstallFolder) {
      install_items.push_back(item.path);
      const std::string top = item.path.substr(0, item.path.find('/'));
      if (tops.insert(top).second) {
        renames.push_back(top);
        renames.push_back("../" + top);
      }
    } else {
      version_items.push_back(item.path);
    }
  }
  const std::string list = work_folder + "/items.txt";
  // Install-folder items go in first and are renamed at once, so that a
  // version-folder item of the same name can never replace one of them.
  if (!install_items.empty()) {
    WriteList(list, install_items);
    RunChecked(AddCommand(seven_zip, archive, list), "packing " + std::string(kInstallFolderName),
               package.root + "/" + kInstallFolderName);
    std::vector<std::string> rename = {seven_zip, "rn", "-bd", "--", archive};  // names taken literally
    rename.insert(rename.end(), renames.begin(), renames.end());
    RunChecked(rename, "renaming the install-folder items");
  }
  WriteList(list, version_items);
  RunChecked(AddCommand(seven_zip, archive, list), "packing " + std::string(kVersionFolderName),
             package.root + "/" + kVersionFolderName);

  std::vector<std::string> expected, stored;
  for (const auto& item : package.items) expected.push_back(item.ArchivePath());
  for (const auto& entry : ListArchive(seven_zip, archive)) stored.push_back(entry.path);
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  if (expected != stored) {
    throw Error("7zz stored other items than the package holds (" + std::to_string(stored.size()) +
                " items instead of " + std::to_string(expected.size()) + ")");
  }
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
