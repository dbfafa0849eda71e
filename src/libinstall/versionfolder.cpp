#include "libinstall/versionfolder.h"

#include <windows.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/regex.hpp>

#include <algorithm>
#include <sstream>

#include "common/logging.h"
#include "common/utilfunc.h"
#include "libinstall/installstrategy.h"

namespace {

constexpr char kVersionItemId[] = "OVVersionString";
// More than any static configuration or list of found entries holds.
constexpr DWORD kMaxReadBytes = 1 << 20;

// The whole of an open file of at most kMaxReadBytes; false when unreadable.
bool ReadOpenFile(HANDLE file, std::string* bytes) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size) || size.QuadPart > kMaxReadBytes) return false;
  bytes->resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  return bytes->empty() ||
         (::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) && read == bytes->size());
}

}  // namespace

bool IsVersionFolderName(const std::wstring& name) {
  static const boost::regex pattern("[0-9]{1,2}.[0-9][0-9].[0-9][0-9]N");
  if (name.empty()) return false;
  // A character that the code page cannot hold would turn into a '?' that the
  // pattern's unescaped points accept: such a name is never a version.
  const int length = static_cast<int>(name.size());
  BOOL lossy = FALSE;
  int size = ::WideCharToMultiByte(CP_THREAD_ACP, 0, name.data(), length, nullptr, 0, nullptr, &lossy);
  // A UTF-8 code page refuses the loss flag, and loses nothing.
  if (size <= 0 && ::GetLastError() == ERROR_INVALID_PARAMETER)
    size = ::WideCharToMultiByte(CP_THREAD_ACP, 0, name.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0 || lossy) return false;
  std::string narrow(size, '\0');
  ::WideCharToMultiByte(CP_THREAD_ACP, 0, name.data(), length, narrow.data(), size, nullptr, nullptr);
  return boost::regex_match(narrow, pattern);
}

std::wstring ReadVersionString(const std::string& xml) {
  namespace pt = boost::property_tree;
  try {
    std::istringstream stream(xml);
    pt::ptree tree;
    pt::read_xml(stream, tree);
    for (const auto& child : tree.get_child("staticconfigs")) {
      if (child.first != "item") continue;
      // An item without an id ends the search: its get_child throws.
      if (child.second.get_child("<xmlattr>.id").data() == kVersionItemId)
        return Utf8ToWide(child.second.data());
    }
  } catch (const pt::ptree_error&) {
  }
  return {};
}

std::vector<std::wstring> ReadUserEntries(const tree::Folder& installFolder) {
  std::vector<std::wstring> entries;
  ScopedHandle file;
  const DWORD error = installFolder.OpenFileForReading(kUserEntriesFileName, &file);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return entries;
  std::string bytes;
  if (error || !ReadOpenFile(file.get(), &bytes)) {
    LOG_ERROR << "读取安装目录原有条目列表失败:" << installFolder.path() << L"\\" << kUserEntriesFileName
              << ",错误码:" << (error ? error : ::GetLastError());
    return entries;
  }
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(L'\n', start), text.size());
    if (end > start) entries.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

bool IsUserEntry(const std::vector<std::wstring>& entries, const std::wstring& name) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const std::wstring& entry) { return UtilFunc::EqualIgnoringCase(entry, name); });
}

bool IsApplicationVersionFolder(const tree::Folder& installFolder, const std::wstring& name) {
  tree::Folder version, configurations;
  ScopedHandle file;
  const std::wstring config = kStaticConfigPath;
  const size_t slash = config.find(L'\\');
  std::string bytes;
  if (installFolder.OpenChild(name, &version) || version.OpenChild(config.substr(0, slash), &configurations) ||
      configurations.OpenFileForReading(config.substr(slash + 1), &file) || !ReadOpenFile(file.get(), &bytes))
    return false;
  return ReadVersionString(bytes) == name && !IsUserEntry(ReadUserEntries(installFolder), name);
}

bool IsApplicationVersionFolder(const std::wstring& installFolder, const std::wstring& name) {
  tree::Folder install;
  return !tree::Folder::OpenFollowingLinks(installFolder, &install) && IsApplicationVersionFolder(install, name);
}
