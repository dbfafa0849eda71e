#include "skin/swtext.h"

#include "skin/swstyle.h"

HRESULT WriteAccRole(VARIANT* out, long role) {
  if (!out) return E_INVALIDARG;
  out->vt = VT_I4;
  out->lVal = role;
  return S_OK;
}

Gdiplus::Rect ControlRect(const RECT& rect) {
  return Gdiplus::Rect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

void CSWText::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (caption_.empty() || !style_) return;
  style_->DrawStyledText(graphics, ControlRect(rect_), caption_, state_);
}

HRESULT CSWText::get_accRole(VARIANT, VARIANT* role) {
  return WriteAccRole(role, ROLE_SYSTEM_STATICTEXT);
}

HRESULT CSWLink::get_accRole(VARIANT, VARIANT* role) { return WriteAccRole(role, ROLE_SYSTEM_LINK); }
