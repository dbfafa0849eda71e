#include "skin/swedit.h"

#include <richedit.h>

#include "common/dll_search.h"
#include "skin/dpi.h"
#include "skin/skin_values.h"
#include "skin/swskin.h"
#include "skin/swstyle.h"
#include "skin/swtext.h"

namespace {

constexpr COLORREF kDefaultEditTextColour = 0x666666;
constexpr int kDefaultFontSize = 12;
constexpr BYTE kGb2312Charset = 134;
constexpr BYTE kPitchAndFamily = 0x20;

const CSWEditBase::NativeKind kEditKind{WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                        WS_EX_CONTROLPARENT,
                                        WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | ES_AUTOHSCROLL, 2};
const CSWEditBase::NativeKind kRichEditKind{
    WS_POPUP, WS_EX_TOOLWINDOW,
    WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_VSCROLL | ES_MULTILINE, 4};

void MoveNative(HWND native, HWND popup) {
  RECT client;
  if (::IsWindow(native) && ::GetClientRect(popup, &client))
    ::MoveWindow(native, 0, 0, client.right, client.bottom, TRUE);
}

}  // namespace

RECT EditInnerRect(const RECT& control, int bottomInset) {
  return RECT{control.left + DpiScale(5), control.top + DpiScale(4), control.right - DpiScale(5),
              control.bottom - DpiScale(bottomInset)};
}

COLORREF EditTextColour(uint32_t styleColour) {
  const COLORREF colour = styleColour & 0x00FFFFFF;
  return styleColour ? colour : kDefaultEditTextColour;
}

// ---------------------------------------------------------------------------
// Native controls

const NativeWindowClass& CSWRealEdit::WindowClass() const {
  static const NativeWindowClass kClass{L"OrvSkinEdit", 0, nullptr, -1, L"EDIT"};
  return kClass;
}

CSWRealEdit::~CSWRealEdit() {
  DestroyWindow();
  if (background_) ::DeleteObject(background_);
}

LRESULT CSWRealEdit::OnControlColour(HDC dc) {
  ::SetBkMode(dc, TRANSPARENT);
  const CSWStyle* style = owner_.GetStyle();
  ::SetTextColor(dc, EditTextColour(style ? style->GetNormalColour() : 0));
  if (!background_) background_ = ::CreateSolidBrush(owner_.GetBackgroundColour());
  return reinterpret_cast<LRESULT>(background_);
}

bool CSWRealEdit::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                       LRESULT& result) {
  switch (msg) {
    case WM_CREATE:
      ::SendMessageW(hwnd, EM_SETREADONLY, owner_.IsReadOnly(), 0);
      return false;
    case WM_SETFOCUS:
      focused_ = true;
      owner_.NotifyFromNative(SWN_SETFOCUS);
      owner_.NotifyFromNative(SWN_INVALIDATE, owner_.GetRect());
      return false;
    case WM_KILLFOCUS:
      focused_ = false;
      owner_.NotifyFromNative(SWN_KILLFOCUS);
      owner_.NotifyFromNative(SWN_INVALIDATE, owner_.GetRect());
      return false;
    case WM_KEYDOWN:
      owner_.NotifyKeyDown(wParam, lParam);
      return false;
    case WM_MOUSEMOVE:
      if (!hovered_) {
        // The leave notification must be asked for; the system edit does not.
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, hwnd, 0};
        ::TrackMouseEvent(&track);
        hovered_ = true;
        owner_.NotifyFromNative(SWN_INVALIDATE, owner_.GetRect());
      }
      return false;
    case WM_MOUSELEAVE:
      hovered_ = false;
      owner_.NotifyFromNative(SWN_INVALIDATE, owner_.GetRect());
      return false;
    case kReflectedMessageBase + WM_COMMAND:
      if (HIWORD(wParam) == EN_CHANGE) {
        // The text background is transparent: old glyphs must be erased.
        ::InvalidateRect(hwnd, nullptr, TRUE);
        result = 0;
        return true;
      }
      break;
    case kReflectedMessageBase + WM_CTLCOLOREDIT:
    case kReflectedMessageBase + WM_CTLCOLORSTATIC:
      result = OnControlColour(reinterpret_cast<HDC>(wParam));
      return true;
    default:
      break;
  }
  if (msg >= kReflectedMessageBase && msg < kReflectedMessageBase + WM_USER) {
    result = ::DefWindowProcW(hwnd, msg - kReflectedMessageBase, wParam, lParam);
    return true;
  }
  return false;
}

const NativeWindowClass& CSWRealRichEdit::WindowClass() const {
  static const NativeWindowClass kClass{L"OrvSkinRichEdit", 0, nullptr, -1, RICHEDIT_CLASSW};
  return kClass;
}

bool CSWRealRichEdit::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                           LRESULT& result) {
  if (msg == WM_CREATE) {
    ::SendMessageW(hwnd, EM_SETREADONLY, owner_.IsReadOnly(), 0);
    return false;
  }
  if (msg >= kReflectedMessageBase && msg < kReflectedMessageBase + WM_USER) {
    result = ::DefWindowProcW(hwnd, msg - kReflectedMessageBase, wParam, lParam);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Popup

const NativeWindowClass& CSWEditPopup::WindowClass() const {
  static const NativeWindowClass kClass{L"OrvSkinEditPopup", 0, IDC_ARROW, -1};
  return kClass;
}

CSWEditPopup::~CSWEditPopup() {
  DestroyWindow();
  if (font_) ::DeleteObject(font_);
}

bool CSWEditPopup::OnCreate(HWND hwnd) {
  RECT client;
  ::GetClientRect(hwnd, &client);
  DWORD style = owner_.kind_.nativeStyle;
  if (owner_.IsReadOnly()) style |= ES_READONLY;
  if (!native_.Create(hwnd, client, L"", style, WS_EX_CONTROLPARENT)) return false;
  if (!font_) {
    const CSWStyle* textStyle = owner_.GetStyle();
    const int size = textStyle && textStyle->GetFontSize() ? textStyle->GetFontSize()
                                                           : kDefaultFontSize;
    font_ = ::CreateFontW(DpiScale(-size), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, kGb2312Charset,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          kPitchAndFamily, L"微软雅黑");
  }
  // Without a font of its own the native edit keeps the system font.
  if (font_) ::SendMessageW(native_.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  return true;
}

bool CSWEditPopup::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                        LRESULT& result) {
  switch (msg) {
    case WM_CREATE:
      OnCreate(hwnd);
      result = 0;
      return true;
    case WM_DESTROY:
      result = 0;
      return true;
    default:
      return ReflectNotifications(msg, wParam, lParam, result);
  }
}

// ---------------------------------------------------------------------------
// CSWEditBase

CSWEditBase::CSWEditBase(CNativeWindow& native, const NativeKind& kind)
    : kind_(kind), popup_(*this, native) {}

CSWEditBase::~CSWEditBase() = default;

int CSWEditBase::SetAttribute(std::string name, std::string value) {
  if (CSWControl::SetAttribute(name, value)) return 1;
  if (name == "bgcolor") {
    background_colour_ = skin::ParseColour(value);
  } else if (name == "readonly") {
    read_only_ = skin::ParseBool(value);
  } else {
    return 0;
  }
  return 1;
}

HRESULT CSWEditBase::get_accRole(VARIANT, VARIANT* role) { return WriteAccRole(role, ROLE_SYSTEM_TEXT); }

RECT CSWEditBase::NativeScreenRect() const {
  RECT inner = EditInnerRect(rect_, kind_.bottomInset);
  POINT origin{0, 0};
  if (host_) ::ClientToScreen(host_, &origin);
  ::OffsetRect(&inner, origin.x, origin.y);
  return inner;
}

void CSWEditBase::SetCaption(const std::wstring& text) {
  CSWControl::SetCaption(text);
  if (popup_.IsWindow()) ::SetWindowTextW(NativeControl().hwnd(), text.c_str());
}

std::wstring CSWEditBase::GetCaption() const {
  HWND native = NativeControl().hwnd();
  if (!popup_.IsWindow() || !native) return std::wstring();
  const int length = ::GetWindowTextLengthW(native);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = ::GetWindowTextW(native, text.data(), length + 1);
  text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
  return text;
}

void CSWEditBase::PlacePopup() {
  if (!popup_.IsWindow()) return;
  const RECT screen = NativeScreenRect();
  ::MoveWindow(popup_.hwnd(), screen.left, screen.top, screen.right - screen.left,
               screen.bottom - screen.top, TRUE);
  MoveNative(NativeControl().hwnd(), popup_.hwnd());
}

void CSWEditBase::SetRect(int left, int top, int right, int bottom) {
  CSWControl::SetRect(left, top, right, bottom);
  PlacePopup();
}

void CSWEditBase::SetVisible(bool visible) {
  CSWControl::SetVisible(visible);
  // Shown without activation: the skinned window keeps the keyboard.
  if (popup_.IsWindow()) ::ShowWindow(popup_.hwnd(), visible ? SW_SHOWNA : SW_HIDE);
}

void CSWEditBase::NotifyKeyDown(WPARAM key, LPARAM keyData) {
  if (!host_) return;
  SWKEYNOTIFY notify{{nullptr, static_cast<UINT>(id_), SWN_KEYDOWN, RECT{}},
                     static_cast<uint32_t>(key), static_cast<uint32_t>(keyData)};
  ::SendMessageW(host_, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
}

bool CSWEditBase::CreatePopup() {
  const RECT screen = NativeScreenRect();
  if (!popup_.Create(host_, screen, L"", kind_.popupStyle, kind_.popupExStyle)) return false;
  OnNativeCreated();
  ::SetWindowTextW(NativeControl().hwnd(), caption_.c_str());
  if (visible_) ::ShowWindow(popup_.hwnd(), SW_SHOWNA);
  return true;
}

void CSWEditBase::DestroyPopup() {
  if (!popup_.IsWindow()) return;
  ::ShowWindow(popup_.hwnd(), SW_HIDE);
  popup_.DestroyWindow();
}

void CSWEditBase::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (msg) {
    case WM_CREATE:
      if (!host_) {
        handled_ = true;
        result = -1;
        return;
      }
      CreatePopup();
      break;
    case WM_MOVE:
      PlacePopup();
      handled_ = true;
      result = 0;
      return;
    case WM_DESTROY:
      DestroyPopup();
      handled_ = true;
      result = 0;
      return;
    default:
      break;
  }
  CSWControl::OnMessage(window, msg, wParam, lParam, result);
}

// ---------------------------------------------------------------------------
// CSWEdit, CSWRichEdit

CSWEdit::CSWEdit() : CSWEditBase(native_, kEditKind), native_(*this) {}

CSWEdit::~CSWEdit() { DestroyPopup(); }

void CSWEdit::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!skin_) return;
  const bool hovered =
      state_ == kStateHover || state_ == kStatePressed || native_.IsHovered();
  Gdiplus::Rect area = ControlRect(rect_);
  skin_->Draw(graphics, &area, hovered ? 1 : 0, 1.0f);
}

CSWRichEdit::CSWRichEdit() : CSWEditBase(native_, kRichEditKind), native_(*this) {}

CSWRichEdit::~CSWRichEdit() { DestroyPopup(); }

void CSWRichEdit::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) {
  if (msg == WM_CREATE) {
    // The module registers "RichEdit20W"; it stays loaded for the process.
    // Only the system's own copy: by name, a "riched20.dll" beside the
    // program (an elevated one) would come first. Without it the class cannot
    // be superclassed, which is logged there.
    [[maybe_unused]] static const HMODULE richEdit = LoadSystemLibrary(L"riched20.dll");
  }
  CSWEditBase::OnMessage(window, msg, wParam, lParam, result);
}

void CSWRichEdit::OnNativeCreated() {
  ::SendMessageW(native_.hwnd(), EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(GetBackgroundColour()));
}

void CSWRichEdit::DrawContent(Gdiplus::Graphics& graphics, HRGN, bool) {
  if (!skin_) return;
  Gdiplus::Rect area = ControlRect(rect_);
  skin_->Draw(graphics, &area, 0, 1.0f);
}
