#pragma once
// Runs the external tools (7zz, osslsigncode) without a shell, so that no
// file name is ever interpreted, and collects what they print.

#include <functional>
#include <string>
#include <vector>

namespace mkinstaller {

struct ProcessResult {
  int exit_code = -1;   // -1 when the program could not be started or was killed
  std::string output;   // stdout, and stderr interleaved unless left out
};

// Output from a running program, piece by piece as it arrives.
using OutputWatcher = std::function<void(const std::string&)>;

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& working_folder = "",
                         bool with_stderr = true, const OutputWatcher& watch = {});

// Runs and throws Error with the program's output unless it exits with 0.
std::string RunChecked(const std::vector<std::string>& argv, const std::string& what,
                       const std::string& working_folder = "", const OutputWatcher& watch = {});

// A fresh folder below $TMPDIR (or /tmp), removed with its content at destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace mkinstaller
