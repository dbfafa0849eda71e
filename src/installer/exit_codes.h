#pragma once
// Exit codes of the installer process. The windowed installer always ends
// with 0 (it shows its own result); the silent one tells its caller whether
// the installation finished.

#include "libinstall/install.h"

enum InstallerExitCode : int {
  kExitWindowed = 0,
  kExitInstalled = 0,     // silent installation finished
  kExitFailed = 1,        // silent installation failed (stage 4)
  kExitTimedOut = 2,      // not finished within the 10-minute limit
  kExitNotStarted = 3,    // the install thread could not be started
};

inline int SilentExitCode(bool started, InstallOutcome outcome) {
  if (!started) return kExitNotStarted;
  switch (outcome) {
    case InstallOutcome::kFinished: return kExitInstalled;
    case InstallOutcome::kFailed: return kExitFailed;
    case InstallOutcome::kStopped: return kExitTimedOut;
    case InstallOutcome::kPending: break;
  }
  return kExitTimedOut;
}
