#pragma once
// The bytes that records added to the shared log file while a test ran.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common/logging.h"
#include "support/test_support.h"

class LogTail {
 public:
  LogTail() : offset_(testsupport::FileSize(Path())) {}

  std::string Added() const {
    const std::string bytes = testsupport::ReadFileBytes(Path());
    return offset_ <= bytes.size() ? bytes.substr(offset_) : std::string();
  }

  // True when `lines` were logged in this order (other records may lie
  // between them); each entry is the text after the level, e.g. "INFO  text".
  bool HasInOrder(std::initializer_list<std::string> lines) const {
    std::string added = Added();
    added.erase(std::remove(added.begin(), added.end(), '\r'), added.end());
    size_t at = 0;
    for (const std::string& line : lines) {
      at = added.find(" " + line + "\n", at);
      if (at == std::string::npos) return false;
      at += line.size();
    }
    return true;
  }

  size_t Count(const std::string& text) const {
    const std::string added = Added();
    size_t count = 0;
    for (size_t at = added.find(text); at != std::string::npos; at = added.find(text, at + text.size())) ++count;
    return count;
  }

 private:
  static std::wstring Path() {
    const std::string& narrow = logging::LogFilePath();
    return std::wstring(narrow.begin(), narrow.end());
  }
  uint64_t offset_;
};
