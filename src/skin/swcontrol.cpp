#include "skin/swcontrol.h"

#include <windowsx.h>

#include <algorithm>

#include "skin/dpi.h"
#include "skin/skin_tables.h"
#include "skin/skin_values.h"
#include "skin/swcontrols.h"
#include "skin/swskin.h"

namespace {

constexpr uint32_t kDebugOutlineColour = 0xFFFF0000;
constexpr DWORD kHoverTimeMs = 200;

Gdiplus::Rect ToGdiplus(const RECT& r) {
  return Gdiplus::Rect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

// A caption, tip or accessible name of "~id" (anything before the "~" is
// dropped) is the string-table text of id.
void ResolveStringReference(std::wstring& text) {
  size_t tilde = text.find(L'~');
  if (tilde != std::wstring::npos) text = GetString(text.substr(tilde + 1));
}

// Only containers answer IsContainer() with true.
CSWContainer& AsContainer(CSWControl& control) { return static_cast<CSWContainer&>(control); }

}  // namespace

RECT ScaledPositionRect(const std::string& pos, int scale) {
  int v[4] = {0, 0, 0, 0};
  skin::ParseIntList(pos, v, 4);
  const int x = skin::ScaleLength(v[0], scale);
  const int y = skin::ScaleLength(v[1], scale);
  return RECT{x, y, x + skin::ScaleLength(v[2], scale), y + skin::ScaleLength(v[3], scale)};
}

bool Dispatch(CSWControl& control, HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
              LRESULT& result) {
  control.SetMsgHandled(false);
  control.OnMessage(window, msg, wParam, lParam, result);
  return control.IsMsgHandled();
}

bool TakesMousePress(const CSWControl& control) {
  static const char* const kTypes[] = {"button", "link",     "checkbox", "edit",
                                       "richedit", "scrollbar", "list"};
  return std::any_of(std::begin(kTypes), std::end(kTypes),
                     [&](const char* type) { return control.IsType(type); });
}

std::shared_ptr<CSWControl> CreateControl(const std::string& elementName) {
  if (elementName == "div") return std::make_shared<CSWContainer>();
  return CreateLeafControl(elementName);
}

// ---------------------------------------------------------------------------
// CSWControl

void CSWControl::DrawContent(Gdiplus::Graphics&, HRGN, bool) {}

void CSWControl::SetRect(int left, int top, int right, int bottom) {
  rect_ = RECT{left, top, right, bottom};
}

void CSWControl::SetVisible(bool visible) {
  visible_ = visible;
  if (!visible && focused_) ReleaseFocus();
}

void CSWControl::SetEnabled(bool enabled) {
  enabled_ = enabled;
  state_ = enabled ? kStateNormal : kStateDisabled;
}

void CSWControl::SetFocused(bool focused) {
  focused_ = focused;
  Invalidate();
  if (focused && tab_stop_) {
    NotifyAccessibility(EVENT_OBJECT_VALUECHANGE);
    NotifyAccessibility(EVENT_OBJECT_NAMECHANGE);
    NotifyAccessibility(EVENT_OBJECT_FOCUS);
  }
}

int CSWControl::HitTest(POINT point) const {
  return IsVisible() && IsEnabled() && ::PtInRect(&rect_, point) ? id_ : 0;
}

void CSWControl::OnMessage(HWND, UINT msg, WPARAM wParam, LPARAM, LRESULT& result) {
  switch (msg) {
    case WM_CREATE:
      created_ = true;
      break;
    case WM_MOUSEMOVE:
      state_ = kStateHover;
      SetPartnerState(kStateHover);
      break;
    case WM_MOUSELEAVE:
      // A control disabled while hovered keeps its disabled look.
      state_ = enabled_ ? kStateNormal : kStateDisabled;
      SetPartnerState(kStateNormal);
      break;
    case WM_MOUSEHOVER:
    case WM_MOUSEWHEEL:
    case WM_KEYDOWN:
      break;
    case WM_LBUTTONDOWN:
      state_ = kStatePressed;
      if (tab_stop_ && host_) RequestFocus();
      break;
    case WM_LBUTTONUP:
      state_ = kStateHover;
      SendClick();
      break;
    case WM_KEYUP:
      // A disabled control keeps the focus it got by Tab but cannot be pressed.
      if (wParam == VK_SPACE && enabled_) {
        SendClick();
        if (tab_stop_) NotifyAccessibility(EVENT_OBJECT_STATECHANGE);
      }
      break;
    default:
      return;
  }
  handled_ = true;
  result = 0;
}

int CSWControl::SetAttribute(std::string name, std::string value) {
  if (CSWObject::SetAttribute(name, value)) return 1;
  if (name == "id") {
    id_ = skin::ParseDecimal(value);
  } else if (name == "pos") {
    pos_ = value;
  } else if (name == "visible") {
    visible_ = skin::ParseBool(value);
  } else if (name == "check") {
    check_ = skin::ParseBool(value);
  } else if (name == "keytabstop") {
    tab_stop_ = skin::ParseBool(value);
  } else if (name == "style") {
    style_ = ::GetStyle(value);
  } else if (name == "skin") {
    skin_ = ::GetSkin(value);
  } else if (name == "caption") {
    caption_ = skin::Utf8ToWide(value);
  } else if (name == "tip") {
    tip_ = skin::Utf8ToWide(value);
  } else if (name == "accname") {
    acc_name_ = skin::Utf8ToWide(value);
  } else if (name == "HasRedDot") {
    has_red_dot_ = skin::ParseBool(value);
  } else if (name == "RedDotSkin") {
    red_dot_skin_ = ::GetSkin(value);
  } else if (name == "RedDotPos") {
    red_dot_pos_ = value;
  } else {
    return 0;
  }
  return 1;
}

int CSWControl::LoadAttributes(const boost::property_tree::ptree& node) {
  CSWObject::LoadAttributes(node);
  ResolveStringReference(caption_);
  ResolveStringReference(tip_);
  ResolveStringReference(acc_name_);
  const int scale = skin::GetDisplayScale();
  if (!pos_.empty()) rect_ = ScaledPositionRect(pos_, scale);
  if (!red_dot_pos_.empty()) red_dot_rect_ = ScaledPositionRect(red_dot_pos_, scale);
  if (parent_) {
    const RECT origin = parent_->GetRect();
    ::OffsetRect(&rect_, origin.left, origin.top);
  }
  return 1;
}

void CSWControl::Paint(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) {
  if (!IsVisible()) return;
  if (IsContainer() || !clip || ::RectInRegion(clip, &rect_)) DrawContent(graphics, clip, debugOutline);
  // The outline goes over the content, which would otherwise cover it.
  if (debugOutline) {
    Gdiplus::Pen pen(Gdiplus::Color(kDebugOutlineColour), 1.0f);
    graphics.DrawRectangle(&pen, static_cast<INT>(rect_.left), static_cast<INT>(rect_.top),
                           static_cast<INT>(rect_.right - rect_.left - 1),
                           static_cast<INT>(rect_.bottom - rect_.top - 1));
  }
  if (has_red_dot_ && red_dot_skin_) {
    Gdiplus::Rect dot(rect_.left + red_dot_rect_.left, rect_.top + red_dot_rect_.top,
                      red_dot_rect_.right - red_dot_rect_.left,
                      red_dot_rect_.bottom - red_dot_rect_.top);
    red_dot_skin_->Draw(graphics, &dot, 0, 1.0f);
  }
}

void CSWControl::Invalidate() { SendNotify(SWN_INVALIDATE, rect_); }
void CSWControl::RequestFocus() { SendNotify(SWN_SETFOCUS); }
void CSWControl::ReleaseFocus() { SendNotify(SWN_KILLFOCUS); }

void CSWControl::SendNotify(int code, const RECT& rc) {
  if (!host_) return;
  SWNOTIFY notify{nullptr, static_cast<UINT>(id_), code, rc};
  ::SendMessageW(host_, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
}

void CSWControl::SendClick() {
  if (!host_) return;
  // The id travels in the low word, sign-extended like a dialog control id.
  const WPARAM id = static_cast<WPARAM>(static_cast<INT_PTR>(static_cast<short>(id_)));
  ::SendMessageW(host_, WM_COMMAND, id, 0);
}

void CSWControl::NotifyAccessibility(DWORD event) {
  if (host_) ::NotifyWinEvent(event, host_, OBJID_CLIENT, -id_);
}

void CSWControl::SetPartnerState(int state) {
  // Partners may point back at each other: each control of the chain once.
  std::vector<const CSWControl*> seen{this};
  for (CSWControl* partner = hover_partner_.get();
       partner && std::find(seen.begin(), seen.end(), partner) == seen.end();
       partner = partner->hover_partner_.get()) {
    partner->state_ = state;
    seen.push_back(partner);
  }
}

// ---------------------------------------------------------------------------
// CSWContainer

void CSWContainer::SetHostWindow(HWND window) {
  CSWControl::SetHostWindow(window);
  for (auto& child : children_) child->SetHostWindow(window);
}

void CSWContainer::DrawContent(Gdiplus::Graphics& graphics, HRGN clip, bool debugOutline) {
  Gdiplus::Rect area = ToGdiplus(rect_);
  if (background_skin_) {
    background_skin_->Draw(graphics, &area, 0, 1.0f);
  } else if (background_colour_) {
    Gdiplus::SolidBrush brush{Gdiplus::Color(background_colour_)};
    graphics.FillRectangle(&brush, area);
  }
  for (auto& child : children_) child->Paint(graphics, clip, debugOutline);
}

void CSWContainer::SetVisible(bool visible) {
  CSWControl::SetVisible(visible);
  for (auto& child : children_) child->SetVisible(visible);
}

int CSWContainer::HitTest(POINT point) const {
  auto hit = HitTestControl(point);
  return hit ? hit->GetId() : 0;
}

std::shared_ptr<CSWControl> CSWContainer::HitTestControl(POINT point) const {
  if (!IsVisible()) return {};
  for (const auto& child : children_) {
    if (child->IsContainer()) {
      if (auto hit = AsContainer(*child).HitTestControl(point)) return hit;
    } else if (child->HitTest(point) != 0) {
      return child;
    }
  }
  return {};
}

std::shared_ptr<CSWControl> CSWContainer::FindControlById(int id) const {
  for (const auto& child : children_) {
    if (child->GetId() == id) return child;
    if (child->IsContainer()) {
      if (auto found = AsContainer(*child).FindControlById(id)) return found;
    }
  }
  return {};
}

std::shared_ptr<CSWControl> CSWContainer::FindTabStop(int id, bool found, bool forward) const {
  auto visit = [&](const std::shared_ptr<CSWControl>& child) -> std::shared_ptr<CSWControl> {
    if (!found && child->GetId() == id) {
      found = true;  // the start itself is skipped
      return {};
    }
    // The nested search gets its own copy of the flag: passing the start
    // inside it does not make this level go on behind it.
    if (child->IsContainer()) return AsContainer(*child).FindTabStop(id, found, forward);
    if (found && child->IsVisible() && child->IsTabStop()) return child;
    return {};
  };
  if (forward) {
    for (auto it = children_.begin(); it != children_.end(); ++it)
      if (auto hit = visit(*it)) return hit;
  } else {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it)
      if (auto hit = visit(*it)) return hit;
  }
  return {};
}

std::shared_ptr<CSWControl> CSWContainer::FindNextTabStop(int id, bool startFound) const {
  return FindTabStop(id, startFound, true);
}

std::shared_ptr<CSWControl> CSWContainer::FindPrevTabStop(int id, bool startFound) const {
  return FindTabStop(id, startFound, false);
}

void CSWContainer::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                             LRESULT& result) {
  LRESULT childResult = 0;
  switch (msg) {
    case WM_CREATE:
      for (auto& child : children_) Dispatch(*child, window, msg, wParam, lParam, childResult);
      CSWControl::OnMessage(window, msg, wParam, lParam, result);
      return;
    case WM_TIMER:
      for (auto& child : children_) Dispatch(*child, window, msg, wParam, lParam, childResult);
      break;
    case WM_DESTROY:
      // A child may outlive the tree (the view's focus or hover, or a hover
      // partner, still holds it): it must not point at a parent going away.
      for (auto& child : children_) {
        Dispatch(*child, window, msg, wParam, lParam, childResult);
        child->SetParent(nullptr);
      }
      children_.clear();
      break;
    case WM_MOVE:
      for (auto& child : children_) {
        if (child->IsContainer() || child->HasNativeWindow())
          Dispatch(*child, window, msg, wParam, lParam, childResult);
      }
      break;
    default:
      CSWControl::OnMessage(window, msg, wParam, lParam, result);
      return;
  }
  handled_ = true;
  result = 0;
}

void CSWContainer::AddChild(std::shared_ptr<CSWControl> child) {
  child->SetParent(this);
  if (!visible_) child->SetVisible(false);
  children_.push_back(std::move(child));
}

int CSWContainer::LoadAttributes(const boost::property_tree::ptree& element) {
  for (const auto& [name, node] : element) {
    if (name == "<xmlattr>") {
      CSWControl::LoadAttributes(node);
      continue;
    }
    std::shared_ptr<CSWControl> control = CreateControl(name);
    if (!control) continue;
    control->SetParent(this);
    if (control->IsContainer())
      control->LoadAttributes(node);
    else
      control->LoadAttributes(node.get_child("<xmlattr>"));
    AddChild(std::move(control));
  }
  return 1;
}

int CSWContainer::SetAttribute(std::string name, std::string value) {
  if (CSWControl::SetAttribute(name, value)) return 1;
  if (name == "skinbg") {
    background_skin_ = ::GetSkin(value);
  } else if (name == "bgColor") {
    background_colour_ = skin::ParseColour(value);
  } else {
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// CSWView

bool CSWView::SendTo(const std::shared_ptr<CSWControl>& control, UINT msg, WPARAM wParam,
                     LPARAM lParam, LRESULT& result) {
  return Dispatch(*control, nullptr, msg, wParam, lParam, result);
}

void CSWView::PostRepaint() {
  if (created_ && host_) ::PostMessageW(host_, SWM_REPAINT, kRepaintDirtyOnly, 0);
}

void CSWView::InvalidateControl(const std::shared_ptr<CSWControl>& control) {
  if (!created_ || !control) return;
  dirty_.push_back(control->GetRect());
  if (const auto& partner = control->GetHoverPartner()) dirty_.push_back(partner->GetRect());
}

void CSWView::ShowControl(int id, bool visible) {
  auto control = FindControlById(id);
  if (!control) return;
  control->SetVisible(visible);
  InvalidateControl(control);
  PostRepaint();
}

void CSWView::SetControlText(int id, const std::wstring& text) {
  auto control = FindControlById(id);
  if (!control) return;
  control->SetCaption(text);
  InvalidateControl(control);
  PostRepaint();
}

std::wstring CSWView::GetControlText(int id) const {
  auto control = FindControlById(id);
  return control ? control->GetCaption() : std::wstring();
}

void CSWView::EnableControl(int id, bool enable) {
  auto control = FindControlById(id);
  if (!control) return;
  control->SetEnabled(enable);
  InvalidateControl(control);
  PostRepaint();
}

bool CSWView::IsControlChecked(int id) const {
  auto control = FindControlById(id);
  return control ? control->GetCheck() : true;
}

void CSWView::SetControlAttribute(int id, const std::string& name, const std::string& value) {
  auto control = FindControlById(id);
  if (!control) return;
  control->SetAttribute(name, value);
  InvalidateControl(control);
  PostRepaint();
}

void CSWView::SetHoverPartner(int partnerId, int id) {
  if (auto control = FindControlById(id)) control->SetHoverPartner(FindControlById(partnerId));
}

void CSWView::OnNotify(const SWNOTIFY& notify) {
  const int id = static_cast<int>(notify.idFrom);
  switch (notify.code) {
    case SWN_SETFOCUS: {
      if (auto previous = focused_control_) previous->ReleaseFocus();
      focused_control_ = FindControlById(id);
      if (focused_control_) focused_control_->SetFocused(true);
      break;
    }
    case SWN_KILLFOCUS: {
      // The view forgets a focus that was given up, so keys no longer reach
      // a control that was hidden while focused.
      const bool isFocused = focused_control_ && focused_control_->GetId() == id;
      auto control = isFocused ? focused_control_ : FindControlById(id);
      if (isFocused) focused_control_.reset();
      if (control) control->SetFocused(false);
      break;
    }
    case SWN_CAPTURE:
      captured_ = FindControlById(id);
      break;
    case SWN_INVALIDATE:
      dirty_.push_back(notify.rc);
      PostRepaint();
      break;
    default:
      break;
  }
}

void CSWView::MoveFocusByTab() {
  if (host_ && ::GetFocus() != host_) ::SetFocus(host_);
  const bool backward = (::GetKeyState(VK_SHIFT) & 0x8000) != 0;
  const int current = focused_control_ ? focused_control_->GetId() : 0;
  auto next = backward ? FindPrevTabStop(current, current == 0)
                       : FindNextTabStop(current, current == 0);
  if (!next) next = backward ? FindPrevTabStop(0, true) : FindNextTabStop(0, true);
  if (!next) return;
  if (auto previous = focused_control_) previous->ReleaseFocus();
  focused_control_ = next;
  next->RequestFocus();
}

void CSWView::OnMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  LRESULT ignored = 0;
  handled_ = true;
  result = 0;
  switch (msg) {
    case WM_MOUSEMOVE: {
      if (!AcceptsMouse()) return;
      if (captured_) {
        SendTo(captured_, msg, wParam, lParam, ignored);
        InvalidateControl(captured_);
        PostRepaint();
        return;
      }
      if (host_) {
        TRACKMOUSEEVENT track{sizeof(track), TME_HOVER | TME_LEAVE, host_, kHoverTimeMs};
        tracking_ = ::TrackMouseEvent(&track) != FALSE;
      }
      auto hit = HitTestControl(point);
      if (hit) SendTo(hit, msg, wParam, lParam, ignored);
      bool changed = false;
      if (hit != hovered_) {
        if (hovered_) SendTo(hovered_, WM_MOUSELEAVE, 0, 0, ignored);
        InvalidateControl(hovered_);
        InvalidateControl(hit);
        hovered_ = hit;
        changed = true;
      }
      if (hover_notified_ && hover_notified_ != hit) {
        SendTo(hover_notified_, WM_MOUSELEAVE, 0, 0, ignored);
        InvalidateControl(hover_notified_);
        hover_notified_.reset();
        changed = true;
      }
      if (changed) PostRepaint();
      return;
    }
    case WM_MOUSEHOVER: {
      if (!AcceptsMouse() || captured_) return;
      auto hit = HitTestControl(point);
      if (hit != hover_notified_) {
        if (hit) SendTo(hit, msg, wParam, lParam, ignored);
        InvalidateControl(hit);
        hover_notified_ = hit;
        PostRepaint();
      }
      return;
    }
    case WM_MOUSELEAVE: {
      if (!AcceptsMouse() || captured_) return;
      tracking_ = false;
      const bool hadHovered = hovered_ != nullptr;
      if (hovered_) {
        SendTo(hovered_, WM_MOUSELEAVE, 0, 0, ignored);
        InvalidateControl(hovered_);
        hovered_.reset();
      }
      hover_notified_.reset();
      if (hadHovered) PostRepaint();
      return;
    }
    case WM_LBUTTONDOWN: {
      if (!AcceptsMouse()) return;
      auto hit = HitTestControl(point);
      if (hit && TakesMousePress(*hit)) {
        SendTo(hit, msg, wParam, lParam, ignored);
        InvalidateControl(hit);
        PostRepaint();
      } else if (host_) {
        // Any non-interactive spot drags the whole window.
        ::SendMessageW(host_, WM_SYSCOMMAND, kSysCommandDragMove, 0);
      }
      return;
    }
    case WM_LBUTTONUP: {
      if (!AcceptsMouse()) return;
      if (captured_) {
        auto captured = std::move(captured_);
        captured_.reset();
        SendTo(captured, msg, wParam, lParam, ignored);
        return;
      }
      // The click belongs to the control under the pointer at release.
      if (auto hit = HitTestControl(point)) {
        SendTo(hit, msg, wParam, lParam, ignored);
        InvalidateControl(hit);
        PostRepaint();
      }
      return;
    }
    case WM_MOUSEWHEEL: {
      if (!AcceptsMouse() || captured_) return;
      if (auto hit = HitTestControl(point)) {
        LRESULT wheel = 0;
        SendTo(hit, msg, wParam, lParam, wheel);
        if (wheel) {
          InvalidateControl(hit);
          PostRepaint();
        }
      }
      result = 1;
      return;
    }
    case WM_SETCURSOR: {
      if (!AcceptsMouse()) return;
      const UINT mouseMessage = HIWORD(lParam);
      if (mouseMessage >= WM_MOUSEFIRST && mouseMessage <= WM_MOUSELAST) {
        const bool hand = hovered_ && hovered_->WantsHandCursor();
        ::SetCursor(::LoadCursorW(nullptr, hand ? IDC_HAND : IDC_ARROW));
        result = TRUE;
        return;
      }
      break;
    }
    case WM_KEYDOWN:
      if (wParam == VK_TAB) {
        MoveFocusByTab();
        return;
      }
      [[fallthrough]];
    case WM_KEYUP:
      // Keys belong to the focused control; without one (the view's own
      // base handling would take Space for a click on the view) they do nothing.
      if (auto focused = focused_control_) SendTo(focused, msg, wParam, lParam, result);
      return;
    case WM_NOTIFY:
      if (lParam) OnNotify(*reinterpret_cast<const SWNOTIFY*>(lParam));
      return;
    case WM_DESTROY:
      // With its window gone the view forgets the controls it pointed at and
      // is no longer created, so that a later run starts afresh.
      CSWContainer::OnMessage(window, msg, wParam, lParam, result);
      hover_notified_.reset();
      hovered_.reset();
      captured_.reset();
      focused_control_.reset();
      dirty_.clear();
      tracking_ = false;
      created_ = false;
      return;
    default:
      break;
  }
  handled_ = false;
  CSWContainer::OnMessage(window, msg, wParam, lParam, result);
}
