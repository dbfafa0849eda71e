// Stands in for the installer program until that is built: the installer
// build step appends the sample package to it, so the build and its checks
// run end to end. It does nothing but say what it is.
#include <cstdio>

int wmain() {
  std::puts("setup_stub: a stand-in for the installer program; it installs nothing.");
  return 0;
}
