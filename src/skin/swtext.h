#pragma once
// Static text and its clickable variant, the link.

#include "skin/swcontrol.h"

class CSWText : public CSWControl {
 public:
  bool IsType(const std::string& name) const override { return name == "text"; }
  // The caption in the style of the current state, over the whole rectangle.
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  bool WantsHandCursor() const override { return false; }
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
};

// Drawn like a text; takes presses, shows the hand cursor.
class CSWLink : public CSWText {
 public:
  bool IsType(const std::string& name) const override { return name == "link"; }
  bool WantsHandCursor() const override { return true; }
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
};

// Writes `role` (a ROLE_SYSTEM_* constant) as VT_I4; E_INVALIDARG for a null out.
HRESULT WriteAccRole(VARIANT* out, long role);

// The control rectangle as GDI+ x, y, width, height.
Gdiplus::Rect ControlRect(const RECT& rect);
