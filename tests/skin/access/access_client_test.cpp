// An assistive tool's view of skinned windows: this program starts a window
// program (the framework's test window access_window, the sample installer,
// the uninstaller) as a process of its own, reaches its controls through
// Active Accessibility (AccessibleObjectFromWindow, the view's children,
// child ids from WinEvents), listens to its WinEvents out of context and
// presses keys and clicks with xdotool.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleacc.h>
#include <wrl/client.h>

#include <climits>
#include <string>
#include <vector>

#include "skin/dpi.h"
#include "skin/swcontrol.h"
#include "skin/swtext.h"
#include "ui_harness.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr long kStateVisible = STATE_SYSTEM_FOCUSABLE;                        // 0x100000
constexpr long kStateFocused = STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_FOCUSED;  // 0x100004
constexpr long kStateFocusedChecked = kStateFocused | STATE_SYSTEM_CHECKED;    // 0x100014
constexpr long kNoRole = -1;  // get_accRole answered E_NOTIMPL

VARIANT ChildId(long id) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

// What a client learns about one object (asked with CHILDID_SELF).
struct Answers {
  std::wstring name;
  bool nameIsNull = false;
  HRESULT nameResult = E_FAIL;
  long role = kNoRole;
  long state = 0;
  RECT location = {};  // left, top, width, height
};

Answers Ask(IAccessible* object) {
  Answers a;
  const VARIANT self = ChildId(CHILDID_SELF);
  BSTR name = nullptr;
  a.nameResult = object->get_accName(self, &name);
  a.nameIsNull = name == nullptr;
  if (name) a.name.assign(name, ::SysStringLen(name));
  ::SysFreeString(name);
  VARIANT role;
  ::VariantInit(&role);
  const HRESULT roleResult = object->get_accRole(self, &role);
  if (roleResult == S_OK && role.vt == VT_I4) {
    a.role = role.lVal;
  } else {
    EXPECT_EQ(roleResult, E_NOTIMPL) << "role answer";
  }
  VARIANT state;
  ::VariantInit(&state);
  EXPECT_EQ(object->get_accState(self, &state), S_OK);
  EXPECT_EQ(state.vt, VT_I4);
  a.state = state.lVal;
  EXPECT_EQ(object->accLocation(&a.location.left, &a.location.top, &a.location.right,
                                &a.location.bottom, self),
            S_OK);
  return a;
}

// The same COM object (identity is the IUnknown, also across proxies).
bool SameObject(IUnknown* a, IUnknown* b) {
  ComPtr<IUnknown> ua, ub;
  return a && b && SUCCEEDED(a->QueryInterface(IID_PPV_ARGS(&ua))) &&
         SUCCEEDED(b->QueryInterface(IID_PPV_ARGS(&ub))) && ua.Get() == ub.Get();
}

ComPtr<IAccessible> AsAccessible(IDispatch* dispatch) {
  ComPtr<IAccessible> object;
  if (dispatch) dispatch->QueryInterface(IID_PPV_ARGS(&object));
  return object;
}

struct WinEvent {
  DWORD event;
  HWND hwnd;
  LONG object;
  LONG child;
};
std::vector<WinEvent> g_events;

void CALLBACK OnWinEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD,
                         DWORD) {
  // The system raises events of its own for the window (child id 0); the
  // controls' events carry their negative ids.
  if (child < 0) g_events.push_back({event, hwnd, object, child});
}

HWND g_window = nullptr;
HANDLE g_process = nullptr;

BOOL CALLBACK FindTestWindow(HWND hwnd, LPARAM pid) {
  DWORD owner = 0;
  ::GetWindowThreadProcessId(hwnd, &owner);
  // The skinned window is the process's visible window of the skin's class
  // (its tooltip, for one, is a layered window too).
  wchar_t name[64] = {};
  ::GetClassNameW(hwnd, name, 64);
  if (owner != static_cast<DWORD>(pid) || std::wstring(name) != L"OrvSkinWindow" ||
      !::IsWindowVisible(hwnd))
    return TRUE;
  g_window = hwnd;
  return FALSE;
}

ComPtr<IAccessible> ClientObject() {
  ComPtr<IAccessible> object;
  EXPECT_EQ(::AccessibleObjectFromWindow(g_window, static_cast<DWORD>(OBJID_CLIENT),
                                         __uuidof(IAccessible),
                                         reinterpret_cast<void**>(object.GetAddressOf())),
            S_OK);
  return object;
}

ComPtr<IAccessible> Child(IAccessible* view, long id) {
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(view->get_accChild(ChildId(id), &dispatch), S_OK) << id;
  return AsAccessible(dispatch.Get());
}

// The client area's origin on the screen.
POINT Origin() {
  POINT origin{0, 0};
  ::ClientToScreen(g_window, &origin);
  return origin;
}

// A layout rectangle (x, y, w, h) as the screen location a client expects.
RECT OnScreen(long x, long y, long w, long h) {
  const POINT o = Origin();
  return RECT{o.x + x, o.y + y, w, h};
}

// Starts `program` (a full path) and waits for its skinned window, which the
// helpers above then talk to.
void StartWindowProgram(const std::wstring& program) {
  ::SetProcessDPIAware();
  uitest::StartSkinEnvironment();
  std::wstring command = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
      << "cannot start the window program";
  ::CloseHandle(process.hThread);
  g_process = process.hProcess;
  uitest::PumpUntil(
      [&] {
        ::EnumWindows(FindTestWindow, static_cast<LPARAM>(process.dwProcessId));
        return g_window != nullptr;
      },
      30000);
  ASSERT_TRUE(g_window) << "the window did not appear";
  uitest::Pump(500);  // the show animation
}

// Closes the window as its close box would and expects the program to end
// with exit code 0.
void CloseWindowProgram() {
  if (!g_process) return;
  if (g_window) ::PostMessageW(g_window, WM_CLOSE, 0, 0);
  const bool ended = ::WaitForSingleObject(g_process, 15000) == WAIT_OBJECT_0;
  DWORD code = 1;
  ::GetExitCodeProcess(g_process, &code);
  if (!ended) ::TerminateProcess(g_process, 2);
  ::CloseHandle(g_process);
  g_process = nullptr;
  g_window = nullptr;
  EXPECT_TRUE(ended) << "the window program did not end";
  EXPECT_EQ(code, 0u) << "the window program did not end by WM_CLOSE";
}

class WindowProgramTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { CloseWindowProgram(); }

  void SetUp() override {
    ASSERT_TRUE(g_window);
    ASSERT_EQ(skin::GetDisplayScale(), 100) << "the expected rectangles are those at 96 DPI";
  }
};

// The framework's test window (access_window, beside this program).
class AccessClientTest : public WindowProgramTest {
 protected:
  static void SetUpTestSuite() {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder = self;
    folder.erase(folder.find_last_of(L'\\') + 1);
    StartWindowProgram(folder + L"access_window.exe");
  }
};

void ExpectRect(const RECT& actual, const RECT& expected, const std::string& what) {
  EXPECT_EQ(actual.left, expected.left) << what;
  EXPECT_EQ(actual.top, expected.top) << what;
  EXPECT_EQ(actual.right, expected.right) << what << " (width)";
  EXPECT_EQ(actual.bottom, expected.bottom) << what << " (height)";
}

}  // namespace

TEST_F(AccessClientTest, ClientAreaAnswersWithTheViewEveryTime) {
  const LRESULT windowAnswer =
      ::SendMessageW(g_window, WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_WINDOW));
  EXPECT_EQ(static_cast<HRESULT>(windowAnswer), E_FAIL) << "only the client area is served";

  ComPtr<IAccessible> first = ClientObject();
  ComPtr<IAccessible> second = ClientObject();
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(SameObject(first.Get(), second.Get()));

  const Answers view = Ask(first.Get());
  EXPECT_EQ(view.role, ROLE_SYSTEM_WINDOW);
  EXPECT_EQ(view.nameResult, E_NOTIMPL);
  EXPECT_TRUE(view.nameIsNull);
  EXPECT_EQ(view.state, kStateVisible);
  ExpectRect(view.location, OnScreen(0, 0, 500, 320), "view");
  long count = 0;
  EXPECT_EQ(first->get_accChildCount(&count), S_OK);
  EXPECT_EQ(count, 9) << "the controls directly in the view";
  ComPtr<IDispatch> parent;
  EXPECT_EQ(first->get_accParent(&parent), S_FALSE);
  EXPECT_FALSE(parent);
}

TEST_F(AccessClientTest, ChildrenOfTheViewAreItsControlsInLayoutOrder) {
  ComPtr<IAccessible> view = ClientObject();
  ASSERT_TRUE(view);
  struct Expected {
    const wchar_t* name;
    long role;
    long state;
    RECT location;
  };
  const Expected expected[] = {
      {L"欢迎使用", ROLE_SYSTEM_STATICTEXT, kStateVisible, OnScreen(20, 20, 200, 24)},
      {L"关闭", ROLE_SYSTEM_PUSHBUTTON, kStateVisible, OnScreen(400, 16, 80, 30)},
      {L"Tip wins", ROLE_SYSTEM_PUSHBUTTON, kStateVisible, OnScreen(300, 16, 80, 30)},
      {L"Off", ROLE_SYSTEM_PUSHBUTTON, kStateVisible, OnScreen(300, 60, 80, 30)},
      {L"我已阅读并同意", ROLE_SYSTEM_CHECKBUTTON, kStateVisible, OnScreen(20, 100, 240, 22)},
      {L"folder", ROLE_SYSTEM_TEXT, kStateVisible, OnScreen(20, 140, 200, 30)},
      {L"licence", ROLE_SYSTEM_LINK, kStateVisible, OnScreen(20, 190, 120, 20)},
      {L"", kNoRole, kStateVisible, OnScreen(260, 140, 220, 150)},
      {L"hidden", ROLE_SYSTEM_STATICTEXT, STATE_SYSTEM_INVISIBLE, OnScreen(20, 230, 200, 20)},
  };
  constexpr long kCount = static_cast<long>(std::size(expected));
  VARIANT children[kCount + 1];
  long fetched = 0;
  ASSERT_EQ(::AccessibleChildren(view.Get(), 0, kCount + 1, children, &fetched), S_FALSE);
  ASSERT_EQ(fetched, kCount);
  for (long i = 0; i < kCount; ++i) {
    const std::string what = "child " + std::to_string(i + 1);
    ASSERT_EQ(children[i].vt, VT_DISPATCH) << what;
    ComPtr<IAccessible> child = AsAccessible(children[i].pdispVal);
    ASSERT_TRUE(child) << what;
    const Answers a = Ask(child.Get());
    EXPECT_EQ(a.nameResult, S_OK) << what;
    EXPECT_FALSE(a.nameIsNull) << what << ": an empty name is an empty string";
    EXPECT_EQ(a.name, expected[i].name) << what;
    EXPECT_EQ(a.role, expected[i].role) << what;
    EXPECT_EQ(a.state, expected[i].state) << what;
    ExpectRect(a.location, expected[i].location, what);
    ComPtr<IDispatch> parent;
    EXPECT_EQ(child->get_accParent(&parent), S_OK) << what;
    EXPECT_TRUE(SameObject(parent.Get(), view.Get())) << what << ": the parent is the view";
  }
  for (long i = 0; i < fetched; ++i) ::VariantClear(&children[i]);
}

TEST_F(AccessClientTest, NegativeChildIdsNameControlsAnywhereInTheTree) {
  ComPtr<IAccessible> view = ClientObject();
  ASSERT_TRUE(view);
  ComPtr<IAccessible> close = Child(view.Get(), -1105);
  ASSERT_TRUE(close);
  EXPECT_EQ(Ask(close.Get()).name, L"关闭") << "the accessible name wins over the tip";
  EXPECT_TRUE(SameObject(close.Get(), Child(view.Get(), -1105).Get()))
      << "one object per control";
  // Controls answer about themselves whatever child id they are given.
  BSTR name = nullptr;
  EXPECT_EQ(close->get_accName(ChildId(3), &name), S_OK);
  EXPECT_STREQ(name, L"关闭");
  ::SysFreeString(name);

  ComPtr<IAccessible> inner = Child(view.Get(), -1501);
  ASSERT_TRUE(inner);
  const Answers innerAnswers = Ask(inner.Get());
  EXPECT_EQ(innerAnswers.name, L"inner");
  ExpectRect(innerAnswers.location, OnScreen(270, 150, 100, 20), "text inside the div");
  ComPtr<IDispatch> divDispatch;
  ASSERT_EQ(inner->get_accParent(&divDispatch), S_OK);
  ComPtr<IAccessible> div = AsAccessible(divDispatch.Get());
  ASSERT_TRUE(div);
  EXPECT_TRUE(SameObject(div.Get(), Child(view.Get(), -1500).Get()));
  long divChildren = -1;
  EXPECT_EQ(div->get_accChildCount(&divChildren), S_OK);
  EXPECT_EQ(divChildren, 0) << "only the view lists children";
  ComPtr<IDispatch> top;
  ASSERT_EQ(div->get_accParent(&top), S_OK);
  EXPECT_TRUE(SameObject(top.Get(), view.Get()));

  ComPtr<IAccessible> unnamed = Child(view.Get(), -1502);
  ASSERT_TRUE(unnamed);
  const Answers unnamedAnswers = Ask(unnamed.Get());
  EXPECT_EQ(unnamedAnswers.nameResult, S_OK);
  EXPECT_FALSE(unnamedAnswers.nameIsNull);
  EXPECT_EQ(unnamedAnswers.name, L"");
  ComPtr<IAccessible> progress = Child(view.Get(), -1503);
  ASSERT_TRUE(progress);
  EXPECT_EQ(Ask(progress.Get()).role, kNoRole);

  struct Refused {
    VARIANT child;
    HRESULT answer;
  };
  VARIANT text;
  ::VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = ::SysAllocString(L"-1105");
  const Refused refused[] = {
      {ChildId(1), E_NOTIMPL},      {ChildId(0), E_INVALIDARG}, {ChildId(-9999), E_FAIL},
      {ChildId(LONG_MIN), E_FAIL},  {text, E_INVALIDARG},
  };
  for (const Refused& r : refused) {
    IDispatch* result = nullptr;
    EXPECT_EQ(view->get_accChild(r.child, &result), r.answer) << "child type " << r.child.vt
                                                              << " id " << r.child.lVal;
    EXPECT_EQ(result, nullptr);
  }
  ::VariantClear(&text);
}

const std::vector<DWORD> kFocusEvents = {EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_NAMECHANGE,
                                         EVENT_OBJECT_FOCUS};
const std::vector<DWORD> kToggleEvents = {EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_VALUECHANGE,
                                          EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_FOCUS};

// Listens out of context to the window program's object events from the
// focus to the value change. Keys go to the window that has the display's
// input focus, which a window of another process gets for certain only by a
// click: `spot` is a client point of the window's background.
class EventHook {
 public:
  explicit EventHook(POINT spot) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(g_window, &pid);
    hook_ = ::SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_VALUECHANGE, nullptr, OnWinEvent,
                              pid, 0, WINEVENT_OUTOFCONTEXT);
    ::ClientToScreen(g_window, &spot);
    // No --sync: it would wait for ever when the pointer is there already.
    EXPECT_TRUE(uitest::Xdo("mousemove " + std::to_string(spot.x) + " " + std::to_string(spot.y) +
                            " sleep 0.2 click 1"));
    uitest::PumpUntil([] { return ::GetForegroundWindow() == g_window; });
    uitest::Pump(200);
  }
  ~EventHook() {
    if (hook_) ::UnhookWinEvent(hook_);
  }
  EventHook(const EventHook&) = delete;
  EventHook& operator=(const EventHook&) = delete;
  bool Listening() const { return hook_ != nullptr; }

 private:
  HWINEVENTHOOK hook_ = nullptr;
};

// Runs xdotool and waits until `count` control events arrived (and a little
// longer, for any that should not come); returns them and forgets them.
std::vector<WinEvent> EventsAfter(const std::string& xdoArgs, size_t count) {
  g_events.clear();
  EXPECT_TRUE(uitest::Xdo(xdoArgs)) << xdoArgs;
  uitest::PumpUntil([&] { return g_events.size() >= count; }, 5000);
  uitest::Pump(300);
  std::vector<WinEvent> events;
  events.swap(g_events);
  return events;
}

std::vector<DWORD> Kinds(const std::vector<WinEvent>& events) {
  std::vector<DWORD> kinds;
  for (const WinEvent& e : events) kinds.push_back(e.event);
  return kinds;
}

// Every event names the window's client area and the control `id`.
void ExpectFrom(const std::vector<WinEvent>& events, long id, const std::string& what) {
  for (const WinEvent& e : events) {
    EXPECT_EQ(e.hwnd, g_window) << what;
    EXPECT_EQ(e.object, OBJID_CLIENT) << what;
    EXPECT_EQ(e.child, -id) << what;
  }
}

// Resolves an event's child id as a client does and returns the control's state.
long StateOfEventChild(const WinEvent& e) {
  ComPtr<IAccessible> view;
  EXPECT_EQ(::AccessibleObjectFromWindow(e.hwnd, static_cast<DWORD>(e.object), __uuidof(IAccessible),
                                         reinterpret_cast<void**>(view.GetAddressOf())),
            S_OK);
  if (!view) return 0;
  ComPtr<IAccessible> control = Child(view.Get(), e.child);
  return control ? Ask(control.Get()).state : 0;
}

TEST_F(AccessClientTest, FocusSpaceAndToggleEventsCarryTheControlsChildId) {
  EventHook hook(POINT{100, 300});  // below the controls
  ASSERT_TRUE(hook.Listening());

  // Tab order: the close button, the disabled button, the checkbox, around.
  auto events = EventsAfter("key Tab", kFocusEvents.size());
  EXPECT_EQ(Kinds(events), kFocusEvents);
  ExpectFrom(events, 1105, "first Tab");
  if (!events.empty()) {
    EXPECT_EQ(StateOfEventChild(events.back()), kStateFocused);
  }

  events = EventsAfter("key Tab", kFocusEvents.size());
  EXPECT_EQ(Kinds(events), kFocusEvents);
  ExpectFrom(events, 1107, "second Tab");
  if (!events.empty()) {
    EXPECT_EQ(StateOfEventChild(events.back()), kStateFocused) << "disabled, still focusable";
  }
  EXPECT_TRUE(EventsAfter("key space", 1).empty()) << "a disabled button is not pressed";

  events = EventsAfter("key Tab", kFocusEvents.size());
  EXPECT_EQ(Kinds(events), kFocusEvents);
  ExpectFrom(events, 1201, "third Tab");

  std::vector<DWORD> spaceToggle = {EVENT_OBJECT_STATECHANGE};
  spaceToggle.insert(spaceToggle.end(), kToggleEvents.begin(), kToggleEvents.end());
  events = EventsAfter("key space", spaceToggle.size());
  EXPECT_EQ(Kinds(events), spaceToggle) << "a tab stop's state change, then the toggle";
  ExpectFrom(events, 1201, "Space on the checkbox");
  if (!events.empty()) {
    EXPECT_EQ(StateOfEventChild(events.back()), kStateFocusedChecked);
  }

  ComPtr<IAccessible> view = ClientObject();
  ASSERT_TRUE(view);
  ComPtr<IAccessible> close = Child(view.Get(), -1105);
  ASSERT_TRUE(close);
  EXPECT_EQ(Ask(close.Get()).state, kStateVisible) << "the close button lost the focus";

  // A click on the middle of the location the checkbox reports: the press
  // focuses it again, the release toggles it.
  ComPtr<IAccessible> box = Child(view.Get(), -1201);
  ASSERT_TRUE(box);
  const RECT where = Ask(box.Get()).location;
  std::vector<DWORD> click = kFocusEvents;
  click.insert(click.end(), kToggleEvents.begin(), kToggleEvents.end());
  events = EventsAfter("mousemove " + std::to_string(where.left + 7) + " " +
                           std::to_string(where.top + where.bottom / 2) + " sleep 0.2 click 1",
                       click.size());
  EXPECT_EQ(Kinds(events), click);
  ExpectFrom(events, 1201, "click on the checkbox");
  EXPECT_EQ(Ask(box.Get()).state, kStateFocused) << "unchecked again";

  events = EventsAfter("key Tab", kFocusEvents.size());
  ExpectFrom(events, 1105, "Tab from the last tab stop");
  events = EventsAfter("key space", 1);
  EXPECT_EQ(Kinds(events), std::vector<DWORD>{EVENT_OBJECT_STATECHANGE});
  ExpectFrom(events, 1105, "Space on the button");
}

// Answers that need no client: a control outside any window, and the
// arguments the servers never pass on.
TEST(AccessibleAnswersTest, ControlsOutsideAWindowAnswerWithoutGuessing) {
  CSWText text;
  text.SetRect(10, 20, 110, 50);
  long left = 0, top = 0, width = 0, height = 0;
  EXPECT_EQ(text.accLocation(&left, &top, &width, &height, ChildId(CHILDID_SELF)), E_FAIL)
      << "no host window, no screen position";
  EXPECT_EQ(text.accLocation(nullptr, &top, &width, &height, ChildId(CHILDID_SELF)), E_INVALIDARG);
  EXPECT_EQ(text.get_accName(ChildId(CHILDID_SELF), nullptr), E_INVALIDARG);
  EXPECT_EQ(text.get_accState(ChildId(CHILDID_SELF), nullptr), E_INVALIDARG);
  IDispatch* parent = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(text.get_accParent(&parent), S_FALSE);
  EXPECT_EQ(parent, nullptr);
}

TEST(AccessibleAnswersTest, ControlThatOutlivesItsWindowHasNoParentAndNoLocation) {
  uitest::StartSkinEnvironment();
  std::shared_ptr<CSWControl> inner;
  ComPtr<IAccessible> object;
  {
    uitest::TestWindow window(500, [&](uitest::TestWindow& w) {
      inner = w.GetView().FindControlById(1501);
      ASSERT_TRUE(inner);
      ASSERT_EQ(w.GetView().GetAccessibleFor(inner.get(), object.GetAddressOf()), S_OK);
      ComPtr<IDispatch> parent;
      EXPECT_EQ(object->get_accParent(&parent), S_OK);
    });
    ASSERT_EQ(window.Run(), 1);
  }
  // The window and its tree are gone; the control lives on through `inner`.
  ASSERT_TRUE(object);
  IDispatch* parent = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(object->get_accParent(&parent), S_FALSE);
  EXPECT_EQ(parent, nullptr);
  long left = 0, top = 0, width = 0, height = 0;
  EXPECT_EQ(object->accLocation(&left, &top, &width, &height, ChildId(CHILDID_SELF)), E_FAIL);
  inner.reset();
  long count = 0;
  EXPECT_EQ(object->get_accChildCount(&count), RPC_E_DISCONNECTED);
}

// A path of the build machine as the Wine drive Z: shows it.
std::wstring WinePath(const char* unixPath) {
  std::wstring path = L"Z:";
  for (const char* c = unixPath; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return path;
}

// The installer itself (the sample installer of the build), on its first page.
class InstallerWindowTest : public WindowProgramTest {
 protected:
  static void SetUpTestSuite() { StartWindowProgram(WinePath(ORV_SETUP_EXE)); }
};

TEST_F(InstallerWindowTest, FirstPageControlsAnswerWithTheirStringTableNames) {
  ComPtr<IAccessible> view = ClientObject();
  ASSERT_TRUE(view);
  long count = 0;
  EXPECT_EQ(view->get_accChildCount(&count), S_OK);
  EXPECT_EQ(count, 1) << "the frame's one page container";
  struct Expected {
    long id;
    const wchar_t* name;  // null: not compared
    long role;
    long state;
  };
  const Expected expected[] = {
      {1105, L"立即安装", ROLE_SYSTEM_PUSHBUTTON, kStateVisible},
      {1101, L"关闭", ROLE_SYSTEM_PUSHBUTTON, kStateVisible},
      {1102, L"最小化", ROLE_SYSTEM_PUSHBUTTON, kStateVisible},
      {1106, L"自定义安装", ROLE_SYSTEM_LINK, kStateVisible},
      {1121, L"同意Kestrelon软件许可协议", ROLE_SYSTEM_CHECKBUTTON, kStateVisible},
      {1123, L"同意云计划和用户体验改善计划", ROLE_SYSTEM_CHECKBUTTON,
       kStateVisible | STATE_SYSTEM_CHECKED},
      {1112, nullptr, ROLE_SYSTEM_TEXT, STATE_SYSTEM_INVISIBLE},
      {1204, nullptr, kNoRole, STATE_SYSTEM_INVISIBLE},
  };
  for (const Expected& e : expected) {
    const std::string what = "control " + std::to_string(e.id);
    ComPtr<IAccessible> control = Child(view.Get(), -e.id);
    ASSERT_TRUE(control) << what;
    const Answers a = Ask(control.Get());
    if (e.name) {
      EXPECT_EQ(a.name, e.name) << what;
    }
    EXPECT_EQ(a.role, e.role) << what;
    EXPECT_EQ(a.state, e.state) << what;
  }
  // The install button inside the page inside the frame.
  ExpectRect(Ask(Child(view.Get(), -1105).Get()).location, OnScreen(236, 283, 127, 40),
             "install button");
}

TEST_F(InstallerWindowTest, TabAndSpaceReachTheLicenceCheckbox) {
  EventHook hook(POINT{60, 60});  // the page background
  ASSERT_TRUE(hook.Listening());
  auto events = EventsAfter("key Tab", kFocusEvents.size());
  EXPECT_EQ(Kinds(events), kFocusEvents);
  ExpectFrom(events, 1102, "first Tab: the minimise button");
  // Close box, custom-folder link, install button (the hidden folder
  // controls are skipped), then the licence checkbox.
  for (long id : {1101L, 1106L, 1105L, 1121L}) {
    events = EventsAfter("key Tab", kFocusEvents.size());
    ExpectFrom(events, id, "Tab to " + std::to_string(id));
  }
  std::vector<DWORD> spaceToggle = {EVENT_OBJECT_STATECHANGE};
  spaceToggle.insert(spaceToggle.end(), kToggleEvents.begin(), kToggleEvents.end());
  events = EventsAfter("key space", spaceToggle.size());
  EXPECT_EQ(Kinds(events), spaceToggle);
  ExpectFrom(events, 1121, "Space on the licence checkbox");
  if (!events.empty()) {
    EXPECT_EQ(StateOfEventChild(events.back()), kStateFocusedChecked);
  }
}

// The uninstaller, on its confirmation page; a copy in a folder of its own,
// since its file is what it removes last.
class UninstallerWindowTest : public WindowProgramTest {
 protected:
  static void SetUpTestSuite() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"orv_access_uninstall\\";
    ::CreateDirectoryW(folder_.c_str(), nullptr);
    const std::wstring copy = folder_ + L"Uninstall.exe";
    ASSERT_TRUE(::CopyFileW(WinePath(ORV_UNINSTALL_EXE).c_str(), copy.c_str(), FALSE));
    StartWindowProgram(copy);
  }
  static void TearDownTestSuite() {
    WindowProgramTest::TearDownTestSuite();
    ::DeleteFileW((folder_ + L"Uninstall.exe").c_str());
    ::RemoveDirectoryW(folder_.c_str());
  }

 private:
  static std::wstring folder_;
};
std::wstring UninstallerWindowTest::folder_;

TEST_F(UninstallerWindowTest, ConfirmationPageAnswersAndFollowsTab) {
  ComPtr<IAccessible> view = ClientObject();
  ASSERT_TRUE(view);
  struct Expected {
    long id;
    const wchar_t* name;
    long role;
    long state;
  };
  const Expected expected[] = {
      {1101, L"关闭", ROLE_SYSTEM_PUSHBUTTON, kStateVisible},
      {1104, L"您是否要卸载Orvanta？", ROLE_SYSTEM_STATICTEXT, kStateVisible},
      {1106, L"立即卸载", ROLE_SYSTEM_PUSHBUTTON, kStateVisible},
      {1107, L"暂不卸载", ROLE_SYSTEM_PUSHBUTTON, kStateVisible},
      {1304, L"关闭", ROLE_SYSTEM_PUSHBUTTON, STATE_SYSTEM_INVISIBLE},
  };
  for (const Expected& e : expected) {
    const std::string what = "control " + std::to_string(e.id);
    ComPtr<IAccessible> control = Child(view.Get(), -e.id);
    ASSERT_TRUE(control) << what;
    const Answers a = Ask(control.Get());
    EXPECT_EQ(a.name, e.name) << what;
    EXPECT_EQ(a.role, e.role) << what;
    EXPECT_EQ(a.state, e.state) << what;
  }
  ExpectRect(Ask(Child(view.Get(), -1106).Get()).location, OnScreen(165, 296, 127, 40),
             "uninstall button");

  EventHook hook(POINT{60, 60});  // the page background
  ASSERT_TRUE(hook.Listening());
  for (long id : {1101L, 1102L, 1104L}) {
    const auto events = EventsAfter("key Tab", kFocusEvents.size());
    EXPECT_EQ(Kinds(events), kFocusEvents) << id;
    ExpectFrom(events, id, "Tab to " + std::to_string(id));
    if (!events.empty()) {
      EXPECT_EQ(StateOfEventChild(events.back()), kStateFocused) << id;
    }
  }
}
