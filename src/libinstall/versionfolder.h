#pragma once

#include <string>

// True when a folder name of the install folder names an application version
// folder ("7.19.02N", "12.05.31N"): the whole name, in the thread's ANSI code
// page, matches "[0-9]{1,2}.[0-9][0-9].[0-9][0-9]N". Both programs decide with
// this one function which folders are the application's versions.
bool IsVersionFolderName(const std::wstring& name);
