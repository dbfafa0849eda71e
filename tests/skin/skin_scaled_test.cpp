// Skins at a display scale of 150 %: the scale is fixed before the first use.
#include <gtest/gtest.h>

#include "art_preview.h"
#include "gdiplus_environment.h"
#include "skin/dpi.h"
#include "skin/skin_tables.h"

namespace {

const bool scale_fixed = (skin::SetDisplayScaleForTest(150), true);
testing::Environment* const gdiplus = testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

constexpr uint32_t kRed = 0xFFFF0000, kLime = 0xFF00FF00, kBlue = 0xFF0000FF;

TEST(ScaledSkins, LengthsFollowTheDisplayScale) {
  ASSERT_TRUE(scale_fixed);
  EXPECT_EQ(skin::GetDisplayScale(), 150);
  EXPECT_EQ(DpiScale(7), 11);
  EXPECT_EQ(DpiScale(-3), -5);
  EXPECT_EQ(DpiScale(540), 810);
}

TEST(ScaledSkins, VariantImagesCarryBordersInDisplayPixels) {
  ASSERT_EQ(LoadSkinTable(), 1);
  const CSWSkin* close = GetSkin("closebtn");
  ASSERT_NE(close, nullptr);
  EXPECT_TRUE(close->IsScaledImage());
  EXPECT_EQ(close->GetStateSize().Width, 39);
  EXPECT_EQ(close->GetStateSize().Height, 33);
  EXPECT_EQ(close->GetImage()->GetWidth(), 156u);

  EXPECT_EQ(GetSkin("btn_blue")->GetNineCell().top, 5);
  EXPECT_EQ(GetSkin("btn_blue")->GetNineCell().right, 5);
  EXPECT_EQ(GetSkin("frameborder")->GetNineCell().bottom, 38);
  EXPECT_EQ(GetSkin("frameborder")->GetNineCell().top, 15);
  EXPECT_EQ(GetSkin("progressbar")->GetHeadLength(), 8);
  EXPECT_EQ(GetSkin("installbg")->GetStateSize().Width, 810);
  EXPECT_EQ(GetSkin("installanimate")->GetImage()->GetHeight(), 360u);  // 240 at 150 %
  EXPECT_GT(GetSkin("installanimate")->GetFrameCount(), 1u);

  // A variant drawn at its own size, pixel for pixel.
  Canvas canvas(60, 60);
  Gdiplus::Rect dst(0, 0, 0, 0);
  GetSkin("closebtn")->Draw(canvas.graphics(), &dst, 0);
  EXPECT_EQ(dst.Width, 39);
  EXPECT_EQ(dst.Height, 33);

  ASSERT_EQ(LoadStyleTable(), 1);
  EXPECT_TRUE(SaveInstallerPreview(PreviewFolder() + L"installer_skin_150.png"));
}

TEST(ScaledSkins, ImagesWithoutVariantAreStretched) {
  SkinTable table;
  ASSERT_EQ(FillSkinTable("<skins><skin id=\"states\" imgsrc=\"901\" statecount=\"4\"/>"
                          "<skin id=\"three\" imgsrc=\"902\" rendertype=\"3cell\" "
                          "3CellHeadWidth=\"5\" 3CellTailWidth=\"5\"/></skins>",
                          table),
            1);
  CSWSkin& states = *table["states"];
  EXPECT_FALSE(states.IsScaledImage());
  Canvas canvas(60, 60);
  Gdiplus::Rect dst(0, 0, 0, 0);
  states.Draw(canvas.graphics(), &dst, 2);
  EXPECT_EQ(dst.Width, 39);
  EXPECT_EQ(dst.Height, 33);
  EXPECT_EQ(canvas.Pixel(20, 16), kBlue);
  EXPECT_EQ(canvas.Pixel(37, 31), kBlue);
  EXPECT_EQ(canvas.Alpha(41, 16), 0);

  CSWSkin& three = *table["three"];
  EXPECT_EQ(three.GetHeadLength(), 5);  // lengths of a plain image stay in image pixels
  Canvas bar(120, 20);
  Gdiplus::Rect wide(0, 0, 100, 20);
  three.Draw(bar.graphics(), &wide, 0);
  EXPECT_EQ(bar.Pixel(3, 5), kRed);    // head 8 pixels
  EXPECT_EQ(bar.Pixel(50, 5), kLime);
  EXPECT_EQ(bar.Pixel(93, 5), kBlue);  // tail DpiScale(5) + 1 = 9 pixels
  EXPECT_EQ(bar.Alpha(50, 13), 0);     // height 12
}

}  // namespace
