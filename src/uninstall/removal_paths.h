#pragma once
// Decisions of the uninstall driver that need no system change: which paths
// the rule file lists for removal, and where each of them leads.

#include <optional>
#include <string>
#include <vector>

namespace uninstall {

// Per-user data folder below the user's application-data folder.
inline constexpr wchar_t kUserDataFolderName[] = L"Orvanta";
inline constexpr wchar_t kMainExeName[] = L"Orvanta.exe";
inline constexpr wchar_t kRuleFileName[] = L"setup.xml";

// The `path` attributes of the rule file's setup.uninstall.file items, with
// the setup variables expanded, in document order; then the `file` attribute
// of setup.uninstall.uninstallflag into `flagFile`. Reading stops silently at
// the first missing node; what was read before stays.
std::vector<std::wstring> ReadRemovalList(const std::wstring& ruleFile, std::wstring* flagFile);

// A removal-list entry as the driver removes it: "/" separates like "\", and
// below `installFolder` (ending in a backslash) the "." and ".." steps and
// empty steps are resolved, so that the keep set and the link checks see the
// path the system will use (the install folder itself as it is opened: a
// drive root keeps its backslash). Nothing (and an ERROR record) for an entry whose
// ".." steps lead out of the install folder, or that holds ".." and lies
// outside it anyway. Other entries outside it are returned as written.
std::optional<std::wstring> ResolveListedPath(const std::wstring& installFolder, const std::wstring& entry);

}  // namespace uninstall
