#pragma once
// Names the installer's parts share: string-table ids and file names.

// String-table ids.
inline constexpr wchar_t kAppDirNameId[] = L"app_dir_name";    // folder name below program files
inline constexpr wchar_t kLicenseUrlId[] = L"licenseUrl";      // licence agreement page
inline constexpr wchar_t kCloudPlanUrlId[] = L"cloudplanUrl";  // cloud-plan page
inline constexpr wchar_t kExpPlanUrlId[] = L"expplanUrl";      // user-experience-plan page
