#pragma once
// Failures that stop the tool: the message says what is wrong with which
// input and, where it helps, what to do about it.

#include <stdexcept>
#include <string>

namespace mkinstaller {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace mkinstaller
