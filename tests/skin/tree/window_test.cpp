// The skinned window host under Wine: the modal run, the layered picture,
// the dirty-rectangle repaint, the debug outlines, the animations and the
// tooltip and the accessibility answer.

#include <gtest/gtest.h>

#include "skin/swanimate.h"
#include "skin_environment.h"
#include "tree_test_window.h"

#include <commctrl.h>
#include <oleacc.h>

namespace {

const SkinTablesStartup g_startup;

constexpr uint32_t kMarker = 0x12345678;
constexpr uint32_t kOpaqueRed = 0xFFFF0000;

// A visible top-level window that owns the skinned test window.
class OwnerWindow : public CNativeWindow {
 public:
  OwnerWindow() {
    Create(nullptr, RECT{10, 10, 300, 200}, L"owner", WS_POPUP | WS_VISIBLE, 0);
    ::SetActiveWindow(hwnd());
  }
  ~OwnerWindow() override { DestroyWindow(); }
};

class WindowTest : public testing::Test {
 protected:
  void SetUp() override { ::SetCursorPos(0, 0); }  // no hover over the window
  OwnerWindow owner;
};

TEST_F(WindowTest, RunsAsALayeredPopupOfTheConfiguredSizeOverItsDisabledOwner) {
  CTreeTestDlg dlg;
  HWND shown = nullptr;
  RECT rect = {};
  LONG_PTR style = 0;
  LONG_PTR exStyle = 0;
  bool ownerEnabled = true;
  HWND ownerOfWindow = nullptr;
  bool visible = false;
  uint32_t buttonPixel = 0;
  uint32_t cornerPixel = 1;
  dlg.on_start = [&](CTreeTestDlg& w) {
    shown = w.hwnd();
    ::GetWindowRect(w.hwnd(), &rect);
    style = ::GetWindowLongPtrW(w.hwnd(), GWL_STYLE);
    exStyle = ::GetWindowLongPtrW(w.hwnd(), GWL_EXSTYLE);
    ownerEnabled = ::IsWindowEnabled(owner.hwnd()) != FALSE;
    ownerOfWindow = ::GetWindow(w.hwnd(), GW_OWNER);
    visible = ::IsWindowVisible(w.hwnd()) != FALSE;
    buttonPixel = w.Pixel(300, 320);
    cornerPixel = w.Pixel(0, 0);
    w.EndModal(77);
  };
  EXPECT_EQ(dlg.DoModal(owner.hwnd()), 77);
  EXPECT_EQ(rect.right - rect.left, 600);
  EXPECT_EQ(rect.bottom - rect.top, 400);
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_TRUE(exStyle & WS_EX_LAYERED);
  EXPECT_FALSE(ownerEnabled);
  EXPECT_EQ(ownerOfWindow, owner.hwnd());
  EXPECT_TRUE(visible);
  EXPECT_EQ(buttonPixel, 0xFF2BB24Cu);  // the test button in the picture
  EXPECT_LT(cornerPixel >> 24, 0x80u);  // the frame's rounded corner lets the desktop through
  EXPECT_FALSE(::IsWindow(shown));
  EXPECT_TRUE(::IsWindowEnabled(owner.hwnd()));
  EXPECT_EQ(::GetActiveWindow(), owner.hwnd());
}

TEST_F(WindowTest, CloseEndsTheModalRunWith8AndLateEndModalIsIgnored) {
  CTreeTestDlg dlg;
  dlg.on_start = [](CTreeTestDlg& w) { ::PostMessageW(w.hwnd(), WM_CLOSE, 0, 0); };
  EXPECT_EQ(dlg.DoModal(owner.hwnd()), kModalResultClose);
  dlg.EndModal(5);
  dlg.on_start = [](CTreeTestDlg& w) { w.EndModal(6); };
  EXPECT_EQ(dlg.DoModal(owner.hwnd()), 6);  // the window can run again
  EXPECT_TRUE(::IsWindowEnabled(owner.hwnd()));
}

TEST_F(WindowTest, WithoutItsLayoutNothingOpensAndTheOwnerIsEnabledAgain) {
  CTreeTestDlg dlg(4242);
  bool started = false;
  dlg.on_start = [&](CTreeTestDlg&) { started = true; };
  EXPECT_EQ(dlg.DoModal(owner.hwnd()), 0);
  EXPECT_FALSE(started);
  EXPECT_TRUE(::IsWindowEnabled(owner.hwnd()));
}

TEST_F(WindowTest, TwoInvalidationsRepaintTheirRectanglesOnlyOnce) {
  CTreeTestDlg dlg;
  // Outside both panels (inside the page) and inside the first panel.
  const POINT outside{300, 100};
  const POINT inside{100, 180};
  std::vector<std::pair<bool, bool>> markersAfterRepaint;
  bool watching = false;
  dlg.on_start = [&](CTreeTestDlg& w) {
    w.SetPixel(outside.x, outside.y, kMarker);
    w.SetPixel(inside.x, inside.y, kMarker);
    watching = true;
    w.SetControlText(101, L"one");
    w.SetControlText(102, L"two");
  };
  dlg.on_repaint = [&](CTreeTestDlg& w) {
    if (!watching) return;
    markersAfterRepaint.emplace_back(w.Pixel(outside.x, outside.y) == kMarker,
                                     w.Pixel(inside.x, inside.y) == kMarker);
    if (markersAfterRepaint.size() == 2) w.EndModal(1);
  };
  EXPECT_EQ(dlg.DoModal(owner.hwnd()), 1);
  ASSERT_EQ(markersAfterRepaint.size(), 2u);
  // The first repaint redraws the two panels; the second finds nothing left
  // to do and leaves the rest of the window alone.
  EXPECT_EQ(markersAfterRepaint[0], std::make_pair(true, false));
  EXPECT_EQ(markersAfterRepaint[1], std::make_pair(true, false));
}

TEST_F(WindowTest, ADoubleClickClicksTwiceThroughItsTwoReleases) {
  CTreeTestDlg dlg;
  dlg.on_start = [](CTreeTestDlg& w) {
    const LPARAM onButton = MAKELPARAM(300, 320);
    for (UINT msg : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
      ::SendMessageW(w.hwnd(), msg, msg == WM_LBUTTONUP ? 0 : MK_LBUTTON, onButton);
    w.EndModal(1);
  };
  dlg.DoModal(owner.hwnd());
  EXPECT_EQ(dlg.commands, (std::vector<int>{kTestButtonId, kTestButtonId}));
}

TEST_F(WindowTest, TheMiddleButtonTogglesRedOutlinesAroundTheControls) {
  CTreeTestDlg dlg;
  std::vector<uint32_t> cornerOfPanel;
  std::vector<bool> flags;
  dlg.on_start = [&](CTreeTestDlg& w) {
    for (int i = 0; i < 3; ++i) {
      cornerOfPanel.push_back(w.Pixel(70, 139));  // top-left of panel 101
      flags.push_back(w.IsDebugOutline());
      if (i < 2) ::SendMessageW(w.hwnd(), WM_MBUTTONUP, 0, MAKELPARAM(5, 5));
    }
    w.EndModal(1);
  };
  dlg.DoModal(owner.hwnd());
  ASSERT_EQ(cornerOfPanel.size(), 3u);
  EXPECT_NE(cornerOfPanel[0], kOpaqueRed);
  EXPECT_EQ(cornerOfPanel[1], kOpaqueRed);
  EXPECT_NE(cornerOfPanel[2], kOpaqueRed);
  EXPECT_EQ(flags, (std::vector<bool>{false, true, false}));
}

HWND TooltipOf(HWND window) {
  struct Search {
    HWND owner;
    HWND found;
  } search{window, nullptr};
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND hwnd, LPARAM lParam) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        wchar_t name[64] = {};
        ::GetClassNameW(hwnd, name, 64);
        if (::GetWindow(hwnd, GW_OWNER) == s->owner && lstrcmpiW(name, L"tooltips_class32") == 0)
          s->found = hwnd;
        return s->found == nullptr;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring TooltipText(HWND tooltip, HWND window) {
  wchar_t text[80] = {};
  TOOLINFOW tool = {};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = window;
  tool.uId = reinterpret_cast<UINT_PTR>(window);
  tool.lpszText = text;
  ::SendMessageW(tooltip, TTM_GETTEXTW, 80, reinterpret_cast<LPARAM>(&tool));
  return text;
}

TEST_F(WindowTest, TheTooltipShowsTheTipOfTheControlUnderThePointer) {
  CTreeTestDlg dlg;
  std::vector<std::wstring> texts;
  HWND tooltip = nullptr;
  dlg.on_start = [&](CTreeTestDlg& w) {
    auto page = std::static_pointer_cast<CSWContainer>(w.GetView().FindControlById(100));
    auto other = Box("button", 1002, {400, 300, 450, 340});
    other->SetTip(L"other button");
    page->AddChild(other);
    tooltip = TooltipOf(w.hwnd());
    if (!tooltip) return w.EndModal(1);
    for (POINT p : {POINT{300, 320}, POINT{420, 320}, POINT{5, 390}}) {
      ::SendMessageW(w.hwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(p.x, p.y));
      texts.push_back(TooltipText(tooltip, w.hwnd()));
    }
    w.EndModal(1);
  };
  dlg.DoModal(owner.hwnd());
  ASSERT_TRUE(tooltip);
  // Over no control the tooltip is switched off and keeps its last text.
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"test button", L"other button", L"other button"}));
}

TEST(AnimationPlan, FrameCountsAndGeometryOfTheThreeModes) {
  const RECT rect{100, 50, 700, 450};  // 600 x 400
  auto zoom = PlanWindowAnimation(kAnimateZoomInShow, rect);
  ASSERT_EQ(zoom.size(), 12u);
  EXPECT_EQ(std::count_if(zoom.begin(), zoom.end(), [](auto& s) { return s.wait; }), 11);
  EXPECT_EQ(zoom[0].width, 50);
  EXPECT_EQ(zoom[0].height, 33);  // trunc(50 * 0.6667)
  EXPECT_EQ(zoom[0].x, 100 + 275);
  EXPECT_EQ(zoom[0].y, 50 + (400 - 33) / 2);
  EXPECT_EQ(zoom.back().width, 600);
  EXPECT_EQ(zoom.back().x, 100);
  EXPECT_FALSE(zoom.back().wait);

  auto shrink = PlanWindowAnimation(kAnimateShrinkFadeHide, rect);
  ASSERT_EQ(shrink.size(), 20u);
  EXPECT_EQ(std::count_if(shrink.begin(), shrink.end(), [](auto& s) { return s.present; }), 12);
  EXPECT_TRUE(std::all_of(shrink.begin(), shrink.end(), [](auto& s) { return s.wait; }));
  EXPECT_EQ(shrink[0].alpha, 245);
  EXPECT_EQ(shrink[1].width, 550);
  EXPECT_EQ(shrink[1].x, 125);

  auto fade = PlanWindowAnimation(kAnimateFadeHide, rect);
  ASSERT_EQ(fade.size(), 20u);
  EXPECT_EQ(fade[19].alpha, 55);
  EXPECT_EQ(fade[19].width, 600);
  EXPECT_TRUE(PlanWindowAnimation(7, rect).empty());
  EXPECT_TRUE(PlanWindowAnimation(kAnimateFadeHide, RECT{5, 5, 5, 5}).empty());
}

TEST_F(WindowTest, TheAnimationsPresentTheirFramesAndShowOrHideTheWindow) {
  CTreeTestDlg dlg;
  std::vector<int> frames;
  std::vector<bool> visible;
  dlg.on_start = [&](CTreeTestDlg& w) {
    for (int mode : {int{kAnimateShrinkFadeHide}, int{kAnimateZoomInShow}, int{kAnimateFadeHide}, 9}) {
      frames.push_back(w.PlayWindowAnimation(mode));
      visible.push_back(::IsWindowVisible(w.hwnd()) != FALSE);
    }
    w.EndModal(1);
  };
  dlg.DoModal(owner.hwnd());
  EXPECT_EQ(frames, (std::vector<int>{12, 12, 20, 0}));
  EXPECT_EQ(visible, (std::vector<bool>{false, true, false, false}));
}

TEST_F(WindowTest, AnswersAccessibilityForTheClientAreaOnly) {
  ::CoInitialize(nullptr);
  LRESULT windowAnswer = 0;
  IAccessible* first = nullptr;
  IAccessible* second = nullptr;
  {
  CTreeTestDlg dlg;
  dlg.on_start = [&](CTreeTestDlg& w) {
    windowAnswer = ::SendMessageW(w.hwnd(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_WINDOW));
    for (IAccessible** out : {&first, &second}) {
      LRESULT answer =
          ::SendMessageW(w.hwnd(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT));
      ASSERT_GT(answer, 0);
      ASSERT_EQ(::ObjectFromLresult(answer, IID_IAccessible, 0, reinterpret_cast<void**>(out)),
                S_OK);
    }
    w.EndModal(1);
  };
  dlg.DoModal(owner.hwnd());
  }
  EXPECT_EQ(static_cast<HRESULT>(windowAnswer), E_FAIL);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first, second);
  // The view went with the window object: clients are disconnected.
  long count = 0;
  EXPECT_EQ(first->get_accChildCount(&count), RPC_E_DISCONNECTED);
  first->Release();
  second->Release();
  ::CoUninitialize();
}

}  // namespace
