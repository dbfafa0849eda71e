#pragma once
// The package folder the installer is built from, and the checks that keep
// a package that could not install (or not uninstall) from being shipped.
//
//   PACKAGE/install-folder/...   items that go to the install folder itself;
//                                stored in the archive as "../NAME"
//   PACKAGE/version-folder/...   items that go to the version folder; must
//                                hold configurations/staticconfig.xml

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mkinstaller {

extern const char kInstallFolderName[];
extern const char kVersionFolderName[];

enum class Destination { kInstallFolder, kVersionFolder };

struct PackageItem {
  std::string path;    // relative to its sub-folder, '/'-separated
  Destination destination = Destination::kVersionFolder;
  uint64_t size = 0;
  std::string ArchivePath() const;  // "../path" for the install folder, else "path"
};

struct Package {
  std::string root;
  std::string version;
  std::vector<PackageItem> items;  // install-folder items first; each group sorted by path
  uint64_t total_size = 0;
  std::vector<std::string> warnings;
  std::string SourcePath(const PackageItem& item) const;
};

// Reads and checks a package folder; throws Error listing every problem.
Package ReadPackage(const std::string& folder);

// Why `name` cannot be a file or folder name on Windows; empty when it can.
std::string NameProblem(const std::string& name);

// The version the installer reads from configurations\staticconfig.xml: the
// text of the first <item id="OVVersionString"> below <staticconfigs>. As in
// the installer, the search ends at an <item> without an id attribute.
struct StaticConfigVersion {
  std::optional<std::string> version;
  std::string problem;  // why no version was found
};
StaticConfigVersion ReadStaticConfigVersion(const std::string& xml);

// Why `version` cannot name the version folder; empty when it can.
std::string VersionProblem(const std::string& version);
bool MatchesVersionPattern(const std::string& name);

// The value of `key` in `section` of an INI text, as the Windows profile
// functions read it (names case-insensitive, blanks and quotes trimmed).
std::optional<std::string> IniValue(const std::string& ini, const std::string& section,
                                    const std::string& key);

// Problems of a rule file (setup.xml) that would make the installer or the
// uninstaller carry out none of its rules; empty when there are none.
std::vector<std::string> RuleFileProblems(const std::string& xml);

}  // namespace mkinstaller
