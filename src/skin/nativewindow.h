#pragma once
// The small native window layer of the skin framework: window class
// registration (own classes and superclasses of system classes), a window
// procedure that reaches the C++ object, and a message map that derived
// classes override and chain to their base.

#include <windows.h>

// Registration data of a window class. Classes are registered on first use
// and stay registered for the life of the process.
struct NativeWindowClass {
  const wchar_t* name;
  UINT style = 0;
  LPCWSTR cursor = IDC_ARROW;   // system cursor id, or null for none
  int backgroundColor = -1;     // system colour index + 1 as brush, -1 for none
  // When set, the class is a superclass of this system class: its window
  // procedure becomes the default handling of every message.
  const wchar_t* superclassOf = nullptr;
};

// Message number offset of notifications reflected back to the child that
// sent them (WM_COMMAND from an edit arrives at the edit as 0x2000 + 0x111).
constexpr UINT kReflectedMessageBase = 0x2000;

class CNativeWindow {
 public:
  CNativeWindow() = default;
  virtual ~CNativeWindow();
  CNativeWindow(const CNativeWindow&) = delete;
  CNativeWindow& operator=(const CNativeWindow&) = delete;

  // Creates the window; rect is in the parent's client (or screen) coordinates.
  // Returns the handle, or null with the failure logged.
  HWND Create(HWND parent, const RECT& rect, const wchar_t* title, DWORD style,
              DWORD exStyle, HMENU menuOrId = nullptr);
  void DestroyWindow();

  HWND hwnd() const { return hwnd_; }
  bool IsWindow() const { return hwnd_ != nullptr && ::IsWindow(hwnd_); }
  operator HWND() const { return hwnd_; }

  // The message map: handles msg when it knows it, stores the result and
  // returns true; otherwise returns false and the default handling runs.
  virtual bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                    LRESULT& result);

  // Default handling: the superclassed system procedure, or DefWindowProcW.
  LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

 protected:
  virtual const NativeWindowClass& WindowClass() const;
  // Called once the window is gone (after WM_NCDESTROY); the object is
  // detached from the handle by then.
  virtual void OnFinalMessage(HWND) {}

  // Sends a child's notification (WM_COMMAND, WM_NOTIFY, WM_CTLCOLOR..., the
  // scroll and owner-draw messages) back to that child as
  // kReflectedMessageBase + msg. Returns true when it was reflected and
  // counts as handled (a colour message answered 0 does not).
  bool ReflectNotifications(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  WNDPROC superProc_ = nullptr;
};

// Where a window of size `window` goes when centred: over the owner's
// rectangle when given (owner visible and not minimised), otherwise over the
// work area, then moved so that it lies inside the work area. Returns the
// top-left corner.
POINT CenteredPosition(SIZE window, const RECT* owner, const RECT& workArea);

// Centres a top-level window by that rule (over its owner or the work area of
// the nearest monitor).
void CenterWindowOverOwner(HWND hwnd);
