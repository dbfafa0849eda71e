// Loads a DLL by name with the default search order, as a program that does
// not restrict its DLL search would: shows that a planted DLL is found.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  return ::LoadLibraryW(argv[1]) ? 0 : 1;
}
