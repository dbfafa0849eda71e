// The native window layer: the window procedure reaches the object from the
// first message on, superclassed system controls keep their own behaviour,
// children's notifications are reflected back to them, and the centring rule.

#include <gtest/gtest.h>

#include <vector>

#include "skin/nativewindow.h"

namespace {

class RecordingWindow : public CNativeWindow {
 public:
  ~RecordingWindow() override { DestroyWindow(); }
  bool ProcessWindowMessage(HWND, UINT msg, WPARAM, LPARAM, LRESULT& result) override {
    messages.push_back(msg);
    if (msg == WM_APP) {
      result = 42;
      return true;
    }
    return false;
  }
  void OnFinalMessage(HWND) override { finished = true; }

  std::vector<UINT> messages;
  bool finished = false;
};

// An edit control superclassed from the system "EDIT" that counts the
// reflected change notifications it gets back from its parent.
class ReflectedEdit : public CNativeWindow {
 public:
  ~ReflectedEdit() override { DestroyWindow(); }
  bool ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM, LRESULT& result) override {
    if (msg == kReflectedMessageBase + WM_COMMAND && HIWORD(wParam) == EN_CHANGE) {
      ++changes;
      result = 0;
      return true;
    }
    return false;
  }
  int changes = 0;

 protected:
  const NativeWindowClass& WindowClass() const override {
    static const NativeWindowClass kClass{L"OrvTestEdit", 0, nullptr, -1, L"EDIT"};
    return kClass;
  }
};

class ReflectingParent : public RecordingWindow {
 public:
  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override {
    if (ReflectNotifications(msg, wParam, lParam, result)) return true;
    return RecordingWindow::ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
  }
};

TEST(NativeWindow, TheObjectSeesEveryMessageFromCreationToTheEnd) {
  RecordingWindow window;
  HWND hwnd = window.Create(nullptr, RECT{0, 0, 100, 80}, L"t", WS_POPUP, 0);
  ASSERT_TRUE(hwnd);
  EXPECT_EQ(window.hwnd(), hwnd);
  ASSERT_FALSE(window.messages.empty());
  // Messages sent before WM_NCCREATE reach the object too.
  EXPECT_NE(std::find(window.messages.begin(), window.messages.end(),
                      static_cast<UINT>(WM_NCCREATE)),
            window.messages.end());
  EXPECT_EQ(::SendMessageW(hwnd, WM_APP, 0, 0), 42);

  RecordingWindow second;  // the class is registered once and reused
  EXPECT_TRUE(second.Create(nullptr, RECT{0, 0, 10, 10}, L"u", WS_POPUP, 0));

  window.DestroyWindow();
  EXPECT_FALSE(::IsWindow(hwnd));
  EXPECT_TRUE(window.finished);
  EXPECT_EQ(window.hwnd(), nullptr);
  EXPECT_EQ(window.messages.back(), static_cast<UINT>(WM_NCDESTROY));
}

TEST(NativeWindow, SuperclassedEditKeepsItsBehaviourAndGetsItsNotificationsBack) {
  ReflectingParent parent;
  ASSERT_TRUE(parent.Create(nullptr, RECT{0, 0, 200, 100}, L"p", WS_POPUP, 0));
  ReflectedEdit edit;
  ASSERT_TRUE(edit.Create(parent.hwnd(), RECT{0, 0, 150, 24}, L"", WS_CHILD | WS_VISIBLE, 0));
  ::SetWindowTextW(edit.hwnd(), L"typed");
  wchar_t text[16] = {};
  ::GetWindowTextW(edit.hwnd(), text, 16);
  EXPECT_STREQ(text, L"typed");
  EXPECT_GE(edit.changes, 1);
  // Notifications the parent reflected did not reach its own message map.
  EXPECT_EQ(std::count(parent.messages.begin(), parent.messages.end(),
                       static_cast<UINT>(WM_COMMAND)),
            0);
}

TEST(CenteredPosition, OverTheOwnerOrTheWorkAreaAndAlwaysInsideIt) {
  const RECT work{0, 0, 1280, 1000};
  const RECT owner{100, 100, 500, 400};
  POINT p = CenteredPosition({200, 100}, &owner, work);
  EXPECT_EQ(p.x, 200);
  EXPECT_EQ(p.y, 200);
  p = CenteredPosition({600, 400}, nullptr, work);
  EXPECT_EQ(p.x, 340);
  EXPECT_EQ(p.y, 300);
  const RECT ownerAtEdge{1100, 900, 1280, 1000};
  p = CenteredPosition({600, 400}, &ownerAtEdge, work);
  EXPECT_EQ(p.x, 680);
  EXPECT_EQ(p.y, 600);
  p = CenteredPosition({2000, 1200}, nullptr, work);  // larger than the work area
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
}

}  // namespace
