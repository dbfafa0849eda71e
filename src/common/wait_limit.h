#pragma once
// Time limits of the silent paths, which wait for their worker threads.
//
// Test hooks (test builds only, see test_hooks.h): a decimal number of milliseconds in the named environment
// variable (ORV_TEST_INSTALL_WAIT_MS for the installer,
// ORV_TEST_UNINSTALL_WAIT_MS for the uninstaller) replaces the ten-minute
// limit, so that tests reach the timeout without waiting that long;
// ORV_TEST_WAIT_GRACE_MS replaces the grace after it.

#include <windows.h>

#include <string>

#include "common/test_hooks.h"

// The limit from `text`: a positive decimal number that fits a DWORD, else
// `standard`.
DWORD ParseWaitLimitMs(const std::wstring& text, DWORD standard);

// The limit from the environment variable `variable`, else `standard`.
DWORD WaitLimitMs(const test_hooks::Name& variable, DWORD standard);

// How long a program waits, once its limit has passed and its worker was told
// to stop, before it ends without it: 30 seconds.
DWORD WaitGraceMs();

// Waits for `thread`, told to stop at its limit, at most the grace, and then
// for another grace at most while the file `switchJournal` exists: a switch in
// progress is renames only and is not cut where it can end (its journal lets
// the next run finish one that a kill cut all the same). True when the
// thread ended.
bool WaitForStoppedWorker(HANDLE thread, const std::wstring& switchJournal);

// The limit of a silent run, counted from its start: its wait for the setup
// mutex, for its worker and for the helper programs its rules start all take
// from it. Process-wide; a windowed run starts none and has no limit.
namespace run_deadline {

// Starts the deadline `limitMs` from now.
void Start(DWORD limitMs);
// The milliseconds left (0 once it has passed); INFINITE when none was started.
DWORD Remaining();
// `waitMs` (INFINITE allowed), cut to what is left.
DWORD Bound(DWORD waitMs);

}  // namespace run_deadline
