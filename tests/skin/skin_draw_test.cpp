#include <gtest/gtest.h>

#include "gdiplus_environment.h"
#include "skin/skin_tables.h"

namespace {

testing::Environment* const gdiplus = testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

// The colours of the drawn test images (see CMakeLists.txt).
constexpr uint32_t kRed = 0xFFFF0000, kLime = 0xFF00FF00, kBlue = 0xFF0000FF, kYellow = 0xFFFFFF00;
constexpr uint32_t kCyan = 0xFF00FFFF, kMagenta = 0xFFFF00FF, kNavy = 0xFF000080, kGray = 0xFF808080;
constexpr uint32_t kOrange = 0xFFFF8000, kTeal = 0xFF008080, kPurple = 0xFF400040;

class SkinDraw : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(FillSkinTable("<skins>"
                            "<skin id=\"states\" imgsrc=\"901\" statecount=\"4\"/>"
                            "<skin id=\"tile\" imgsrc=\"901\" statecount=\"4\" rendertype=\"tile\"/>"
                            "<skin id=\"three\" imgsrc=\"902\" rendertype=\"3cell\" "
                            "3CellHeadWidth=\"5\" 3CellTailWidth=\"5\"/>"
                            "<skin id=\"column\" imgsrc=\"902\" rendertype=\"3cell\" horizonal=\"false\" "
                            "3CellHeadWidth=\"2\" 3CellTailWidth=\"2\"/>"
                            "<skin id=\"nine\" imgsrc=\"903\" statecount=\"4\" rendertype=\"9cell\" "
                            "9CellParams=\"3,3,3,3,3,3,3,3,3\"/>"
                            "<skin id=\"big\" imgsrc=\"904\"/>"
                            "<skin id=\"anim\" imgsrc=\"905\" type=\"GIF\"/>"
                            "<skin id=\"ramp\" imgsrc=\"906\" statecount=\"2\"/>"
                            "<skin id=\"none\" statecount=\"4\" rendertype=\"9cell\"/>"
                            "<skin id=\"zero\" imgsrc=\"901\" statecount=\"0\"/>"
                            "</skins>",
                            skins_),
              1);
  }
  static CSWSkin& Skin(const char* id) { return *skins_.at(id); }

  static SkinTable skins_;
};

SkinTable SkinDraw::skins_;

TEST_F(SkinDraw, SingleChoosesTheFrameAndReportsItsNaturalSize) {
  const uint32_t expected[] = {kRed, kLime, kBlue, kYellow, kRed, kRed};
  const int states[] = {0, 1, 2, 3, 4, -1};  // out of range draws frame 0
  for (int i = 0; i < 6; ++i) {
    Canvas canvas(40, 40);
    Gdiplus::Rect dst(5, 5, 0, 0);
    Skin("states").Draw(canvas.graphics(), &dst, states[i]);
    EXPECT_EQ(dst.Width, 26);
    EXPECT_EQ(dst.Height, 22);
    EXPECT_EQ(canvas.Pixel(18, 16), expected[i]) << "state " << states[i];
    EXPECT_EQ(canvas.Pixel(29, 25), expected[i]);
    EXPECT_EQ(canvas.Alpha(31, 16), 0);  // nothing beyond the frame
    EXPECT_EQ(canvas.Alpha(18, 28), 0);
    EXPECT_EQ(canvas.Alpha(3, 3), 0);
  }
}

TEST_F(SkinDraw, SingleShrinksPerAxisAndNeverEnlarges) {
  Canvas canvas(200, 220);
  Gdiplus::Rect dst(0, 0, 100, 200);
  Skin("big").Draw(canvas.graphics(), &dst, 0);
  EXPECT_EQ(dst.Width, 100);
  EXPECT_EQ(dst.Height, 160);
  EXPECT_EQ(canvas.Pixel(50, 80), kOrange);
  EXPECT_EQ(canvas.Pixel(98, 158), kOrange);
  EXPECT_EQ(canvas.Alpha(102, 80), 0);
  EXPECT_EQ(canvas.Alpha(50, 162), 0);

  Canvas natural(200, 200);
  Gdiplus::Rect empty(20, 20, 0, 0);
  Skin("big").Draw(natural.graphics(), &empty, 0);
  EXPECT_EQ(empty.Width, 160);
  EXPECT_EQ(empty.Height, 160);
  EXPECT_EQ(natural.Pixel(178, 178), kOrange);
  EXPECT_EQ(natural.Alpha(182, 100), 0);
}

TEST_F(SkinDraw, OpacityHalvesAlpha) {
  Canvas canvas(30, 30);
  Gdiplus::Rect dst(0, 0, 0, 0);
  Skin("states").Draw(canvas.graphics(), &dst, 0, 0.5f);
  const uint32_t pixel = canvas.Pixel(13, 11);
  EXPECT_NEAR(static_cast<int>(pixel >> 24), 128, 3);
  EXPECT_NEAR(static_cast<int>((pixel >> 16) & 0xFF), 255, 3);

  Canvas full(30, 30);
  Gdiplus::Rect again(0, 0, 0, 0);
  Skin("states").Draw(full.graphics(), &again, 0, 1.5f);
  EXPECT_EQ(full.Pixel(13, 11), kRed);
}

TEST_F(SkinDraw, TileStretchesTheFrameOverTheDestination) {
  Canvas canvas(60, 60);
  Gdiplus::Rect dst(0, 0, 50, 50);
  Skin("tile").Draw(canvas.graphics(), &dst, 1);
  EXPECT_EQ(canvas.Pixel(2, 2), kLime);
  EXPECT_EQ(canvas.Pixel(47, 47), kLime);
  EXPECT_EQ(canvas.Alpha(53, 25), 0);
}

TEST_F(SkinDraw, ThreeCellPlacesHeadMiddleAndTail) {
  Canvas wide(120, 20);
  Gdiplus::Rect dst(0, 0, 100, 20);
  Skin("three").Draw(wide.graphics(), &dst, 0);
  EXPECT_EQ(wide.Pixel(2, 4), kRed);
  EXPECT_EQ(wide.Pixel(5, 4), kLime);  // no seam between the pieces
  EXPECT_EQ(wide.Pixel(50, 4), kLime);
  EXPECT_EQ(wide.Pixel(93, 4), kLime);
  EXPECT_EQ(wide.Pixel(97, 4), kBlue);
  EXPECT_EQ(wide.Alpha(50, 10), 0);  // the image height is drawn, not the destination's
  EXPECT_EQ(wide.Alpha(101, 4), 0);
}

TEST_F(SkinDraw, StretchedPiecesLeaveNoSeamsAtAnyOffset) {
  Canvas canvas(560, 60);
  for (int x = 0; x < 420; x += 3) {
    canvas.graphics().Clear(Gdiplus::Color(0, 0, 0, 0));
    Gdiplus::Rect bar(x, 3, 100 + x % 37, 20);
    Skin("three").Draw(canvas.graphics(), &bar, 0);
    Gdiplus::Rect box(x, 20, 90 + x % 29, 33 + x % 7);
    Skin("nine").Draw(canvas.graphics(), &box, 0);
    for (int i = 0; i < bar.Width; ++i) ASSERT_EQ(canvas.Alpha(x + i, 7), 255) << x << " bar column " << i;
    for (int i = 0; i < box.Width; ++i) {
      ASSERT_EQ(canvas.Alpha(x + i, 21), 255) << x << " top column " << i;
      ASSERT_EQ(canvas.Alpha(x + i, box.Y + box.Height - 2), 255) << x << " bottom column " << i;
    }
    for (int j = 0; j < box.Height; ++j) {
      ASSERT_EQ(canvas.Alpha(x + 1, 20 + j), 255) << x << " left row " << j;
      ASSERT_EQ(canvas.Alpha(x + box.Width / 2, 20 + j), 255) << x << " centre row " << j;
    }
  }
}

TEST_F(SkinDraw, ThreeCellNeedsRoomForHeadAndTail) {
  Canvas narrow(20, 10);
  Gdiplus::Rect nine_wide(0, 0, 9, 8);
  Skin("three").Draw(narrow.graphics(), &nine_wide, 0);
  EXPECT_TRUE(narrow.IsEmpty());

  Canvas exact(20, 10);
  Gdiplus::Rect ten_wide(0, 0, 10, 8);
  Skin("three").Draw(exact.graphics(), &ten_wide, 0);
  EXPECT_EQ(exact.Pixel(1, 4), kRed);
  EXPECT_EQ(exact.Pixel(3, 4), kRed);
  EXPECT_EQ(exact.Pixel(5, 4), kBlue);  // the 6-pixel tail starts at x + 4
  EXPECT_EQ(exact.Pixel(9, 4), kBlue);
  EXPECT_EQ(exact.Alpha(10, 4), 0);
}

TEST_F(SkinDraw, VerticalThreeCellRunsDownwards) {
  Canvas canvas(40, 60);
  Gdiplus::Rect dst(0, 0, 40, 50);
  Skin("column").Draw(canvas.graphics(), &dst, 0);
  // The 30 x 8 image read as a column: head 2 rows, tail 2 rows, all colours across.
  EXPECT_NE(canvas.Alpha(15, 25), 0);
  EXPECT_EQ(canvas.Alpha(35, 25), 0);  // drawn at the frame width, 30
  EXPECT_EQ(canvas.Alpha(15, 52), 0);
}

TEST_F(SkinDraw, NineCellTilesTopAndCentreAndStretchesTheRest) {
  Canvas canvas(140, 50);
  Gdiplus::Rect dst(0, 0, 127, 40);
  Skin("nine").Draw(canvas.graphics(), &dst, 0);
  for (auto [x, y] : {std::pair{1, 1}, {125, 1}, {1, 38}, {125, 38}})
    EXPECT_EQ(canvas.Pixel(x, y), kRed) << x << "," << y;
  // Top edge: the 14-pixel strip (7 yellow, 7 cyan) repeats.
  EXPECT_EQ(canvas.Pixel(5, 1), kYellow);
  EXPECT_EQ(canvas.Pixel(12, 1), kCyan);
  EXPECT_EQ(canvas.Pixel(19, 1), kYellow);
  EXPECT_EQ(canvas.Pixel(26, 1), kCyan);
  EXPECT_EQ(canvas.Pixel(122, 1), kCyan);
  // Bottom edge: the strip (magenta, teal) is stretched over 121 pixels.
  EXPECT_EQ(canvas.Pixel(26, 38), kMagenta);
  EXPECT_EQ(canvas.Pixel(50, 38), kMagenta);
  EXPECT_EQ(canvas.Pixel(72, 38), kTeal);
  EXPECT_EQ(canvas.Pixel(120, 38), kTeal);
  // Side edges stretched over the middle 34 rows.
  EXPECT_EQ(canvas.Pixel(1, 5), kBlue);
  EXPECT_EQ(canvas.Pixel(1, 34), kBlue);
  EXPECT_EQ(canvas.Pixel(125, 20), kNavy);
  // Centre: the 14 x 4 source (gray, orange) is tiled.
  EXPECT_EQ(canvas.Pixel(5, 5), kGray);
  EXPECT_EQ(canvas.Pixel(12, 5), kOrange);
  EXPECT_EQ(canvas.Pixel(19, 30), kGray);
  EXPECT_EQ(canvas.Pixel(26, 34), kOrange);
  EXPECT_EQ(canvas.Alpha(130, 20), 0);
  EXPECT_EQ(canvas.Alpha(60, 42), 0);
}

TEST_F(SkinDraw, NineCellTakesEveryPieceFromTheChosenFrame) {
  Canvas canvas(60, 40);
  Gdiplus::Rect dst(0, 0, 50, 30);
  Skin("nine").Draw(canvas.graphics(), &dst, 1);
  for (auto [x, y] : {std::pair{1, 1}, {25, 1}, {25, 15}, {1, 15}, {48, 28}})
    EXPECT_EQ(canvas.Pixel(x, y), kPurple) << x << "," << y;
}

TEST_F(SkinDraw, AnimatedImageDrawsTheSelectedFrame) {
  CSWSkin& anim = Skin("anim");
  anim.SelectFrame(1);
  Canvas canvas(20, 20);
  Gdiplus::Rect dst(0, 0, 0, 0);
  anim.Draw(canvas.graphics(), &dst, 0);
  EXPECT_EQ(canvas.Pixel(4, 4), kLime);
  anim.SelectFrame(0);
}

// A window repaints only what changed, under a clip: every skin draws
// inside the clip exactly what it draws without one, and nothing outside.
TEST_F(SkinDraw, ClippedDrawsMatchUnclippedInsideTheClip) {
  struct Case {
    const char* skin;
    int state;
    Gdiplus::Rect dst;
    float alpha = 1.0f;
  };
  const Case cases[] = {{"states", 1, {7, 5, 0, 0}},    {"tile", 2, {3, 4, 50, 33}},
                        {"three", 0, {6, 2, 90, 20}},   {"nine", 1, {5, 3, 70, 45}},
                        {"nine", 0, {2, 1, 113, 77}, 0.5f}, {"three", 0, {1, 30, 117, 9}, 0.5f},
                        {"big", 0, {2, 1, 100, 60}},    {"anim", 0, {9, 6, 0, 0}},
                        {"ramp", 1, {7, 5, 0, 0}},      {"ramp", 0, {4, 9, 50, 30}}};
  const Gdiplus::Rect clips[] = {{0, 20, 120, 8}, {20, 0, 9, 80}, {25, 12, 60, 60}, {0, 0, 11, 9}};
  for (const Case& c : cases) {
    for (const Gdiplus::Rect& clip : clips) {
      Canvas whole(120, 80), part(120, 80);
      Gdiplus::Rect dst = c.dst, clipped = c.dst;
      Skin(c.skin).Draw(whole.graphics(), &dst, c.state, c.alpha);
      part.graphics().SetClip(clip);
      Skin(c.skin).Draw(part.graphics(), &clipped, c.state, c.alpha);
      for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x)
          ASSERT_EQ(part.Pixel(x, y), clip.Contains(x, y) ? whole.Pixel(x, y) : 0u)
              << c.skin << " clip " << clip.X << "," << clip.Y << " at " << x << "," << y;
    }
  }
}

TEST_F(SkinDraw, SkinsWithoutImageOrFramesDrawNothing) {
  for (const char* id : {"none", "zero"}) {
    Canvas canvas(40, 40);
    Gdiplus::Rect dst(0, 0, 30, 30);
    Skin(id).Draw(canvas.graphics(), &dst, 0);
    EXPECT_TRUE(canvas.IsEmpty()) << id;
    EXPECT_EQ(dst.Width, 30) << id;
    EXPECT_EQ(Skin(id).GetStateSize().Width, 0) << id;
  }
  Canvas canvas(10, 10);
  Skin("states").Draw(canvas.graphics(), nullptr, 0);
  EXPECT_TRUE(canvas.IsEmpty());
}

}  // namespace

namespace {

// Counts pixels whose colour is mostly `channel` (16 = red, 8 = green, 0 = blue).
int CountTinted(Canvas& canvas, int x0, int y0, int x1, int y1, int channel) {
  int count = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const uint32_t p = canvas.Pixel(x, y);
      const int c = (p >> channel) & 0xFF;
      const int others = ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) - c;
      if ((p >> 24) > 0x40 && c > 0x80 && others < c) ++count;
    }
  return count;
}

TEST(StyledText, DrawsInTheStateColourInsideTheRectangle) {
  StyleTable styles;
  ASSERT_EQ(FillStyleTable("<styles><style id=\"t\" FontSize=\"16\" HAlign=\"middle\" "
                           "NormalTextColor=\"0xFEFF0000\" HoverTextColor=\"0xFE00FF00\" "
                           "DisableTextColor=\"0xFE0000FF\"/></styles>",
                           styles),
            1);
  const CSWStyle& style = *styles["t"];
  for (auto [state, channel] : {std::pair{kStateNormal, 16}, {kStateHover, 8}, {kStateDisabled, 0}}) {
    Canvas canvas(240, 60);
    style.DrawStyledText(canvas.graphics(), Gdiplus::Rect(20, 10, 200, 40), L"Orvanta安装", state);
    EXPECT_GT(CountTinted(canvas, 20, 10, 220, 50, channel), 20) << "state " << state;
    for (int x = 0; x < 240; ++x) {  // nothing outside the rectangle
      EXPECT_EQ(canvas.Alpha(x, 5), 0);
      EXPECT_EQ(canvas.Alpha(x, 55), 0);
    }
    EXPECT_EQ(canvas.Alpha(10, 30), 0);
    EXPECT_EQ(canvas.Alpha(230, 30), 0);
  }
  Canvas empty(100, 40);
  style.DrawStyledText(empty.graphics(), Gdiplus::Rect(0, 0, 100, 40), L"", 0);
  EXPECT_TRUE(empty.IsEmpty());
}

}  // namespace
