#pragma once
// Reads a finished installer and reports what the installer program will
// find in it: package offset, payload header, archive, items, version,
// signature and whether the archive tests good.

#include <ostream>
#include <string>

#include "installer_build.h"

namespace mkinstaller {

struct VerifyOptions {
  std::string installer;
  std::string ca_file;  // when set, the signature is checked against this certificate
  Tools tools;
};

// Writes the report to `out`; returns true when the installer is sound.
bool VerifyInstaller(const VerifyOptions& options, std::ostream& out);

}  // namespace mkinstaller
