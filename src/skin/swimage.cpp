#include "skin/swimage.h"

#include "common/logging.h"
#include "skin/swskin.h"
#include "skin/swtext.h"

void CSWImage::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!skin_) return;
  Gdiplus::Rect area = ControlRect(rect_);
  skin_->Draw(graphics, &area, 0, 1.0f);
}

bool CSWGifImage::CanAnimate() const {
  return skin_ && skin_->GetFrameCount() > 1 && timer_id_ != 0 && ::IsWindow(host_);
}

void CSWGifImage::Start() {
  if (!CanAnimate()) return;
  skin_->RewindFrames();
  if (::SetTimer(host_, timer_id_, static_cast<UINT>(skin_->GetFrameDelay()), nullptr)) {
    animating_ = true;
  } else {
    LOG_ERROR << "启动动画定时器失败，错误码：" << ::GetLastError();
  }
}

void CSWGifImage::Stop() {
  if (!skin_) return;
  if (skin_->GetFrameCount() > 1) skin_->SetCurrentFrame(0);
  if (::IsWindow(host_) && timer_id_) ::KillTimer(host_, timer_id_);
  animating_ = false;
}

void CSWGifImage::Advance() {
  if (skin_->GetFrameCount() > 1) {
    const int next = (skin_->GetCurrentFrame() + 1) % static_cast<int>(skin_->GetFrameCount());
    skin_->SelectFrame(next);
    if (::IsWindow(host_)) {
      ::KillTimer(host_, timer_id_);
      ::SetTimer(host_, timer_id_, static_cast<UINT>(skin_->GetFrameDelay()), nullptr);
    }
  }
  Invalidate();
}

void CSWGifImage::SetVisible(bool visible) {
  CSWImage::SetVisible(visible);
  if (visible)
    Start();
  else
    Stop();
}

void CSWGifImage::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (msg) {
    case WM_CREATE:
      created_ = true;
      timer_id_ = static_cast<UINT_PTR>(id_) + kTimerIdOffset;
      if (visible_) Start();
      break;
    case WM_TIMER:
      // The window passes every timer to every control: only ours counts.
      if (wParam == timer_id_ && timer_id_ && skin_ && animating_) Advance();
      break;
    default:
      CSWImage::OnMessage(window, msg, wParam, lParam, result);
      return;
  }
  handled_ = true;
  result = 0;
}
