#pragma once
// One setup at a time on the machine: the installer and the uninstaller hold
// this mutex while they change an installation, so that neither deletes or
// renames what the other is writing.
//
// Only an administrator can create or open it. Where the system has private
// namespaces the mutex lives in one bound to the Administrators group: a
// program without administrator rights can neither create that namespace
// first nor open anything in it. Where it has none (Wine), the mutex is a
// global name created with rights for SYSTEM and Administrators only, and one
// that exists already is used only when SYSTEM, Administrators or this
// program's own user owns it; a mutex that anyone else created first counts
// as held by another setup.

#include <windows.h>

#include "common/scoped_handle.h"

class SetupMutex {
 public:
  enum class Result {
    kTaken,
    kBusy,         // another setup holds it beyond the wait
    kForeign,      // it was created by someone who is not an administrator
    kUnavailable,  // it could not be created at all (logged)
  };

  SetupMutex() = default;
  ~SetupMutex();
  SetupMutex(const SetupMutex&) = delete;
  SetupMutex& operator=(const SetupMutex&) = delete;

  // Takes the mutex for the calling thread within `waitMs` (0: one try). A
  // mutex its last owner left by being killed is taken as well: that run is
  // over. Logs when it has to wait.
  Result Take(DWORD waitMs);
  // Gives it up, so that a setup this one starts need not wait for its end.
  void Release();

 private:
  HANDLE namespace_ = nullptr;  // a private namespace, closed with ClosePrivateNamespace
  ScopedHandle mutex_;
  bool held_ = false;
};

// Takes `mutex` for a silent run within what is left of the run's deadline
// (run_deadline in wait_limit.h). 0 when the run may go on (also where no
// mutex could be created, logged); otherwise the exit code both silent
// programs end with: 2 when another setup held it beyond the limit, 1 when
// someone who is not an administrator created it.
int TakeSetupMutexForSilentRun(SetupMutex& mutex);

// Gives up the setup mutex that the calling thread holds, through a handle of
// its own (for code that cannot reach the SetupMutex that took it).
void ReleaseSetupMutexOfThisThread();
