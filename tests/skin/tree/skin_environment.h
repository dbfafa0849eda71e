#pragma once
// GDI+ and the three skin tables of the test program's resources, set up
// once for all tests of a program (as the programs do at start-up).

#include <windows.h>

#include "skin/gdiplus_include.h"
#include "skin/skin_tables.h"

class SkinTablesStartup {
 public:
  SkinTablesStartup() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    LoadStringTable();
    LoadSkinTable();
    LoadStyleTable();
  }
  ~SkinTablesStartup() { Gdiplus::GdiplusShutdown(token_); }
  SkinTablesStartup(const SkinTablesStartup&) = delete;
  SkinTablesStartup& operator=(const SkinTablesStartup&) = delete;

 private:
  ULONG_PTR token_ = 0;
};
