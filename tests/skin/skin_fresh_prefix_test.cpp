// Runs in a new Wine prefix (run_in_fresh_prefix.sh): no font replacements,
// so GDI+ knows neither the styles' family nor a generic sans-serif family,
// and a screen of 144 DPI.
#include <gtest/gtest.h>

#include <cstdio>

#include "gdiplus_environment.h"
#include "skin/dpi.h"
#include "skin/skin_tables.h"

namespace {

testing::Environment* const gdiplus = testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

TEST(FreshPrefix, DisplayScaleComesFromTheScreenDpi) {
  SetProcessDPIAware();  // as the programs' manifests declare
  EXPECT_EQ(skin::GetDisplayScale(), 150);
  EXPECT_EQ(DpiScale(26), 39);
}

TEST(FreshPrefix, TextFallsBackToAnInstalledFamilyOrDrawsNothing) {
  StyleTable styles;
  ASSERT_EQ(FillStyleTable("<styles><style id=\"t\" FontSize=\"16\" NormalTextColor=\"0xFEFF0000\"/></styles>",
                           styles),
            1);
  Canvas canvas(200, 40);
  styles["t"]->DrawStyledText(canvas.graphics(), Gdiplus::Rect(0, 0, 200, 40), L"Orvanta安装", 0);
  const Gdiplus::FontFamily* family = skin::TextFontFamily();
  if (!family) {
    EXPECT_TRUE(canvas.IsEmpty());
    return;
  }
  WCHAR name[LF_FACESIZE] = {};
  const Gdiplus::Status named = family->GetFamilyName(name);
  char utf8[LF_FACESIZE * 3] = {};
  WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr, nullptr);
  std::printf("styled family %d, generic sans-serif %p, text family (status %d): %s\n",
              Gdiplus::FontFamily(L"微软雅黑").IsAvailable(),
              static_cast<const void*>(Gdiplus::FontFamily::GenericSansSerif()), named, utf8);
  EXPECT_FALSE(canvas.IsEmpty());
}

}  // namespace
