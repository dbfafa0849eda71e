#include "skin/accserver.h"

#include <new>

namespace {

bool IsI4(const VARIANT& v) { return v.vt == VT_I4; }

// Out values are cleared before the control answers, so that a control that
// answers S_OK without writing (or fails) never hands a client garbage.
void Preset(VARIANT* v) { v->vt = VT_EMPTY; }
template <typename T>
void Preset(T** p) {
  *p = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// CAccessibleCallbackImpl

CAccessibleCallbackImpl::~CAccessibleCallbackImpl() {
  if (server_) {
    server_->SetConnected(FALSE);
    server_->Release();
    server_ = nullptr;
  }
}

HRESULT CAccessibleCallbackImpl::get_accParent(IDispatch**) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accChildCount(long*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accChild(VARIANT, IDispatch**) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accName(VARIANT, BSTR*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accValue(VARIANT, BSTR*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accDescription(VARIANT, BSTR*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accRole(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accState(VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accHelp(VARIANT, BSTR*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accHelpTopic(BSTR*, VARIANT, long*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accKeyboardShortcut(VARIANT, BSTR*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accFocus(VARIANT*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accSelection(VARIANT*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::get_accDefaultAction(VARIANT, BSTR*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::accSelect(long, VARIANT) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::accLocation(long*, long*, long*, long*, VARIANT) {
  return E_NOTIMPL;
}
HRESULT CAccessibleCallbackImpl::accNavigate(long, VARIANT, VARIANT*) { return E_NOTIMPL; }
HRESULT CAccessibleCallbackImpl::accHitTest(long, long, VARIANT*) { return E_NOTIMPL; }

HRESULT CAccessibleCallbackImpl::Next(ULONG count, VARIANT* items, ULONG* fetched) {
  if (fetched) *fetched = 0;
  if (!items) return E_INVALIDARG;
  for (ULONG i = 0; i < count; ++i) ::VariantInit(&items[i]);
  long children = 0;
  HRESULT hr = get_accChildCount(&children);
  if (FAILED(hr)) return hr;

  ULONG filled = 0;
  long position = position_;
  while (filled < count && position < children) {
    ++position;
    VARIANT child;
    child.vt = VT_I4;
    child.lVal = position;
    VARIANT& item = items[filled];
    IDispatch* object = nullptr;
    if (SUCCEEDED(get_accChild(child, &object)) && object) {
      item.vt = VT_DISPATCH;
      item.pdispVal = object;
    } else {
      // A child without an object of its own is handed out as its child id.
      item.vt = VT_I4;
      item.lVal = position;
    }
    ++filled;
  }
  if (fetched) *fetched = filled;
  position_ = position;
  return filled < count ? S_FALSE : S_OK;
}

HRESULT CAccessibleCallbackImpl::Skip(ULONG count) {
  long children = 0;
  HRESULT hr = get_accChildCount(&children);
  if (FAILED(hr)) return hr;
  long long position = static_cast<long long>(position_) + count;
  if (position > children) {
    position_ = children;
    return S_FALSE;
  }
  position_ = static_cast<long>(position);
  return S_OK;
}

HRESULT CAccessibleCallbackImpl::Reset() {
  position_ = 0;
  return S_OK;
}

HRESULT CAccessibleCallbackImpl::GetAccServer(IAccServer** out) {
  if (!out) return E_FAIL;
  *out = server_;
  return S_OK;
}

HRESULT CAccessibleCallbackImpl::SetAccServer(IAccServer* server) {
  server_ = server;
  return S_OK;
}

HRESULT CAccessibleCallbackImpl::GetAccessibleFor(IAccessibleCallback* target, IAccessible** out) {
  if (!target || !out) return E_FAIL;
  IAccServer* server = nullptr;
  target->GetAccServer(&server);
  if (!server) {
    server = new (std::nothrow) AccServer(target);
    if (!server) return E_FAIL;
    target->SetAccServer(server);
  }
  IAccessible* object = nullptr;
  server->GetIAccessible(&object);
  if (!object) return E_FAIL;
  *out = object;
  return S_OK;
}

// ---------------------------------------------------------------------------
// AccServer

AccServer::AccServer(IAccessibleCallback* callback) : callback_(callback) {}

STDMETHODIMP AccServer::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  // __uuidof, not IID_IAccessible: the import library of oleacc exports that
  // name as a code stub, which a link may pick instead of the GUID.
  if (iid == IID_IUnknown || iid == __uuidof(IAccessible) || iid == IID_IDispatch) {
    *out = static_cast<IAccessible*>(this);
  } else if (iid == IID_IEnumVARIANT) {
    *out = static_cast<IEnumVARIANT*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) AccServer::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) AccServer::Release() {
  long refs = --refs_;
  if (refs == 0) delete this;
  return refs;
}

void AccServer::GetIAccessible(IAccessible** out) {
  if (!out) return;
  AddRef();
  *out = static_cast<IAccessible*>(this);
}

STDMETHODIMP AccServer::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
STDMETHODIMP AccServer::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP AccServer::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP AccServer::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                               UINT*) {
  return E_NOTIMPL;
}

STDMETHODIMP AccServer::get_accParent(IDispatch** parent) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!parent) return E_INVALIDARG;
  Preset(parent);
  return callback_ ? callback_->get_accParent(parent) : E_FAIL;
}

STDMETHODIMP AccServer::get_accChildCount(long* count) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!count) return E_INVALIDARG;
  *count = 0;
  return callback_ ? callback_->get_accChildCount(count) : S_OK;
}

STDMETHODIMP AccServer::get_accChild(VARIANT child, IDispatch** result) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!result || !IsI4(child)) return E_INVALIDARG;
  Preset(result);
  return callback_ ? callback_->get_accChild(child, result) : S_FALSE;
}

STDMETHODIMP AccServer::get_accName(VARIANT child, BSTR* name) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child) || !name) return E_INVALIDARG;
  Preset(name);
  return callback_ ? callback_->get_accName(child, name) : E_FAIL;
}

STDMETHODIMP AccServer::get_accValue(VARIANT child, BSTR* value) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child) || !value) return E_INVALIDARG;
  Preset(value);
  return callback_ ? callback_->get_accValue(child, value) : E_FAIL;
}

STDMETHODIMP AccServer::get_accDescription(VARIANT child, BSTR* text) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child) || !text) return E_INVALIDARG;
  Preset(text);
  return callback_ ? callback_->get_accDescription(child, text) : E_FAIL;
}

STDMETHODIMP AccServer::get_accRole(VARIANT child, VARIANT* role) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child) || !role) return E_INVALIDARG;
  Preset(role);
  return callback_ ? callback_->get_accRole(child, role) : E_FAIL;
}

STDMETHODIMP AccServer::get_accState(VARIANT child, VARIANT* state) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child) || !state) return E_INVALIDARG;
  Preset(state);
  return callback_ ? callback_->get_accState(child, state) : E_FAIL;
}

STDMETHODIMP AccServer::get_accHelp(VARIANT child, BSTR* help) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child) || !help) return E_INVALIDARG;
  Preset(help);
  return callback_ ? callback_->get_accHelp(child, help) : E_FAIL;
}

STDMETHODIMP AccServer::get_accHelpTopic(BSTR* file, VARIANT, long*) {
  if (file) *file = nullptr;
  if (!connected_) return RPC_E_DISCONNECTED;
  return S_FALSE;
}

STDMETHODIMP AccServer::get_accKeyboardShortcut(VARIANT child, BSTR* keys) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!keys) return E_INVALIDARG;
  Preset(keys);
  return callback_ ? callback_->get_accKeyboardShortcut(child, keys) : E_FAIL;
}

STDMETHODIMP AccServer::get_accFocus(VARIANT* focus) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!focus) return E_INVALIDARG;
  Preset(focus);
  return callback_ ? callback_->get_accFocus(focus) : E_FAIL;
}

STDMETHODIMP AccServer::get_accSelection(VARIANT* selection) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!selection) return E_INVALIDARG;
  Preset(selection);
  return callback_ ? callback_->get_accSelection(selection) : E_FAIL;
}

STDMETHODIMP AccServer::get_accDefaultAction(VARIANT child, BSTR* action) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!action || !IsI4(child)) return E_INVALIDARG;
  Preset(action);
  return callback_ ? callback_->get_accDefaultAction(child, action) : S_OK;
}

STDMETHODIMP AccServer::accSelect(long flags, VARIANT child) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!IsI4(child)) return E_INVALIDARG;
  return callback_ ? callback_->accSelect(flags, child) : E_FAIL;
}

STDMETHODIMP AccServer::accLocation(long* left, long* top, long* width, long* height,
                                    VARIANT child) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!left || !top || !width || !height || !IsI4(child)) return E_INVALIDARG;
  return callback_ ? callback_->accLocation(left, top, width, height, child) : E_FAIL;
}

STDMETHODIMP AccServer::accNavigate(long direction, VARIANT start, VARIANT* end) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!end || !IsI4(start)) return E_INVALIDARG;
  Preset(end);
  // Only the object itself has first and last children to navigate to.
  if ((direction == NAVDIR_FIRSTCHILD || direction == NAVDIR_LASTCHILD) && start.lVal != 0)
    return S_FALSE;
  return callback_ ? callback_->accNavigate(direction, start, end) : E_FAIL;
}

STDMETHODIMP AccServer::accHitTest(long x, long y, VARIANT* child) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!child) return E_INVALIDARG;
  Preset(child);
  return callback_ ? callback_->accHitTest(x, y, child) : E_FAIL;
}

STDMETHODIMP AccServer::accDoDefaultAction(VARIANT) {
  if (!connected_) return RPC_E_DISCONNECTED;
  return E_NOTIMPL;
}

STDMETHODIMP AccServer::put_accName(VARIANT, BSTR) {
  if (!connected_) return RPC_E_DISCONNECTED;
  return E_NOTIMPL;
}

STDMETHODIMP AccServer::put_accValue(VARIANT, BSTR) {
  if (!connected_) return RPC_E_DISCONNECTED;
  return E_NOTIMPL;
}

STDMETHODIMP AccServer::Next(ULONG count, VARIANT* items, ULONG* fetched) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!items || !fetched) return E_INVALIDARG;
  *fetched = 0;
  return callback_ ? callback_->Next(count, items, fetched) : E_FAIL;
}

STDMETHODIMP AccServer::Skip(ULONG count) {
  if (!connected_) return RPC_E_DISCONNECTED;
  return callback_ ? callback_->Skip(count) : E_FAIL;
}

STDMETHODIMP AccServer::Reset() {
  if (!connected_) return RPC_E_DISCONNECTED;
  return callback_ ? callback_->Reset() : E_FAIL;
}

STDMETHODIMP AccServer::Clone(IEnumVARIANT** result) {
  if (!connected_) return RPC_E_DISCONNECTED;
  if (!result) return E_INVALIDARG;
  // The position lives in the control, so a clone could not be independent:
  // it is the same enumerator.
  AddRef();
  *result = static_cast<IEnumVARIANT*>(this);
  return S_OK;
}
