#pragma once
// Decisions of the uninstall driver that need no system change: which version
// the settings file names, which folders are version folders, and which paths
// the rule file lists for removal.

#include <optional>
#include <string>
#include <vector>

namespace uninstall {

// Settings file of the install folder and the key that names the version.
inline constexpr wchar_t kSettingsFileName[] = L"Orvanta.ini";
inline constexpr wchar_t kSettingsSection[] = L"Common";
inline constexpr wchar_t kVersionKey[] = L"Version";
// Per-user data folder below the user's application-data folder.
inline constexpr wchar_t kUserDataFolderName[] = L"Orvanta";
inline constexpr wchar_t kMainExeName[] = L"Orvanta.exe";
inline constexpr wchar_t kRuleFileName[] = L"setup.xml";
// The longest version the settings file may hold.
inline constexpr size_t kMaxVersionLength = 31;

// Why `version` cannot name a single folder inside the install folder (a GBK
// text for the log), or null when it can. The empty version is usable: it
// means "no version recorded".
const char* VersionProblem(const std::wstring& version);

// Reads the "Version" value of the settings file. A value that VersionProblem
// refuses is logged with the reason and read as empty, so that it never
// leads the removal outside the install folder or the per-user data folder.
std::wstring ReadInstalledVersion(const std::wstring& settingsFile);

// The `path` attributes of the rule file's setup.uninstall.file items, with
// the setup variables expanded, in document order; then the `file` attribute
// of setup.uninstall.uninstallflag into `flagFile`. Reading stops silently at
// the first missing node; what was read before stays.
std::vector<std::wstring> ReadRemovalList(const std::wstring& ruleFile, std::wstring* flagFile);

// A removal-list entry as the driver removes it: "/" separates like "\", and
// below `installFolder` (ending in a backslash) the "." and ".." steps and
// empty steps are resolved, so that the keep set and the link checks see the
// path the system will use. Nothing (and an ERROR record) for an entry whose
// ".." steps lead out of the install folder, or that holds ".." and lies
// outside it anyway. Other entries outside it are returned as written.
std::optional<std::wstring> ResolveListedPath(const std::wstring& installFolder, const std::wstring& entry);

}  // namespace uninstall
