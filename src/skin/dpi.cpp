#include "skin/dpi.h"

#include <windows.h>

#include <atomic>

namespace skin {
namespace {

std::atomic<int> g_test_scale{0};

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  if (!screen) return 96;
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi;
}

}  // namespace

int ScaleFromDpi(int dpi) {
  if (dpi >= 96 && dpi <= 108) return 100;
  const int class_dpi = dpi < 133 ? 120 : dpi < 169 ? 144 : 192;
  return MulDiv(class_dpi, 100, 96);
}

int ScaleLength(int length, int scale) {
  if (scale == 100) return length;
  const float f = static_cast<float>(scale) * static_cast<float>(length) / 100.0f;
  return f > 0 ? static_cast<int>(f + 0.5f) : static_cast<int>(f - 0.5f);
}

int GetDisplayScale() {
  static const int scale = [] {
    const int fixed = g_test_scale.load();
    return fixed ? fixed : ScaleFromDpi(ScreenDpi());
  }();
  return scale;
}

void SetDisplayScaleForTest(int scale) { g_test_scale.store(scale); }

}  // namespace skin

int DpiScale(int length) { return skin::ScaleLength(length, skin::GetDisplayScale()); }
