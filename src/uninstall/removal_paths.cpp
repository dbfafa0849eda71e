#include "uninstall/removal_paths.h"

#include <windows.h>

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <string_view>

#include "common/logging.h"
#include "common/utilfunc.h"
#include "libinstall/installstrategy.h"

namespace uninstall {

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

namespace {

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() &&
         ::CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

bool HasDotDotStep(const std::wstring& path) {
  const std::wstring marked = L"\\" + path + L"\\";
  return marked.find(L"\\..\\") != std::wstring::npos;
}

}  // namespace

std::optional<std::wstring> ResolveListedPath(const std::wstring& installFolder, const std::wstring& entry) {
  std::wstring path = entry;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  const std::wstring folderItself = installFolder.substr(0, installFolder.size() - 1);
  const bool inside = StartsWithIgnoringCase(path, installFolder) ||
                      ::CompareStringOrdinal(path.c_str(), -1, folderItself.c_str(), -1, TRUE) == CSTR_EQUAL;
  if (!inside) {
    if (!HasDotDotStep(path)) return path;
    LOG_ERROR << "删除路径含有..且不在安装目录内，不删除:" << entry;
    return std::nullopt;
  }
  std::vector<std::wstring> steps;
  size_t start = std::min(path.size(), installFolder.size());
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring step = path.substr(start, end - start);
    if (step == L"..") {
      if (steps.empty()) {
        LOG_ERROR << "删除路径经..离开安装目录，不删除:" << entry;
        return std::nullopt;
      }
      steps.pop_back();
    } else if (!step.empty() && step != L".") {
      steps.push_back(step);
    }
    start = end + 1;
  }
  if (steps.empty()) return UtilFunc::FolderPath(folderItself);
  std::wstring resolved = folderItself;
  for (const std::wstring& step : steps) resolved += L"\\" + step;
  return resolved;
}

}  // namespace uninstall
