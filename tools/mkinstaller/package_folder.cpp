#include "package_folder.h"

#include "version_rule.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "bytes.h"
#include "error.h"

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

namespace mkinstaller {

const char kInstallFolderName[] = "install-folder";
const char kVersionFolderName[] = "version-folder";

namespace {

const char kStaticConfig[] = "configurations/staticconfig.xml";
const char kRuleFile[] = "setup.xml";
const char kSettingsFile[] = "Orvanta.ini";
const char kUninstaller[] = "Uninstall.exe";
const char kExtractionFolder[] = "{VersionNameFolder}";
// The default install folder; longer paths may not fit the programs' buffers.
const size_t kDefaultInstallFolderLength = std::string("C:\\Program Files\\Orvanta\\").size();
const size_t kMaxPath = 259;
// The uninstaller reads the version from the settings file into 32 characters.
const size_t kMaxVersionLength = 31;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Number of UTF-16 code units of a UTF-8 text, or npos when it is not UTF-8.
size_t Utf16Length(const std::string& text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (extra == 9 || i + extra > text.size() - 1) return std::string::npos;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::string::npos;
    }
    units += extra == 3 ? 2 : 1;
    i += extra + 1;
  }
  return units;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "\n  - " + line;
  return text;
}

// Decodes a UTF-16 LE text with byte-order mark to UTF-8 (INI files may be
// saved either way); other texts are returned without a UTF-8 mark.
std::string IniText(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::string out;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      const unsigned unit = static_cast<unsigned char>(raw[i]) |
                            (static_cast<unsigned char>(raw[i + 1]) << 8);
      out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
  }
  if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
  return raw;
}

}  // namespace

std::string PackageItem::ArchivePath() const {
  return destination == Destination::kInstallFolder ? "../" + path : path;
}

std::string Package::SourcePath(const PackageItem& item) const {
  return (fs::path(root) /
          (item.destination == Destination::kInstallFolder ? kInstallFolderName
                                                            : kVersionFolderName) /
          item.path)
      .string();
}

std::string NameProblem(const std::string& name) {
  if (name.empty()) return "empty name";
  if (Utf16Length(name) == std::string::npos) return "not valid UTF-8";
  for (unsigned char c : name) {
    if (c < 0x20) return "control character in the name";
    if (std::string("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string::npos) {
      return std::string("character '") + static_cast<char>(c) + "' is not allowed on Windows";
    }
  }
  if (name.back() == '.' || name.back() == ' ') return "Windows drops a trailing dot or blank";
  static const std::regex device("(con|prn|aux|nul|com[1-9]|lpt[1-9])(\\..*)?");
  if (std::regex_match(Lower(name), device)) return "reserved device name on Windows";
  return std::string();
}

StaticConfigVersion ReadStaticConfigVersion(const std::string& xml) {
  StaticConfigVersion result;
  pt::ptree tree;
  try {
    std::istringstream in(xml);
    pt::read_xml(in, tree, 0);
  } catch (const pt::xml_parser_error& e) {
    result.problem = std::string("not well-formed XML: ") + e.what();
    return result;
  }
  const auto root = tree.get_child_optional("staticconfigs");
  if (!root) {
    result.problem = "no <staticconfigs> root element";
    return result;
  }
  for (const auto& child : *root) {
    if (child.first != "item") continue;
    const auto id = child.second.get_optional<std::string>("<xmlattr>.id");
    if (!id) {
      result.problem = "an <item> without an id attribute comes before OVVersionString; the "
                       "installer stops reading there";
      return result;
    }
    if (*id == "OVVersionString") {
      result.version = child.second.data();
      return result;
    }
  }
  result.problem = "no <item id=\"OVVersionString\">";
  return result;
}

bool MatchesVersionPattern(const std::string& name) {
  static const std::regex pattern("[0-9]{1,2}.[0-9][0-9].[0-9][0-9]N");
  return std::regex_match(name, pattern);
}

std::string VersionProblem(const std::string& version) {
  if (version.empty()) return "the version is empty";
  const std::string name = NameProblem(version);
  if (!name.empty()) return "the version cannot name a folder: " + name;
  if (version != Trim(version)) return "the version has leading or trailing blanks";
  for (unsigned char c : version) {
    // The programs pass the version folder's path through the ANSI code page.
    if (c >= 0x80) return "the version must be plain ASCII";
  }
  if (Utf16Length(version) > kMaxVersionLength) {
    return "the version is longer than " + std::to_string(kMaxVersionLength) +
           " characters; the uninstaller cannot read it back";
  }
  switch (CheckVersion(std::string_view(version))) {
    case VersionProblem::kNone:
      return std::string();
    case VersionProblem::kReservedName:
      return "the version names a folder the installer deletes";
    case VersionProblem::kDeviceName:
      return "the version is a device name";
    case VersionProblem::kDotDot:
      return "the version holds \"..\"";
    default:
      return "the version cannot name a folder";
  }
}

std::optional<std::string> IniValue(const std::string& raw, const std::string& section,
                                    const std::string& key) {
  std::istringstream in(IniText(raw));
  std::string line;
  bool in_section = false;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const auto close = line.find(']');
      in_section = close != std::string::npos &&
                   Lower(Trim(line.substr(1, close - 1))) == Lower(section);
      continue;
    }
    const auto equals = line.find('=');
    if (!in_section || equals == std::string::npos) continue;
    if (Lower(Trim(line.substr(0, equals))) != Lower(key)) continue;
    std::string value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::nullopt;
}

std::vector<std::string> RuleFileProblems(const std::string& xml) {
  std::vector<std::string> problems;
  pt::ptree tree;
  try {
    std::istringstream in(xml);
    pt::read_xml(in, tree, 0);
  } catch (const pt::xml_parser_error& e) {
    problems.push_back(std::string("setup.xml is not well-formed XML: ") + e.what());
    return problems;
  }
  const auto setup = tree.get_child_optional("setup");
  if (!setup) {
    problems.push_back("setup.xml has no <setup> root element");
    return problems;
  }
  for (const char* section : {"install", "uninstall"}) {
    const auto node = setup->get_child_optional(section);
    if (!node) {
      problems.push_back(std::string("setup.xml has no <") + section + "> section");
      continue;
    }
    for (const auto& kind : *node) {
      static const char* const kinds[] = {"reg", "process", "desktopicon", "startmenu", "file"};
      if (std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) {
            return kind.first == k;
          }) == std::end(kinds)) {
        continue;
      }
      int position = 0;
      for (const auto& item : kind.second) {
        ++position;
        if (item.first == "<xmlattr>") continue;
        if (!item.second.get_child_optional("<xmlattr>")) {
          problems.push_back("setup.xml: <" + std::string(section) + "><" + kind.first +
                             "> entry " + std::to_string(position) + " (" + item.first +
                             ") has no attributes; a comment or an empty element among the "
                             "items makes the whole section fail to load");
        }
      }
    }
  }
  return problems;
}

Package ReadPackage(const std::string& folder) {
  Package package;
  package.root = folder;
  std::vector<std::string> errors;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw Error("package folder " + folder + " does not exist");

  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if ((name != kInstallFolderName && name != kVersionFolderName) || !entry.is_directory()) {
      errors.push_back("unexpected entry " + name + " in the package folder: files belong in " +
                       kInstallFolderName + "/ or " + kVersionFolderName + "/");
    }
  }

  std::map<std::string, std::string> seen;  // lower-case destination path -> path
  for (const Destination destination : {Destination::kInstallFolder, Destination::kVersionFolder}) {
    const bool install = destination == Destination::kInstallFolder;
    const fs::path base = fs::path(folder) / (install ? kInstallFolderName : kVersionFolderName);
    if (!fs::is_directory(base, ec)) {
      if (!install) errors.push_back(std::string("the package has no ") + kVersionFolderName + "/");
      continue;
    }
    std::vector<PackageItem> group;
    for (auto it = fs::recursive_directory_iterator(base, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (ec) break;
      const fs::path relative = it->path().lexically_relative(base);
      const std::string shown = std::string(install ? kInstallFolderName : kVersionFolderName) +
                                "/" + relative.generic_string();
      const std::string problem = NameProblem(it->path().filename().string());
      if (!problem.empty()) errors.push_back(shown + ": " + problem);
      if (it->is_symlink()) {
        errors.push_back(shown + " is a symbolic link; put the file itself in the package");
        it.disable_recursion_pending();
      } else if (it->is_directory()) {
        if (fs::is_empty(it->path(), ec)) {
          package.warnings.push_back(shown + " is an empty folder and is not packed");
        }
      } else if (it->is_regular_file()) {
        PackageItem item;
        item.path = relative.generic_string();
        item.destination = destination;
        item.size = it->file_size(ec);
        const std::string key = (install ? "i:" : "v:") + Lower(item.path);
        if (!seen.emplace(key, shown).second) {
          errors.push_back(shown + " and " + seen[key] + " differ only in case; Windows keeps one");
        }
        const size_t length = install ? kDefaultInstallFolderLength + Utf16Length(item.path)
                                      : kDefaultInstallFolderLength + std::string(kExtractionFolder).size() +
                                            1 + Utf16Length(item.path);
        if (length > kMaxPath) {
          package.warnings.push_back(shown + " is too long for the default install folder ("
                                     + std::to_string(length) + " characters)");
        }
        group.push_back(item);
      } else {
        errors.push_back(shown + " is not a regular file");
      }
    }
    if (ec) errors.push_back("cannot read " + base.string() + ": " + ec.message());
    std::sort(group.begin(), group.end(),
              [](const PackageItem& a, const PackageItem& b) { return a.path < b.path; });
    for (const auto& item : group) package.total_size += item.size;
    package.items.insert(package.items.end(), group.begin(), group.end());
  }

  const fs::path version_folder = fs::path(folder) / kVersionFolderName;
  std::string text;
  if (!ReadTextFile((version_folder / kStaticConfig).string(), &text)) {
    errors.push_back(std::string("the package has no ") + kVersionFolderName + "/" + kStaticConfig +
                     "; the installer takes the version from it");
  } else {
    const StaticConfigVersion found = ReadStaticConfigVersion(text);
    if (!found.version) {
      errors.push_back(std::string(kStaticConfig) + " gives no version: " + found.problem);
    } else {
      package.version = *found.version;
      const std::string problem = VersionProblem(package.version);
      if (!problem.empty()) errors.push_back(std::string(kStaticConfig) + ": " + problem);
      if (problem.empty() && !MatchesVersionPattern(package.version)) {
        package.warnings.push_back(
            "version " + package.version +
            " does not have the form of a version folder (for example 7.19.02N): a later "
            "installation will not remove it, and the uninstaller removes it only if setup.xml "
            "lists it");
      }
    }
  }

  if (ReadTextFile((version_folder / kRuleFile).string(), &text)) {
    for (const auto& problem : RuleFileProblems(text)) errors.push_back(problem);
  } else {
    package.warnings.push_back(std::string("the package has no ") + kVersionFolderName + "/" +
                               kRuleFile + ": no setup rules will run");
  }

  const fs::path install_folder = fs::path(folder) / kInstallFolderName;
  if (ReadTextFile((install_folder / kSettingsFile).string(), &text)) {
    const auto version = IniValue(text, "Common", "Version");
    if (!package.version.empty() && version != package.version) {
      errors.push_back(std::string(kInstallFolderName) + "/" + kSettingsFile + " gives Version=" +
                       version.value_or("(none)") + " in [Common], but the package version is " +
                       package.version + "; the uninstaller would look for the wrong folder");
    }
  } else {
    package.warnings.push_back(std::string("the package has no ") + kInstallFolderName + "/" +
                               kSettingsFile + ": the uninstaller will not find the version");
  }
  if (!fs::exists(install_folder / kUninstaller, ec)) {
    package.warnings.push_back(std::string("the package has no ") + kInstallFolderName + "/" +
                               kUninstaller);
  }

  std::set<std::string> checked;
  for (const auto& item : package.items) {
    if (item.destination != Destination::kInstallFolder) continue;
    const std::string top = item.path.substr(0, item.path.find('/'));
    if (!checked.insert(top).second) continue;
    if (MatchesVersionPattern(top) || Lower(top) == Lower(package.version) ||
        top == kExtractionFolder || Lower(top) == "new") {
      errors.push_back(std::string(kInstallFolderName) + "/" + top +
                       " would be deleted or overwritten by the installer (version or work folder)");
    }
  }

  if (!errors.empty()) throw Error("the package " + folder + " cannot be installed:" + Join(errors));
  return package;
}

}  // namespace mkinstaller
