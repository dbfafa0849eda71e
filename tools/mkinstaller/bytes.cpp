#include "bytes.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "error.h"

namespace mkinstaller {

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot open " + path + ": " + std::strerror(errno));
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Error("cannot read " + path);
  return data;
}

bool ReadTextFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace mkinstaller
