#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "../common/log_tail.h"
#include "common/utilfunc.h"
#include "../common/probe_client.h"
#include "libinstall/installstrategy.h"
#include "libinstall/setupstrategies.h"
#include "support/test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::TempFolder;

const std::string kLoadFailed = "ERROR 读取安装配置失败";

std::string Utf8(const std::wstring& text) {
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring Pid() { return std::to_wstring(::GetCurrentProcessId()); }

std::wstring WithoutBackslash(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Writes a rule file (UTF-8) and returns its path.
std::wstring WriteRules(const std::wstring& folder, const std::string& xml) {
  const std::wstring path = folder + L"setup.xml";
  EXPECT_TRUE(testsupport::WriteFileBytes(path, xml));
  return path;
}

template <typename T>
const T* RuleAt(const CInstallStrategy& rules, size_t index) {
  return index < rules.Strategies().size() ? dynamic_cast<const T*>(rules.Strategies()[index].get()) : nullptr;
}

// ---- loader and variables ----

TEST(SetupLoaderTest, RuleKindsLoadInDocumentOrderAsSeparateObjects) {
  TempFolder dir;
  const std::wstring path = WriteRules(dir.path(), R"(<?xml version="1.0" encoding="utf-8"?>
<setup>
  <install>
    <!-- comments between rule kinds are skipped -->
    <reg><item key="HKEY_CURRENT_USER" subkey="First" name="a" type="REG_SZ" value="1"/></reg>
    <process><item path="p"/><entry path="q"/></process>
    <Reg><item/></Reg>
    <file><item/></file>
    <reg><item key="HKEY_CURRENT_USER" subkey="Second"/></reg>
    <desktopicon><item link="d.lnk"/></desktopicon>
    <startmenu><item link="s.lnk"/></startmenu>
  </install>
</setup>)");
  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(path), 1);
  ASSERT_EQ(installer.Strategies().size(), 5u);
  const auto* first = RuleAt<CSetupStrategyForReg>(installer, 0);
  const auto* process = RuleAt<CSetupStrategyForProcess>(installer, 1);
  const auto* second = RuleAt<CSetupStrategyForReg>(installer, 2);
  ASSERT_TRUE(first && process && second);
  EXPECT_NE(RuleAt<CSetupStrategyForDesktopIcon>(installer, 3), nullptr);
  EXPECT_NE(RuleAt<CSetupStrategyForStartMenu>(installer, 4), nullptr);
  ASSERT_EQ(first->Items().size(), 1u);
  EXPECT_EQ(first->Items()[0].subKey, L"First");
  ASSERT_EQ(second->Items().size(), 1u);
  EXPECT_EQ(second->Items()[0].subKey, L"Second");
  ASSERT_EQ(process->Items().size(), 2u);
  EXPECT_EQ(process->Items()[1].path, L"q");

  // The uninstaller reads its own section only, and fails without a log record.
  LogTail log;
  CInstallStrategy uninstaller(SetupSection::kUninstall);
  EXPECT_EQ(uninstaller.LoadStrategyCfg(path), 0);
  EXPECT_TRUE(uninstaller.Strategies().empty());
  EXPECT_EQ(log.Count("读取安装配置失败"), 0u);
}

TEST(SetupLoaderTest, UnreadableFilesAndItemsWithoutAttributesFailTheWholeLoad) {
  TempFolder dir;
  const std::wstring key = L"Software\\OrvRulesLoad-" + Pid();
  const std::string rulesBeforeTheBadItem =
      "<reg><item key=\"HKEY_CURRENT_USER\" subkey=\"" + Utf8(key) + "\" name=\"v\" type=\"REG_SZ\" value=\"x\"/></reg>";
  const struct {
    const char* what;
    std::string xml;
  } broken[] = {
      {"empty item", "<setup><install>" + rulesBeforeTheBadItem + "<process><item/></process></install></setup>"},
      {"comment among items",
       "<setup><install>" + rulesBeforeTheBadItem + "<reg><!-- c --><item key=\"HKEY_CURRENT_USER\"/></reg></install></setup>"},
      {"malformed", "<setup><install>" + rulesBeforeTheBadItem},
      {"no section", "<setup><uninstall/></setup>"},
  };
  for (const auto& file : broken) {
    const std::wstring path = WriteRules(dir.path(), file.xml);
    LogTail log;
    CInstallStrategy installer(SetupSection::kInstall);
    EXPECT_EQ(installer.LoadStrategyCfg(path), 0) << file.what;
    EXPECT_TRUE(log.HasInOrder({kLoadFailed})) << file.what;
    installer.Install();
    HKEY opened = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened), ERROR_SUCCESS) << file.what;
    if (opened) ::RegCloseKey(opened);
  }

  LogTail log;
  CInstallStrategy installer(SetupSection::kInstall);
  EXPECT_EQ(installer.LoadStrategyCfg(dir.path() + L"missing.xml"), 0);
  EXPECT_TRUE(log.HasInOrder({kLoadFailed}));
  const std::wstring path =
      WriteRules(dir.path(), "<setup><uninstall><process><!-- c --><item path=\"x\"/></process></uninstall></setup>");
  CInstallStrategy uninstaller(SetupSection::kUninstall);
  EXPECT_EQ(uninstaller.LoadStrategyCfg(path), 0);
  EXPECT_EQ(log.Count("读取安装配置失败"), 1u);
}

TEST(SetupVariablesTest, ExpandsBothVariablesThenEveryApostrophe) {
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\Program Files\\Orvanta");
  SetupVariables::Set(SetupVariables::kVersion, L"1.02.03N");
  EXPECT_EQ(SetupVariables::Expand(L"/install /path:'$INSTDIR\\a.exe'"),
            L"/install /path:\"C:\\Program Files\\Orvanta\\a.exe\"");
  EXPECT_EQ(SetupVariables::Expand(L"$INSTDIR\\$VERSION\\x $INSTDIRX"),
            L"C:\\Program Files\\Orvanta\\1.02.03N\\x C:\\Program Files\\OrvantaX");
  EXPECT_EQ(SetupVariables::Expand(L"$instdir $Version $OTHER"), L"$instdir $Version $OTHER");

  // Inserted text is not scanned again; an apostrophe in a value is converted too.
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\$INSTDIR's");
  EXPECT_EQ(SetupVariables::Expand(L"$INSTDIR"), L"C:\\$INSTDIR\"s");
  std::wstring value;
  ASSERT_TRUE(SetupVariables::Get(SetupVariables::kVersion, &value));
  EXPECT_EQ(value, L"1.02.03N");
  EXPECT_FALSE(SetupVariables::Get(L"$OTHER", &value));
}

TEST(SetupLoaderTest, ReadsNumbersLikeAtolAndConvertsAndExpandsTexts) {
  // A folder name that the ANSI code page cannot represent.
  TempFolder dir(L"orv-\U0001F600-\uD55C");
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\安装");
  SetupVariables::Set(SetupVariables::kVersion, L"2.00.01N");
  const std::wstring path = WriteRules(dir.path(), "\xEF\xBB\xBF" u8R"(<setup><install>
    <process>
      <item path="$INSTDIR\$VERSION\a.exe" param="/p:'$INSTDIR'" wait=" 42ms" show="0"/>
      <item wait="-1" show=""/>
      <item wait="+7" show="no"/>
      <item wait="abc"/>
      <item wait="99999999999"/>
    </process>
    <reg>
      <item key="HKEY_LOCAL_MACHINE" subkey="SOFTWARE\安装" name="名" type="REG_DWORD" value="-1"/>
      <item key="HKEY_USERS" type="REG_DWORD" value="abc"/>
      <item key="HKEY_CLASSES_ROOT" type="REG_DWORD" value="12abc"/>
      <item key="HKEY_CURRENT_CONFIG" type="REG_SZ" value="'$INSTDIR'"/>
      <item key="hkey_current_user" type="reg_sz" value="$INSTDIR" subkeyname="k"/>
    </reg>
    <desktopicon><item file="$INSTDIR\o.exe" link="$INSTDIR.lnk" cmd="'$INSTDIR'" icon="$INSTDIR\o.ico"/></desktopicon>
    <startmenu><item file="$INSTDIR\o.exe" link="O\$VERSION.lnk" cmd="$VERSION"/></startmenu>
  </install></setup>)");
  CInstallStrategy rules(SetupSection::kInstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  const auto* process = RuleAt<CSetupStrategyForProcess>(rules, 0);
  const auto* reg = RuleAt<CSetupStrategyForReg>(rules, 1);
  const auto* desktop = RuleAt<CSetupStrategyForDesktopIcon>(rules, 2);
  const auto* startMenu = RuleAt<CSetupStrategyForStartMenu>(rules, 3);
  ASSERT_TRUE(process && reg && desktop && startMenu);

  const auto& items = process->Items();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].path, L"C:\\安装\\2.00.01N\\a.exe");
  EXPECT_EQ(items[0].param, L"/p:\"C:\\安装\"");
  EXPECT_EQ(items[0].wait, 42);
  EXPECT_EQ(items[1].wait, -1);
  EXPECT_EQ(items[2].wait, 7);
  EXPECT_EQ(items[3].wait, 0);
  EXPECT_EQ(items[4].wait, 0x7FFFFFFF);
  EXPECT_FALSE(items[0].show);
  EXPECT_TRUE(items[1].show);
  EXPECT_TRUE(items[2].show);
  EXPECT_FALSE(items[3].show);

  const auto& keys = reg->Items();
  ASSERT_EQ(keys.size(), 5u);
  EXPECT_EQ(keys[0].root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(keys[0].subKey, L"SOFTWARE\\安装");
  EXPECT_EQ(keys[0].valueName, L"名");
  EXPECT_EQ(keys[0].valueType, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(keys[0].dwordValue, 0xFFFFFFFFu);
  EXPECT_EQ(keys[1].root, HKEY_USERS);
  EXPECT_EQ(keys[1].dwordValue, 0u);
  EXPECT_EQ(keys[2].root, HKEY_CLASSES_ROOT);
  EXPECT_EQ(keys[2].dwordValue, 12u);
  EXPECT_EQ(keys[3].root, HKEY_CURRENT_CONFIG);
  EXPECT_EQ(keys[3].stringValue, L"\"C:\\安装\"");
  EXPECT_EQ(keys[4].root, nullptr);
  EXPECT_EQ(keys[4].valueType, 0u);
  EXPECT_EQ(keys[4].stringValue, L"");
  EXPECT_EQ(keys[4].subKeyName, L"k");

  ASSERT_EQ(desktop->Items().size(), 1u);
  EXPECT_EQ(desktop->Items()[0].file, L"C:\\安装\\o.exe");
  EXPECT_EQ(desktop->Items()[0].icon, L"C:\\安装\\o.ico");
  EXPECT_EQ(desktop->Items()[0].link, L"$INSTDIR.lnk");
  EXPECT_EQ(desktop->Items()[0].cmd, L"'$INSTDIR'");
  ASSERT_EQ(startMenu->Items().size(), 1u);
  EXPECT_EQ(startMenu->Items()[0].file, L"C:\\安装\\o.exe");
  EXPECT_EQ(startMenu->Items()[0].link, L"O\\$VERSION.lnk");
  EXPECT_EQ(startMenu->Items()[0].cmd, L"$VERSION");
}

// ---- registry ----

std::wstring RegString(HKEY root, const std::wstring& key, const std::wstring& name, DWORD* type = nullptr) {
  wchar_t data[512] = {};
  DWORD bytes = sizeof data;
  DWORD found = 0;
  if (::RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &found, data, &bytes) !=
      ERROR_SUCCESS)
    return L"<missing>";
  if (type) *type = found;
  return std::wstring(data, bytes / sizeof(wchar_t));
}

DWORD RegNumber(HKEY root, const std::wstring& key, const std::wstring& name) {
  DWORD value = 0xDEADBEEF;
  DWORD bytes = sizeof value;
  ::RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &bytes);
  return value;
}

bool KeyExists(HKEY root, const std::wstring& key) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  ::RegCloseKey(opened);
  return true;
}

void SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  ::RegSetKeyValueW(root, key.c_str(), name.c_str(), REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

TEST(RegRuleTest, InstallWritesStringsNumbersDefaultValuesAndBareKeys) {
  TempFolder dir;
  const std::wstring base = L"Software\\OrvRulesReg-" + Pid();
  const std::wstring machine = L"SOFTWARE\\OrvRulesReg-" + Pid();
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\Program Files\\Orvanta");
  const std::string b = Utf8(base);
  const std::wstring path = WriteRules(dir.path(), "<setup><install><reg>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\App\" name=\"Path\" type=\"REG_SZ\" value=\"$INSTDIR\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\App\" name=\"Empty\" type=\"REG_SZ\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\App\" name=\"One\" type=\"REG_DWORD\" value=\"1\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\App\" name=\"Minus\" type=\"REG_DWORD\" value=\"-1\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\App\" name=\"Abc\" type=\"REG_DWORD\" value=\"abc\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\Bare\\Deep\" name=\"X\" type=\"REG_BINARY\" value=\"1\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\Default\" type=\"REG_SZ\" value=\"def\"/>"
      "<item key=\"hkey_current_user\" subkey=\"" + b + "\\Lower\" name=\"L\" type=\"REG_SZ\" value=\"x\"/>"
      "<item key=\"HKEY_LOCAL_MACHINE\" subkey=\"" + Utf8(machine) + "\" name=\"Path\" type=\"REG_SZ\" value=\"$INSTDIR\"/>"
      "</reg></install></setup>");
  CInstallStrategy rules(SetupSection::kInstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  rules.Install();

  const std::wstring app = base + L"\\App";
  DWORD type = 0;
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, app, L"Path", &type), std::wstring(L"C:\\Program Files\\Orvanta") + L'\0');
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, app, L"Empty"), std::wstring(1, L'\0'));
  EXPECT_EQ(RegNumber(HKEY_CURRENT_USER, app, L"One"), 1u);
  EXPECT_EQ(RegNumber(HKEY_CURRENT_USER, app, L"Minus"), 0xFFFFFFFFu);
  EXPECT_EQ(RegNumber(HKEY_CURRENT_USER, app, L"Abc"), 0u);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, base + L"\\Bare\\Deep"));
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Bare\\Deep", L"X"), L"<missing>");
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Default", L""), std::wstring(L"def") + L'\0');
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + L"\\Lower"));
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, machine, L"Path"), std::wstring(L"C:\\Program Files\\Orvanta") + L'\0');

  ::RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine.c_str());
}

TEST(RegRuleTest, UnInstallDeletesNamedValuesAndKeyTreesOnly) {
  TempFolder dir;
  const std::wstring base = L"Software\\OrvRulesUnreg-" + Pid();
  const std::wstring top = L"OrvRulesTop-" + Pid();  // directly below the root
  SetRegString(HKEY_CURRENT_USER, base + L"\\Keep", L"A", L"a");
  SetRegString(HKEY_CURRENT_USER, base + L"\\Keep", L"B", L"b");
  SetRegString(HKEY_CURRENT_USER, base + L"\\Sub\\Deep\\Deeper", L"V", L"v");
  SetRegString(HKEY_CURRENT_USER, base + L"\\Sub", L"", L"default");
  SetRegString(HKEY_CURRENT_USER, top + L"\\One\\Two", L"V", L"v");
  SetRegString(HKEY_CURRENT_USER, top, L"W", L"w");
  const std::string b = Utf8(base);
  const std::wstring path = WriteRules(dir.path(), "<setup><uninstall><reg>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\Missing\" name=\"A\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\Keep\" name=\"A\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkeyname=\"" + Utf8(top) + "\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\\Keep\"/>"
      "<item key=\"hkey_current_user\" subkey=\"" + b + "\\Keep\" name=\"B\"/>"
      "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + b + "\" subkeyname=\"Sub\" name=\"ignored\"/>"
      "</reg></uninstall></setup>");
  CInstallStrategy rules(SetupSection::kUninstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  rules.UnInstall();

  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Keep", L"A"), L"<missing>");
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Keep", L"B"), std::wstring(L"b") + L'\0');
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, top));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + L"\\Sub"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, base));
  ::RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
}

// ---- processes ----

TEST(ProcessRuleTest, StartsQuotedProgramsHiddenOrShownAndWaitsOnlyWhenAsked) {
  TempFolder dir(L"orv inst dir");
  const std::wstring instDir = WithoutBackslash(dir.path());
  const std::wstring exe = probe::CopyProbe(dir.path(), L"Orvanta.exe");
  SetupVariables::Set(SetupVariables::kInstDir, instDir);
  const std::wstring path = WriteRules(dir.path(), R"(<setup><install><process>
      <item path="$INSTDIR\Orvanta.exe" param="/install /path:'$INSTDIR' --sleep=30000 --done" show="0"/>
      <item path="$INSTDIR\Orvanta.exe" param="/addtask --sleep=200 --done" wait="20000" show="1"/>
    </process></install></setup>)");
  CInstallStrategy rules(SetupSection::kInstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  rules.Install();

  // The second item was waited for, the first one still runs.
  std::string calls = probe::Calls(dir.path());
  const std::string quoted = "\"" + Utf8(exe) + "\" ";
  EXPECT_NE(calls.find("show=0 " + quoted + "/install /path:\"" + Utf8(instDir) + "\" --sleep=30000 --done\n"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("show=10 " + quoted + "/addtask --sleep=200 --done\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("\ndone\n"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("\ndone\n"), calls.rfind("\ndone\n")) << calls;

  // The uninstall side runs the very same items.
  rules.UnInstall();
  calls = probe::Calls(dir.path());
  size_t addtask = 0;
  for (size_t at = calls.find("/addtask"); at != std::string::npos; at = calls.find("/addtask", at + 1)) ++addtask;
  EXPECT_EQ(addtask, 2u) << calls;
  UtilFunc::KillPathFileProcess(exe);
}

// ---- shortcuts ----

struct LinkInfo {
  std::wstring target, arguments, workingFolder, icon;
  int iconIndex = -1;
  bool loaded = false;
};

LinkInfo ReadLink(const std::wstring& path) {
  LinkInfo info;
  IShellLinkW* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
    return info;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
      wchar_t text[MAX_PATH] = {};
      link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
      info.target = text;
      text[0] = L'\0';
      link->GetArguments(text, MAX_PATH);
      info.arguments = text;
      text[0] = L'\0';
      link->GetWorkingDirectory(text, MAX_PATH);
      info.workingFolder = text;
      text[0] = L'\0';
      link->GetIconLocation(text, MAX_PATH, &info.iconIndex);
      info.icon = text;
      info.loaded = true;
    }
    file->Release();
  }
  link->Release();
  return info;
}

std::wstring ShellFolder(int csidl) {
  wchar_t folder[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder);
  return std::wstring(folder) + L"\\";
}

class ShortcutRuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    instDir_ = WithoutBackslash(app_.path());
    target_ = probe::CopyProbe(app_.path(), L"Orvanta.exe");
    SetupVariables::Set(SetupVariables::kInstDir, instDir_);
  }
  void TearDown() override { ::CoUninitialize(); }

  TempFolder app_{L"orv app"};
  TempFolder rulesDir_;
  std::wstring instDir_;
  std::wstring target_;
};

TEST_F(ShortcutRuleTest, DesktopShortcutsWithAndWithoutIconAndTheirRemoval) {
  const std::wstring desktop = ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
  const std::wstring plain = L"OrvRules " + Pid() + L" plain.lnk";
  const std::wstring iconic = L"OrvRules " + Pid() + L" icon.lnk";
  const std::string items = "<desktopicon>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(plain) + "\" cmd=\"/run:desktop\"/>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(iconic) + "\" icon=\"$INSTDIR\\app.ico\"/>"
      "</desktopicon>";
  const std::wstring path =
      WriteRules(rulesDir_.path(), "<setup><install>" + items + "</install><uninstall>" + items + "</uninstall></setup>");
  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(path), 1);
  installer.Install();

  const LinkInfo first = ReadLink(desktop + plain);
  ASSERT_TRUE(first.loaded);
  EXPECT_TRUE(SameText(first.target, target_)) << first.target;
  EXPECT_EQ(first.arguments, L"/run:desktop");
  EXPECT_TRUE(SameText(first.workingFolder, instDir_ + L"\\")) << first.workingFolder;
  EXPECT_EQ(first.icon, L"");
  const LinkInfo second = ReadLink(desktop + iconic);
  ASSERT_TRUE(second.loaded);
  EXPECT_EQ(second.arguments, L"");
  EXPECT_TRUE(SameText(second.icon, instDir_ + L"\\app.ico")) << second.icon;
  EXPECT_EQ(second.iconIndex, 0);

  // Removal uses the plain system deletion: a read-only shortcut stays.
  ::SetFileAttributesW((desktop + iconic).c_str(), FILE_ATTRIBUTE_READONLY);
  CInstallStrategy uninstaller(SetupSection::kUninstall);
  ASSERT_EQ(uninstaller.LoadStrategyCfg(path), 1);
  uninstaller.UnInstall();
  EXPECT_FALSE(FileExists(desktop + plain));
  EXPECT_TRUE(FileExists(desktop + iconic));
  ::SetFileAttributesW((desktop + iconic).c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW((desktop + iconic).c_str());
}

TEST_F(ShortcutRuleTest, StartMenuFoldersAreCreatedOnTheWayAndRemovedWhole) {
  const std::wstring programs = ShellFolder(CSIDL_COMMON_PROGRAMS);
  const std::wstring folder = L"OrvRules " + Pid();
  const std::wstring link = folder + L"\\Sub Folder\\Orvanta.lnk";
  const std::wstring canary = programs + L"OrvRules canary " + Pid() + L".txt";
  ASSERT_TRUE(testsupport::WriteFileBytes(canary, "canary"));
  const std::string f = Utf8(folder);
  const std::wstring path = WriteRules(rulesDir_.path(),
      "<setup><install><startmenu>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(link) + "\" cmd=\"/run:menu\"/>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + f + "\\Second.lnk\"/>"
      "</startmenu></install><uninstall><startmenu>"
      "<item link=\"" + f + "\\Second.lnk\"/>"
      "<item link=\"" + f + "\\missing.lnk\"/>"
      "<item link=\"\"/><item cmd=\"x\"/><item link=\"\\\"/><item link=\"..\"/><item link=\"" + f + "\\..\"/>"
      "<item link=\"" + f + "\"/>"
      "</startmenu></uninstall></setup>");
  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(path), 1);
  installer.Install();
  const LinkInfo info = ReadLink(programs + link);
  ASSERT_TRUE(info.loaded) << "no shortcut at " << testing::PrintToString(programs + link);
  EXPECT_TRUE(SameText(info.target, target_)) << info.target;
  EXPECT_EQ(info.arguments, L"/run:menu");
  EXPECT_EQ(info.icon, L"");
  ASSERT_TRUE(FileExists(programs + folder + L"\\Second.lnk"));

  CInstallStrategy uninstaller(SetupSection::kUninstall);
  ASSERT_EQ(uninstaller.LoadStrategyCfg(path), 1);
  uninstaller.UnInstall();
  EXPECT_FALSE(FolderExists(programs + folder));
  // Items that name the programs folder itself or lie outside it remove nothing.
  EXPECT_TRUE(FileExists(canary));
  ::DeleteFileW(canary.c_str());
}

TEST_F(ShortcutRuleTest, CreateShortcutReportsSaveFailuresAndSkipsAMissingWorkingFolder) {
  const std::wstring blocker = rulesDir_.path() + L"blocker";
  ASSERT_TRUE(testsupport::WriteFileBytes(blocker, "a file where the folder should be"));
  EXPECT_EQ(CreateShortcut(target_, L"", blocker + L"\\x.lnk", L""), 0);

  const std::wstring bare = rulesDir_.path() + L"new folder\\bare.lnk";
  EXPECT_EQ(CreateShortcut(L"notepad.exe", L"-a", bare, L""), 1);
  const LinkInfo info = ReadLink(bare);
  ASSERT_TRUE(info.loaded);
  EXPECT_EQ(info.workingFolder, L"");
  EXPECT_EQ(info.arguments, L"-a");
}

// ---- the sample package's own rule file ----

std::wstring SamplePackage() {
  const char* binary = std::getenv("ORV_BINARY_DIR");
  std::wstring path = L"Z:" + Utf8ToWide(binary ? binary : "") + L"\\package\\Orvanta\\";
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::string WaitForCalls(const std::wstring& file, const std::string& text) {
  std::string calls;
  for (int i = 0; i < 100 && calls.find(text) == std::string::npos; ++i, ::Sleep(100))
    calls = testsupport::ReadFileBytes(file);
  return calls;
}

// The package's setup.xml loads on both sides, and its process rules start
// the sample programs as written; the other rules are not carried out here
// because they change machine-wide names that other tests use.
TEST(SamplePackageRulesTest, BothSectionsLoadAndTheProcessRulesStartTheSamplePrograms) {
  TempFolder dir(L"orv sample");
  const std::wstring instDir = WithoutBackslash(dir.path());
  const std::wstring version = L"7.19.02N";
  const std::wstring versionFolder = dir.path() + version + L"\\";
  const std::wstring package = SamplePackage();
  ASSERT_TRUE(::CreateDirectoryW(versionFolder.c_str(), nullptr));
  ASSERT_TRUE(::CopyFileW((package + L"install-folder\\Orvanta.exe").c_str(), (dir.path() + L"Orvanta.exe").c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((package + L"version-folder\\Velpane.exe").c_str(), (versionFolder + L"Velpane.exe").c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((package + L"version-folder\\setup.xml").c_str(), (versionFolder + L"setup.xml").c_str(), FALSE));
  SetupVariables::Set(SetupVariables::kInstDir, instDir);
  SetupVariables::Set(SetupVariables::kVersion, version);

  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(versionFolder + L"setup.xml"), 1);
  ASSERT_EQ(installer.Strategies().size(), 4u);
  const auto* reg = RuleAt<CSetupStrategyForReg>(installer, 0);
  const auto* startMenu = RuleAt<CSetupStrategyForStartMenu>(installer, 2);
  ASSERT_TRUE(reg && RuleAt<CSetupStrategyForDesktopIcon>(installer, 1) && startMenu &&
              RuleAt<CSetupStrategyForProcess>(installer, 3));
  const auto& values = reg->Items();
  const auto value = [&](const std::wstring& name) {
    const auto found = std::find_if(values.begin(), values.end(), [&](const auto& item) { return item.valueName == name; });
    return found == values.end() ? CSetupStrategyForReg::Item() : *found;
  };
  EXPECT_EQ(value(L"UninstallString").stringValue, L"\"" + instDir + L"\\Uninstall.exe\"");
  EXPECT_EQ(value(L"DisplayVersion").stringValue, version);
  EXPECT_EQ(value(L"EstimatedSize").dwordValue, 1024u);
  EXPECT_EQ(value(L"URL Protocol").root, HKEY_CLASSES_ROOT);
  ASSERT_EQ(startMenu->Items().size(), 2u);
  EXPECT_EQ(startMenu->Items()[1].link, L"Orvanta\\\u5378\u8F7D Orvanta.lnk");

  installer.Strategies()[3]->Install();
  const std::string quoted = "\"" + Utf8(instDir) + "\\";
  std::string calls = WaitForCalls(dir.path() + L"Orvanta.calls.txt", "/addtask");
  EXPECT_NE(calls.find(quoted + "Orvanta.exe\" /addtask\tshow=0\t"), std::string::npos) << calls;
  calls = WaitForCalls(versionFolder + L"Velpane.calls.txt", "/install");
  EXPECT_NE(calls.find("Velpane.exe\" /install /path:" + quoted.substr(0, quoted.size() - 1) + "\"\tshow=0\t"),
            std::string::npos)
      << calls;

  CInstallStrategy uninstaller(SetupSection::kUninstall);
  ASSERT_EQ(uninstaller.LoadStrategyCfg(versionFolder + L"setup.xml"), 1);
  ASSERT_EQ(uninstaller.Strategies().size(), 4u);
  const auto* process = RuleAt<CSetupStrategyForProcess>(uninstaller, 0);
  const auto* keys = RuleAt<CSetupStrategyForReg>(uninstaller, 1);
  ASSERT_TRUE(process && keys);
  ASSERT_EQ(keys->Items().size(), 4u);
  EXPECT_EQ(keys->Items()[2].root, HKEY_CLASSES_ROOT);
  EXPECT_EQ(keys->Items()[2].subKey, L"");
  EXPECT_EQ(keys->Items()[2].subKeyName, L"orvanta");
  uninstaller.Strategies()[0]->UnInstall();
  calls = WaitForCalls(dir.path() + L"Orvanta.calls.txt", "/uninstall");
  EXPECT_NE(calls.find(quoted + "Orvanta.exe\" /uninstall\tshow=0\t"), std::string::npos) << calls;
}

}  // namespace
