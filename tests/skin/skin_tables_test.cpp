#include <gtest/gtest.h>

#include "art_preview.h"
#include "gdiplus_environment.h"
#include "skin/resource.h"
#include "skin/skin_tables.h"

namespace {

const char kBom[] = "\xEF\xBB\xBF";

TEST(StringTable, EntriesUntilTheFirstWithoutIdAndLaterDuplicatesWin) {
  StringTable table;
  EXPECT_EQ(FillStringTable(std::string(kBom) +
                                "<strings><string id=\"a\">one</string>"
                                "<text id=\"b\"> two \n</text>"
                                "<string id=\"a\">\xE5\xAE\x89\xE8\xA3\x85</string>"
                                "<string>no id</string>"
                                "<string id=\"c\">after</string></strings>",
                            table),
            0);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[L"a"], L"安装");
  EXPECT_EQ(table[L"b"], L" two \n");  // text exactly as written; element name not checked
}

TEST(StringTable, CommentInsideTheRootEndsLoading) {
  StringTable table;
  FillStringTable("<strings><string id=\"a\">1</string><!-- note --><string id=\"b\">2</string></strings>",
                  table);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.count(L"b"), 0u);
}

TEST(StringTable, TextEndsAtTheFirstNul) {
  StringTable table;
  const char raw[] = "<strings><string id=\"a\">1</string></strings>\0<garbage";
  const std::string xml(raw, sizeof raw - 1);
  EXPECT_EQ(FillStringTable(xml, table), 1);
  EXPECT_EQ(table[L"a"], L"1");
}

TEST(StringTable, BrokenDocumentsLeaveTheTableEmpty) {
  for (const char* xml : {"", "<strings>", "<other><string id=\"a\">1</string></other>", "<strings/>",
                          "<strings><string id=\"a\">1</string"}) {
    StringTable table;
    EXPECT_EQ(FillStringTable(xml, table), 0) << xml;
    EXPECT_TRUE(table.empty()) << xml;
  }
}

TEST(StyleTable, AttributesAndDefaults) {
  StyleTable table;
  EXPECT_EQ(FillStyleTable("<styles>"
                           "<style id=\"link\" FontSize=\"14\" HoverFontStyle=\"4\" HAlign=\"right\" "
                           "VAlign=\"bottom\" NormalTextColor=\"0xFE3089DC \" HoverTextColor=\"FF0000\" "
                           "PushTextColor=\"0x1\" DisableTextColor=\"0x2\" Unknown=\"x\"/>"
                           "<style id=\"plain\" HAlign=\"midle\" VAlign=\"center\"/>"
                           "<style id=\"link\" FontSize=\"20\"/>"
                           "</styles>",
                           table),
            1);
  ASSERT_EQ(table.size(), 2u);
  const CSWStyle& link = *table["link"];  // the later entry replaced the first
  EXPECT_EQ(link.GetFontSize(), 20);
  EXPECT_EQ(link.GetHoverFontStyle(), 0);
  EXPECT_EQ(link.GetNormalColour(), 0u);

  StyleTable first;
  FillStyleTable("<styles><style id=\"link\" FontSize=\"14\" FontStyle=\"1\" HoverFontStyle=\"4\" "
                 "HAlign=\"right\" VAlign=\"bottom\" NormalTextColor=\"0xFE3089DC \" "
                 "HoverTextColor=\"FF0000\" PushTextColor=\"0x1\" DisableTextColor=\"0x2\"/></styles>",
                 first);
  const CSWStyle& s = *first["link"];
  EXPECT_EQ(s.GetHAlign(), 2);
  EXPECT_EQ(s.GetVAlign(), 2);
  EXPECT_EQ(s.ColourForState(kStateNormal), 0xFE3089DCu);
  EXPECT_EQ(s.ColourForState(kStateHover), 0x00FF0000u);
  EXPECT_EQ(s.ColourForState(kStatePressed), 1u);
  EXPECT_EQ(s.ColourForState(kStateDisabled), 2u);
  EXPECT_EQ(s.ColourForState(3), 0xFE3089DCu);
  EXPECT_EQ(s.FontStyleForState(kStateNormal), 1);
  EXPECT_EQ(s.FontStyleForState(kStateHover), 5);
  EXPECT_EQ(s.FontStyleForState(3), 5);
  EXPECT_EQ(s.FontStyleForState(kStateDisabled), 1);

  const CSWStyle& plain = *table["plain"];
  EXPECT_EQ(plain.GetFontSize(), 12);
  EXPECT_EQ(plain.GetHAlign(), 0);  // misspelt names keep left and middle
  EXPECT_EQ(plain.GetVAlign(), 1);
  EXPECT_TRUE(plain.IsType("style"));
  EXPECT_FALSE(plain.IsType("skin"));
}

TEST(SkinTable, AttributesWithoutImages) {
  SkinTable table;
  EXPECT_EQ(FillSkinTable("<skins>"
                          "<skin id=\"a\" statecount=\"3\" rendertype=\"9CELL\" horizonal=\"TRUE\"/>"
                          "<skin id=\"b\" type=\"GIF\" rendertype=\"3cell\" horizonal=\"yes\" "
                          "3CellHeadWidth=\"5\" 3CellTailWidth=\"6\"/>"
                          "<skin statecount=\"2\"/>"
                          "<skin id=\"c\"/>"
                          "</skins>",
                          table),
            0);
  ASSERT_EQ(table.size(), 2u);
  const CSWSkin& a = *table["a"];
  EXPECT_EQ(a.GetStateCount(), 3);
  EXPECT_EQ(a.GetRenderType(), kRenderSingle);  // names are exact
  EXPECT_TRUE(a.IsHorizontal());
  EXPECT_EQ(a.GetImageType(), L"PNG");
  EXPECT_EQ(a.GetImage(), nullptr);
  EXPECT_EQ(a.GetStateSize().Width, 0);
  const CSWSkin& b = *table["b"];
  EXPECT_EQ(b.GetImageType(), L"GIF");
  EXPECT_EQ(b.GetRenderType(), kRender3Cell);
  EXPECT_FALSE(b.IsHorizontal());
  EXPECT_EQ(b.GetHeadLength(), 5);
  EXPECT_EQ(b.GetTailLength(), 6);
}

TEST(SkinTable, ImagesFramesAndBorders) {
  SkinTable table;
  ASSERT_EQ(FillSkinTable("<skins>"
                          "<skin id=\"states\" imgsrc=\"901\" statecount=\"4\"/>"
                          "<skin id=\"nine\" imgsrc=\"903\" statecount=\"4\" rendertype=\"9cell\" "
                          "9CellParams=\"3,3,3,3,3,3,3,3,3\"/>"
                          "<skin id=\"few\" imgsrc=\"903\" statecount=\"0\" rendertype=\"9cell\" "
                          "9CellParams=\"10,20\"/>"
                          "<skin id=\"missing\" imgsrc=\"4444\"/>"
                          "<skin id=\"anim\" imgsrc=\"905\" type=\"GIF\"/>"
                          "</skins>",
                          table),
            1);
  const CSWSkin& states = *table["states"];
  ASSERT_NE(states.GetImage(), nullptr);
  EXPECT_FALSE(states.IsScaledImage());
  EXPECT_EQ(states.GetStateSize().Width, 26);
  EXPECT_EQ(states.GetStateSize().Height, 22);
  EXPECT_EQ(states.GetFrameCount(), 1u);
  EXPECT_EQ(states.GetFrameDelay(), 30);

  const NineCellLengths& n = table["nine"]->GetNineCell();
  EXPECT_EQ(n.top + n.top_left + n.top_right + n.bottom + n.bottom_left + n.bottom_right + n.left + n.right, 24);
  EXPECT_EQ(table["few"]->GetNineCell().top, 10);
  EXPECT_EQ(table["few"]->GetNineCell().top_left, 20);
  EXPECT_EQ(table["few"]->GetNineCell().right, 0);

  // A state count of 0 has no frames: size 0 x 0, rectangle untouched.
  const CSWSkin& few = *table["few"];
  EXPECT_EQ(few.GetStateSize().Width, 0);
  EXPECT_EQ(few.GetStateSize().Height, 0);
  Gdiplus::Rect untouched(5, 5, 5, 5);
  EXPECT_FALSE(few.GetStateRect(0, &untouched));
  EXPECT_EQ(untouched.Width, 5);

  // A skin whose image is missing is kept, without an image.
  ASSERT_NE(table["missing"], nullptr);
  EXPECT_EQ(table["missing"]->GetImage(), nullptr);

  // Delays are hundredths of a second, 100 ms at least.
  CSWSkin& anim = *table["anim"];
  ASSERT_NE(anim.GetImage(), nullptr);
  EXPECT_EQ(anim.GetFrameCount(), 3u);
  EXPECT_EQ(anim.GetCurrentFrame(), 0);
  EXPECT_EQ(anim.GetFrameDelay(), 100);
  anim.SelectFrame(1);
  EXPECT_EQ(anim.GetFrameDelay(), 200);
  anim.SelectFrame(2);
  EXPECT_EQ(anim.GetFrameDelay(), 300);
  anim.SetCurrentFrame(0);
  EXPECT_EQ(anim.GetCurrentFrame(), 0);
  EXPECT_EQ(anim.GetFrameDelay(), 300);
}

TEST(ImageCache, KeyedByTheFullIdAndLookedUpModulo65536) {
  Gdiplus::Image* plain = LoadImageResource(901, L"PNG");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(LoadImageResource(901, L"PNG"), plain);
  EXPECT_EQ(LoadImageResource(901, L"GIF"), plain);  // the type is not part of the key
  Gdiplus::Image* wrapped = LoadImageResource(901 + 65536, L"PNG");
  ASSERT_NE(wrapped, nullptr);
  EXPECT_NE(wrapped, plain);
  EXPECT_EQ(wrapped->GetWidth(), plain->GetWidth());
  EXPECT_EQ(LoadImageResource(4444, L"PNG"), nullptr);
  EXPECT_EQ(LoadImageResource(950, L"PNG"), nullptr);  // not an image: nothing is cached
}

TEST(Resources, BytesAreCopiedWithATrailingNul) {
  std::string bytes;
  ASSERT_TRUE(LoadResourceBytes(950, L"PNG", bytes));
  EXPECT_EQ(bytes, std::string("not an image\n") + '\0');
  EXPECT_FALSE(LoadResourceBytes(950, L"XML", bytes));
  EXPECT_FALSE(LoadResourceBytes(4444, L"PNG", bytes));
}

// The program's own tables: its resources 201 to 203 are those of the installer
// (skins and styles) and a string table of this test.
TEST(ProgramTables, ShippedSkinsAndStylesLoadWithTheirImages) {
  EXPECT_EQ(GetString(L"apptitle"), L"");
  EXPECT_EQ(GetSkin("closebtn"), nullptr);
  EXPECT_EQ(LoadStringTable(), 1);
  EXPECT_EQ(LoadSkinTable(), 1);
  EXPECT_EQ(LoadStyleTable(), 1);

  EXPECT_EQ(GetString(L"apptitle"), L"Orvanta安装");
  EXPECT_EQ(GetString(L"Apptitle"), L"");
  EXPECT_EQ(GetString(L"unknown"), L"");

  const struct {
    const char* id;
    int width, height;
  } sized[] = {{"closebtn", 26, 22}, {"minbtn", 26, 22}, {"installbg", 540, 360}, {"applogo", 160, 160},
               {"downarrow", 12, 7}, {"uparrow", 12, 7}, {"installok", 28, 28}, {"qrcode", 80, 80},
               {"fail", 240, 102}, {"msgboxbg", 400, 176}, {"msgboxlogo", 50, 50}, {"editbg", 12, 30},
               {"progressbar", 20, 8}, {"progressbg", 20, 8}};
  for (const auto& s : sized) {
    const CSWSkin* skin = GetSkin(s.id);
    ASSERT_NE(skin, nullptr) << s.id;
    ASSERT_NE(skin->GetImage(), nullptr) << s.id;
    EXPECT_EQ(skin->GetStateSize().Width, s.width) << s.id;
    EXPECT_EQ(skin->GetStateSize().Height, s.height) << s.id;
  }
  const CSWSkin* frame = GetSkin("frameborder");
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->GetRenderType(), kRender9Cell);
  EXPECT_EQ(frame->GetNineCell().bottom, 25);
  EXPECT_EQ(GetSkin("btn_blue")->GetNineCell().right, 3);
  EXPECT_EQ(GetSkin("progressbar")->GetHeadLength(), 5);

  CSWSkin* animation = GetSkin("installanimate");
  ASSERT_NE(animation, nullptr);
  ASSERT_NE(animation->GetImage(), nullptr);
  EXPECT_GT(animation->GetFrameCount(), 1u);
  EXPECT_EQ(animation->GetFrameDelay(), 120);
  EXPECT_EQ(animation->GetImage()->GetWidth(), 540u);

  const CSWStyle* link = GetStyle("normal_link_text");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->GetNormalColour(), 0xFE3089DCu);
  EXPECT_EQ(link->GetHoverFontStyle(), 4);
  EXPECT_EQ(GetStyle("edittext")->GetNormalColour(), 0x00FFFFFFu);
  EXPECT_EQ(GetStyle("middletext_white_center")->GetHAlign(), 1);
  EXPECT_EQ(GetStyle("center"), nullptr);

  EXPECT_TRUE(SaveInstallerPreview(PreviewFolder() + L"installer_skin_100.png"));
}

TEST(ProgramTables, BackgroundIsBlueAboveAWhiteFooter) {
  CSWSkin* background = GetSkin("installbg");
  ASSERT_NE(background, nullptr);
  Canvas canvas(540, 360);
  Gdiplus::Rect dst(0, 0, 540, 360);
  background->Draw(canvas.graphics(), &dst, 0);
  EXPECT_EQ(canvas.Pixel(200, 20), 0xFF216AF1u);
  EXPECT_EQ(canvas.Pixel(270, 300), 0xFFFFFFFFu);
  EXPECT_LT(canvas.Alpha(0, 0), 0x80);  // rounded corners
}

}  // namespace
