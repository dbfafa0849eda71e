#include "libinstall/versionfolder.h"

#include <windows.h>

#include <boost/regex.hpp>

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
