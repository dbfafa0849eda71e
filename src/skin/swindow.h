#pragma once
// The skinned window host: a borderless layered popup with per-pixel alpha
// whose whole picture is drawn by its control tree into a 32-bit back
// buffer. It forwards the window messages to its view, repaints the dirty
// rectangles, shows tooltips, answers accessibility requests and runs
// modally.
//
// A window class derives from CSWindowImlp<itself>, fixes its layout id and
// overrides ProcessWindowMessage for its own messages (WM_INITDIALOG,
// WM_COMMAND ...), ending with a call to CSWindowImlp's:
//
//   class CMyDlg : public CSWindowImlp<CMyDlg> {
//    public:
//     CMyDlg() : CSWindowImlp(500) {}
//     bool ProcessWindowMessage(HWND h, UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
//       if (m == WM_COMMAND && LOWORD(w) == 1001) { EndModal(1001); return true; }
//       return CSWindowImlp::ProcessWindowMessage(h, m, w, l, r);
//     }
//   };

#include <windows.h>

#include <string>

#include "skin/nativewindow.h"
#include "skin/swcontrol.h"
#include "skin/swobject.h"

// The command id a WM_CLOSE ends the modal run with.
constexpr int kModalResultClose = 8;

// Whole pixel rows of the back buffer: the DIB is bottom-up, so client row y
// is buffer row height - 1 - y. Clears `rect` (clamped to the buffer) to fully
// transparent and returns the part that was cleared.
RECT ClearBufferRect(void* bits, SIZE size, const RECT& rect);

class CSWindowHost : public CNativeWindow, public CSWObject {
 public:
  explicit CSWindowHost(int layoutId);
  ~CSWindowHost() override;

  // Loads the layout, creates and shows the window and runs its message loop
  // until EndModal, WM_CLOSE (result 8), WM_QUIT or destruction. Without an
  // owner the active window is the owner; it is disabled meanwhile. 0 when
  // the layout cannot be loaded or the window not created.
  int DoModal(HWND owner = nullptr);
  // Ends the modal loop with `result`; nothing outside the loop.
  void EndModal(int result);

  // Fills the window's size and the view from the XML layout resource `id`.
  bool LoadLayout(int id);
  // Fills them from a layout document's text (what LoadLayout reads).
  bool LoadLayoutText(const std::string& xml);

  // Show (0), shrink-fade-hide (1) or fade-hide (2) animation of the window;
  // returns the number of frames presented.
  int PlayWindowAnimation(int mode);

  // The controller's view operations.
  void ShowControl(int id, bool visible) { view_.ShowControl(id, visible); }
  void SetControlText(int id, const std::wstring& text) { view_.SetControlText(id, text); }
  std::wstring GetControlText(int id) const { return view_.GetControlText(id); }
  void EnableControl(int id, bool enable) { view_.EnableControl(id, enable); }
  bool IsControlChecked(int id) const { return view_.IsControlChecked(id); }
  void SetControlAttribute(int id, const std::string& name, const std::string& value) {
    view_.SetControlAttribute(id, name, value);
  }
  void SetHoverPartner(int partnerId, int id) { view_.SetHoverPartner(partnerId, id); }

  CSWView& GetView() { return view_; }
  SIZE GetClientSize() const { return {client_.right - client_.left, client_.bottom - client_.top}; }
  bool IsDebugOutline() const { return debug_outline_; }
  // The back buffer's pixels (premultiplied BGRA, bottom-up rows); null
  // while the window does not exist.
  const void* GetBackBufferBits() const { return back_bits_; }

  bool IsType(const std::string& name) const override { return name == "window"; }
  int LoadAttributes(const boost::property_tree::ptree& node) override;
  int SetAttribute(std::string name, std::string value) override;

  // The host's message handling; derived classes call it after their own.
  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

 protected:
  const NativeWindowClass& WindowClass() const override;

  // Repaints the view's dirty rectangles into the back buffer and pushes
  // them to the screen; with none, the whole window, or nothing when
  // `dirty_only`.
  void RepaintDirty(bool dirty_only);

  // Cleared in WM_INITDIALOG by windows that show themselves later.
  bool show_on_init_ = true;

 private:
  bool OnCreate();
  void OnDestroy();
  void RunModalLoop();
  bool ToView(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
  void CreateTooltip();
  void UpdateTooltip();
  LRESULT OnGetObject(WPARAM wParam, LPARAM lParam);
  void FreeBackBuffer();

  HDC memory_dc_ = nullptr;
  HBITMAP back_buffer_ = nullptr;
  HGDIOBJ old_bitmap_ = nullptr;
  void* back_bits_ = nullptr;
  SIZE shown_size_{};  // of the last update of the layered window
  int layout_id_;
  int modal_result_ = 0;
  bool in_modal_ = false;
  bool keep_running_ = false;
  bool debug_outline_ = false;
  CSWView view_;
  HWND tooltip_ = nullptr;
  std::shared_ptr<CSWControl> tooltip_control_;
  std::wstring tooltip_text_;
  RECT client_ = {};
  int width_ = 0;
  int height_ = 0;
};

// The window template the window classes derive from (T is the derived class).
template <class T>
class CSWindowImlp : public CSWindowHost {
 public:
  explicit CSWindowImlp(int layoutId) : CSWindowHost(layoutId) {}
};
