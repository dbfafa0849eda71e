// Controls at a display scale of 150 %: the scale is fixed before first use,
// so the skins load their 150 % artwork.

#include <gtest/gtest.h>

#include <sstream>

#include <boost/property_tree/xml_parser.hpp>

#include "skin/dpi.h"
#include "skin/skin_tables.h"
#include "skin/swbutton.h"
#include "skin/swedit.h"
#include "skin/swskin.h"
#include "skin/swstyle.h"
#include "ui_harness.h"

namespace {

const bool kScaleFixed = (skin::SetDisplayScaleForTest(150), true);

// A view built from layout text, without a window.
std::unique_ptr<CSWView> ViewOf(const std::string& xml) {
  std::istringstream stream(xml);
  boost::property_tree::ptree document;
  boost::property_tree::read_xml(stream, document);
  auto view = std::make_unique<CSWView>();
  view->LoadAttributes(document.get_child("view"));
  return view;
}

}  // namespace

TEST(ScaledControls, CheckBoxDrawsItsVariantBoxAndScaledCaptionGap) {
  ASSERT_TRUE(kScaleFixed);
  uitest::StartSkinEnvironment();
  auto view = ViewOf(
      "<view pos=\"0,0,300,100\"><checkbox id=\"1\" pos=\"10,10,200,20\" skin=\"checkbox\" "
      "caption=\"Check\" style=\"normaltext\"/></view>");
  auto box = view->FindControlById(1);
  ASSERT_TRUE(box);
  const RECT r = box->GetRect();
  EXPECT_EQ(r.left, 15);
  EXPECT_EQ(r.bottom - r.top, 30);
  CSWSkin* skin = GetSkin("checkbox");
  ASSERT_TRUE(skin && skin->IsScaledImage());
  ASSERT_EQ(skin->GetStateSize().Height, 21);

  const SIZE size{450, 150};
  const auto drawn = uitest::Render(size, r, [&](Gdiplus::Graphics& g) { box->DrawContent(g, nullptr, false); });
  // The 21-pixel variant box, centred in 30 pixels; the caption 11 (7 at 100 %) to its right.
  auto expected = [&](int captionLeft) {
    return uitest::Render(size, r, [&](Gdiplus::Graphics& g) {
      Gdiplus::Rect boxRect(r.left, r.top + 4, 0, 0);
      skin->Draw(g, &boxRect, 0, 1.0f);
      GetStyle("normaltext")->DrawStyledText(
          g, Gdiplus::Rect(captionLeft, r.top, r.right - captionLeft, r.bottom - r.top), L"Check", 0);
    });
  };
  EXPECT_EQ(uitest::CountDifferent(drawn, expected(r.left + 21 + 11)), 0u);
  EXPECT_NE(uitest::CountDifferent(drawn, expected(r.left + 21 + 7)), 0u);
}

TEST(ScaledControls, EditInsetsAreScaled) {
  const RECT inner = EditInnerRect(RECT{0, 0, 300, 45}, 2);
  EXPECT_EQ(inner.left, 8);
  EXPECT_EQ(inner.top, 6);
  EXPECT_EQ(inner.right, 292);
  EXPECT_EQ(inner.bottom, 42);
  EXPECT_EQ(EditInnerRect(RECT{0, 0, 300, 45}, 4).bottom, 39);
}
