#include "uninstall/removal_paths.h"

#include <windows.h>

#include <boost/property_tree/ptree.hpp>

#include <string_view>

#include "common/logging.h"
#include "libinstall/installstrategy.h"

namespace uninstall {

const char* VersionProblem(const std::wstring& version) {
  if (version.size() > kMaxVersionLength) return "超过31个字符";
  if (version.find_first_of(L"\\/") != std::wstring::npos) return "含有路径分隔符";
  if (version.find(L':') != std::wstring::npos) return "含有盘符冒号";
  if (version.find(L"..") != std::wstring::npos) return "含有..";
  for (wchar_t c : version) {
    if (c < 0x20 || std::wstring_view(L"<>\"|?*").find(c) != std::wstring_view::npos)
      return "含有文件名中不允许的字符";
  }
  // The system drops trailing points and blanks from a name, so such a value
  // would name another folder, "." the install folder itself.
  if (!version.empty() && (version.back() == L'.' || version.back() == L' ')) return "以点或空格结尾";
  return nullptr;
}

std::wstring ReadInstalledVersion(const std::wstring& settingsFile) {
  // Read more than a version may hold, so that a longer value is refused
  // instead of being cut to a name that belongs to some other folder.
  wchar_t buffer[256] = {};
  ::GetPrivateProfileStringW(kSettingsSection, kVersionKey, L"", buffer, ARRAYSIZE(buffer),
                             settingsFile.c_str());
  std::wstring version(buffer);
  if (const char* problem = VersionProblem(version)) {
    LOG_ERROR << "版本号无法用作目录名，按无版本处理(" << problem << "):" << version;
    return {};
  }
  return version;
}

std::vector<std::wstring> ReadRemovalList(const std::wstring& ruleFile, std::wstring* flagFile) {
  namespace pt = boost::property_tree;
  std::vector<std::wstring> paths;
  try {
    pt::ptree tree;
    ReadSetupFile(ruleFile, tree);
    for (const auto& item : tree.get_child("setup.uninstall.file")) {
      const pt::ptree& attributes = item.second.get_child("<xmlattr>");
      if (auto path = attributes.get_optional<std::string>("path"))
        paths.push_back(SetupVariables::Expand(Utf8ToWide(*path)));
    }
    const pt::ptree& flag = tree.get_child("setup.uninstall.uninstallflag").get_child("<xmlattr>");
    if (auto file = flag.get_optional<std::string>("file")) *flagFile = Utf8ToWide(*file);
  } catch (const pt::ptree_error&) {
    // A missing rule file or node ends the list; what was read stays.
  }
  return paths;
}

}  // namespace uninstall
