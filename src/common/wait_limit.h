#pragma once
// Time limits of the silent paths, which wait for their worker threads.
//
// Test hook (test builds only, see test_hooks.h): a decimal number of milliseconds in the named environment
// variable (ORV_TEST_INSTALL_WAIT_MS for the installer,
// ORV_TEST_UNINSTALL_WAIT_MS for the uninstaller) replaces the ten-minute
// limit, so that tests reach the timeout without waiting that long.

#include <windows.h>

#include <string>

#include "common/test_hooks.h"

// The limit from `text`: a positive decimal number that fits a DWORD, else
// `standard`.
DWORD ParseWaitLimitMs(const std::wstring& text, DWORD standard);

// The limit from the environment variable `variable`, else `standard`.
DWORD WaitLimitMs(const test_hooks::Name& variable, DWORD standard);
