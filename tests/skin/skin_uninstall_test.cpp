// The uninstaller's own skin and style tables, which differ from the
// installer's in a few entries.
#include <gtest/gtest.h>

#include "art_preview.h"
#include "gdiplus_environment.h"
#include "skin/skin_tables.h"

namespace {

testing::Environment* const gdiplus = testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

TEST(UninstallerTables, SkinsAndStylesOfTheUninstaller) {
  ASSERT_EQ(LoadSkinTable(), 1);
  ASSERT_EQ(LoadStyleTable(), 1);

  const char* shared[] = {"frameborder", "installbg", "closebtn", "minbtn", "checkbox", "progressbar",
                          "progressbg", "btn_blue", "btn_white", "msgboxbg", "msgboxlogo", "editbg",
                          "installanimate", "applogo", "fail", "success"};
  for (const char* id : shared) {
    ASSERT_NE(GetSkin(id), nullptr) << id;
    EXPECT_NE(GetSkin(id)->GetImage(), nullptr) << id;
  }
  for (const char* id : {"btn_white_transe", "downarrow", "uparrow", "installok", "qrcode"})
    EXPECT_EQ(GetSkin(id), nullptr) << id;

  EXPECT_EQ(GetSkin("btn_white")->GetNineCell().top, 4);
  EXPECT_EQ(GetSkin("btn_white")->GetNineCell().right, 4);
  EXPECT_EQ(GetSkin("btn_blue")->GetNineCell().top, 3);
  EXPECT_EQ(GetSkin("editbg")->GetStateCount(), 3);
  EXPECT_EQ(GetSkin("editbg")->GetStateSize().Width, 12);
  EXPECT_EQ(GetSkin("success")->GetStateSize().Width, 140);
  EXPECT_EQ(GetSkin("success")->GetStateSize().Height, 140);

  EXPECT_EQ(GetStyle("edittext")->GetNormalColour(), 0xFEFFFFFFu);
  EXPECT_EQ(GetStyle("normal_link_text")->GetHoverFontStyle(), 0);
  EXPECT_EQ(GetStyle("middletext_white2")->GetFontSize(), 20);
  EXPECT_EQ(GetStyle("bigbtntext")->GetHAlign(), 1);
  EXPECT_EQ(GetStyle("bigtext_white"), nullptr);
  EXPECT_EQ(GetStyle("normallinktext_white"), nullptr);

  EXPECT_TRUE(SaveUninstallerPreview(PreviewFolder() + L"uninstall_skin_100.png"));
}

}  // namespace
