#include "skin/swindow.h"

#include <commctrl.h>
#include <oleacc.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include <boost/property_tree/xml_parser.hpp>

#include "common/logging.h"
#include "skin/dpi.h"
#include "skin/resource.h"
#include "skin/skin_values.h"
#include "skin/swanimate.h"

namespace {

constexpr DWORD kWindowStyle = WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU;
constexpr DWORD kWindowExStyle = WS_EX_LAYERED;
constexpr COLORREF kTooltipTextColour = 0x4A4A4A;

using boost::property_tree::ptree;

TOOLINFOW WholeWindowTool(HWND hwnd, const wchar_t* text) {
  TOOLINFOW tool = {};
  // The version-2 record is understood by every version of the tooltip control.
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND;
  tool.hwnd = hwnd;
  tool.uId = reinterpret_cast<UINT_PTR>(hwnd);
  tool.lpszText = const_cast<wchar_t*>(text);
  return tool;
}

}  // namespace

RECT ClearBufferRect(void* bits, SIZE size, const RECT& rect) {
  RECT clamped{std::max<LONG>(rect.left, 0), std::max<LONG>(rect.top, 0),
               std::min<LONG>(rect.right, size.cx), std::min<LONG>(rect.bottom, size.cy)};
  if (!bits || clamped.left >= clamped.right || clamped.top >= clamped.bottom) return RECT{};
  auto* pixels = static_cast<uint8_t*>(bits);
  const size_t rowBytes = static_cast<size_t>(size.cx) * 4;
  for (LONG y = clamped.top; y < clamped.bottom; ++y) {
    uint8_t* row = pixels + static_cast<size_t>(size.cy - 1 - y) * rowBytes;
    std::memset(row + clamped.left * 4, 0, static_cast<size_t>(clamped.right - clamped.left) * 4);
  }
  return clamped;
}

CSWindowHost::CSWindowHost(int layoutId) : layout_id_(layoutId) {}

CSWindowHost::~CSWindowHost() {
  // The window must go while the view still exists.
  DestroyWindow();
  FreeBackBuffer();
}

const NativeWindowClass& CSWindowHost::WindowClass() const {
  static const NativeWindowClass kClass{L"OrvSkinWindow", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                                        IDC_ARROW, COLOR_WINDOW};
  return kClass;
}

int CSWindowHost::SetAttribute(std::string name, std::string value) {
  if (CSWObject::SetAttribute(name, value)) return 1;
  if (name == "width") {
    width_ = DpiScale(skin::ParseDecimal(value));
  } else if (name == "height") {
    height_ = DpiScale(skin::ParseDecimal(value));
  } else {
    return 0;
  }
  return 1;
}

int CSWindowHost::LoadAttributes(const ptree& node) {
  CSWObject::LoadAttributes(node);
  client_ = RECT{0, 0, width_, height_};
  return 1;
}

bool CSWindowHost::LoadLayout(int id) {
  std::string xml;
  if (!LoadResourceBytes(static_cast<uint16_t>(id), L"XML", xml)) return false;
  return LoadLayoutText(xml);
}

bool CSWindowHost::LoadLayoutText(const std::string& xml) {
  try {
    std::string text(xml.c_str());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::istringstream stream(text);
    ptree document;
    boost::property_tree::read_xml(stream, document);
    const ptree& window = document.get_child("window");
    if (window.empty()) return false;
    LoadAttributes(window.get_child("<xmlattr>"));
    view_.LoadAttributes(window.get_child("view"));
    return true;
  } catch (const boost::property_tree::ptree_error&) {
    return false;
  }
}

int CSWindowHost::DoModal(HWND owner) {
  if (!owner) owner = ::GetActiveWindow();
  bool ownerDisabled = false;
  if (owner && owner != ::GetDesktopWindow() && ::IsWindowEnabled(owner)) {
    ::EnableWindow(owner, FALSE);
    ownerDisabled = true;
  }
  auto enableOwner = [&] {
    if (ownerDisabled) ::EnableWindow(owner, TRUE);
    ownerDisabled = false;
  };

  show_on_init_ = true;
  modal_result_ = 0;
  if (!LoadLayout(layout_id_)) {
    enableOwner();
    return 0;
  }
  if (!Create(owner, RECT{0, 0, 0, 0}, L"", kWindowStyle, kWindowExStyle)) {
    enableOwner();
    return 0;
  }
  const SIZE size = GetClientSize();
  ::MoveWindow(hwnd(), client_.left, client_.top, size.cx, size.cy, FALSE);
  ::SendMessageW(hwnd(), SWM_REPAINT, 0, 0);
  ::ShowWindow(hwnd(), SW_HIDE);
  CenterWindowOverOwner(hwnd());
  ::SendMessageW(hwnd(), WM_INITDIALOG, 0, 0);
  if (show_on_init_ && IsWindow())
    ::SetWindowPos(hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);

  RunModalLoop();

  if (IsWindow()) {
    // The owner is enabled before the window hides, so that the activation
    // returns to it and not to another program.
    const bool wasActive = ::GetActiveWindow() == hwnd();
    enableOwner();
    ::SetWindowPos(hwnd(), nullptr, 0, 0, 0, 0,
                   SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (wasActive && owner) ::SetActiveWindow(owner);
    DestroyWindow();
  }
  enableOwner();
  return modal_result_;
}

void CSWindowHost::RunModalLoop() {
  in_modal_ = true;
  keep_running_ = true;
  MSG msg;
  while (keep_running_ && IsWindow()) {
    if (::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) && msg.message == WM_QUIT) break;
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) continue;
    if (got == 0) {
      // The quit request belongs to an outer loop: put it back.
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  in_modal_ = false;
}

void CSWindowHost::EndModal(int result) {
  if (!in_modal_) return;
  modal_result_ = result;
  keep_running_ = false;
  ::PostThreadMessageW(::GetCurrentThreadId(), WM_NULL, 0, 0);
}

int CSWindowHost::PlayWindowAnimation(int mode) {
  RECT rect;
  if (!IsWindow() || !::GetWindowRect(hwnd(), &rect)) return 0;
  CSAnimateWnd animation;
  animation.SetAnimatedWindow(hwnd());
  const SIZE size = GetClientSize();
  void* snapshot = animation.CreateSnapshot(size);
  if (snapshot && back_bits_)
    std::memcpy(snapshot, back_bits_, static_cast<size_t>(size.cx) * size.cy * 4);
  const int frames = animation.Play(mode, rect);
  animation.DestroyWindow();
  return frames;
}

bool CSWindowHost::OnCreate() {
  view_.SetHostWindow(hwnd());
  LRESULT ignored = 0;
  Dispatch(view_, hwnd(), WM_CREATE, 0, 0, ignored);

  const SIZE size = GetClientSize();
  if (size.cx > 0 && size.cy > 0) {
    HDC windowDc = ::GetDC(hwnd());
    memory_dc_ = ::CreateCompatibleDC(windowDc);
    ::ReleaseDC(hwnd(), windowDc);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = size.cy;  // bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(size.cx) * size.cy * 4;
    back_buffer_ = ::CreateDIBSection(memory_dc_, &info, DIB_RGB_COLORS, &back_bits_, nullptr, 0);
    if (memory_dc_ && back_buffer_) {
      old_bitmap_ = ::SelectObject(memory_dc_, back_buffer_);
    } else {
      LOG_ERROR << "创建窗口缓冲失败，错误码：" << ::GetLastError();
      FreeBackBuffer();
    }
  }
  CreateTooltip();
  return back_buffer_ != nullptr;
}

void CSWindowHost::CreateTooltip() {
  if (!tooltip_) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    tooltip_ = ::CreateWindowExW(0, TOOLTIPS_CLASSW, L"",
                                 WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_NOANIMATE | TTS_NOFADE,
                                 client_.left, client_.top, client_.right - client_.left,
                                 client_.bottom - client_.top, hwnd(), nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
    if (!tooltip_) {
      LOG_ERROR << "创建提示窗口失败，错误码：" << ::GetLastError();
      return;
    }
  }
  TOOLINFOW tool = WholeWindowTool(hwnd(), L"");
  ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_RESHOW, 2);
  ::SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_INITIAL, 200);
  ::SendMessageW(tooltip_, TTM_SETTIPTEXTCOLOR, kTooltipTextColour, 0);
  ::SendMessageW(tooltip_, TTM_ACTIVATE, TRUE, 0);
}

void CSWindowHost::UpdateTooltip() {
  const auto& hovered = view_.GetHoveredControl();
  if (hovered == tooltip_control_) return;
  tooltip_control_ = hovered;
  if (!tooltip_) return;
  if (!hovered) {
    ::SendMessageW(tooltip_, TTM_ACTIVATE, FALSE, 0);
    return;
  }
  tooltip_text_ = hovered->GetTip();
  TOOLINFOW tool = WholeWindowTool(hwnd(), tooltip_text_.c_str());
  ::SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  ::SendMessageW(tooltip_, TTM_ACTIVATE, TRUE, 0);
}

void CSWindowHost::OnDestroy() {
  LRESULT ignored = 0;
  Dispatch(view_, hwnd(), WM_DESTROY, 0, 0, ignored);
  FreeBackBuffer();
  tooltip_ = nullptr;  // owned by the window, destroyed with it
  tooltip_control_.reset();
}

void CSWindowHost::FreeBackBuffer() {
  if (memory_dc_) {
    if (old_bitmap_) ::SelectObject(memory_dc_, old_bitmap_);
    ::DeleteDC(memory_dc_);
  }
  if (back_buffer_) ::DeleteObject(back_buffer_);
  memory_dc_ = nullptr;
  back_buffer_ = nullptr;
  old_bitmap_ = nullptr;
  back_bits_ = nullptr;
}

void CSWindowHost::RepaintDirty(bool dirty_only) {
  const SIZE size = GetClientSize();
  if (dirty_only && view_.GetDirtyList().empty()) return;
  if (!back_bits_ || !IsWindow()) {
    view_.ClearDirtyList();
    return;
  }
  HRGN clip = nullptr;
  // What the system takes from the back buffer: only the changed part, so
  // that a progress bar's step does not send the whole window again.
  RECT changed{0, 0, size.cx, size.cy};
  if (view_.GetDirtyList().empty()) {
    std::memset(back_bits_, 0, static_cast<size_t>(size.cx) * size.cy * 4);
    clip = ::CreateRectRgn(0, 0, size.cx, size.cy);
  } else {
    clip = ::CreateRectRgn(0, 0, 0, 0);
    changed = RECT{};
    for (const RECT& dirty : view_.GetDirtyList()) {
      const RECT cleared = ClearBufferRect(back_bits_, size, dirty);
      HRGN part = ::CreateRectRgnIndirect(&cleared);
      ::CombineRgn(clip, clip, part, RGN_OR);
      ::DeleteObject(part);
      ::UnionRect(&changed, &changed, &cleared);
    }
  }
  {
    // The back buffer seen top-down as premultiplied ARGB.
    const INT stride = size.cx * 4;
    auto* firstRow = static_cast<BYTE*>(back_bits_) + static_cast<size_t>(size.cy - 1) * stride;
    Gdiplus::Bitmap canvas(size.cx, size.cy, -stride, PixelFormat32bppPARGB, firstRow);
    Gdiplus::Graphics graphics(&canvas);
    Gdiplus::Region region(clip);
    graphics.SetClip(&region);
    view_.Paint(graphics, clip, debug_outline_);
  }
  POINT source{0, 0};
  SIZE windowSize = size;
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  UPDATELAYEREDWINDOWINFO update{sizeof(update)};
  update.psize = &windowSize;
  update.hdcSrc = memory_dc_;
  update.pptSrc = &source;
  update.pblend = &blend;
  update.dwFlags = ULW_ALPHA;
  // A window of a new size takes the whole buffer.
  if (shown_size_.cx != size.cx || shown_size_.cy != size.cy) changed = RECT{0, 0, size.cx, size.cy};
  update.prcDirty = &changed;
  if (!::IsRectEmpty(&changed)) {
    if (::UpdateLayeredWindowIndirect(hwnd(), &update))
      shown_size_ = size;
    else
      LOG_ERROR << "更新分层窗口失败，错误码：" << ::GetLastError();
  }
  ::DeleteObject(clip);
  view_.ClearDirtyList();
}

LRESULT CSWindowHost::OnGetObject(WPARAM wParam, LPARAM lParam) {
  if (static_cast<LONG>(lParam) != OBJID_CLIENT) return static_cast<LRESULT>(E_FAIL);
  IAccessible* object = nullptr;
  if (FAILED(view_.GetAccessibleFor(&view_, &object)) || !object)
    return static_cast<LRESULT>(E_FAIL);
  // __uuidof: the import library of oleacc exports IID_IAccessible as a code stub.
  const LRESULT result = ::LresultFromObject(__uuidof(IAccessible), wParam, object);
  object->Release();
  return result;
}

bool CSWindowHost::ToView(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return Dispatch(view_, hwnd, msg, wParam, lParam, result);
}

bool CSWindowHost::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                        LRESULT& result) {
  if (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST && tooltip_) {
    MSG relay{hwnd, msg, wParam, lParam, 0, {}};
    ::SendMessageW(tooltip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relay));
  }
  result = 0;
  switch (msg) {
    case WM_CREATE:
      OnCreate();
      return true;
    case WM_DESTROY:
      OnDestroy();
      return true;
    case WM_CLOSE: {
      LRESULT ignored = 0;
      ToView(hwnd, msg, wParam, lParam, ignored);
      EndModal(kModalResultClose);
      return true;
    }
    case WM_MOVE:
    case WM_TIMER:
    case WM_MOUSEHOVER:
    case WM_MOUSELEAVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SETCURSOR:
    case WM_NOTIFY:
      return ToView(hwnd, msg, wParam, lParam, result);
    case WM_MOUSEWHEEL: {
      POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ::ScreenToClient(hwnd, &point);
      return ToView(hwnd, msg, wParam, MAKELPARAM(point.x, point.y), result);
    }
    case WM_MOUSEMOVE: {
      const bool handled = ToView(hwnd, msg, wParam, lParam, result);
      UpdateTooltip();
      return handled;
    }
    case SWM_REPAINT:
      RepaintDirty(wParam == kRepaintDirtyOnly);
      return true;
    case WM_MBUTTONUP:
      debug_outline_ = !debug_outline_;
      ::SendMessageW(hwnd, SWM_REPAINT, 0, 0);
      return true;
    case WM_GETOBJECT:
      result = OnGetObject(wParam, lParam);
      return true;
    default:
      return false;
  }
}
