#pragma once
// Text entry: a skinned control that draws its background in the skinned
// window and keeps a native edit ("EDIT", or "RichEdit20W" for the rich
// edit) in a borderless popup owned by the skinned window, placed over the
// control's inner rectangle in screen coordinates.

#include "skin/nativewindow.h"
#include "skin/swcontrol.h"

class CSWEditBase;

// The system edit class, superclassed: colours its text and background and
// reports focus, hover and keys to the skinned window.
class CSWRealEdit : public CNativeWindow {
 public:
  explicit CSWRealEdit(CSWEditBase& owner) : owner_(owner) {}
  ~CSWRealEdit() override;
  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;
  bool IsHovered() const { return hovered_; }
  bool HasFocus() const { return focused_; }

 protected:
  const NativeWindowClass& WindowClass() const override;

 private:
  LRESULT OnControlColour(HDC dc);

  CSWEditBase& owner_;
  bool focused_ = false;
  bool hovered_ = false;
  HBRUSH background_ = nullptr;  // answered to every colour message, owned
};

// The system rich-edit class, superclassed; only made read-only.
class CSWRealRichEdit : public CNativeWindow {
 public:
  explicit CSWRealRichEdit(CSWEditBase& owner) : owner_(owner) {}
  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

 protected:
  const NativeWindowClass& WindowClass() const override;

 private:
  CSWEditBase& owner_;
};

// The popup that holds the native control; reflects its notifications back
// to it.
class CSWEditPopup : public CNativeWindow {
 public:
  CSWEditPopup(CSWEditBase& owner, CNativeWindow& native) : owner_(owner), native_(native) {}
  ~CSWEditPopup() override;
  bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) override;

 protected:
  const NativeWindowClass& WindowClass() const override;

 private:
  bool OnCreate(HWND hwnd);

  CSWEditBase& owner_;
  CNativeWindow& native_;
  HFONT font_ = nullptr;  // the native control's font, owned
};

// What CSWEdit and CSWRichEdit share: attributes, the popup's placement and
// lifetime, the caption kept by the native control.
class CSWEditBase : public CSWControl {
 public:
  bool HasNativeWindow() const override { return true; }
  // Stores the text and puts it into the native control once it exists.
  void SetCaption(const std::wstring& text) override;
  // The native control's current text (empty while there is none).
  std::wstring GetCaption() const override;
  void SetRect(int left, int top, int right, int bottom) override;
  void SetVisible(bool visible) override;
  bool WantsHandCursor() const override { return false; }
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  // bgcolor, readonly.
  int SetAttribute(std::string name, std::string value) override;
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;

  bool IsReadOnly() const { return read_only_; }
  COLORREF GetBackgroundColour() const { return background_colour_; }
  HWND GetPopupWindow() const { return popup_.hwnd(); }
  HWND GetNativeWindow() const { return NativeControl().hwnd(); }
  // The native control's rectangle in screen coordinates.
  RECT NativeScreenRect() const;

  // Notifications of the native control, sent to the skinned window with
  // this control's id.
  void NotifyFromNative(int code, const RECT& rc = RECT{}) { SendNotify(code, rc); }
  void NotifyKeyDown(WPARAM key, LPARAM keyData);

  struct NativeKind {
    DWORD popupStyle;
    DWORD popupExStyle;
    DWORD nativeStyle;  // without ES_READONLY
    int bottomInset;    // at 100 %
  };

 protected:
  CSWEditBase(CNativeWindow& native, const NativeKind& kind);
  ~CSWEditBase() override;
  virtual const CNativeWindow& NativeControl() const = 0;
  // After the popup and the native control were created.
  virtual void OnNativeCreated() {}
  // Hides and destroys the popup with the native control; derived classes
  // call it before their native control object goes.
  void DestroyPopup();

 private:
  friend class CSWEditPopup;
  bool CreatePopup();
  void PlacePopup();

  bool read_only_ = false;
  COLORREF background_colour_ = 0xFFFFFF;
  const NativeKind& kind_;
  CSWEditPopup popup_;
};

class CSWEdit : public CSWEditBase {
 public:
  CSWEdit();
  ~CSWEdit() override;
  bool IsType(const std::string& name) const override { return name == "edit"; }
  // Skin frame 1 while hovered (the control or the native edit), else 0.
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  bool IsNativeFocused() const { return native_.HasFocus(); }

 protected:
  const CNativeWindow& NativeControl() const override { return native_; }

 private:
  CSWRealEdit native_;
};

class CSWRichEdit : public CSWEditBase {
 public:
  CSWRichEdit();
  ~CSWRichEdit() override;
  bool IsType(const std::string& name) const override { return name == "richedit"; }
  // Skin frame 0 over the rectangle.
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  // Loads the rich-edit class before the native control is created.
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 protected:
  const CNativeWindow& NativeControl() const override { return native_; }
  void OnNativeCreated() override;

 private:
  CSWRealRichEdit native_;
};

// The inner rectangle of an edit control (client coordinates of the skinned
// window): inset DpiScale(5) left and right, DpiScale(4) at the top and
// DpiScale(bottomInset) at the bottom.
RECT EditInnerRect(const RECT& control, int bottomInset);

// The text colour of the native edit for a style's normal colour: the colour
// as a GDI colour (its alpha byte dropped), 0x666666 for none or 0.
COLORREF EditTextColour(uint32_t styleColour);
