#pragma once
// Still image and animated GIF image.

#include "skin/swcontrol.h"

class CSWImage : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "img"; }
  // Frame 0 of the skin over the rectangle (a "single" skin keeps its natural
  // size where that is smaller); a GIF skin shows its selected frame.
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  bool WantsHandCursor() const override { return false; }
};

// Drives the frames of its GIF skin with a window timer of the host window,
// which runs only while the control is visible.
class CSWGifImage : public CSWImage {
 public:
  bool IsType(const std::string& name) const override { return name == "gif"; }
  void SetVisible(bool visible) override;
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

  UINT_PTR GetTimerId() const { return timer_id_; }
  bool IsAnimating() const { return animating_; }

  // Timer ids are the control id plus this offset.
  static constexpr UINT_PTR kTimerIdOffset = 12345;

 private:
  bool CanAnimate() const;
  void Start();
  void Stop();
  void Advance();

  UINT_PTR timer_id_ = 0;
  bool animating_ = false;
};
