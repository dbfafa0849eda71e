#pragma once
// Vertical scrollbar: a track skin over the control and a thumb skin whose
// size and offset show the page and position within the content. Visible
// only while the content is larger than the page.

#include "skin/swcontrol.h"

class CSWScrollbar : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "scrollbar"; }
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  bool WantsHandCursor() const override { return false; }
  // Thumb drag (with capture), page steps on the track, the wheel.
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  // scrollthumb, scrollbg.
  int SetAttribute(std::string name, std::string value) override;
  // The scroll bar answers neither role nor state; the out values are emptied.
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
  HRESULT get_accState(VARIANT child, VARIANT* state) override;

  // The control that embeds the scrollbar (the list); its id is the one
  // captured while the thumb is dragged.
  void SetOwner(CSWControl* owner) { owner_ = owner; }
  void SetTrackRect(const RECT& track) { track_ = track; }
  void SetPageSize(int page) { page_ = page; }
  void SetContentSize(int content) { content_ = content; }
  void SetWheelStep(int step) { wheel_step_ = step; }
  void SetPosition(int position) { position_ = position; }

  int GetPosition() const { return position_; }
  int GetMaxPosition() const { return max_position_; }
  int GetPageSize() const { return page_; }
  int GetContentSize() const { return content_; }
  int GetWheelStep() const { return wheel_step_; }
  RECT GetThumbRect() const { return thumb_; }
  bool IsDragging() const { return dragging_; }
  CSWSkin* GetTrackSkin() const { return track_skin_; }

  // Recomputes visibility, maximum, clamped position and thumb rectangle.
  void Layout();
  // Scrolls by `delta` pixels of the track (drag, page step).
  void ScrollByPixels(int delta);
  // Scrolls by `delta` units of the content (wheel).
  void ScrollByUnits(int delta);

 private:
  bool CanScroll(int delta) const;
  void InvalidateParent();

  CSWControl* owner_ = nullptr;
  bool dragging_ = false;
  POINT last_ = {};
  RECT track_ = {};
  RECT thumb_ = {};
  int page_ = 0;
  int content_ = 0;
  int position_ = 0;
  int wheel_step_ = -1;
  int max_position_ = 0;
  float ratio_ = 0.0f;
  CSWSkin* track_skin_ = nullptr;
  CSWSkin* thumb_skin_ = nullptr;
};
