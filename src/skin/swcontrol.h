#pragma once
// The windowless control tree of a skinned window: CSWControl (every
// control), CSWContainer (a control that owns children, the `div`) and
// CSWView (the root, which routes the window's input to the controls and
// collects the rectangles to repaint).

#include <windows.h>
#include "skin/gdiplus_include.h"

#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "skin/accserver.h"
#include "skin/swobject.h"

class CSWSkin;
class CSWStyle;
class CSWContainer;

// Notification codes that controls send to their host window in a SWNOTIFY
// record (WM_NOTIFY, wParam 0).
enum : int {
  SWN_SETFOCUS = -94,
  SWN_CAPTURE = -95,
  SWN_KEYDOWN = -96,
  SWN_KILLFOCUS = -97,
  SWN_INVALIDATE = -98,
};

// Posted to the host window to repaint the view's dirty rectangles. Sent
// with wParam 0 and nothing dirty, it repaints the whole window.
constexpr UINT SWM_REPAINT = 0x103FF;
// wParam of the posted repaint: every invalidation posts one, and the first
// to arrive repaints them all, so the later ones find nothing to do.
constexpr WPARAM kRepaintDirtyOnly = 1;

// The drag-move system command a press on a non-interactive spot sends.
constexpr WPARAM kSysCommandDragMove = 0xF012;

struct SWNOTIFY {
  HWND hwndFrom;  // always null: controls have no window of their own
  UINT idFrom;    // the sending control's id
  int code;       // SWN_*
  RECT rc;        // SWN_INVALIDATE: the rectangle to repaint; zero otherwise
};

// SWN_KEYDOWN carries the key message's parameters after the record.
struct SWKEYNOTIFY {
  SWNOTIFY hdr;
  uint32_t key;      // wParam: virtual-key code
  uint32_t keyData;  // lParam: repeat count and flags
};

// Reads "x,y,w,h" (missing numbers 0) and returns the rectangle at `scale`
// percent, each number scaled on its own: (sx, sy, sx + sw, sy + sh).
RECT ScaledPositionRect(const std::string& pos, int scale);

// The red-dot badge every control can carry; drawn after the control.
class CSWRedDot {
 public:
  virtual ~CSWRedDot() = default;

 protected:
  bool has_red_dot_ = false;
  RECT red_dot_rect_ = {};  // relative to the control's top-left corner
  CSWSkin* red_dot_skin_ = nullptr;
  std::string red_dot_pos_;  // "x,y,w,h" as written
};

class CSWControl : public CSWRedDot, public CSWObject, public CAccessibleCallbackImpl {
 public:
  CSWControl() = default;
  ~CSWControl() override = default;
  CSWControl(const CSWControl&) = delete;
  CSWControl& operator=(const CSWControl&) = delete;

  virtual void SetHostWindow(HWND window) { host_ = window; }
  // Draws the control itself; `clip` is the region being repainted (may be
  // null: everything).
  virtual void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline);
  virtual bool IsContainer() const { return false; }
  virtual bool HasNativeWindow() const { return false; }
  virtual void SetCaption(const std::wstring& text) { caption_ = text; }
  virtual std::wstring GetCaption() const { return caption_; }
  virtual void SetRect(int left, int top, int right, int bottom);
  virtual RECT GetRect() const { return rect_; }
  virtual void SetCheck(bool check) { check_ = check; }
  virtual bool GetCheck() const { return check_; }
  // Hiding a focused control gives up its focus.
  virtual void SetVisible(bool visible);
  virtual bool IsVisible() const { return visible_; }
  // The visual state follows: 0 when enabling, 4 (disabled) when disabling.
  virtual void SetEnabled(bool enabled);
  virtual bool IsEnabled() const { return enabled_; }
  virtual bool IsFocused() const { return focused_; }
  // Stores the flag and asks for a repaint; a tab stop that gains the focus
  // also tells accessibility clients.
  virtual void SetFocused(bool focused);
  virtual void SetTabStop(bool tabStop) { tab_stop_ = tabStop; }
  virtual bool IsTabStop() const { return tab_stop_; }
  virtual void SetTip(const std::wstring& tip) { tip_ = tip; }
  virtual std::wstring GetTip() const { return tip_; }
  // The id when the control is visible, enabled and `point` lies inside
  // (right and bottom edges excluded); 0 otherwise.
  virtual int HitTest(POINT point) const;
  virtual bool WantsHandCursor() const { return true; }
  // Base message handling. The caller clears the handled flag first
  // (Dispatch does); a handler that acts on the message sets it.
  virtual void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

  // Applies an "<xmlattr>" node: the attributes, then the "~" string
  // references, the position (display-scaled) and the parent's offset.
  int LoadAttributes(const boost::property_tree::ptree& node) override;
  int SetAttribute(std::string name, std::string value) override;

  // Draws the control when visible: content (when it meets the clip region;
  // containers always), the debug outline, then the red dot.
  void Paint(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline);
  void Invalidate();     // SWN_INVALIDATE with the control's rectangle
  void RequestFocus();   // SWN_SETFOCUS
  void ReleaseFocus();   // SWN_KILLFOCUS

  int GetId() const { return id_; }
  int GetState() const { return state_; }
  void SetState(int state) { state_ = state; }
  HWND GetHostWindow() const { return host_; }
  CSWContainer* GetParent() const { return parent_; }
  void SetParent(CSWContainer* parent) { parent_ = parent; }
  CSWStyle* GetStyle() const { return style_; }
  CSWSkin* GetSkin() const { return skin_; }
  bool IsCreated() const { return created_; }
  const std::wstring& GetAccName() const { return acc_name_; }
  const std::shared_ptr<CSWControl>& GetHoverPartner() const { return hover_partner_; }
  void SetHoverPartner(std::shared_ptr<CSWControl> partner) { hover_partner_ = std::move(partner); }
  bool HasRedDot() const { return has_red_dot_; }
  RECT GetRedDotRect() const { return red_dot_rect_; }

  bool IsMsgHandled() const { return handled_; }
  void SetMsgHandled(bool handled) { handled_ = handled; }

  // What every control answers to accessibility clients, always about the
  // control itself (the child argument is not looked at). The operations
  // without an answer succeed without writing the result.
  HRESULT get_accParent(IDispatch** parent) override;
  HRESULT get_accChildCount(long* count) override;
  // The first non-empty of the accessible name, the tip and the caption.
  HRESULT get_accName(VARIANT child, BSTR* name) override;
  // Invisible alone when hidden; else focusable, focused and checked.
  HRESULT get_accState(VARIANT child, VARIANT* state) override;
  HRESULT get_accHelp(VARIANT child, BSTR* help) override;
  HRESULT get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override;
  HRESULT get_accKeyboardShortcut(VARIANT child, BSTR* keys) override;
  HRESULT get_accFocus(VARIANT* focus) override;
  HRESULT get_accSelection(VARIANT* selection) override;
  HRESULT get_accDefaultAction(VARIANT child, BSTR* action) override;
  HRESULT accSelect(long flags, VARIANT child) override;
  // The control rectangle in screen coordinates.
  HRESULT accLocation(long* left, long* top, long* width, long* height, VARIANT child) override;
  HRESULT accNavigate(long direction, VARIANT start, VARIANT* end) override;
  HRESULT accHitTest(long x, long y, VARIANT* child) override;

 protected:
  // Sends a SWNOTIFY record to the host window (nothing without one).
  void SendNotify(int code, const RECT& rc = RECT{});
  // Sends the click (WM_COMMAND with the id) to the host window.
  void SendClick();
  // Raises an accessibility event for this control (OBJID_CLIENT, child -id).
  void NotifyAccessibility(DWORD event);
  // Sets `state` on the hover partner chain (each partner once).
  void SetPartnerState(int state);

  bool handled_ = false;
  HWND host_ = nullptr;
  CSWContainer* parent_ = nullptr;
  std::shared_ptr<CSWControl> hover_partner_;
  CSWStyle* style_ = nullptr;
  CSWSkin* skin_ = nullptr;
  int id_ = 0;
  RECT rect_ = {};
  int state_ = 0;
  std::wstring tip_;
  std::wstring caption_;
  std::string pos_;  // "x,y,w,h" as written
  std::wstring acc_name_;
  bool created_ = false;
  bool check_ = false;
  bool visible_ = true;
  bool enabled_ = true;
  bool tab_stop_ = false;
  bool focused_ = false;
};

// Clears the control's handled flag, passes the message and returns whether
// the control handled it.
bool Dispatch(CSWControl& control, HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
              LRESULT& result);

class CSWContainer : public CSWControl {
 public:
  using Children = std::vector<std::shared_ptr<CSWControl>>;

  bool IsType(const std::string& name) const override { return name == "div"; }
  void SetHostWindow(HWND window) override;
  void DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) override;
  bool IsContainer() const override { return true; }
  void SetVisible(bool visible) override;
  int HitTest(POINT point) const override;
  bool WantsHandCursor() const override { return false; }
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

  // Given the whole element: its "<xmlattr>" node, then every child element
  // the factory knows, in document order. Throws the reader's exception for
  // a leaf element without attributes.
  int LoadAttributes(const boost::property_tree::ptree& element) override;
  int SetAttribute(std::string name, std::string value) override;

  // Appends a child: this container becomes its parent, and a hidden
  // container hides it.
  void AddChild(std::shared_ptr<CSWControl> child);
  const Children& GetChildren() const { return children_; }

  // The leaf control under `point` (the first hit in list order, depth first);
  // empty when none.
  std::shared_ptr<CSWControl> HitTestControl(POINT point) const;
  // Depth first in document order; the first of duplicate ids wins.
  std::shared_ptr<CSWControl> FindControlById(int id) const;
  // The next (previous) visible tab stop after (before) the control `id` in
  // document order; with `startFound` the search starts at the first (last)
  // control. Behind the last (before the first) tab stop of a nested
  // container the search ends empty, so that the caller wraps around.
  std::shared_ptr<CSWControl> FindNextTabStop(int id, bool startFound) const;
  std::shared_ptr<CSWControl> FindPrevTabStop(int id, bool startFound) const;

 protected:
  Children children_;
  CSWSkin* background_skin_ = nullptr;
  uint32_t background_colour_ = 0;

 private:
  // The tab-stop walk: `found` turns true once the control `id` was passed
  // at this level or was given as true.
  std::shared_ptr<CSWControl> FindTabStop(int id, bool found, bool forward) const;
};

// The control factory of the layout loader: a new control for a layout
// element name, or empty for names it does not know (they are skipped).
std::shared_ptr<CSWControl> CreateControl(const std::string& elementName);

class CSWView : public CSWContainer {
 public:
  bool IsType(const std::string& name) const override { return name == "view"; }
  // The routing of the host window's messages to the controls.
  void OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

  // Operations the window controllers use through their window; each looks
  // the control up by id and does nothing for an unknown id.
  void ShowControl(int id, bool visible);
  void SetControlText(int id, const std::wstring& text);
  std::wstring GetControlText(int id) const;  // empty for an unknown id
  void EnableControl(int id, bool enable);
  bool IsControlChecked(int id) const;  // true for an unknown id
  void SetControlAttribute(int id, const std::string& name, const std::string& value);
  // The control `id` follows (lends its hover state to) the control `partnerId`.
  void SetHoverPartner(int partnerId, int id);
  // Adds the control's rectangle (and its hover partner's) to the dirty list
  // once the view is created; the caller posts the repaint.
  void InvalidateControl(const std::shared_ptr<CSWControl>& control);

  const std::vector<RECT>& GetDirtyList() const { return dirty_; }
  void ClearDirtyList() { dirty_.clear(); }
  const std::shared_ptr<CSWControl>& GetFocusedControl() const { return focused_control_; }
  const std::shared_ptr<CSWControl>& GetHoveredControl() const { return hovered_; }
  const std::shared_ptr<CSWControl>& GetCapturedControl() const { return captured_; }

  // The root of the window's accessible tree: a window whose children are
  // the controls directly in the view. Child ids -n name the control n
  // anywhere in the tree (the ids the controls' WinEvents carry).
  HRESULT get_accChildCount(long* count) override;
  HRESULT get_accChild(VARIANT child, IDispatch** result) override;
  HRESULT get_accName(VARIANT child, BSTR* name) override;
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
  // Hands out the objects of the direct children in list order.
  HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) override;

 private:
  void OnNotify(const SWNOTIFY& notify);
  void MoveFocusByTab();
  void PostRepaint();
  bool AcceptsMouse() const { return visible_ && enabled_; }
  // Sends a message to a control with its handled flag cleared; true when handled.
  static bool SendTo(const std::shared_ptr<CSWControl>& control, UINT msg, WPARAM wParam,
                     LPARAM lParam, LRESULT& result);

  bool tracking_ = false;
  std::shared_ptr<CSWControl> hover_notified_;
  std::shared_ptr<CSWControl> hovered_;
  std::shared_ptr<CSWControl> captured_;
  std::shared_ptr<CSWControl> focused_control_;
  std::vector<RECT> dirty_;
};

// True for the control types a press is delivered to (the others start a
// window drag): button, link, checkbox, edit, richedit, scrollbar, list.
bool TakesMousePress(const CSWControl& control);
