#include "skin/swscrollbar.h"

#include <windowsx.h>

#include <algorithm>

#include "skin/skin_tables.h"
#include "skin/swskin.h"
#include "skin/swtext.h"

namespace {
// Frame size of a skin, or 5 x 5 without one.
Gdiplus::Size FrameSizeOr5(const CSWSkin* skin) {
  if (!skin) return Gdiplus::Size(5, 5);
  return skin->GetStateSize();
}
}  // namespace

int CSWScrollbar::SetAttribute(std::string name, std::string value) {
  if (CSWControl::SetAttribute(name, value)) return 1;
  if (name == "scrollthumb") {
    thumb_skin_ = ::GetSkin(value);
  } else if (name == "scrollbg") {
    track_skin_ = ::GetSkin(value);
  } else {
    return 0;
  }
  return 1;
}

void CSWScrollbar::Layout() {
  const int trackWidth = track_.right - track_.left;
  const int trackHeight = track_.bottom - track_.top;
  if (content_ <= page_ || trackWidth <= 0 || trackHeight <= 0) {
    visible_ = false;
    return;
  }
  max_position_ = content_ - page_;
  ratio_ = static_cast<float>(page_) / static_cast<float>(content_);
  position_ = std::clamp(position_, 0, max_position_);
  const int minThumbHeight = FrameSizeOr5(track_skin_).Height;
  const int thumbWidth = FrameSizeOr5(thumb_skin_).Width;
  const int thumbHeight = std::max(static_cast<int>(trackHeight * ratio_), minThumbHeight);
  thumb_.left = rect_.left + (rect_.right - rect_.left - thumbWidth) / 2;
  thumb_.right = thumb_.left + thumbWidth;
  thumb_.top = rect_.top + static_cast<int>(position_ * ratio_);
  thumb_.bottom = thumb_.top + thumbHeight;
  visible_ = true;
  InvalidateParent();
}

bool CSWScrollbar::CanScroll(int delta) const {
  if (content_ <= 0) return false;
  if (position_ <= 0 && delta < 0) return false;
  if (position_ >= max_position_ && delta > 0) return false;
  return true;
}

void CSWScrollbar::ScrollByPixels(int delta) {
  if (!CanScroll(delta)) return;
  if (ratio_ != 0.0f) delta = static_cast<int>(delta / ratio_);
  position_ = std::clamp(position_ + delta, 0, max_position_);
  Layout();
}

void CSWScrollbar::ScrollByUnits(int delta) {
  if (!CanScroll(delta)) return;
  position_ = std::clamp(position_ + delta, 0, max_position_);
  Layout();
  InvalidateParent();
}

void CSWScrollbar::InvalidateParent() {
  if (parent_) SendNotify(SWN_INVALIDATE, parent_->GetRect());
}

void CSWScrollbar::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!visible_ || !track_skin_ || !thumb_skin_) return;
  Gdiplus::Rect track = ControlRect(rect_);
  track_skin_->Draw(graphics, &track, 0, 1.0f);
  // A scrollbar that was never laid out has no thumb yet (an empty target
  // would draw the thumb at its natural size at the window's origin).
  if (::IsRectEmpty(&thumb_)) return;
  Gdiplus::Rect thumb = ControlRect(thumb_);
  thumb_skin_->Draw(graphics, &thumb, 0, 1.0f);
}

void CSWScrollbar::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                             LRESULT& result) {
  const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  switch (msg) {
    case WM_CREATE:
      created_ = true;
      if (!thumb_skin_) thumb_skin_ = ::GetSkin("scrollthumb");
      if (!track_skin_) track_skin_ = ::GetSkin("scrollbg");
      break;
    case WM_LBUTTONDOWN:
      if (!::PtInRect(&rect_, point)) break;
      if (::PtInRect(&thumb_, point)) {
        dragging_ = true;
        last_ = point;
        if (host_) {
          ::SetCapture(host_);
          // A standalone scrollbar captures itself; an embedded one its owner.
          const int captureId = owner_ ? owner_->GetId() : id_;
          SWNOTIFY notify{nullptr, static_cast<UINT>(captureId), SWN_CAPTURE, RECT{}};
          ::SendMessageW(host_, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
        }
      } else {
        const int step = thumb_.bottom - thumb_.top;
        ScrollByPixels(point.y <= thumb_.top ? -step : step);
      }
      break;
    case WM_MOUSEMOVE:
      if (!dragging_) {
        CSWControl::OnMessage(window, msg, wParam, lParam, result);
        return;
      }
      {
        const int delta = point.y - last_.y;
        last_ = point;
        ScrollByPixels(delta);
      }
      break;
    case WM_LBUTTONUP:
      if (dragging_) {
        dragging_ = false;
        ::ReleaseCapture();
      }
      break;
    case WM_MOUSEWHEEL:
      ScrollByUnits(GET_WHEEL_DELTA_WPARAM(wParam) <= 0 ? wheel_step_ : -wheel_step_);
      handled_ = true;
      result = 1;
      return;
    default:
      CSWControl::OnMessage(window, msg, wParam, lParam, result);
      return;
  }
  handled_ = true;
  result = 0;
}

HRESULT CSWScrollbar::get_accRole(VARIANT, VARIANT* role) {
  if (role) role->vt = VT_EMPTY;
  return S_OK;
}

HRESULT CSWScrollbar::get_accState(VARIANT, VARIANT* state) {
  if (state) state->vt = VT_EMPTY;
  return S_OK;
}
