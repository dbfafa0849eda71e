#include "skin/swbutton.h"

#include "skin/dpi.h"
#include "skin/swskin.h"
#include "skin/swstyle.h"
#include "skin/swtext.h"

int ButtonFrame(int state) {
  switch (state) {
    case kStateHover: return 1;
    case kStatePressed: return 2;
    case kStateDisabled: return 3;
    default: return 0;
  }
}

int CheckBoxFrame(bool checked, int state) {
  const bool lit = state == kStateHover || state == kStatePressed;
  return (checked ? 2 : 0) + (lit ? 1 : 0);
}

void CSWButton::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!skin_) return;
  Gdiplus::Rect area = ControlRect(rect_);
  skin_->Draw(graphics, &area, ButtonFrame(state_), 1.0f);
  if (caption_.empty() || !style_) return;
  const Gdiplus::Rect text(rect_.left, rect_.top + 1, rect_.right - rect_.left,
                           rect_.bottom - rect_.top - 1);
  style_->DrawStyledText(graphics, text, caption_, state_);
}

HRESULT CSWButton::get_accRole(VARIANT, VARIANT* role) {
  return WriteAccRole(role, ROLE_SYSTEM_PUSHBUTTON);
}

void CSWCheckBox::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!skin_) return;
  const int height = rect_.bottom - rect_.top;
  const Gdiplus::Size frame = skin_->GetStateSize();
  // The single render type draws at the natural size for a 0 x 0 target and
  // reports the drawn size back.
  const int frameHeight = skin_->IsScaledImage() ? frame.Height : DpiScale(frame.Height);
  Gdiplus::Rect box(rect_.left, rect_.top + (height - frameHeight) / 2, 0, 0);
  skin_->Draw(graphics, &box, CheckBoxFrame(check_, state_), 1.0f);
  if (caption_.empty() || !style_) return;
  const int textLeft = rect_.left + box.Width + DpiScale(7);
  const Gdiplus::Rect text(textLeft, rect_.top, rect_.right - textLeft, height);
  style_->DrawStyledText(graphics, text, caption_, state_);
}

void CSWCheckBox::Toggle() {
  check_ = !check_;
  SendClick();
}

void CSWCheckBox::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const DWORD kToggleEvents[] = {EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_VALUECHANGE,
                                        EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_FOCUS};
  switch (msg) {
    case WM_LBUTTONUP:
      state_ = kStateHover;
      Toggle();
      break;
    case WM_KEYUP:
      // A disabled checkbox may hold the focus (Tab) but is not toggled.
      if (wParam != VK_SPACE || !enabled_) {
        handled_ = true;
        return;
      }
      Toggle();
      if (tab_stop_) NotifyAccessibility(EVENT_OBJECT_STATECHANGE);
      Invalidate();
      break;
    default:
      CSWControl::OnMessage(window, msg, wParam, lParam, result);
      return;
  }
  for (DWORD event : kToggleEvents) NotifyAccessibility(event);
  handled_ = true;
  result = 0;
}

HRESULT CSWCheckBox::get_accRole(VARIANT, VARIANT* role) {
  return WriteAccRole(role, ROLE_SYSTEM_CHECKBUTTON);
}

HRESULT CSWCheckBox::get_accDefaultAction(VARIANT, BSTR* action) {
  if (!action) return E_INVALIDARG;
  *action = ::SysAllocString(check_ ? L"选定" : L"取消选定");
  return *action ? S_OK : E_OUTOFMEMORY;
}
