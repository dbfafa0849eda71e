#pragma once
// Names the installer's parts share: string-table ids and file names.

// String-table ids.
inline constexpr wchar_t kAppDirNameId[] = L"app_dir_name";    // folder name below program files
inline constexpr wchar_t kLicenseUrlId[] = L"licenseUrl";      // licence agreement page
inline constexpr wchar_t kCloudPlanUrlId[] = L"cloudplanUrl";  // cloud-plan page
inline constexpr wchar_t kExpPlanUrlId[] = L"expplanUrl";      // user-experience-plan page

// One installer at a time on the machine: a second one would delete the
// first one's extraction folder while it is being written.
inline constexpr wchar_t kSingleSetupMutex[] = L"Global\\OrvantaSetupRunning";
