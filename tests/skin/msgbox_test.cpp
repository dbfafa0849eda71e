// The skinned message box over the program's own layout 501, answered with
// real clicks and keys. Built once with the installer's resources and once
// with the uninstaller's (ORV_UNINSTALL_RESOURCES), whose layout has no tab
// stops.

#include <gtest/gtest.h>

#include "skin/msgbox.h"
#include "skin/skin_tables.h"
#include "ui_harness.h"

using namespace uitest;

namespace {

#ifdef ORV_UNINSTALL_RESOURCES
constexpr bool kHasTabStops = false;
constexpr const char* kProgram = "uninstall";
#else
constexpr bool kHasTabStops = true;
constexpr const char* kProgram = "installer";
#endif

class MsgBoxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartSkinEnvironment(); }
};

CMsgBox* g_box = nullptr;
std::function<void(CMsgBox&)>* g_driver = nullptr;

void CALLBACK DriveBox(HWND, UINT, UINT_PTR timer, DWORD) {
  if (!g_box || !::IsWindowVisible(g_box->hwnd())) return;
  ::KillTimer(nullptr, timer);
  Pump(100);  // the first picture and the initial repaints
  (*g_driver)(*g_box);
}

// Runs the box modally; `driver` acts on it once it is shown.
int RunBox(CMsgBox& box, std::function<void(CMsgBox&)> driver) {
  g_box = &box;
  g_driver = &driver;
  ::SetTimer(nullptr, 0, 30, &DriveBox);
  const int result = box.DoModal(nullptr);
  g_box = nullptr;
  g_driver = nullptr;
  return result;
}

bool Visible(CMsgBox& box, int id) { return box.GetView().FindControlById(id)->IsVisible(); }

bool Click(CMsgBox& box, int id) {
  const POINT centre = Centre(box.GetView().FindControlById(id)->GetRect());
  return ClickAt(box.hwnd(), centre.x, centre.y);
}

int FocusedId(CMsgBox& box) {
  const auto& focused = box.GetView().GetFocusedControl();
  return focused ? focused->GetId() : 0;
}

}  // namespace

TEST_F(MsgBoxTest, YesNoBoxShowsBothAnswersAndYesAnswersYes) {
  CMsgBox box(MB_YESNO, L"提示标题", L"是否继续？");
  const int result = RunBox(box, [](CMsgBox& b) {
    EXPECT_TRUE(Visible(b, kMsgBoxYes));
    EXPECT_TRUE(Visible(b, kMsgBoxNo));
    EXPECT_FALSE(Visible(b, kMsgBoxConfirm));
    EXPECT_EQ(b.GetControlText(kMsgBoxTitleText), L"提示标题");
    EXPECT_EQ(b.GetControlText(kMsgBoxMessageText), L"是否继续？");
    wchar_t title[64] = {};
    ::GetWindowTextW(b.hwnd(), title, 64);
    EXPECT_EQ(std::wstring(title), GetString(L"apptitle"));
    EXPECT_TRUE(::GetWindowLongW(b.hwnd(), GWL_STYLE) & WS_MINIMIZEBOX);
    const SIZE size = b.GetClientSize();
    EXPECT_EQ(size.cx, 420);
    EXPECT_EQ(size.cy, 225);
    Screenshot(std::string("msgbox_yesno_") + kProgram);
    ASSERT_TRUE(Click(b, kMsgBoxYes));
  });
  EXPECT_EQ(result, kMsgBoxYes);
}

TEST_F(MsgBoxTest, CloseButtonOfAYesNoBoxAnswersNo) {
  CMsgBox box(MB_YESNO, L"", L"");
  EXPECT_EQ(RunBox(box, [](CMsgBox& b) { ASSERT_TRUE(Click(b, kMsgBoxCloseButton)); }), kMsgBoxNo);
  CMsgBox again(MB_YESNO, L"", L"");
  EXPECT_EQ(RunBox(again, [](CMsgBox& b) { ASSERT_TRUE(Click(b, kMsgBoxNo)); }), kMsgBoxNo);
}

TEST_F(MsgBoxTest, ConfirmBoxKeepsTheLayoutTextsForEmptyValues) {
  CMsgBox box(MB_OK, L"", L"");
  const int result = RunBox(box, [](CMsgBox& b) {
    EXPECT_FALSE(Visible(b, kMsgBoxYes));
    EXPECT_FALSE(Visible(b, kMsgBoxNo));
    EXPECT_TRUE(Visible(b, kMsgBoxConfirm));
    EXPECT_EQ(b.GetControlText(kMsgBoxTitleText), GetString(L"msgboxtitle"));
    EXPECT_EQ(b.GetControlText(kMsgBoxMessageText), GetString(L"alreadyrunnotify"));
    EXPECT_FALSE(GetString(L"alreadyrunnotify").empty());
    Screenshot(std::string("msgbox_confirm_") + kProgram);
    ASSERT_TRUE(Click(b, kMsgBoxConfirm));
  });
  EXPECT_EQ(result, kMsgBoxConfirm);
}

TEST_F(MsgBoxTest, OtherTypesShowTheLayoutAsWritten) {
  CMsgBox box(MB_OKCANCEL, L"", L"");
  EXPECT_EQ(RunBox(box, [](CMsgBox& b) {
              EXPECT_FALSE(Visible(b, kMsgBoxYes));
              EXPECT_FALSE(Visible(b, kMsgBoxNo));
              EXPECT_TRUE(Visible(b, kMsgBoxConfirm));
              ::PostMessageW(b.hwnd(), WM_CLOSE, 0, 0);
            }),
            8)
      << "WM_CLOSE answers the close command id";
}

TEST_F(MsgBoxTest, TabOrderFollowsTheLayout) {
  CMsgBox box(MB_YESNO, L"", L"");
  const int result = RunBox(box, [](CMsgBox& b) {
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(Xdo("key Tab"));
      Pump(80);
      order.push_back(FocusedId(b));
    }
    if (kHasTabStops) {
      EXPECT_EQ(order, (std::vector<int>{kMsgBoxCloseButton, kMsgBoxMessageText, kMsgBoxYes,
                                         kMsgBoxNo, kMsgBoxCloseButton}));
      // Back to yes, then Space answers.
      for (int i = 0; i < 2; ++i) ASSERT_TRUE(Xdo("key Tab"));
      PumpUntil([&] { return FocusedId(b) == kMsgBoxYes; });
      ASSERT_EQ(FocusedId(b), kMsgBoxYes);
      ASSERT_TRUE(Xdo("key space"));
      Pump(200);
    } else {
      EXPECT_EQ(order, std::vector<int>(5, 0)) << "no tab stops: Tab moves no focus";
      ASSERT_TRUE(Xdo("key space"));
      Pump(200);
      ::PostMessageW(b.hwnd(), WM_CLOSE, 0, 0);
    }
  });
  EXPECT_EQ(result, kHasTabStops ? kMsgBoxYes : 8);
}
