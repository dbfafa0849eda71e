// The control tree without a skinned window: layout geometry, loading, hit
// testing, the Tab order, notifications and the dirty list, and the input
// routing rules, with a plain native window as the host.

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <sstream>

#include "skin/dpi.h"
#include "skin/swindow.h"
#include "skin_environment.h"
#include "tree_test_support.h"

namespace {

const SkinTablesStartup& Startup() {
  skin::SetDisplayScaleForTest(100);
  static SkinTablesStartup startup;
  return startup;
}
const auto& g_startup = Startup();

bool operator==(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

void ExpectRect(const RECT& actual, LONG l, LONG t, LONG r, LONG b) {
  EXPECT_EQ(actual.left, l);
  EXPECT_EQ(actual.top, t);
  EXPECT_EQ(actual.right, r);
  EXPECT_EQ(actual.bottom, b);
}

TEST(LayoutGeometry, ScalesEachNumberOfThePositionOnItsOwn) {
  ExpectRect(ScaledPositionRect("480,8,26,22", 100), 480, 8, 506, 30);
  // 720 + 45 = 765, 12 + 28 = 40: the parent offset comes on top.
  ExpectRect(ScaledPositionRect("480,8,26,22", 150), 720, 12, 759, 45);
  ExpectRect(ScaledPositionRect("7,1", 100), 7, 1, 7, 1);
  ExpectRect(ScaledPositionRect("", 150), 0, 0, 0, 0);
  // -4.5 rounds away from zero; 1.5 rounds up.
  ExpectRect(ScaledPositionRect("-3,0,1,1", 150), -5, 0, -3, 2);
}

const char kLayout[] = R"(<?xml version="1.0" encoding="utf-8"?>
<window width="600" height="400" visible="false">
  <view id="1" pos="23,18,554,374">
    <div id="1000" pos="7,1,540,360">
      <!-- comments and unknown elements are skipped with what they hold -->
      <unknown id="5"><div id="77" pos="1,1,1,1"/></unknown>
      <div id="1100" pos="0,0,540,360">
        <div id="1101" pos="506,8,26,22" caption="~installpath" tip="x~installpath"
             accname="~nosuch"/>
        <div id="1102" caption="as written"/>
      </div>
    </div>
    <div id="2000" pos="10,10,100,100" visible="false">
      <div id="2001" pos="1,1,5,5"/>
      <div id="2002" pos="1,1,5,5" visible="false"/>
    </div>
  </view>
</window>)";

TEST(LayoutLoader, BuildsAbsoluteRectanglesAndResolvesStrings) {
  CSWindowHost window(500);
  ASSERT_TRUE(window.LoadLayoutText(kLayout));
  EXPECT_EQ(window.GetClientSize().cx, 600);
  EXPECT_EQ(window.GetClientSize().cy, 400);
  CSWView& view = window.GetView();
  ExpectRect(view.GetRect(), 23, 18, 577, 392);
  ExpectRect(view.FindControlById(1000)->GetRect(), 30, 19, 570, 379);
  auto button = view.FindControlById(1101);
  ASSERT_TRUE(button);
  ExpectRect(button->GetRect(), 536, 27, 562, 49);
  EXPECT_EQ(button->GetCaption(), L"安装目录");
  EXPECT_EQ(button->GetTip(), L"安装目录");
  EXPECT_EQ(button->GetAccName(), L"");
  EXPECT_EQ(view.GetControlText(1102), L"as written");
  EXPECT_FALSE(view.FindControlById(77));
  EXPECT_FALSE(view.FindControlById(5));
}

TEST(LayoutLoader, HiddenContainerHidesItsChildrenAndShowingShowsThemAll) {
  CSWindowHost window(500);
  ASSERT_TRUE(window.LoadLayoutText(kLayout));
  CSWView& view = window.GetView();
  EXPECT_FALSE(view.FindControlById(2001)->IsVisible());
  EXPECT_FALSE(view.FindControlById(2002)->IsVisible());
  view.ShowControl(2000, true);
  EXPECT_TRUE(view.FindControlById(2001)->IsVisible());
  EXPECT_TRUE(view.FindControlById(2002)->IsVisible());
  view.ShowControl(2000, false);
  EXPECT_FALSE(view.FindControlById(2001)->IsVisible());
}

TEST(LayoutLoader, RejectsLayoutsWithoutWindowContentOrView) {
  CSWindowHost window(500);
  EXPECT_FALSE(window.LoadLayoutText(""));
  EXPECT_FALSE(window.LoadLayoutText("<window width=\"10\""));
  EXPECT_FALSE(window.LoadLayoutText("<window/>"));
  EXPECT_FALSE(window.LoadLayoutText("<window><view/></window>"));  // no attributes
  EXPECT_FALSE(window.LoadLayoutText("<window width=\"10\"><div/></window>"));
  EXPECT_FALSE(window.LoadLayout(4242));
  EXPECT_TRUE(window.LoadLayout(500));
  EXPECT_TRUE(window.GetView().FindControlById(101));
}

// view (0,0)-(200,200): a button, a div with a text and an id-less button,
// and a hidden button.
struct HitTree {
  HitTree() {
    view.SetRect(0, 0, 200, 200);
    view.AddChild(a);
    view.AddChild(div);
    div->AddChild(b);
    div->AddChild(no_id);
    view.AddChild(hidden);
    hidden->SetVisible(false);
  }
  CSWView view;
  std::shared_ptr<CTestBox> a = Box("button", 1, {10, 10, 50, 50});
  std::shared_ptr<CSWContainer> div = Div(10, {0, 0, 200, 200});
  std::shared_ptr<CTestBox> b = Box("text", 2, {40, 40, 80, 80});
  std::shared_ptr<CTestBox> no_id = Box("button", 0, {100, 100, 150, 150});
  std::shared_ptr<CTestBox> hidden = Box("button", 4, {160, 160, 190, 190});
};

TEST(HitTest, FirstVisibleEnabledControlInListOrderWithEdgesExcluded) {
  HitTree t;
  EXPECT_EQ(t.view.HitTest({10, 10}), 1);
  EXPECT_EQ(t.view.HitTest({49, 49}), 1);
  EXPECT_EQ(t.view.HitTest({45, 45}), 1);  // a comes before the div
  EXPECT_EQ(t.view.HitTest({50, 50}), 2);  // right and bottom edges of a excluded
  EXPECT_EQ(t.view.HitTest({120, 120}), 0);  // id 0 is never hit
  EXPECT_EQ(t.view.HitTest({170, 170}), 0);  // hidden
  EXPECT_EQ(t.view.HitTestControl({60, 60}), t.b);

  t.a->SetEnabled(false);
  EXPECT_EQ(t.a->GetState(), 4);
  EXPECT_EQ(t.view.HitTest({45, 45}), 2);
  t.div->SetVisible(false);
  EXPECT_EQ(t.view.HitTest({60, 60}), 0);
}

// Tab stops: div 10 { a, b }, c, hidden div 20 { d }, e (no tab stop), f (disabled).
struct TabTree {
  TabTree() {
    view.SetRect(0, 0, 200, 200);
    view.AddChild(page);
    page->AddChild(a);
    page->AddChild(b);
    view.AddChild(c);
    view.AddChild(hidden_page);
    hidden_page->AddChild(d);
    hidden_page->SetVisible(false);
    view.AddChild(e);
    view.AddChild(f);
    f->SetEnabled(false);
  }
  CSWView view;
  std::shared_ptr<CSWContainer> page = Div(10, {0, 0, 200, 100});
  std::shared_ptr<CTestBox> a = Box("button", 1, {0, 0, 20, 20}, true);
  std::shared_ptr<CTestBox> b = Box("button", 2, {30, 0, 50, 20}, true);
  std::shared_ptr<CTestBox> c = Box("button", 3, {60, 0, 80, 20}, true);
  std::shared_ptr<CSWContainer> hidden_page = Div(20, {0, 100, 200, 200});
  std::shared_ptr<CTestBox> d = Box("button", 4, {0, 100, 20, 120}, true);
  std::shared_ptr<CTestBox> e = Box("button", 5, {90, 0, 110, 20}, false);
  std::shared_ptr<CTestBox> f = Box("button", 6, {120, 0, 140, 20}, true);
};

TEST(TabOrder, EachSearchStaysBehindTheStartInsideItsOwnContainer) {
  TabTree t;
  EXPECT_EQ(t.view.FindNextTabStop(0, true), t.a);
  EXPECT_EQ(t.view.FindNextTabStop(1, false), t.b);
  // Behind the last tab stop of a page the search ends: c, behind the page
  // in the view, is not the answer.
  EXPECT_FALSE(t.view.FindNextTabStop(2, false));
  EXPECT_EQ(t.view.FindNextTabStop(3, false), t.f);  // hidden d skipped, disabled f taken
  EXPECT_FALSE(t.view.FindNextTabStop(6, false));
  EXPECT_EQ(t.view.FindPrevTabStop(0, true), t.f);
  EXPECT_EQ(t.view.FindPrevTabStop(3, false), t.b);
  EXPECT_EQ(t.view.FindPrevTabStop(2, false), t.a);
  EXPECT_FALSE(t.view.FindPrevTabStop(1, false));
}

TEST(TabOrder, TabAndShiftTabWrapAtTheEndsOfAPage) {
  TabTree t;
  CTestHost host;
  host.Attach(t.view);
  const auto tab = [&] {
    host.Route(WM_KEYDOWN, VK_TAB);
    return std::static_pointer_cast<CTestBox>(t.view.GetFocusedControl());
  };
  // Tab on the last tab stop of the page goes to the first tab stop of the
  // whole view, again and again.
  std::vector<std::shared_ptr<CTestBox>> order;
  for (int i = 0; i < 5; ++i) order.push_back(tab());
  EXPECT_EQ(order, (std::vector<std::shared_ptr<CTestBox>>{t.a, t.b, t.a, t.b, t.a}));
  EXPECT_TRUE(t.a->IsFocused());
  EXPECT_FALSE(t.b->IsFocused());

  // Shift+Tab on the first tab stop of the page wraps to the last of the view.
  BYTE keys[256];
  ::GetKeyboardState(keys);
  keys[VK_SHIFT] = 0x80;
  ::SetKeyboardState(keys);
  EXPECT_EQ(tab(), t.f);
  EXPECT_EQ(tab(), t.c);
  keys[VK_SHIFT] = 0;
  ::SetKeyboardState(keys);
  EXPECT_TRUE(t.c->IsFocused());
  EXPECT_FALSE(t.f->IsFocused());
  // Outside the page Tab walks the view, and wraps behind its last stop.
  EXPECT_EQ(tab(), t.f);
  EXPECT_EQ(tab(), t.a);
  EXPECT_FALSE(t.f->IsFocused());
}

TEST(TabOrder, SpaceClicksTheFocusedControlUnlessItIsDisabledOrHidden) {
  TabTree t;
  CTestHost host;
  host.Attach(t.view);
  host.Route(WM_KEYDOWN, VK_TAB);
  host.Route(WM_KEYUP, VK_SPACE);
  host.Route(WM_KEYUP, 'A');
  EXPECT_EQ(host.commands, std::vector<int>{1});

  // Shift+Tab reaches the disabled f, but Space does not press it.
  BYTE keys[256];
  ::GetKeyboardState(keys);
  keys[VK_SHIFT] = 0x80;
  ::SetKeyboardState(keys);
  host.Route(WM_KEYDOWN, VK_TAB);
  keys[VK_SHIFT] = 0;
  ::SetKeyboardState(keys);
  ASSERT_EQ(t.view.GetFocusedControl(), t.f);
  host.Route(WM_KEYUP, VK_SPACE);
  EXPECT_EQ(host.commands, std::vector<int>{1});

  // A control hidden while focused loses the keyboard.
  host.Route(WM_KEYDOWN, VK_TAB);
  ASSERT_EQ(t.view.GetFocusedControl(), t.a);
  t.view.ShowControl(10, false);
  EXPECT_FALSE(t.a->IsFocused());
  EXPECT_FALSE(t.view.GetFocusedControl());
  host.Route(WM_KEYUP, VK_SPACE);
  EXPECT_EQ(host.commands, std::vector<int>{1});
  host.Route(WM_KEYDOWN, VK_TAB);
  EXPECT_EQ(t.view.GetFocusedControl(), t.c);
}

TEST(Notifications, InvalidationsFillTheDirtyListOnceTheViewIsCreated) {
  HitTree t;
  t.a->Invalidate();
  t.view.ShowControl(1, true);
  EXPECT_TRUE(t.view.GetDirtyList().empty());  // no host, not created

  CTestHost host;
  host.Attach(t.view);
  EXPECT_TRUE(t.a->IsCreated());
  EXPECT_TRUE(t.b->IsCreated());
  t.a->Invalidate();
  t.b->Invalidate();
  ASSERT_EQ(t.view.GetDirtyList().size(), 2u);
  EXPECT_TRUE(t.view.GetDirtyList()[0] == t.a->GetRect());
  EXPECT_TRUE(t.view.GetDirtyList()[1] == t.b->GetRect());
  EXPECT_EQ(host.TakeRepaints(), 2);  // one posted per invalidation
  t.view.ClearDirtyList();

  t.view.SetHoverPartner(2, 1);
  t.view.SetControlText(1, L"new");
  EXPECT_EQ(t.view.GetControlText(1), L"new");
  ASSERT_EQ(t.view.GetDirtyList().size(), 2u);  // the partner's rectangle too
  EXPECT_TRUE(t.view.GetDirtyList()[1] == t.b->GetRect());
  EXPECT_EQ(host.TakeRepaints(), 1);
  t.view.ClearDirtyList();

  t.view.EnableControl(99, false);
  t.view.ShowControl(99, false);
  EXPECT_TRUE(t.view.GetDirtyList().empty());
  EXPECT_TRUE(t.view.IsControlChecked(99));
  EXPECT_EQ(t.view.GetControlText(99), L"");
  EXPECT_EQ(host.TakeRepaints(), 0);
}

TEST(Routing, TheClickBelongsToTheControlUnderThePointerAtRelease) {
  HitTree t;
  auto other = Box("button", 7, {60, 10, 90, 30});
  t.view.AddChild(other);
  CTestHost host;
  host.Attach(t.view);

  host.Mouse(WM_LBUTTONDOWN, 20, 20);
  EXPECT_EQ(t.a->GetState(), 2);
  EXPECT_TRUE(host.system_commands.empty());
  host.Mouse(WM_LBUTTONUP, 70, 20);
  EXPECT_EQ(host.commands, std::vector<int>{7});
  EXPECT_EQ(other->GetState(), 1);
  EXPECT_EQ(std::count(t.a->messages.begin(), t.a->messages.end(), WM_LBUTTONUP), 0);
  EXPECT_GE(host.TakeRepaints(), 2);
}

TEST(Routing, APressOnANonInteractiveSpotDragsTheWindow) {
  HitTree t;
  CTestHost host;
  host.Attach(t.view);
  host.Mouse(WM_LBUTTONDOWN, 60, 60);    // text
  host.Mouse(WM_LBUTTONDOWN, 120, 120);  // a button without id
  host.Mouse(WM_LBUTTONDOWN, 195, 5);    // nothing
  EXPECT_EQ(host.system_commands, std::vector<WPARAM>(3, kSysCommandDragMove));
  EXPECT_EQ(std::count(t.b->messages.begin(), t.b->messages.end(), WM_LBUTTONDOWN), 0);
  // Released over the text, the text still clicks.
  host.Mouse(WM_LBUTTONUP, 60, 60);
  EXPECT_EQ(host.commands, std::vector<int>{2});
}

TEST(Routing, APressOnATabStopMovesTheFocusThere) {
  TabTree t;
  CTestHost host;
  host.Attach(t.view);
  host.Mouse(WM_LBUTTONDOWN, 35, 5);
  EXPECT_EQ(t.view.GetFocusedControl(), t.b);
  EXPECT_TRUE(t.b->IsFocused());
  host.Mouse(WM_LBUTTONDOWN, 5, 5);
  EXPECT_TRUE(t.a->IsFocused());
  EXPECT_FALSE(t.b->IsFocused());
  host.Mouse(WM_LBUTTONDOWN, 95, 5);  // e is no tab stop: the focus stays
  EXPECT_EQ(t.view.GetFocusedControl(), t.a);
}

TEST(Routing, HoverFollowsThePointerAndItsPartners) {
  HitTree t;
  CTestHost host;
  host.Attach(t.view);
  t.view.SetHoverPartner(2, 1);
  t.b->SetHoverPartner(t.a);  // partners pointing at each other

  host.Mouse(WM_MOUSEMOVE, 20, 20);
  EXPECT_EQ(t.view.GetHoveredControl(), t.a);
  EXPECT_EQ(t.a->GetState(), 1);
  EXPECT_EQ(t.b->GetState(), 1);
  EXPECT_EQ(host.TakeRepaints(), 1);
  host.Mouse(WM_MOUSEMOVE, 21, 21);
  EXPECT_EQ(host.TakeRepaints(), 0);  // nothing changed

  host.Mouse(WM_MOUSEMOVE, 195, 195);
  EXPECT_FALSE(t.view.GetHoveredControl());
  EXPECT_EQ(t.a->GetState(), 0);
  EXPECT_EQ(t.b->GetState(), 0);
  EXPECT_EQ(host.TakeRepaints(), 1);

  host.Mouse(WM_MOUSEMOVE, 60, 60);
  host.Route(WM_MOUSELEAVE);
  EXPECT_FALSE(t.view.GetHoveredControl());
  EXPECT_EQ(t.b->messages.back(), static_cast<UINT>(WM_MOUSELEAVE));
}

TEST(Routing, TheWheelRepaintsOnlyWhenTheControlAsks) {
  HitTree t;
  CTestHost host;
  host.Attach(t.view);
  EXPECT_EQ(host.Mouse(WM_MOUSEWHEEL, 20, 20), 1);
  EXPECT_TRUE(t.view.GetDirtyList().empty());
  EXPECT_EQ(host.TakeRepaints(), 0);
  t.a->wheel_result = 1;
  host.Mouse(WM_MOUSEWHEEL, 20, 20);
  ASSERT_EQ(t.view.GetDirtyList().size(), 1u);
  EXPECT_EQ(host.TakeRepaints(), 1);
}

TEST(Routing, ACapturedControlTakesTheMouseUntilRelease) {
  HitTree t;
  CTestHost host;
  host.Attach(t.view);
  SWNOTIFY capture{nullptr, 1, SWN_CAPTURE, {}};
  ::SendMessageW(host.hwnd(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&capture));
  ASSERT_EQ(t.view.GetCapturedControl(), t.a);
  host.Mouse(WM_MOUSEMOVE, 60, 60);
  EXPECT_EQ(t.a->messages.back(), static_cast<UINT>(WM_MOUSEMOVE));
  EXPECT_TRUE(t.b->messages.empty() || t.b->messages.back() == WM_CREATE);
  host.Mouse(WM_LBUTTONUP, 60, 60);
  EXPECT_FALSE(t.view.GetCapturedControl());
  EXPECT_EQ(host.commands, std::vector<int>{1});
}

TEST(Broadcast, TimersReachEveryControlAndDestructionReleasesEverything) {
  HitTree t;
  CTestHost host;
  host.Attach(t.view);
  host.Route(WM_TIMER, 5);
  host.Route(WM_MOVE);
  for (const auto& box : {t.a, t.b, t.no_id, t.hidden})
    EXPECT_EQ(box->messages, (std::vector<UINT>{WM_CREATE, WM_TIMER}));
  host.Mouse(WM_MOUSEMOVE, 60, 60);
  ASSERT_EQ(t.view.GetHoveredControl(), t.b);
  std::weak_ptr<CTestBox> b = t.b;
  t.b.reset();
  host.Route(WM_DESTROY);
  EXPECT_FALSE(t.view.GetHoveredControl());
  EXPECT_FALSE(t.view.IsCreated());
  EXPECT_TRUE(t.view.GetChildren().empty());
  EXPECT_TRUE(t.div->GetChildren().empty());
  EXPECT_TRUE(b.expired());
  EXPECT_EQ(t.a->messages.back(), static_cast<UINT>(WM_DESTROY));
}

TEST(Painting, DrawsOnlyWhatMeetsTheClipRegionAndOutlinesOnRequest) {
  HitTree t;
  Gdiplus::Bitmap bitmap(200, 200, PixelFormat32bppPARGB);
  Gdiplus::Graphics graphics(&bitmap);
  HRGN clip = ::CreateRectRgn(0, 0, 30, 30);
  t.view.Paint(graphics, clip, false);
  EXPECT_EQ(t.a->draws, 1);
  EXPECT_EQ(t.b->draws, 0);
  t.view.Paint(graphics, nullptr, true);
  EXPECT_EQ(t.b->draws, 1);
  EXPECT_EQ(t.hidden->draws, 0);
  ::DeleteObject(clip);
  Gdiplus::Color corner;
  bitmap.GetPixel(160, 0, &corner);  // outline of the view along its top edge
  EXPECT_EQ(corner.GetValue(), 0xFFFF0000u);
}

TEST(Painting, TheRedDotIsDrawnAtItsOffsetEvenOutsideTheClip) {
  auto box = std::make_shared<CTestBox>("button", 9, RECT{}, 0);
  boost::property_tree::ptree attributes;
  attributes.put("pos", "20,20,40,40");
  attributes.put("HasRedDot", "TRUE");
  attributes.put("RedDotSkin", "closebtn");
  attributes.put("RedDotPos", "30,2,8,8");
  box->LoadAttributes(attributes);
  ExpectRect(box->GetRedDotRect(), 30, 2, 38, 10);
  Gdiplus::Bitmap bitmap(100, 100, PixelFormat32bppPARGB);
  Gdiplus::Graphics graphics(&bitmap);
  HRGN clip = ::CreateRectRgn(90, 90, 100, 100);
  box->Paint(graphics, clip, false);
  ::DeleteObject(clip);
  EXPECT_EQ(box->draws, 0);
  int opaque = 0;
  int outside = 0;
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 100; ++x) {
      Gdiplus::Color c;
      bitmap.GetPixel(x, y, &c);
      if (!c.GetA()) continue;
      const bool inDot = x >= 50 && x < 58 && y >= 22 && y < 30;
      (inDot ? opaque : outside)++;
    }
  }
  EXPECT_GT(opaque, 0);
  EXPECT_EQ(outside, 0);
}

}  // namespace
