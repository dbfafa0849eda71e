// The basic controls in a real skinned window: what they draw into the back
// buffer and how they answer real mouse and keyboard input.

#include <gtest/gtest.h>

#include <windowsx.h>

#include <algorithm>

#include "skin/msgbox.h"
#include "skin/skin_tables.h"
#include "skin/swbutton.h"
#include "skin/swcontrols.h"
#include "skin/swimage.h"
#include "skin/swlist.h"
#include "skin/swprogressbar.h"
#include "skin/swskin.h"
#include "skin/swstyle.h"
#include "skin/swtext.h"
#include "ui_harness.h"

using namespace uitest;

namespace {

constexpr int kControlsLayout = 601;

class ControlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartSkinEnvironment(); }

  // Runs `scenario` in a shown window over the controls layout.
  static void InWindow(const TestWindow::Scenario& scenario) {
    TestWindow window(kControlsLayout, scenario);
    ASSERT_EQ(window.Run(), 1) << "the test window did not open";
  }
};

std::vector<uint32_t> SkinFrame(TestWindow& w, const char* skin, int frame, const RECT& r) {
  return Render(w.GetClientSize(), r, [&](Gdiplus::Graphics& g) {
    Gdiplus::Rect area = ControlRect(r);
    GetSkin(skin)->Draw(g, &area, frame, 1.0f);
  });
}

// WinEvents raised for one control (child id -id), in order.
std::vector<DWORD> g_events;
LONG g_eventChild = 0;
void CALLBACK RecordEvent(HWINEVENTHOOK, DWORD event, HWND, LONG object, LONG child, DWORD, DWORD) {
  if (object == OBJID_CLIENT && child == g_eventChild) g_events.push_back(event);
}

// Waits until the control shows `state` and the posted repaints are done.
void WaitForState(const std::shared_ptr<CSWControl>& control, int state) {
  PumpUntil([&] { return control->GetState() == state; });
  Pump(80);
}

}  // namespace

TEST_F(ControlsTest, ButtonShowsTheFrameOfEachState) {
  InWindow([](TestWindow& w) {
    auto button = w.Find<CSWButton>(101);
    ASSERT_TRUE(button);
    const RECT r = button->GetRect();
    std::vector<std::vector<uint32_t>> frames;
    for (int frame = 0; frame < 4; ++frame) frames.push_back(SkinFrame(w, "btn_blue", frame, r));
    for (int a = 0; a < 4; ++a)
      for (int b = a + 1; b < 4; ++b) ASSERT_NE(CountDifferent(frames[a], frames[b]), 0u);

    EXPECT_EQ(CountDifferent(w.Pixels(r), frames[0]), 0u) << "normal";
    const POINT centre = Centre(r);
    ASSERT_TRUE(MoveTo(w.hwnd(), centre.x, centre.y));
    WaitForState(button, kStateHover);
    EXPECT_EQ(CountDifferent(w.Pixels(r), frames[1]), 0u) << "hover";
    ASSERT_TRUE(Xdo("mousedown 1"));
    WaitForState(button, kStatePressed);
    EXPECT_EQ(CountDifferent(w.Pixels(r), frames[2]), 0u) << "pressed";
    Screenshot("button_pressed");
    ASSERT_TRUE(Xdo("mouseup 1"));
    PumpUntil([&] { return w.CountCommands(101) == 1; });
    EXPECT_EQ(w.CountCommands(101), 1);

    ASSERT_TRUE(MoveAway(w.hwnd()));
    WaitForState(button, kStateNormal);
    w.EnableControl(101, false);
    Pump(80);
    EXPECT_EQ(CountDifferent(w.Pixels(r), frames[3]), 0u) << "disabled";

    // Without a skin nothing is drawn, not even the caption.
    const auto bare = w.Pixels(w.Find<CSWButton>(102)->GetRect());
    EXPECT_EQ(CountDifferent(bare, std::vector<uint32_t>(bare.size(), 0)), 0u);
  });
}

TEST_F(ControlsTest, CheckBoxTogglesOnceByClickAndBySpace) {
  InWindow([](TestWindow& w) {
    auto box = w.Find<CSWCheckBox>(201);
    ASSERT_TRUE(box);
    const RECT r = box->GetRect();
    CSWStyle* style = GetStyle("normaltext");
    // Box at its natural 14 x 14 size, centred vertically; caption 7 pixels right of it.
    auto expected = [&](int frame, int captionLeft, int captionState) {
      return Render(w.GetClientSize(), r, [&](Gdiplus::Graphics& g) {
        Gdiplus::Rect boxRect(r.left, r.top + (r.bottom - r.top - 14) / 2, 0, 0);
        GetSkin("checkbox")->Draw(g, &boxRect, frame, 1.0f);
        style->DrawStyledText(g, Gdiplus::Rect(captionLeft, r.top, r.right - captionLeft, r.bottom - r.top),
                              L"Check", captionState);
      });
    };
    const int captionLeft = r.left + 14 + 7;
    EXPECT_EQ(CountDifferent(w.Pixels(r), expected(2, captionLeft, kStateNormal)), 0u)
        << "checked, normal";
    EXPECT_NE(CountDifferent(w.Pixels(r), expected(2, captionLeft - 1, kStateNormal)), 0u);

    const POINT centre{r.left + 7, (r.top + r.bottom) / 2};
    ASSERT_TRUE(MoveTo(w.hwnd(), centre.x, centre.y));
    WaitForState(box, kStateHover);
    EXPECT_EQ(CountDifferent(w.Pixels(r), expected(3, captionLeft, kStateHover)), 0u)
        << "checked, hover";

    g_eventChild = -201;
    g_events.clear();
    HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_VALUECHANGE, nullptr,
                                           &RecordEvent, ::GetCurrentProcessId(), 0,
                                           WINEVENT_OUTOFCONTEXT);
    ASSERT_TRUE(Xdo("click 1"));
    PumpUntil([&] { return !w.commands.empty(); });
    Pump(80);
    // The press focuses the tab stop (value, name, focus), the release toggles.
    EXPECT_EQ(g_events, (std::vector<DWORD>{EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_NAMECHANGE,
                                            EVENT_OBJECT_FOCUS, EVENT_OBJECT_STATECHANGE,
                                            EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_NAMECHANGE,
                                            EVENT_OBJECT_FOCUS}));
    g_events.clear();
    ASSERT_EQ(w.CountCommands(201), 1);
    EXPECT_FALSE(w.checkAtCommand[0]) << "the command reports the new value";
    EXPECT_EQ(CountDifferent(w.Pixels(r), expected(1, captionLeft, kStateHover)), 0u)
        << "unchecked, hover";
    EXPECT_TRUE(box->IsFocused()) << "a tab-stop checkbox takes the focus when pressed";

    ASSERT_TRUE(Xdo("key space"));
    PumpUntil([&] { return w.commands.size() == 2; });
    Pump(150);
    EXPECT_EQ(w.CountCommands(201), 2) << "Space toggles with exactly one command";
    EXPECT_TRUE(box->GetCheck());
    EXPECT_EQ(g_events, (std::vector<DWORD>{EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_STATECHANGE,
                                            EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_NAMECHANGE,
                                            EVENT_OBJECT_FOCUS}));
    ::UnhookWinEvent(hook);

    ASSERT_TRUE(MoveAway(w.hwnd()));
    WaitForState(box, kStateNormal);
    EXPECT_EQ(CountDifferent(w.Pixels(r), expected(2, captionLeft, kStateNormal)), 0u);
    EXPECT_EQ(w.CountCommands(201), 2);
  });
}

TEST_F(ControlsTest, ProgressBarWidthFollowsThePosition) {
  InWindow([](TestWindow& w) {
    auto withText = w.Find<CSWProgressBar>(301);
    auto withoutText = w.Find<CSWProgressBar>(302);
    ASSERT_TRUE(withText && withoutText);
    EXPECT_TRUE(withText->GetShowPercent()) << "ShowPercent defaults to true";
    EXPECT_FALSE(withoutText->GetShowPercent());
    auto expected = [&](const RECT& r, int barWidth, const wchar_t* text) {
      return Render(w.GetClientSize(), r, [&](Gdiplus::Graphics& g) {
        Gdiplus::Rect area = ControlRect(r);
        GetSkin("progressbg")->Draw(g, &area, 0, 1.0f);
        Gdiplus::Rect bar = ControlRect(r);
        bar.Width = barWidth;
        if (barWidth) GetSkin("progressbar")->Draw(g, &bar, 0, 1.0f);
        if (text) GetStyle("smallnormaltext")->DrawStyledText(g, ControlRect(r), text, kStateNormal);
      });
    };
    const RECT plain = withoutText->GetRect();
    // 37 % of 200 pixels.
    EXPECT_EQ(CountDifferent(w.Pixels(plain), expected(plain, 74, nullptr)), 0u);
    EXPECT_NE(CountDifferent(w.Pixels(plain), expected(plain, 73, nullptr)), 0u);
    EXPECT_NE(CountDifferent(w.Pixels(plain), expected(plain, 75, nullptr)), 0u);
    const RECT percent = withText->GetRect();
    EXPECT_EQ(CountDifferent(w.Pixels(percent), expected(percent, 74, L"37%")), 0u);
    EXPECT_NE(CountDifferent(w.Pixels(percent), expected(percent, 74, nullptr)), 0u);

    w.SetControlAttribute(302, "progresspos", "0");
    Pump(80);
    EXPECT_EQ(CountDifferent(w.Pixels(plain), expected(plain, 0, nullptr)), 0u)
        << "position 0 shows only the background";
    w.SetControlAttribute(302, "progresspos", "250");
    Pump(80);
    EXPECT_EQ(CountDifferent(w.Pixels(plain), expected(plain, 200, nullptr)), 0u)
        << "a position above 100 fills the bar and no more";
  });
  EXPECT_EQ(ProgressBarWidth(499, 37), 184);
  EXPECT_EQ(ProgressBarWidth(499, -5), 0);
}

TEST_F(ControlsTest, ImageKeepsItsNaturalSizeAndRedDotIsDrawn) {
  InWindow([](TestWindow& w) {
    const RECT r = w.Find<CSWImage>(401)->GetRect();  // 80 x 80 for a 50 x 50 picture
    int inside = 0, outside = 0;
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) {
        const bool natural = x < r.left + 50 && y < r.top + 50;
        (natural ? inside : outside) += w.Pixel(x, y) != 0;
      }
    }
    EXPECT_GT(inside, 50 * 50 / 2);
    EXPECT_EQ(outside, 0);

    // The dot of a control without content, at 30,2 with size 8 x 8.
    const RECT text = w.Find<CSWControl>(501)->GetRect();
    const RECT dot{text.left + 30, text.top + 2, text.left + 38, text.top + 10};
    const auto dotPixels = w.Pixels(dot);
    EXPECT_EQ(CountDifferent(dotPixels, std::vector<uint32_t>(dotPixels.size(), 0xFFFF0000)), 0u);
    EXPECT_EQ(w.Pixel(dot.right, dot.top), 0u);
    EXPECT_EQ(w.Pixel(dot.left - 1, dot.top), 0u);
  });
}

TEST_F(ControlsTest, GifAdvancesAtItsFrameDelaysAndStopsWhenHidden) {
  InWindow([](TestWindow& w) {
    auto gif = w.Find<CSWGifImage>(601);
    auto still = w.Find<CSWGifImage>(602);
    ASSERT_TRUE(gif && still);
    ASSERT_EQ(GetSkin("testgif")->GetFrameCount(), 3u);
    EXPECT_TRUE(gif->IsAnimating());
    EXPECT_FALSE(still->IsAnimating()) << "a single-frame GIF sets no timer";
    EXPECT_EQ(gif->GetTimerId(), 601u + CSWGifImage::kTimerIdOffset);

    // Advances (SWN_INVALIDATE of the GIF) and the frame each one selected.
    std::vector<DWORD> times;
    std::vector<int> frames;
    w.ShowControl(600, true);  // restarts at frame 0 now
    const size_t start = w.notifications.size();
    auto collect = [&] {
      times.clear();
      for (size_t i = start; i < w.notifications.size(); ++i)
        if (w.notifications[i].id == 601 && w.notifications[i].code == SWN_INVALIDATE)
          times.push_back(w.notifyTimes[i]);
      return times.size();
    };
    PumpUntil([&] {
      if (collect() > frames.size()) frames.push_back(GetSkin("testgif")->GetCurrentFrame());
      return frames.size() >= 6;
    }, 4000);
    ASSERT_GE(frames.size(), 6u);
    EXPECT_EQ(frames, (std::vector<int>{1, 2, 0, 1, 2, 0}));
    // Delays of 0, 5 and 20 hundredths: 100, 100 and 200 ms. Timers may come
    // late on a busy machine, never early.
    DWORD shortest = ~0u;
    for (size_t i = 1; i < 6; ++i) {
      const DWORD interval = times[i] - times[i - 1];
      if (frames[i] == 0) {
        EXPECT_GE(interval, 180u) << "frame 2 shows for 200 ms";
      } else {
        EXPECT_GE(interval, 80u) << "frames 0 and 1 show for 100 ms";
        shortest = std::min(shortest, interval);
      }
    }
    EXPECT_LT(shortest, 160u) << "frames 0 and 1 do not wait 200 ms";
    EXPECT_EQ(w.CountNotifications(602, SWN_INVALIDATE), 0);

    // The picture follows the frame: red, green, blue.
    PumpUntil([&] { return GetSkin("testgif")->GetCurrentFrame() == 1; });
    Pump(30);
    const POINT centre = Centre(gif->GetRect());
    EXPECT_EQ(w.Pixel(centre.x, centre.y), 0xFF00FF00u);

    // Hiding the page on frame 2 stops the timer and rewinds; showing
    // restarts at frame 0, shown for frame 2's 200 ms, the delay last computed.
    PumpUntil([&] { return GetSkin("testgif")->GetCurrentFrame() == 2; });
    w.ShowControl(600, false);
    EXPECT_FALSE(gif->IsAnimating());
    EXPECT_EQ(GetSkin("testgif")->GetCurrentFrame(), 0);
    const int before = w.CountNotifications(601, SWN_INVALIDATE);
    Pump(450);
    EXPECT_EQ(w.CountNotifications(601, SWN_INVALIDATE), before);
    w.ShowControl(600, true);
    EXPECT_TRUE(gif->IsAnimating());
    EXPECT_EQ(GetSkin("testgif")->GetCurrentFrame(), 0);
    EXPECT_EQ(GetSkin("testgif")->GetFrameDelay(), 200);
    PumpUntil([&] { return w.CountNotifications(601, SWN_INVALIDATE) > before; });
    EXPECT_EQ(GetSkin("testgif")->GetCurrentFrame(), 1);
    EXPECT_EQ(GetSkin("testgif")->GetFrameDelay(), 100) << "frame 1 has its own delay again";
  });
}

namespace {

// Ten items of 25 pixels, each painted in a colour of its own.
class TestAdapter : public ISWListAdapter {
 public:
  struct MouseCall {
    UINT msg;
    int index, x, y;
  };
  int GetCount() override { return 10; }
  void DrawItem(Gdiplus::Graphics& g, CSWStyle*, int index, const RECT& r, bool hovered,
                bool pressed) override {
    Gdiplus::SolidBrush brush(Gdiplus::Color(255, 10 * index, hovered ? 200 : 0, pressed ? 200 : 0));
    g.FillRectangle(&brush, ControlRect(r));
  }
  bool OnItemMouse(UINT msg, int index, int x, int y) override {
    calls.push_back({msg, index, x, y});
    return true;
  }
  int GetTotalHeight() override { return 250; }
  int GetItemHeight(int) override { return 25; }
  std::vector<MouseCall> calls;
};

}  // namespace

TEST_F(ControlsTest, ListScrollsByDragPageAndWheelAndHitsItems) {
  InWindow([](TestWindow& w) {
    auto list = w.Find<CSWList>(701);
    ASSERT_TRUE(list);
    auto adapter = std::make_shared<TestAdapter>();
    list->SetAdapter(adapter);
    Pump(50);
    CSWScrollbar& bar = list->GetScrollbar();
    const RECT r = list->GetRect();  // 200 x 100 at (10, 190)
    ASSERT_TRUE(bar.IsVisible()) << "250 pixels of content in a page of 100";
    EXPECT_EQ(bar.GetMaxPosition(), 150);
    EXPECT_EQ(bar.GetWheelStep(), 25);
    RECT thumb = bar.GetThumbRect();
    EXPECT_EQ(thumb.top, r.top);
    EXPECT_EQ(thumb.bottom - thumb.top, 40) << "the page is 40 % of the content";
    EXPECT_EQ(bar.GetRect().left, r.right - 8) << "the track skin's width at the right edge";

    // Item hit testing: y 30 is inside item 1; y 25 is the boundary of items 0 and 1.
    ASSERT_TRUE(MoveTo(w.hwnd(), r.left + 40, r.top + 30));
    PumpUntil([&] { return list->GetHoveredItem() == 1; });
    ASSERT_FALSE(adapter->calls.empty());
    EXPECT_EQ(adapter->calls.back().index, 1);
    EXPECT_EQ(adapter->calls.back().x, 40);
    EXPECT_EQ(adapter->calls.back().y, 5);
    const size_t callsBefore = adapter->calls.size();
    ASSERT_TRUE(MoveTo(w.hwnd(), r.left + 40, r.top + 25));
    EXPECT_EQ(adapter->calls.size(), callsBefore) << "a boundary hits no item";
    EXPECT_EQ(list->GetHoveredItem(), 1);
    Pump(50);
    EXPECT_EQ(w.Pixel(r.left + 5, r.top + 30), 0xFF0AC800u) << "item 1 drawn hovered";

    // Wheel down and up by the average item height.
    ASSERT_TRUE(MoveTo(w.hwnd(), r.left + 40, r.top + 60));
    ASSERT_TRUE(Xdo("click 5"));
    PumpUntil([&] { return bar.GetPosition() == 25; });
    EXPECT_EQ(bar.GetPosition(), 25);
    Pump(60);
    EXPECT_EQ(w.Pixel(r.left + 5, r.top + 2) & 0xFFFF0000u, 0xFF0A0000u) << "item 1 at the top";
    ASSERT_TRUE(Xdo("click 4"));
    PumpUntil([&] { return bar.GetPosition() == 0; });
    EXPECT_EQ(bar.GetPosition(), 0);

    // A press on the track below the thumb pages down by one page.
    thumb = bar.GetThumbRect();
    ASSERT_TRUE(ClickAt(w.hwnd(), Centre(thumb).x, thumb.bottom + 10));
    EXPECT_EQ(bar.GetPosition(), 100);
    thumb = bar.GetThumbRect();
    EXPECT_EQ(thumb.top, r.top + 40);
    // And above it pages up.
    ASSERT_TRUE(ClickAt(w.hwnd(), Centre(thumb).x, thumb.top - 5));
    EXPECT_EQ(bar.GetPosition(), 0);

    // Dragging the thumb 20 pixels moves the content by 20 / 40 % = 50 pixels,
    // also when the pointer leaves the list while the button is held.
    thumb = bar.GetThumbRect();
    ASSERT_TRUE(MoveTo(w.hwnd(), Centre(thumb).x, thumb.top + 5));
    ASSERT_TRUE(Xdo("mousedown 1"));
    PumpUntil([&] { return bar.IsDragging(); });
    ASSERT_TRUE(bar.IsDragging());
    EXPECT_EQ(w.GetView().GetCapturedControl(), list);
    ASSERT_TRUE(MoveTo(w.hwnd(), Centre(thumb).x, thumb.top + 25));
    PumpUntil([&] { return bar.GetPosition() > 0; });
    EXPECT_GE(bar.GetPosition(), 40);
    EXPECT_LE(bar.GetPosition(), 50);
    ASSERT_TRUE(MoveTo(w.hwnd(), r.right + 100, r.bottom + 15));
    PumpUntil([&] { return bar.GetPosition() == 150; });
    EXPECT_EQ(bar.GetPosition(), 150) << "the drag holds on outside the list";
    ASSERT_TRUE(Xdo("mouseup 1"));
    PumpUntil([&] { return !bar.IsDragging(); });
    EXPECT_FALSE(bar.IsDragging());
    EXPECT_FALSE(w.GetView().GetCapturedControl());
    Screenshot("list_scrolled");
  });
}

TEST_F(ControlsTest, StandaloneScrollbarCapturesItselfWhileDragged) {
  InWindow([](TestWindow& w) {
    auto bar = w.Find<CSWScrollbar>(901);
    ASSERT_TRUE(bar);
    EXPECT_EQ(w.Pixel(0, 0), 0u) << "no thumb before the first layout";
    const RECT r = bar->GetRect();
    bar->SetTrackRect(r);
    bar->SetPageSize(100);
    bar->SetContentSize(400);
    bar->Layout();
    ASSERT_TRUE(bar->IsVisible());
    Pump(50);
    // Pressed on the drawn part of the thumb: transparent pixels of a layered
    // window let the pointer through.
    const RECT thumb = bar->GetThumbRect();
    const POINT press{Centre(thumb).x, thumb.top + 3};
    ASSERT_TRUE(MoveTo(w.hwnd(), press.x, press.y));
    ASSERT_TRUE(Xdo("mousedown 1"));
    PumpUntil([&] { return bar->IsDragging(); });
    EXPECT_EQ(w.GetView().GetCapturedControl(), bar) << "not some control without an id";
    ASSERT_TRUE(MoveTo(w.hwnd(), press.x, press.y + 10));
    PumpUntil([&] { return bar->GetPosition() > 0; });
    EXPECT_EQ(bar->GetPosition(), 40) << "10 track pixels are 40 content pixels";
    ASSERT_TRUE(Xdo("mouseup 1"));
    PumpUntil([&] { return !bar->IsDragging(); });
    EXPECT_FALSE(w.GetView().GetCapturedControl());
  });
}

// The most opaque client point inside `r`, judged with the point below it:
// transparent pixels of a layered window let the pointer through to what
// lies below.
POINT OpaqueSpot(TestWindow& w, const RECT& r) {
  const std::vector<uint32_t> pixels = w.Pixels(r);
  const size_t width = static_cast<size_t>(r.right - r.left);
  size_t best = 0;
  uint32_t bestAlpha = 0;
  for (size_t i = 0; i + width < pixels.size(); ++i) {
    const uint32_t alpha = std::min(pixels[i] >> 24, pixels[i + width] >> 24);
    if (alpha > bestAlpha) {
      best = i;
      bestAlpha = alpha;
    }
  }
  EXPECT_GE(bestAlpha, 0x80u) << "nothing opaque drawn at " << r.left << "," << r.top;
  return POINT{r.left + static_cast<int>(best % width), r.top + static_cast<int>(best / width)};
}

// The wheel arrives in screen coordinates; the host turns them into client
// coordinates, so the control under the pointer scrolls. The cursor is the
// hand over buttons and links and the arrow over everything else.
TEST_F(ControlsTest, WheelAndCursorFollowThePointerInClientCoordinates) {
  InWindow([](TestWindow& w) {
    POINT origin{0, 0};
    ::ClientToScreen(w.hwnd(), &origin);
    ASSERT_TRUE(origin.x > 50 && origin.y > 50) << "screen and client coordinates must differ";

    auto bar = w.Find<CSWScrollbar>(901);
    ASSERT_TRUE(bar);
    bar->SetTrackRect(bar->GetRect());
    bar->SetPageSize(100);
    bar->SetContentSize(400);
    bar->SetWheelStep(30);
    bar->Layout();
    Pump(50);
    const POINT onThumb = OpaqueSpot(w, bar->GetThumbRect());
    ASSERT_TRUE(MoveTo(w.hwnd(), onThumb.x, onThumb.y));
    ASSERT_TRUE(Xdo("click 5"));
    PumpUntil([&] { return bar->GetPosition() != 0; });
    EXPECT_EQ(bar->GetPosition(), 30) << "wheel down scrolls by the wheel step";
    ASSERT_TRUE(Xdo("click 4"));
    PumpUntil([&] { return bar->GetPosition() != 30; });
    EXPECT_EQ(bar->GetPosition(), 0);

    const HCURSOR hand = ::LoadCursorW(nullptr, IDC_HAND);
    const HCURSOR arrow = ::LoadCursorW(nullptr, IDC_ARROW);
    const auto cursorOver = [&](int id) {
      const POINT spot = OpaqueSpot(w, w.GetView().FindControlById(id)->GetRect());
      if (!MoveTo(w.hwnd(), spot.x, spot.y)) return HCURSOR{};
      PumpUntil([&] { return w.GetView().GetHoveredControl() == w.GetView().FindControlById(id); });
      // The next move inside the control sets the cursor for the hovered control.
      MoveTo(w.hwnd(), spot.x, spot.y + 1);
      return ::GetCursor();
    };
    EXPECT_EQ(cursorOver(101), hand) << "button";
    EXPECT_EQ(cursorOver(502), hand) << "link";
    EXPECT_EQ(cursorOver(401), arrow) << "image";
    EXPECT_EQ(cursorOver(301), arrow) << "progress bar";
  });
}

TEST(ScrollbarLayout, ContentThatFitsThePageHidesTheScrollbar) {
  CSWScrollbar bar;
  bar.SetRect(0, 0, 8, 100);
  bar.SetTrackRect(RECT{0, 0, 100, 100});
  bar.SetPageSize(100);
  bar.SetContentSize(100);
  bar.Layout();
  EXPECT_FALSE(bar.IsVisible());
  bar.SetContentSize(1000);
  bar.SetPosition(5000);
  bar.Layout();
  EXPECT_TRUE(bar.IsVisible());
  EXPECT_EQ(bar.GetPosition(), 900) << "clamped to content - page";
  EXPECT_EQ(bar.GetThumbRect().bottom - bar.GetThumbRect().top, 10);
  EXPECT_EQ(bar.GetThumbRect().top, 90);
  bar.ScrollByUnits(50);
  EXPECT_EQ(bar.GetPosition(), 900) << "no scrolling beyond the end";
  bar.ScrollByPixels(-1);
  EXPECT_EQ(bar.GetPosition(), 890) << "one track pixel is ten content pixels";
}

TEST(ListWithoutAdapter, DrawsNothingAndIgnoresThePointer) {
  CSWList list;
  list.SetRect(0, 0, 100, 100);
  LRESULT result = 0;
  EXPECT_TRUE(Dispatch(list, nullptr, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10), result));
  EXPECT_EQ(list.GetHoveredItem(), -1);
  EXPECT_EQ(list.ItemAt(10), -1);
}

TEST(ControlRoles, EachControlAnswersItsRole) {
  const std::pair<const char*, long> roles[] = {
      {"text", ROLE_SYSTEM_STATICTEXT},    {"link", ROLE_SYSTEM_LINK},
      {"button", ROLE_SYSTEM_PUSHBUTTON},  {"checkbox", ROLE_SYSTEM_CHECKBUTTON},
      {"edit", ROLE_SYSTEM_TEXT},          {"richedit", ROLE_SYSTEM_TEXT},
  };
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  for (const auto& [name, role] : roles) {
    auto control = CreateLeafControl(name);
    ASSERT_TRUE(control) << name;
    EXPECT_TRUE(control->IsType(name));
    VARIANT answer;
    ::VariantInit(&answer);
    ASSERT_EQ(control->get_accRole(self, &answer), S_OK) << name;
    EXPECT_EQ(answer.vt, VT_I4);
    EXPECT_EQ(answer.lVal, role) << name;
  }
  EXPECT_EQ(CreateLeafControl("edit")->get_accRole(self, nullptr), E_INVALIDARG);
  for (const char* none : {"img", "gif", "progressbar", "list"}) {
    VARIANT answer;
    ::VariantInit(&answer);
    EXPECT_EQ(CreateLeafControl(none)->get_accRole(self, &answer), E_NOTIMPL) << none;
  }
  VARIANT answer;
  answer.vt = VT_I4;
  EXPECT_EQ(CreateLeafControl("scrollbar")->get_accRole(self, &answer), S_OK);
  EXPECT_EQ(answer.vt, VT_EMPTY);
  EXPECT_FALSE(CreateLeafControl("view"));
  EXPECT_FALSE(CreateLeafControl("div"));

  CSWCheckBox box;
  BSTR action = nullptr;
  ASSERT_EQ(box.get_accDefaultAction(self, &action), S_OK);
  EXPECT_STREQ(action, L"取消选定");
  ::SysFreeString(action);
  box.SetCheck(true);
  ASSERT_EQ(box.get_accDefaultAction(self, &action), S_OK);
  EXPECT_STREQ(action, L"选定");
  ::SysFreeString(action);
  EXPECT_FALSE(CSWLink().WantsHandCursor() == CSWText().WantsHandCursor());
}

TEST_F(ControlsTest, MessageBoxWithoutItsLayoutAnswersZero) {
  // This program carries no layout 501.
  EXPECT_EQ(ShowMsgBox(nullptr, MB_YESNO, L"title", L"message"), 0);
}

TEST(CheckBoxKeys, OnlySpaceTogglesAndNotWhileDisabled) {
  CSWCheckBox box;
  LRESULT result = 0;
  EXPECT_TRUE(Dispatch(box, nullptr, WM_KEYUP, VK_RETURN, 0, result));
  EXPECT_FALSE(box.GetCheck());
  EXPECT_TRUE(Dispatch(box, nullptr, WM_KEYUP, VK_SPACE, 0, result));
  EXPECT_TRUE(box.GetCheck());
  box.SetEnabled(false);
  EXPECT_TRUE(Dispatch(box, nullptr, WM_KEYUP, VK_SPACE, 0, result));
  EXPECT_TRUE(box.GetCheck()) << "a disabled checkbox keeps its value";
}
