#pragma once
// Accessibility of the windowless controls: AccServer is the COM object
// (IAccessible + IEnumVARIANT) that clients hold for one control; it forwards
// every question to the control through IAccessibleCallback. When the
// control goes away the server is disconnected, so late clients get
// RPC_E_DISCONNECTED instead of calls into a destroyed control.

#include <windows.h>
#include <oleacc.h>

class IAccessibleCallback;

// The framework's own view of a server (plain calls, no COM conventions).
class IAccServer {
 public:
  // Release of the server's IAccessible; returns the new count.
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
  virtual void SetConnected(BOOL connected) = 0;
  // Adds a reference and stores the IAccessible; nothing when out is null.
  virtual void GetIAccessible(IAccessible** out) = 0;

 protected:
  virtual ~IAccServer() = default;
};

// What a control answers to its server. The first eighteen operations mirror
// IAccessible (child passed by value), the next three IEnumVARIANT.
class IAccessibleCallback {
 public:
  virtual ~IAccessibleCallback() = default;

  virtual HRESULT get_accParent(IDispatch** parent) = 0;
  virtual HRESULT get_accChildCount(long* count) = 0;
  virtual HRESULT get_accChild(VARIANT child, IDispatch** result) = 0;
  virtual HRESULT get_accName(VARIANT child, BSTR* name) = 0;
  virtual HRESULT get_accValue(VARIANT child, BSTR* value) = 0;
  virtual HRESULT get_accDescription(VARIANT child, BSTR* text) = 0;
  virtual HRESULT get_accRole(VARIANT child, VARIANT* role) = 0;
  virtual HRESULT get_accState(VARIANT child, VARIANT* state) = 0;
  virtual HRESULT get_accHelp(VARIANT child, BSTR* help) = 0;
  virtual HRESULT get_accHelpTopic(BSTR* file, VARIANT child, long* topic) = 0;
  virtual HRESULT get_accKeyboardShortcut(VARIANT child, BSTR* keys) = 0;
  virtual HRESULT get_accFocus(VARIANT* focus) = 0;
  virtual HRESULT get_accSelection(VARIANT* selection) = 0;
  virtual HRESULT get_accDefaultAction(VARIANT child, BSTR* action) = 0;
  virtual HRESULT accSelect(long flags, VARIANT child) = 0;
  virtual HRESULT accLocation(long* left, long* top, long* width, long* height,
                              VARIANT child) = 0;
  virtual HRESULT accNavigate(long direction, VARIANT start, VARIANT* end) = 0;
  virtual HRESULT accHitTest(long x, long y, VARIANT* child) = 0;

  virtual HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

  // The control's server (no reference added; may be null).
  virtual HRESULT GetAccServer(IAccServer** out) = 0;
  // Stores the server; the callback owns one reference from then on.
  virtual HRESULT SetAccServer(IAccServer* server) = 0;
  // The accessible object of target, created on first use, with a reference
  // added for the caller.
  virtual HRESULT GetAccessibleFor(IAccessibleCallback* target, IAccessible** out) = 0;
};

// Default answers (E_NOTIMPL), the child enumeration over get_accChildCount /
// get_accChild, and ownership of the control's server.
class CAccessibleCallbackImpl : public IAccessibleCallback {
 public:
  CAccessibleCallbackImpl() = default;
  ~CAccessibleCallbackImpl() override;  // disconnects and releases the server
  CAccessibleCallbackImpl(const CAccessibleCallbackImpl&) = delete;
  CAccessibleCallbackImpl& operator=(const CAccessibleCallbackImpl&) = delete;

  HRESULT get_accParent(IDispatch** parent) override;
  HRESULT get_accChildCount(long* count) override;
  HRESULT get_accChild(VARIANT child, IDispatch** result) override;
  HRESULT get_accName(VARIANT child, BSTR* name) override;
  HRESULT get_accValue(VARIANT child, BSTR* value) override;
  HRESULT get_accDescription(VARIANT child, BSTR* text) override;
  HRESULT get_accRole(VARIANT child, VARIANT* role) override;
  HRESULT get_accState(VARIANT child, VARIANT* state) override;
  HRESULT get_accHelp(VARIANT child, BSTR* help) override;
  HRESULT get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override;
  HRESULT get_accKeyboardShortcut(VARIANT child, BSTR* keys) override;
  HRESULT get_accFocus(VARIANT* focus) override;
  HRESULT get_accSelection(VARIANT* selection) override;
  HRESULT get_accDefaultAction(VARIANT child, BSTR* action) override;
  HRESULT accSelect(long flags, VARIANT child) override;
  HRESULT accLocation(long* left, long* top, long* width, long* height, VARIANT child) override;
  HRESULT accNavigate(long direction, VARIANT start, VARIANT* end) override;
  HRESULT accHitTest(long x, long y, VARIANT* child) override;

  HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) override;
  HRESULT Skip(ULONG count) override;
  HRESULT Reset() override;

  HRESULT GetAccServer(IAccServer** out) override;
  HRESULT SetAccServer(IAccServer* server) override;
  HRESULT GetAccessibleFor(IAccessibleCallback* target, IAccessible** out) override;

 private:
  long position_ = 0;  // children already handed out by Next/Skip
  IAccServer* server_ = nullptr;
};

class AccServer final : public IAccServer, public IAccessible, public IEnumVARIANT {
 public:
  // Starts with one reference, owned by the creator.
  explicit AccServer(IAccessibleCallback* callback);

  // IUnknown (shared by the IAccessible and IEnumVARIANT parts) and IAccServer.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  void SetConnected(BOOL connected) override { connected_ = connected; }
  void GetIAccessible(IAccessible** out) override;

  // IDispatch: not supported.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  // IAccessible.
  STDMETHODIMP get_accParent(IDispatch** parent) override;
  STDMETHODIMP get_accChildCount(long* count) override;
  STDMETHODIMP get_accChild(VARIANT child, IDispatch** result) override;
  STDMETHODIMP get_accName(VARIANT child, BSTR* name) override;
  STDMETHODIMP get_accValue(VARIANT child, BSTR* value) override;
  STDMETHODIMP get_accDescription(VARIANT child, BSTR* text) override;
  STDMETHODIMP get_accRole(VARIANT child, VARIANT* role) override;
  STDMETHODIMP get_accState(VARIANT child, VARIANT* state) override;
  STDMETHODIMP get_accHelp(VARIANT child, BSTR* help) override;
  STDMETHODIMP get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override;
  STDMETHODIMP get_accKeyboardShortcut(VARIANT child, BSTR* keys) override;
  STDMETHODIMP get_accFocus(VARIANT* focus) override;
  STDMETHODIMP get_accSelection(VARIANT* selection) override;
  STDMETHODIMP get_accDefaultAction(VARIANT child, BSTR* action) override;
  STDMETHODIMP accSelect(long flags, VARIANT child) override;
  STDMETHODIMP accLocation(long* left, long* top, long* width, long* height,
                           VARIANT child) override;
  STDMETHODIMP accNavigate(long direction, VARIANT start, VARIANT* end) override;
  STDMETHODIMP accHitTest(long x, long y, VARIANT* child) override;
  STDMETHODIMP accDoDefaultAction(VARIANT child) override;
  STDMETHODIMP put_accName(VARIANT child, BSTR name) override;
  STDMETHODIMP put_accValue(VARIANT child, BSTR value) override;

  // IEnumVARIANT.
  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumVARIANT** result) override;

 private:
  ~AccServer() override = default;

  long refs_ = 1;
  IAccessibleCallback* callback_;
  BOOL connected_ = TRUE;
};
