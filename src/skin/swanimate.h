#pragma once
// Show and hide animations of a skinned window: a snapshot of the window's
// picture is presented frame by frame in a layered, click-through, topmost
// popup over the window's screen rectangle.

#include <windows.h>

#include <vector>

#include "skin/nativewindow.h"

enum AnimationMode {
  kAnimateZoomInShow = 0,
  kAnimateShrinkFadeHide = 1,
  kAnimateFadeHide = 2,
};

// One step of an animation: an optional frame (the snapshot scaled to w x h
// at screen position x, y with constant alpha), then an optional 20 ms wait.
struct AnimationStep {
  bool present = false;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  BYTE alpha = 255;
  bool wait = false;
};

// The steps of `mode` over the screen rectangle `rect`. Unknown modes and
// empty rectangles have none.
std::vector<AnimationStep> PlanWindowAnimation(int mode, const RECT& rect);

class CSAnimateWnd : public CNativeWindow {
 public:
  CSAnimateWnd() = default;
  ~CSAnimateWnd() override;

  // The skinned window that is shown (mode 0) or hidden (modes 1 and 2).
  void SetAnimatedWindow(HWND window) { animated_ = window; }
  // Creates the snapshot bitmap (32-bit, bottom-up, size x size) and returns
  // its pixels for the caller to fill with the window's picture; null on failure.
  void* CreateSnapshot(SIZE size);

  // Plays `mode` over the window's screen rectangle `rect`; blocks for the
  // animation's duration. Returns the number of frames presented.
  int Play(int mode, const RECT& rect);

  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

 protected:
  const NativeWindowClass& WindowClass() const override;

 private:
  bool PresentFrame(const AnimationStep& step);
  void FreeBitmaps();

  HWND animated_ = nullptr;
  HDC snapshot_dc_ = nullptr;
  HBITMAP snapshot_bitmap_ = nullptr;
  HGDIOBJ snapshot_old_ = nullptr;
  SIZE snapshot_size_ = {};
  HDC work_dc_ = nullptr;
  HBITMAP work_bitmap_ = nullptr;
  HGDIOBJ work_old_ = nullptr;
  void* work_bits_ = nullptr;
  RECT rect_ = {};
};
