#include <gtest/gtest.h>

#include "skin/dpi.h"
#include "skin/skin_values.h"
#include "skin/swskin.h"

using namespace skin;

TEST(SkinValues, DecimalFollowsTheWindowsRule) {
  EXPECT_EQ(ParseDecimal("42"), 42);
  EXPECT_EQ(ParseDecimal("  -17px"), -17);
  EXPECT_EQ(ParseDecimal("+8"), 8);
  EXPECT_EQ(ParseDecimal("12.9"), 12);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("-"), 0);
}

TEST(SkinValues, ColourIsReadInBaseSixteenWithoutAddedAlpha) {
  EXPECT_EQ(ParseColour("0xFEFFFFFF"), 0xFEFFFFFFu);
  EXPECT_EQ(ParseColour("0xFFFFFF"), 0x00FFFFFFu);
  EXPECT_EQ(ParseColour("0xFE3089DC "), 0xFE3089DCu);
  EXPECT_EQ(ParseColour("FF0000"), 0x00FF0000u);
  EXPECT_EQ(ParseColour("0X00f16a21"), 0x00F16A21u);
  EXPECT_EQ(ParseColour("  0x1G"), 1u);
  EXPECT_EQ(ParseColour("0x1FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseColour("zz"), 0u);
  EXPECT_EQ(ParseColour(""), 0u);
}

TEST(SkinValues, BooleanIsTrueOnlyForTrueInAnyCase) {
  EXPECT_TRUE(ParseBool("true"));
  EXPECT_TRUE(ParseBool("TRUE"));
  EXPECT_TRUE(ParseBool("True"));
  EXPECT_FALSE(ParseBool("ture"));
  EXPECT_FALSE(ParseBool("true "));
  EXPECT_FALSE(ParseBool("1"));
  EXPECT_FALSE(ParseBool(""));
}

TEST(SkinValues, IntegerListsStopAtTheFirstMismatch) {
  int nine[8] = {};
  EXPECT_EQ(ParseIntList("3,3,3,3,3,3,3,3,3", nine, 8), 8);
  for (int v : nine) EXPECT_EQ(v, 3);

  int partial[8] = {};
  EXPECT_EQ(ParseIntList("10,20", partial, 8), 2);
  EXPECT_EQ(partial[0], 10);
  EXPECT_EQ(partial[1], 20);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(partial[i], 0);

  int pos[4] = {9, 9, 9, 9};
  EXPECT_EQ(ParseIntList("23, 18,x,4", pos, 4), 2);
  EXPECT_EQ(pos[1], 18);
  EXPECT_EQ(pos[2], 9);  // fields not read keep their value
}

TEST(SkinValues, Utf8BecomesUtf16) {
  EXPECT_EQ(Utf8ToWide("\xE5\xAE\x89\xE8\xA3\x85"), L"安装");
  EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(DisplayScale, DpiClasses) {
  EXPECT_EQ(ScaleFromDpi(96), 100);
  EXPECT_EQ(ScaleFromDpi(108), 100);
  EXPECT_EQ(ScaleFromDpi(120), 125);
  EXPECT_EQ(ScaleFromDpi(72), 125);
  EXPECT_EQ(ScaleFromDpi(132), 125);
  EXPECT_EQ(ScaleFromDpi(144), 150);
  EXPECT_EQ(ScaleFromDpi(168), 150);
  EXPECT_EQ(ScaleFromDpi(192), 200);
  EXPECT_EQ(ScaleFromDpi(240), 200);
}

TEST(DisplayScale, LengthsRoundHalfAwayFromZero) {
  EXPECT_EQ(ScaleLength(7, 100), 7);
  EXPECT_EQ(ScaleLength(7, 125), 9);
  EXPECT_EQ(ScaleLength(26, 125), 33);
  EXPECT_EQ(ScaleLength(22, 150), 33);
  EXPECT_EQ(ScaleLength(-3, 150), -5);
  EXPECT_EQ(ScaleLength(-2, 125), -3);
  EXPECT_EQ(ScaleLength(0, 200), 0);
  EXPECT_EQ(ScaleLength(540, 200), 1080);
}

TEST(FrameGeometry, FramesAreEqualColumns) {
  Gdiplus::Rect frame;
  ASSERT_TRUE(FrameRect(104, 22, 4, 2, &frame));
  EXPECT_EQ(frame.X, 52);
  EXPECT_EQ(frame.Y, 0);
  EXPECT_EQ(frame.Width, 26);
  EXPECT_EQ(frame.Height, 22);

  ASSERT_TRUE(FrameRect(10, 5, 3, 1, &frame));  // 10 / 3 truncates
  EXPECT_EQ(frame.X, 3);
  EXPECT_EQ(frame.Width, 3);

  Gdiplus::Rect untouched(1, 2, 3, 4);
  EXPECT_FALSE(FrameRect(104, 22, 0, 0, &untouched));
  EXPECT_EQ(untouched.X, 1);
  EXPECT_EQ(untouched.Width, 3);
}
