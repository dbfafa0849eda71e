// What the controls of a skinned window answer to accessibility clients
// through their servers: names, states, screen rectangles, parents, and for
// the view, its children.

#include <oleacc.h>

#include <climits>

#include "skin/swcontrol.h"
#include "skin/swtext.h"

namespace {

// The accessible object of `target` as the IDispatch a client is handed.
HRESULT AccessibleDispatch(CSWControl& asker, CSWControl& target, IDispatch** out) {
  IAccessible* object = nullptr;
  const HRESULT hr = asker.GetAccessibleFor(&target, &object);
  if (FAILED(hr)) return hr;
  *out = object;
  return S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// CSWControl

HRESULT CSWControl::get_accParent(IDispatch** parent) {
  if (!parent) return E_INVALIDARG;
  *parent = nullptr;
  if (!parent_) return S_FALSE;
  return AccessibleDispatch(*this, *parent_, parent);
}

HRESULT CSWControl::get_accChildCount(long* count) {
  if (!count) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

HRESULT CSWControl::get_accName(VARIANT, BSTR* name) {
  if (!name) return E_INVALIDARG;
  const std::wstring& text = !acc_name_.empty() ? acc_name_ : !tip_.empty() ? tip_ : caption_;
  // An empty text still gives a string, not null.
  *name = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSWControl::get_accState(VARIANT, VARIANT* state) {
  if (!state) return E_INVALIDARG;
  long bits = STATE_SYSTEM_INVISIBLE;
  if (IsVisible()) {
    // Neither the enabled nor the tab-stop flag enters the state.
    bits = STATE_SYSTEM_FOCUSABLE;
    if (IsFocused()) bits |= STATE_SYSTEM_FOCUSED;
    if (GetCheck()) bits |= STATE_SYSTEM_CHECKED;
  }
  state->vt = VT_I4;
  state->lVal = bits;
  return S_OK;
}

HRESULT CSWControl::get_accHelp(VARIANT, BSTR*) { return S_OK; }
HRESULT CSWControl::get_accHelpTopic(BSTR*, VARIANT, long*) { return S_OK; }
HRESULT CSWControl::get_accKeyboardShortcut(VARIANT, BSTR*) { return S_OK; }
HRESULT CSWControl::get_accFocus(VARIANT*) { return S_OK; }
HRESULT CSWControl::get_accSelection(VARIANT*) { return S_OK; }
HRESULT CSWControl::get_accDefaultAction(VARIANT, BSTR*) { return S_OK; }
HRESULT CSWControl::accSelect(long, VARIANT) { return S_OK; }
HRESULT CSWControl::accNavigate(long, VARIANT, VARIANT*) { return S_OK; }
HRESULT CSWControl::accHitTest(long, long, VARIANT*) { return S_OK; }

HRESULT CSWControl::accLocation(long* left, long* top, long* width, long* height, VARIANT) {
  if (!left || !top || !width || !height) return E_INVALIDARG;
  const RECT rect = GetRect();
  POINT origin{rect.left, rect.top};
  // Without a host window there is no screen position to report.
  if (!host_ || !::ClientToScreen(host_, &origin)) return E_FAIL;
  *left = origin.x;
  *top = origin.y;
  *width = rect.right - rect.left;
  *height = rect.bottom - rect.top;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CSWView

HRESULT CSWView::get_accChildCount(long* count) {
  if (!count) return E_INVALIDARG;
  *count = static_cast<long>(children_.size());
  return S_OK;
}

HRESULT CSWView::get_accChild(VARIANT child, IDispatch** result) {
  if (!result || child.vt != VT_I4 || child.lVal == 0) return E_INVALIDARG;
  // Positive ids would be simple elements, which the view does not have.
  if (child.lVal > 0) return E_NOTIMPL;
  if (child.lVal == LONG_MIN) return E_FAIL;  // no control id is that large
  auto control = FindControlById(static_cast<int>(-child.lVal));
  if (!control) return E_FAIL;
  return AccessibleDispatch(*this, *control, result);
}

HRESULT CSWView::get_accName(VARIANT, BSTR*) { return E_NOTIMPL; }

HRESULT CSWView::get_accRole(VARIANT, VARIANT* role) { return WriteAccRole(role, ROLE_SYSTEM_WINDOW); }

HRESULT CSWView::Next(ULONG count, VARIANT* items, ULONG* fetched) {
  ULONG filled = 0;
  const HRESULT hr = CSWControl::Next(count, items, fetched ? fetched : &filled);
  if (FAILED(hr)) return hr;
  if (fetched) filled = *fetched;
  // The shared enumeration asks get_accChild for the positions 1, 2, ...,
  // which the view rejects, and so hands out each position as a child id;
  // a client could not get from such an id to the control. Each position is
  // replaced by the object of the child at that place in the list.
  for (ULONG i = 0; i < filled; ++i) {
    VARIANT& item = items[i];
    if (item.vt != VT_I4 || item.lVal < 1 || static_cast<size_t>(item.lVal) > children_.size())
      continue;
    IDispatch* object = nullptr;
    if (FAILED(AccessibleDispatch(*this, *children_[item.lVal - 1], &object))) continue;
    item.vt = VT_DISPATCH;
    item.pdispVal = object;
  }
  return hr;
}
