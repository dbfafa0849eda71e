// The edit controls: native edit windows in popups over the skinned window,
// typed into with real keys.

#include <gtest/gtest.h>

#include "skin/skin_tables.h"
#include "skin/swedit.h"
#include "skin/swskin.h"
#include "skin/swtext.h"
#include "ui_harness.h"

using namespace uitest;

namespace {

constexpr int kEditLayout = 602;

class EditTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartSkinEnvironment(); }
  static void InWindow(const TestWindow::Scenario& scenario) {
    TestWindow window(kEditLayout, scenario);
    ASSERT_EQ(window.Run(), 1) << "the test window did not open";
  }
};

RECT WindowRectOf(HWND hwnd) {
  RECT r{};
  ::GetWindowRect(hwnd, &r);
  return r;
}

// Clicks into the middle of an edit's native control. Wine leaves a window
// shown after its owned popups above them, so the popup is raised first.
bool ClickInto(TestWindow& w, const CSWEditBase& edit) {
  ::SetWindowPos(edit.GetPopupWindow(), HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  POINT centre = Centre(edit.NativeScreenRect());
  ::ScreenToClient(w.hwnd(), &centre);
  return ClickAt(w.hwnd(), centre.x, centre.y);
}

}  // namespace

TEST_F(EditTest, TypedTextIsReadBackAndEnterIsReportedOnce) {
  InWindow([](TestWindow& w) {
    auto edit = w.Find<CSWEdit>(801);
    ASSERT_TRUE(edit);
    ASSERT_TRUE(::IsWindow(edit->GetNativeWindow()));
    EXPECT_EQ(edit->GetCaption(), L"start");
    ASSERT_TRUE(ClickInto(w, *edit));
    PumpUntil([&] { return edit->IsNativeFocused(); });
    ASSERT_TRUE(edit->IsNativeFocused());
    EXPECT_GE(w.CountNotifications(801, SWN_SETFOCUS), 1);
    EXPECT_EQ(w.GetView().GetFocusedControl(), edit) << "the view follows the native focus";

    ASSERT_TRUE(Xdo("key End"));
    ASSERT_TRUE(Xdo("type --delay 30 abc"));
    PumpUntil([&] { return edit->GetCaption() == L"startabc"; });
    EXPECT_EQ(edit->GetCaption(), L"startabc");
    EXPECT_EQ(w.GetControlText(801), L"startabc");

    auto enterCount = [&] {
      int n = 0;
      for (const auto& note : w.notifications)
        n += note.id == 801 && note.code == SWN_KEYDOWN && note.key == VK_RETURN;
      return n;
    };
    // Return typed on the X display makes Wine's input method end the
    // process shortly after; the system's own keyboard input path is used.
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_RETURN;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(::SendInput(2, keys, sizeof(INPUT)), 2u);
    PumpUntil([&] { return enterCount() > 0; });
    Pump(100);
    EXPECT_EQ(enterCount(), 1);
    EXPECT_EQ(edit->GetCaption(), L"startabc") << "a single-line edit keeps its text";
    Screenshot("edit_typed");

    w.SetControlText(801, L"C:\\Program Files\\Orvanta");
    EXPECT_EQ(edit->GetCaption(), L"C:\\Program Files\\Orvanta");
  });
}

TEST_F(EditTest, PopupFollowsTheWindowAndItsPage) {
  InWindow([](TestWindow& w) {
    auto edit = w.Find<CSWEdit>(801);
    auto paged = w.Find<CSWEdit>(803);
    ASSERT_TRUE(edit && paged);
    HWND popup = edit->GetPopupWindow();
    ASSERT_TRUE(::IsWindowVisible(popup));
    EXPECT_EQ(::GetWindow(popup, GW_OWNER), w.hwnd());
    // The control rectangle inset by 5, 4, 5 and 2 pixels, on the screen.
    const RECT control = edit->GetRect();
    POINT origin{0, 0};
    ::ClientToScreen(w.hwnd(), &origin);
    RECT before = WindowRectOf(popup);
    EXPECT_EQ(before.left, origin.x + control.left + 5);
    EXPECT_EQ(before.top, origin.y + control.top + 4);
    EXPECT_EQ(before.right, origin.x + control.right - 5);
    EXPECT_EQ(before.bottom, origin.y + control.bottom - 2);
    RECT native = WindowRectOf(edit->GetNativeWindow());
    EXPECT_TRUE(::EqualRect(&native, &before)) << "the native control fills its popup";

    const RECT window = WindowRectOf(w.hwnd());
    ::SetWindowPos(w.hwnd(), nullptr, window.left + 40, window.top - 30, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Pump(100);
    const RECT after = WindowRectOf(popup);
    EXPECT_EQ(after.left, before.left + 40);
    EXPECT_EQ(after.top, before.top - 30);
    EXPECT_EQ(after.right - after.left, before.right - before.left);

    HWND pagedPopup = paged->GetPopupWindow();
    ASSERT_TRUE(::IsWindowVisible(pagedPopup));
    w.ShowControl(810, false);
    EXPECT_FALSE(::IsWindowVisible(pagedPopup)) << "hiding the page hides the popup";
    EXPECT_TRUE(::IsWindowVisible(popup));
    w.ShowControl(810, true);
    EXPECT_TRUE(::IsWindowVisible(pagedPopup));
    EXPECT_EQ(::GetActiveWindow(), w.hwnd()) << "showing a popup leaves the window active";
  });
}

TEST_F(EditTest, ReadOnlyEditIgnoresTyping) {
  InWindow([](TestWindow& w) {
    auto edit = w.Find<CSWEdit>(802);
    ASSERT_TRUE(edit);
    EXPECT_TRUE(edit->IsReadOnly());
    EXPECT_TRUE(::GetWindowLongW(edit->GetNativeWindow(), GWL_STYLE) & ES_READONLY);
    ASSERT_TRUE(ClickInto(w, *edit));
    PumpUntil([&] { return edit->IsNativeFocused(); });
    ASSERT_TRUE(Xdo("type --delay 30 xyz"));
    Pump(150);
    EXPECT_EQ(edit->GetCaption(), L"fixed");
  });
}

TEST_F(EditTest, NativeEditTakesColoursAndFontFromTheLayout) {
  InWindow([](TestWindow& w) {
    auto edit = w.Find<CSWEdit>(801);
    auto readOnly = w.Find<CSWEdit>(802);
    auto plain = w.Find<CSWEdit>(803);
    ASSERT_TRUE(edit && readOnly && plain);
    HDC dc = ::CreateCompatibleDC(nullptr);
    auto colourOf = [&](CSWEdit& control, UINT msg, COLORREF* text) {
      const LRESULT brush = ::SendMessageW(control.GetPopupWindow(), msg, reinterpret_cast<WPARAM>(dc),
                                           reinterpret_cast<LPARAM>(control.GetNativeWindow()));
      LOGBRUSH info{};
      ::GetObjectW(reinterpret_cast<HBRUSH>(brush), sizeof(info), &info);
      *text = ::GetTextColor(dc);
      EXPECT_EQ(::GetBkMode(dc), TRANSPARENT);
      return info.lbColor;
    };
    COLORREF text = 0;
    // bgcolor "0x00F16A21": red 0x21, green 0x6A, blue 0xF1; the style's white text.
    EXPECT_EQ(colourOf(*edit, WM_CTLCOLOREDIT, &text), RGB(0x21, 0x6A, 0xF1));
    EXPECT_EQ(text, RGB(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(colourOf(*readOnly, WM_CTLCOLORSTATIC, &text), RGB(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(text, RGB(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(colourOf(*plain, WM_CTLCOLOREDIT, &text), RGB(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(text, 0x666666u) << "no style: grey text";
    ::DeleteDC(dc);
    EXPECT_EQ(EditTextColour(0xFEFFFFFF), RGB(0xFF, 0xFF, 0xFF)) << "the alpha byte is no GDI colour";

    LOGFONTW font{};
    HFONT handle = reinterpret_cast<HFONT>(::SendMessageW(edit->GetNativeWindow(), WM_GETFONT, 0, 0));
    ASSERT_TRUE(handle);
    ::GetObjectW(handle, sizeof(font), &font);
    EXPECT_EQ(font.lfHeight, -13) << "FontSize 13 of the edittext style";
    EXPECT_STREQ(font.lfFaceName, L"微软雅黑");
    EXPECT_EQ(font.lfCharSet, 134);
    HFONT plainFont = reinterpret_cast<HFONT>(::SendMessageW(plain->GetNativeWindow(), WM_GETFONT, 0, 0));
    ::GetObjectW(plainFont, sizeof(font), &font);
    EXPECT_EQ(font.lfHeight, -12) << "no style: 12 pixels";
  });
}

TEST_F(EditTest, BackgroundShowsHoverWhileThePointerIsOverTheNativeEdit) {
  InWindow([](TestWindow& w) {
    auto edit = w.Find<CSWEdit>(803);
    ASSERT_TRUE(edit);
    const RECT r = edit->GetRect();
    auto frame = [&](int index) {
      return Render(w.GetClientSize(), r, [&](Gdiplus::Graphics& g) {
        Gdiplus::Rect area = ControlRect(r);
        GetSkin("editbg")->Draw(g, &area, index, 1.0f);
      });
    };
    ASSERT_NE(CountDifferent(frame(0), frame(1)), 0u);
    EXPECT_EQ(CountDifferent(w.Pixels(r), frame(0)), 0u);
    POINT centre = Centre(edit->NativeScreenRect());
    ::ScreenToClient(w.hwnd(), &centre);
    ASSERT_TRUE(MoveTo(w.hwnd(), centre.x, centre.y));
    Pump(100);
    EXPECT_EQ(CountDifferent(w.Pixels(r), frame(1)), 0u) << "hovered";
    ASSERT_TRUE(MoveAway(w.hwnd()));
    Pump(600);
    EXPECT_EQ(CountDifferent(w.Pixels(r), frame(0)), 0u) << "the hover ends when the pointer leaves";
  });
}

TEST_F(EditTest, RichEditKeepsItsTextInTheNativeControl) {
  InWindow([](TestWindow& w) {
    auto rich = w.Find<CSWRichEdit>(804);
    ASSERT_TRUE(rich);
    ASSERT_TRUE(::IsWindow(rich->GetNativeWindow()));
    EXPECT_EQ(rich->GetCaption(), L"rich");
    EXPECT_TRUE(::GetWindowLongW(rich->GetNativeWindow(), GWL_STYLE) & ES_MULTILINE);
    EXPECT_TRUE(::GetWindowLongW(rich->GetPopupWindow(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    rich->SetCaption(L"two\r\nlines");
    EXPECT_EQ(rich->GetCaption(), L"two\r\nlines");
    const RECT popup = WindowRectOf(rich->GetPopupWindow());
    EXPECT_EQ(popup.bottom - popup.top, 60 - 4 - 4);
  });
}

TEST(EditWithoutWindow, CreatesNothing) {
  CSWEdit edit;
  LRESULT result = 0;
  EXPECT_TRUE(Dispatch(edit, nullptr, WM_CREATE, 0, 0, result));
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(edit.GetPopupWindow());
  EXPECT_EQ(edit.GetCaption(), L"");
}
