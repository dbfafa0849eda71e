#include "skin/nativewindow.h"

#include <map>
#include <string>

#include "common/logging.h"

namespace {

const wchar_t kObjectProperty[] = L"OrvNativeWindowObject";

// The object whose window is being created on this thread: messages that
// arrive before CreateWindowExW returns (WM_NCCREATE, WM_GETMINMAXINFO, ...)
// find their object through it.
thread_local CNativeWindow* t_creating = nullptr;

struct RegisteredClass {
  ATOM atom = 0;
  WNDPROC superProc = nullptr;
};

// Registers the class on first use; returns its entry (atom 0 on failure).
const RegisteredClass& EnsureClass(const NativeWindowClass& wanted, WNDPROC proc) {
  static std::map<std::wstring, RegisteredClass> registered;
  auto it = registered.find(wanted.name);
  if (it != registered.end()) return it->second;

  HINSTANCE module = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  RegisteredClass entry;
  if (wanted.superclassOf) {
    if (!::GetClassInfoExW(nullptr, wanted.superclassOf, &wc)) {
      LOG_ERROR << "获取窗口类失败：" << wanted.superclassOf << "，错误码：" << ::GetLastError();
      return registered[wanted.name];
    }
    entry.superProc = wc.lpfnWndProc;
  } else {
    wc.style = wanted.style;
    wc.hCursor = wanted.cursor ? ::LoadCursorW(nullptr, wanted.cursor) : nullptr;
    wc.hbrBackground = wanted.backgroundColor >= 0
                           ? reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(wanted.backgroundColor + 1))
                           : nullptr;
  }
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = module;
  wc.lpszClassName = wanted.name;
  entry.atom = ::RegisterClassExW(&wc);
  if (!entry.atom) LOG_ERROR << "注册窗口类失败：" << wanted.name << "，错误码：" << ::GetLastError();
  return registered[wanted.name] = entry;
}

}  // namespace

CNativeWindow::~CNativeWindow() { DestroyWindow(); }

const NativeWindowClass& CNativeWindow::WindowClass() const {
  static const NativeWindowClass kClass{L"OrvNativeWindow", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                                        IDC_ARROW, COLOR_WINDOW};
  return kClass;
}

HWND CNativeWindow::Create(HWND parent, const RECT& rect, const wchar_t* title, DWORD style,
                           DWORD exStyle, HMENU menuOrId) {
  if (hwnd_) return nullptr;
  const RegisteredClass& cls = EnsureClass(WindowClass(), &CNativeWindow::WindowProc);
  if (!cls.atom) return nullptr;
  superProc_ = cls.superProc;
  CNativeWindow* outer = t_creating;
  t_creating = this;
  HWND created = ::CreateWindowExW(exStyle, MAKEINTATOM(cls.atom), title ? title : L"", style,
                                   rect.left, rect.top, rect.right - rect.left,
                                   rect.bottom - rect.top, parent, menuOrId,
                                   ::GetModuleHandleW(nullptr), this);
  t_creating = outer;
  if (!created) {
    LOG_ERROR << "创建窗口失败，错误码：" << ::GetLastError();
    hwnd_ = nullptr;
  }
  return created;
}

void CNativeWindow::DestroyWindow() {
  if (hwnd_ && ::IsWindow(hwnd_)) ::DestroyWindow(hwnd_);
  hwnd_ = nullptr;
}

bool CNativeWindow::ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) { return false; }

LRESULT CNativeWindow::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (superProc_) return ::CallWindowProcW(superProc_, hwnd_, msg, wParam, lParam);
  return ::DefWindowProcW(hwnd_, msg, wParam, lParam);
}

bool CNativeWindow::ReflectNotifications(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  HWND child = nullptr;
  switch (msg) {
    case WM_COMMAND:
      child = reinterpret_cast<HWND>(lParam);
      break;
    case WM_NOTIFY:
      if (lParam) child = reinterpret_cast<const NMHDR*>(lParam)->hwndFrom;
      break;
    case WM_DRAWITEM:
      if (wParam && lParam) child = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem;
      break;
    case WM_MEASUREITEM:
      if (wParam) child = ::GetDlgItem(hwnd_, reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam)->CtlID);
      break;
    case WM_COMPAREITEM:
      if (wParam) child = reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam)->hwndItem;
      break;
    case WM_DELETEITEM:
      if (wParam) child = reinterpret_cast<const DELETEITEMSTRUCT*>(lParam)->hwndItem;
      break;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      child = reinterpret_cast<HWND>(lParam);
      break;
    default:
      return false;
  }
  if (!child || !::IsWindow(child)) return false;
  result = ::SendMessageW(child, kReflectedMessageBase + msg, wParam, lParam);
  if (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC && result == 0) return false;
  return true;
}

LRESULT CALLBACK CNativeWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<CNativeWindow*>(::GetPropW(hwnd, kObjectProperty));
  if (!self && t_creating) {
    self = t_creating;
    t_creating = nullptr;
    self->hwnd_ = hwnd;
    ::SetPropW(hwnd, kObjectProperty, self);
  }
  if (!self) return ::DefWindowProcW(hwnd, msg, wParam, lParam);

  LRESULT result = 0;
  if (!self->ProcessWindowMessage(hwnd, msg, wParam, lParam, result))
    result = self->DefWindowProc(msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    ::RemovePropW(hwnd, kObjectProperty);
    self->hwnd_ = nullptr;
    self->OnFinalMessage(hwnd);
  }
  return result;
}

POINT CenteredPosition(SIZE window, const RECT* owner, const RECT& workArea) {
  const RECT& centre = owner ? *owner : workArea;
  LONG x = (centre.left + centre.right) / 2 - window.cx / 2;
  LONG y = (centre.top + centre.bottom) / 2 - window.cy / 2;
  // Keep the window inside the work area; when it is larger, its top-left
  // corner stays visible.
  if (x + window.cx > workArea.right) x = workArea.right - window.cx;
  if (x < workArea.left) x = workArea.left;
  if (y + window.cy > workArea.bottom) y = workArea.bottom - window.cy;
  if (y < workArea.top) y = workArea.top;
  return {x, y};
}

void CenterWindowOverOwner(HWND hwnd) {
  RECT rect;
  if (!::GetWindowRect(hwnd, &rect)) return;
  HWND owner = ::GetWindow(hwnd, GW_OWNER);
  RECT ownerRect;
  const RECT* over = nullptr;
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner) && ::GetWindowRect(owner, &ownerRect))
    over = &ownerRect;
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromWindow(over ? owner : hwnd, MONITOR_DEFAULTTONEAREST), &monitor);
  POINT pos = CenteredPosition({rect.right - rect.left, rect.bottom - rect.top}, over,
                               monitor.rcWork);
  ::SetWindowPos(hwnd, nullptr, pos.x, pos.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
