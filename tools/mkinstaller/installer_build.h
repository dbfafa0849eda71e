#pragma once
// Builds the finished installer: the installer program, the payload header
// and the package archive behind it, the package offset in the COFF
// TimeDateStamp, the PE checksum, and optionally an Authenticode signature.

#include <cstdint>
#include <optional>
#include <string>

#include "archive_tool.h"
#include "package_folder.h"
#include "pe_image.h"

namespace mkinstaller {

struct Tools {
  std::string seven_zip = "7zz";
  std::string osslsigncode = "osslsigncode";
};

struct SignOptions {
  std::string certificate;   // PEM or DER certificate (chain) file
  std::string key;           // private key file
  std::string password_file; // file holding the key's password; empty for none
  std::string description = "Orvanta Setup";
  std::string url;
  std::optional<int64_t> time;  // signing time (Unix seconds); else SOURCE_DATE_EPOCH, else now
};

struct BuildOptions {
  std::string program;
  std::string package;
  // Test fixtures: append this file as the archive instead of packing a
  // package folder, unchecked, with this total size in the header (default:
  // the sizes 7zz lists, or 0 when it cannot list the file).
  std::string archive;
  std::optional<uint32_t> total_size;
  std::string output;
  std::optional<SignOptions> sign;
  std::optional<int> blocks;  // solid blocks of the archive; default from the package size
  PackProgressFn progress;    // hears how far packing has come, when set
  Tools tools;
};

struct BuildResult {
  Package package;
  uint32_t package_offset = 0;
  uint64_t archive_size = 0;
  size_t blocks = 0;  // solid blocks packed; 0 for an archive appended as it is
  uint64_t file_size = 0;
  bool is_signed = false;
};

// Throws Error unless `program` can carry a package: a PE program (not a
// DLL), not signed, with nothing appended behind its image.
PeImage CheckProgram(const Bytes& program, const std::string& path);

BuildResult BuildInstaller(const BuildOptions& options);

}  // namespace mkinstaller
