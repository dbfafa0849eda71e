// The accessibility server: one object per control, COM reference counting,
// disconnection when the control goes away, argument checks and the child
// enumeration.

#include <gtest/gtest.h>

#include <memory>

#include "skin/accserver.h"

namespace {

VARIANT ChildId(long id) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

// A control with `children` children; the odd ones have accessible objects
// of their own, the even ones do not.
class CTestCallback : public CAccessibleCallbackImpl {
 public:
  explicit CTestCallback(long children = 0) : children_(children) {}

  HRESULT get_accChildCount(long* count) override {
    *count = children_;
    return S_OK;
  }
  HRESULT get_accChild(VARIANT child, IDispatch** result) override {
    if (child.lVal % 2 == 0) return E_NOTIMPL;
    IAccessible* object = nullptr;
    HRESULT hr = GetAccessibleFor(&leaf_, &object);
    *result = object;
    return hr;
  }
  HRESULT get_accName(VARIANT, BSTR* name) override {
    *name = ::SysAllocString(L"name");
    return S_OK;
  }
  // Answers S_OK without writing the role.
  HRESULT get_accRole(VARIANT, VARIANT*) override { return S_OK; }
  HRESULT accNavigate(long, VARIANT, VARIANT*) override {
    ++navigations;
    return S_OK;
  }

  int navigations = 0;

 private:
  long children_;
  CAccessibleCallbackImpl leaf_;
};

IAccessible* ObjectOf(IAccessibleCallback& callback) {
  IAccessible* object = nullptr;
  EXPECT_EQ(callback.GetAccessibleFor(&callback, &object), S_OK);
  return object;
}

TEST(AccServer, OneObjectPerControlCreatedOnFirstRequest) {
  CTestCallback control;
  IAccServer* server = nullptr;
  ASSERT_EQ(control.GetAccServer(&server), S_OK);
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(control.GetAccServer(nullptr), E_FAIL);

  IAccessible* first = ObjectOf(control);
  IAccessible* second = ObjectOf(control);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  control.GetAccServer(&server);
  EXPECT_NE(server, nullptr);
  // The control's own reference plus the two handed out.
  EXPECT_EQ(first->AddRef(), 4u);
  EXPECT_EQ(first->Release(), 3u);
  second->Release();
  first->Release();

  IAccessible* none = nullptr;
  EXPECT_EQ(control.GetAccessibleFor(nullptr, &none), E_FAIL);
  EXPECT_EQ(none, nullptr);
}

TEST(AccServer, IsOneComIdentityForIAccessibleAndIEnumVariant) {
  CTestCallback control;
  IAccessible* object = ObjectOf(control);
  IEnumVARIANT* enumerator = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator)), S_OK);
  IUnknown* fromAccessible = nullptr;
  IUnknown* fromEnumerator = nullptr;
  object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromAccessible));
  enumerator->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromEnumerator));
  EXPECT_EQ(fromAccessible, fromEnumerator);
  IDispatch* dispatch = nullptr;
  EXPECT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  EXPECT_EQ(dispatch->GetTypeInfoCount(nullptr), E_NOTIMPL);

  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(object->QueryInterface(IID_IStream, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  // Five references handed out here, the control's, and this one.
  EXPECT_EQ(enumerator->AddRef(), 7u);
  enumerator->Release();
  for (IUnknown* p : {static_cast<IUnknown*>(dispatch), fromEnumerator, fromAccessible,
                      static_cast<IUnknown*>(enumerator)})
    p->Release();
  EXPECT_EQ(object->Release(), 1u);
}

TEST(AccServer, ClientsOutlivingTheControlAreDisconnected) {
  auto control = std::make_unique<CTestCallback>(3);
  IAccessible* object = ObjectOf(*control);
  IEnumVARIANT* enumerator = nullptr;
  object->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator));
  BSTR name = nullptr;
  ASSERT_EQ(object->get_accName(ChildId(0), &name), S_OK);
  ::SysFreeString(name);

  control.reset();
  name = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(object->get_accName(ChildId(0), &name), RPC_E_DISCONNECTED);
  long count = 7;
  EXPECT_EQ(object->get_accChildCount(&count), RPC_E_DISCONNECTED);
  EXPECT_EQ(count, 7);
  VARIANT item;
  ULONG fetched = 0;
  EXPECT_EQ(enumerator->Next(1, &item, &fetched), RPC_E_DISCONNECTED);
  EXPECT_EQ(enumerator->Reset(), RPC_E_DISCONNECTED);
  EXPECT_EQ(object->accDoDefaultAction(ChildId(0)), RPC_E_DISCONNECTED);
  BSTR file = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(object->get_accHelpTopic(&file, ChildId(0), nullptr), RPC_E_DISCONNECTED);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(enumerator->Release(), 1u);
  EXPECT_EQ(object->Release(), 0u);  // the last reference deletes the server
}

TEST(AccServer, ChecksArgumentsAndPresetsResults) {
  CTestCallback control;
  IAccessible* object = ObjectOf(control);
  VARIANT wrongType;
  wrongType.vt = VT_BSTR;
  wrongType.bstrVal = nullptr;
  BSTR name = nullptr;
  EXPECT_EQ(object->get_accName(wrongType, &name), E_INVALIDARG);
  EXPECT_EQ(object->get_accName(ChildId(0), nullptr), E_INVALIDARG);
  IDispatch* child = nullptr;
  EXPECT_EQ(object->get_accChild(wrongType, &child), E_INVALIDARG);
  EXPECT_EQ(object->accLocation(nullptr, nullptr, nullptr, nullptr, ChildId(0)), E_INVALIDARG);
  EXPECT_EQ(object->get_accParent(nullptr), E_INVALIDARG);

  // A control that answers S_OK without a value leaves an empty VARIANT.
  VARIANT role;
  role.vt = VT_DISPATCH;
  EXPECT_EQ(object->get_accRole(ChildId(0), &role), S_OK);
  EXPECT_EQ(role.vt, VT_EMPTY);

  // First and last child exist only for the object itself.
  VARIANT end;
  EXPECT_EQ(object->accNavigate(NAVDIR_FIRSTCHILD, ChildId(3), &end), S_FALSE);
  EXPECT_EQ(object->accNavigate(NAVDIR_LASTCHILD, ChildId(3), &end), S_FALSE);
  EXPECT_EQ(control.navigations, 0);
  EXPECT_EQ(object->accNavigate(NAVDIR_FIRSTCHILD, ChildId(0), &end), S_OK);
  EXPECT_EQ(control.navigations, 1);

  BSTR file = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(object->get_accHelpTopic(&file, ChildId(0), nullptr), S_FALSE);
  EXPECT_EQ(file, nullptr);
  object->Release();
}

TEST(AccServer, EnumeratesChildrenAndSharesThePositionWithClones) {
  CTestCallback control(3);
  IAccessible* object = ObjectOf(control);
  IEnumVARIANT* enumerator = nullptr;
  object->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator));
  EXPECT_EQ(enumerator->Next(1, nullptr, nullptr), E_INVALIDARG);

  VARIANT items[5];
  ULONG fetched = 0;
  ASSERT_EQ(enumerator->Next(2, items, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  ASSERT_EQ(items[0].vt, VT_DISPATCH);  // child 1 has an object
  EXPECT_NE(items[0].pdispVal, nullptr);
  EXPECT_EQ(items[1].vt, VT_I4);  // child 2 has none: its id
  EXPECT_EQ(items[1].lVal, 2);
  ::VariantClear(&items[0]);

  IEnumVARIANT* clone = nullptr;
  ASSERT_EQ(enumerator->Clone(&clone), S_OK);
  EXPECT_EQ(clone, enumerator);
  EXPECT_EQ(clone->Next(5, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  ::VariantClear(&items[0]);
  EXPECT_EQ(enumerator->Next(1, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);

  EXPECT_EQ(enumerator->Reset(), S_OK);
  EXPECT_EQ(enumerator->Skip(2), S_OK);
  EXPECT_EQ(enumerator->Skip(5), S_FALSE);
  EXPECT_EQ(enumerator->Next(1, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  clone->Release();
  enumerator->Release();
  object->Release();
}

TEST(AccServer, EnumerationOfAControlWithoutChildren) {
  CTestCallback control(0);
  IAccessible* object = ObjectOf(control);
  IEnumVARIANT* enumerator = nullptr;
  object->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator));
  VARIANT item;
  ULONG fetched = 9;
  EXPECT_EQ(enumerator->Next(1, &item, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(enumerator->Next(0, &item, &fetched), S_OK);
  EXPECT_EQ(enumerator->Skip(5), S_FALSE);
  enumerator->Release();
  object->Release();

  // The default answers report no child count: the enumeration fails with it.
  CAccessibleCallbackImpl plain;
  IAccessible* plainObject = ObjectOf(plain);
  plainObject->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator));
  EXPECT_EQ(enumerator->Next(1, &item, &fetched), E_NOTIMPL);
  enumerator->Release();
  plainObject->Release();
}

}  // namespace
