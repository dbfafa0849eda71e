#include "skin/swanimate.h"

#include <cstring>

#include "common/logging.h"

namespace {

constexpr DWORD kFrameWaitMs = 20;
constexpr int kFadeFrames = 20;

// A 32-bit bottom-up DIB section selected into a new memory DC.
HBITMAP CreateBitmapDC(SIZE size, HDC* dc, HGDIOBJ* old, void** bits) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = size.cx;
  info.bmiHeader.biHeight = size.cy;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* pixels = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  if (!bitmap) return nullptr;
  *dc = ::CreateCompatibleDC(nullptr);
  if (!*dc) {
    ::DeleteObject(bitmap);
    return nullptr;
  }
  *old = ::SelectObject(*dc, bitmap);
  std::memset(pixels, 0, static_cast<size_t>(size.cx) * size.cy * 4);
  if (bits) *bits = pixels;
  return bitmap;
}

void FreeBitmapDC(HDC& dc, HBITMAP& bitmap, HGDIOBJ old) {
  if (dc) {
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    dc = nullptr;
  }
  if (bitmap) {
    ::DeleteObject(bitmap);
    bitmap = nullptr;
  }
}

}  // namespace

std::vector<AnimationStep> PlanWindowAnimation(int mode, const RECT& rect) {
  std::vector<AnimationStep> steps;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return steps;
  const float ratio = static_cast<float>(height) / static_cast<float>(width);
  const AnimationStep full{true, rect.left, rect.top, width, height, 255, false};

  switch (mode) {
    case kAnimateZoomInShow:
      for (int s = 50; s < 1050; s += 50) {
        if (s >= width) {
          steps.push_back(full);
          break;
        }
        const int h = static_cast<int>(s * ratio);
        steps.push_back({h > 0, rect.left + (width - s) / 2, rect.top + (height - h) / 2, s, h,
                         255, true});
      }
      break;
    case kAnimateShrinkFadeHide:
      for (int k = 0; k < kFadeFrames; ++k) {
        const int shrink = 50 * k;
        const int w = width - shrink;
        const int h = static_cast<int>(w * ratio);
        steps.push_back({w > 0 && h > 0, rect.left + shrink / 2, rect.top + (height - h) / 2, w,
                         h, static_cast<BYTE>(255 - 10 * (k + 1)), true});
      }
      break;
    case kAnimateFadeHide:
      for (int k = 0; k < kFadeFrames; ++k) {
        AnimationStep step = full;
        step.alpha = static_cast<BYTE>(255 - 10 * (k + 1));
        step.wait = true;
        steps.push_back(step);
      }
      break;
    default:
      break;
  }
  return steps;
}

CSAnimateWnd::~CSAnimateWnd() {
  DestroyWindow();
  FreeBitmaps();
}

const NativeWindowClass& CSAnimateWnd::WindowClass() const {
  static const NativeWindowClass kClass{L"OrvAnimateWindow", 0, IDC_ARROW, -1};
  return kClass;
}

bool CSAnimateWnd::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM, LPARAM, LRESULT& result) {
  if (msg != WM_CREATE) return false;
  // Layered for per-pixel alpha, transparent so that it never takes a click.
  const LONG_PTR exStyle = ::GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  ::SetWindowLongPtrW(hwnd, GWL_EXSTYLE, exStyle | WS_EX_LAYERED | WS_EX_TRANSPARENT);
  result = 0;
  return true;
}

void* CSAnimateWnd::CreateSnapshot(SIZE size) {
  FreeBitmapDC(snapshot_dc_, snapshot_bitmap_, snapshot_old_);
  if (size.cx <= 0 || size.cy <= 0) return nullptr;
  void* bits = nullptr;
  snapshot_bitmap_ = CreateBitmapDC(size, &snapshot_dc_, &snapshot_old_, &bits);
  if (!snapshot_bitmap_) {
    LOG_ERROR << "创建动画快照失败，错误码：" << ::GetLastError();
    return nullptr;
  }
  snapshot_size_ = size;
  return bits;
}

void CSAnimateWnd::FreeBitmaps() {
  FreeBitmapDC(snapshot_dc_, snapshot_bitmap_, snapshot_old_);
  FreeBitmapDC(work_dc_, work_bitmap_, work_old_);
  work_bits_ = nullptr;
}

bool CSAnimateWnd::PresentFrame(const AnimationStep& step) {
  ::SetStretchBltMode(work_dc_, COLORONCOLOR);
  ::StretchBlt(work_dc_, 0, 0, step.width, step.height, snapshot_dc_, 0, 0, snapshot_size_.cx,
               snapshot_size_.cy, SRCCOPY);
  POINT position{step.x, step.y};
  SIZE size{step.width, step.height};
  POINT source{0, 0};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, step.alpha, AC_SRC_ALPHA};
  return ::UpdateLayeredWindow(hwnd(), nullptr, &position, &size, work_dc_, &source, 0, &blend,
                               ULW_ALPHA) != FALSE;
}

int CSAnimateWnd::Play(int mode, const RECT& rect) {
  rect_ = rect;
  const SIZE size{rect.right - rect.left, rect.bottom - rect.top};
  if (!snapshot_dc_ || size.cx <= 0 || size.cy <= 0) return 0;
  if (!Create(nullptr, rect, L"", WS_POPUP, WS_EX_TOOLWINDOW)) return 0;
  FreeBitmapDC(work_dc_, work_bitmap_, work_old_);
  work_bitmap_ = CreateBitmapDC(size, &work_dc_, &work_old_, &work_bits_);
  if (!work_bitmap_) {
    LOG_ERROR << "创建动画缓冲失败，错误码：" << ::GetLastError();
    return 0;
  }

  // Shown without taking the activation away from the skinned windows.
  ::ShowWindow(hwnd(), SW_SHOWNA);
  ::SetWindowPos(hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  const bool hides = mode == kAnimateShrinkFadeHide || mode == kAnimateFadeHide;
  if (hides && animated_) ::ShowWindow(animated_, SW_HIDE);

  int presented = 0;
  for (const AnimationStep& step : PlanWindowAnimation(mode, rect)) {
    if (step.present && PresentFrame(step)) ++presented;
    if (step.wait) ::Sleep(kFrameWaitMs);
  }

  if (mode == kAnimateZoomInShow && animated_) {
    ::SetWindowPos(animated_, nullptr, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
    ::ShowWindow(animated_, SW_SHOW);
  }
  ::ShowWindow(hwnd(), SW_HIDE);
  return presented;
}
