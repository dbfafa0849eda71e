#pragma once

#include <string>
#include <vector>

#include "common/tree_walker.h"

// True when a folder name of the install folder names an application version
// folder ("7.19.02N", "12.05.31N"): the whole name, in the thread's ANSI code
// page, matches "[0-9]{1,2}.[0-9][0-9].[0-9][0-9]N". Both programs decide with
// this one function which folders are the application's versions.
bool IsVersionFolderName(const std::wstring& name);

// The static configuration of a version folder.
inline constexpr wchar_t kStaticConfigPath[] = L"configurations\\staticconfig.xml";

// The text of the first "item" with the id "OVVersionString" of a static
// configuration document's bytes (UTF-8 XML, root "staticconfigs"); empty
// when the document is malformed, has no such item, or an item without an id
// comes first.
std::wstring ReadVersionString(const std::string& xml);

// The file in the install folder in which the first installation lists what
// it found there and left (a "new", a version-named folder that is not the
// application's): every later run leaves those too, and the uninstaller
// removes the file with the installation. UTF-16, a name a line.
inline constexpr wchar_t kUserEntriesFileName[] = L"{UserEntries}";

// The names the install folder's list holds; none when there is no list (or
// it cannot be read, logged).
std::vector<std::wstring> ReadUserEntries(const tree::Folder& installFolder);
bool IsUserEntry(const std::vector<std::wstring>& entries, const std::wstring& name);

// True when the entry `name` of the install folder holds this application's
// version `name`: a real folder (not a link) whose static configuration, read
// without following links, names that version, and which the install folder's
// list of found entries does not hold. Only such a version folder is the
// programs' to replace or delete.
bool IsApplicationVersionFolder(const tree::Folder& installFolder, const std::wstring& name);
bool IsApplicationVersionFolder(const std::wstring& installFolder, const std::wstring& name);
