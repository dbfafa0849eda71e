#pragma once
// GDI+ started once for a test program, as the programs do before loading skins.

#include "skin/gdiplus_include.h"

#include <gtest/gtest.h>

#include <cstdint>

class GdiplusEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};

// A transparent 32-bit ARGB picture to draw into and read back.
class Canvas {
 public:
  Canvas(int width, int height) : bitmap_(width, height, PixelFormat32bppARGB), graphics_(&bitmap_) {
    graphics_.Clear(Gdiplus::Color(0, 0, 0, 0));
  }
  Gdiplus::Graphics& graphics() { return graphics_; }
  Gdiplus::Bitmap& bitmap() { return bitmap_; }
  uint32_t Pixel(int x, int y) {
    graphics_.Flush(Gdiplus::FlushIntentionSync);
    Gdiplus::Color colour;
    bitmap_.GetPixel(x, y, &colour);
    return colour.GetValue();
  }
  uint8_t Alpha(int x, int y) { return static_cast<uint8_t>(Pixel(x, y) >> 24); }
  bool IsEmpty() {
    for (int y = 0; y < static_cast<int>(bitmap_.GetHeight()); ++y)
      for (int x = 0; x < static_cast<int>(bitmap_.GetWidth()); ++x)
        if (Alpha(x, y) != 0) return false;
    return true;
  }

 private:
  Gdiplus::Bitmap bitmap_;
  Gdiplus::Graphics graphics_;
};
