#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

// A REG_SZ value whose data is its own name.
void SetRegString(HKEY root, const std::wstring& key, const std::wstring& name) {
  ::RegSetKeyValueW(root, key.c_str(), name.c_str(), REG_SZ, name.c_str(),
                    static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
}

// ---- loader and variables ----

TEST(SetupLoaderTest, RuleKindsLoadInDocumentOrderAsSeparateObjects) {
  TempFolder dir;
  const std::wstring path = WriteRules(dir.path(), R"(<?xml version="1.0" encoding="utf-8"?>
<setup><install>
  <!-- comments between rule kinds are skipped -->
  <reg><item subkey="First"/></reg>
  <process><item path="p"/><entry path="q"/></process>
  <Reg><item/></Reg>
  <file><item/></file>
  <reg><item subkey="Second"/></reg>
  <desktopicon><item link="d.lnk"/></desktopicon>
  <startmenu><item link="s.lnk"/></startmenu>
</install></setup>)");
  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(path), 1);
  ASSERT_EQ(installer.Strategies().size(), 5u);
  const auto* first = RuleAt<CSetupStrategyForReg>(installer, 0);
  const auto* process = RuleAt<CSetupStrategyForProcess>(installer, 1);
  const auto* second = RuleAt<CSetupStrategyForReg>(installer, 2);
  ASSERT_TRUE(first && process && second && RuleAt<CSetupStrategyForDesktopIcon>(installer, 3) &&
              RuleAt<CSetupStrategyForStartMenu>(installer, 4));
  EXPECT_EQ(first->Items().at(0).subKey, L"First");
  EXPECT_EQ(second->Items().at(0).subKey, L"Second");
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
  const std::string before =
      "<setup><install><reg><item key=\"HKEY_CURRENT_USER\" subkey=\"" + Utf8(key) + "\" type=\"REG_SZ\"/></reg>";
  for (const std::string& xml : {before + "<process><item/></process></install></setup>",
                                 before + "<reg><!-- c --><item key=\"HKEY_CURRENT_USER\"/></reg></install></setup>",
                                 before, std::string("<setup><uninstall/></setup>")}) {
    LogTail log;
    CInstallStrategy installer(SetupSection::kInstall);
    EXPECT_EQ(installer.LoadStrategyCfg(WriteRules(dir.path(), xml)), 0) << xml;
    EXPECT_TRUE(log.HasInOrder({kLoadFailed})) << xml;
    installer.Install();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key)) << xml;
  }
  LogTail log;
  CInstallStrategy installer(SetupSection::kInstall);
  EXPECT_EQ(installer.LoadStrategyCfg(dir.path() + L"missing.xml"), 0);
  CInstallStrategy uninstaller(SetupSection::kUninstall);
  EXPECT_EQ(uninstaller.LoadStrategyCfg(WriteRules(dir.path(), "<setup><uninstall><process><!-- c -->"
                                                               "<item path=\"x\"/></process></uninstall></setup>")),
            0);
  EXPECT_EQ(log.Count("读取安装配置失败"), 1u);
}

TEST(SetupVariablesTest, ExpandsBothVariablesThenEveryApostrophe) {
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\Program Files\\Orvanta");
  SetupVariables::Set(SetupVariables::kVersion, L"1.02.03N");
  EXPECT_EQ(SetupVariables::Expand(L"/path:'$INSTDIR\\a.exe' $INSTDIR\\$VERSION $INSTDIRX"),
            L"/path:\"C:\\Program Files\\Orvanta\\a.exe\" C:\\Program Files\\Orvanta\\1.02.03N C:\\Program Files\\OrvantaX");
  EXPECT_EQ(SetupVariables::Expand(L"$instdir $Version $OTHER"), L"$instdir $Version $OTHER");
  // Inserted text is not scanned again; an apostrophe in a value is converted too.
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\$INSTDIR's");
  EXPECT_EQ(SetupVariables::Expand(L"$INSTDIR"), L"C:\\$INSTDIR\"s");
}

TEST(SetupLoaderTest, ReadsNumbersLikeAtolAndConvertsAndExpandsTheRightTexts) {
  // A folder name that the ANSI code page cannot represent, and a BOM.
  TempFolder dir(L"orv-\U0001F600-\uD55C");
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\安装");
  SetupVariables::Set(SetupVariables::kVersion, L"2.00.01N");
  const std::wstring path = WriteRules(dir.path(), std::string("\xEF\xBB\xBF") +
                                                       reinterpret_cast<const char*>(u8R"(<setup><install>
    <process>
      <item path="$INSTDIR\$VERSION\a.exe" param="/p:'$INSTDIR'" wait=" 42ms" show="0"/>
      <item wait="-1" show=""/><item wait="+7" show="no"/><item wait="abc"/>
    </process>
    <reg>
      <item key="HKEY_LOCAL_MACHINE" subkey="SOFTWARE\安装" name="名" type="REG_DWORD" value="-1"/>
      <item key="HKEY_USERS" type="REG_DWORD" value="abc"/>
      <item key="HKEY_CURRENT_CONFIG" type="REG_SZ" value="'$INSTDIR'"/>
      <item key="hkey_current_user" type="reg_sz" value="$INSTDIR"/>
    </reg>
    <desktopicon><item file="$INSTDIR\o.exe" link="$INSTDIR.lnk" cmd="'$INSTDIR'" icon="$INSTDIR\o.ico"/></desktopicon>
  </install></setup>)"));
  CInstallStrategy rules(SetupSection::kInstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  const auto* process = RuleAt<CSetupStrategyForProcess>(rules, 0);
  const auto* reg = RuleAt<CSetupStrategyForReg>(rules, 1);
  const auto* desktop = RuleAt<CSetupStrategyForDesktopIcon>(rules, 2);
  ASSERT_TRUE(process && reg && desktop);

  const auto& runs = process->Items();
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].path, L"C:\\安装\\2.00.01N\\a.exe");
  EXPECT_EQ(runs[0].param, L"/p:\"C:\\安装\"");
  EXPECT_EQ(std::vector<int>({runs[0].wait, runs[1].wait, runs[2].wait, runs[3].wait}), std::vector<int>({42, -1, 7, 0}));
  EXPECT_EQ(std::vector<bool>({runs[0].show, runs[1].show, runs[2].show, runs[3].show}),
            std::vector<bool>({false, true, true, false}));

  const auto& keys = reg->Items();
  ASSERT_EQ(keys.size(), 4u);
  EXPECT_EQ(keys[0].root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(keys[0].subKey + L"|" + keys[0].valueName, L"SOFTWARE\\安装|名");
  EXPECT_EQ(keys[0].dwordValue, 0xFFFFFFFFu);
  EXPECT_EQ(keys[1].root, HKEY_USERS);
  EXPECT_EQ(keys[1].dwordValue, 0u);
  EXPECT_EQ(keys[2].stringValue, L"\"C:\\安装\"");
  EXPECT_EQ(keys[3].root, nullptr);
  EXPECT_EQ(keys[3].valueType, 0u);

  const auto& icon = desktop->Items().at(0);
  EXPECT_EQ(icon.file + L"|" + icon.icon, L"C:\\安装\\o.exe|C:\\安装\\o.ico");
  EXPECT_EQ(icon.link + L"|" + icon.cmd, L"$INSTDIR.lnk|'$INSTDIR'");
}

// ---- registry ----

TEST(RegRuleTest, InstallWritesStringsNumbersDefaultValuesAndBareKeys) {
  TempFolder dir;
  const std::wstring base = L"Software\\OrvRulesReg-" + Pid();
  const std::wstring machine = L"SOFTWARE\\OrvRulesReg-" + Pid();
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\Program Files\\Orvanta");
  const auto item = [&](const std::string& subkey, const std::string& rest, const char* root = "HKEY_CURRENT_USER") {
    return "<item key=\"" + std::string(root) + "\" subkey=\"" + Utf8(base) + subkey + "\" " + rest + "/>";
  };
  const std::wstring path = WriteRules(dir.path(), "<setup><install><reg>" +
      item("\\App", "name=\"Path\" type=\"REG_SZ\" value=\"$INSTDIR\"") + item("\\App", "name=\"Empty\" type=\"REG_SZ\"") +
      item("\\App", "name=\"One\" type=\"REG_DWORD\" value=\"1\"") +
      item("\\App", "name=\"Minus\" type=\"REG_DWORD\" value=\"-1\"") +
      item("\\App", "name=\"Abc\" type=\"REG_DWORD\" value=\"abc\"") +
      item("\\Bare\\Deep", "name=\"X\" type=\"REG_BINARY\" value=\"1\"") +
      item("\\Default", "type=\"REG_SZ\" value=\"def\"") +
      item("\\Lower", "name=\"L\" type=\"REG_SZ\" value=\"x\"", "hkey_current_user") +
      "<item key=\"HKEY_LOCAL_MACHINE\" subkey=\"" + Utf8(machine) + "\" name=\"Path\" type=\"REG_SZ\" value=\"$INSTDIR\"/>"
      "</reg></install></setup>");
  CInstallStrategy rules(SetupSection::kInstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  rules.Install();

  const std::wstring app = base + L"\\App";
  const std::wstring folder = std::wstring(L"C:\\Program Files\\Orvanta") + L'\0';
  DWORD type = 0;
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, app, L"Path", &type), folder);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, app, L"Empty"), std::wstring(1, L'\0'));
  EXPECT_EQ(RegNumber(HKEY_CURRENT_USER, app, L"One"), 1u);
  EXPECT_EQ(RegNumber(HKEY_CURRENT_USER, app, L"Minus"), 0xFFFFFFFFu);
  EXPECT_EQ(RegNumber(HKEY_CURRENT_USER, app, L"Abc"), 0u);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, base + L"\\Bare\\Deep"));
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Bare\\Deep", L"X"), L"<missing>");
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Default", L""), std::wstring(L"def") + L'\0');
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + L"\\Lower"));
  EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, machine, L"Path"), folder);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine.c_str());
}

TEST(RegRuleTest, UnInstallDeletesNamedValuesAndKeyTreesOnly) {
  TempFolder dir;
  const std::wstring base = L"Software\\OrvRulesUnreg-" + Pid();
  const std::wstring top = L"OrvRulesTop-" + Pid();  // directly below the root
  SetRegString(HKEY_CURRENT_USER, base + L"\\Keep", L"A");
  SetRegString(HKEY_CURRENT_USER, base + L"\\Keep", L"B");
  SetRegString(HKEY_CURRENT_USER, base + L"\\Sub\\Deep\\Deeper", L"V");
  SetRegString(HKEY_CURRENT_USER, top + L"\\One\\Two", L"V");
  SetRegString(HKEY_CURRENT_USER, top, L"W");
  const std::string b = "<item key=\"HKEY_CURRENT_USER\" subkey=\"" + Utf8(base);
  const std::wstring path = WriteRules(dir.path(), "<setup><uninstall><reg>" +
      b + "\\Missing\" name=\"A\"/>" + b + "\\Keep\" name=\"A\"/>" +
      "<item key=\"HKEY_CURRENT_USER\" subkeyname=\"" + Utf8(top) + "\"/>" + b + "\\Keep\"/>" +
      "<item key=\"hkey_current_user\" subkey=\"" + Utf8(base) + "\\Keep\" name=\"B\"/>" +
      b + "\" subkeyname=\"Sub\" name=\"ignored\"/></reg></uninstall></setup>");
  CInstallStrategy rules(SetupSection::kUninstall);
  ASSERT_EQ(rules.LoadStrategyCfg(path), 1);
  rules.UnInstall();

  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Keep", L"A"), L"<missing>");
  EXPECT_EQ(RegString(HKEY_CURRENT_USER, base + L"\\Keep", L"B"), std::wstring(L"B") + L'\0');
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, top));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + L"\\Sub"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, base));
  ::RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
}

// ---- processes ----

TEST(ProcessRuleTest, WaitsOnlyWhenAskedAndShowsOnlyWhenAsked) {
  TempFolder dir(L"orv inst dir");
  const std::wstring exe = probe::CopyProbe(dir.path(), L"OrvRulesApp.exe");
  SetupVariables::Set(SetupVariables::kInstDir, WithoutBackslash(dir.path()));
  CInstallStrategy rules(SetupSection::kInstall);
  ASSERT_EQ(rules.LoadStrategyCfg(WriteRules(dir.path(), R"(<setup><install><process>
      <item path="$INSTDIR\OrvRulesApp.exe" param="/first --sleep=30000 --done" show="0"/>
      <item path="$INSTDIR\OrvRulesApp.exe" param="/second --sleep=200 --done" wait="20000" show="1"/>
    </process></install></setup>)")), 1);
  rules.Install();
  // The second item was waited for; the first one still runs.
  const std::string calls = probe::Calls(dir.path());
  const std::string quoted = "\"" + Utf8(exe) + "\" ";
  EXPECT_NE(calls.find("show=0 " + quoted + "/first --sleep=30000 --done\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("show=10 " + quoted + "/second --sleep=200 --done\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("\ndone\n"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("\ndone\n"), calls.rfind("\ndone\n")) << calls;
  UtilFunc::KillPathFileProcess(exe);
}

// ---- shortcuts ----

// "target|arguments|working folder|icon,index" of a shortcut file, upper case,
// read through the shell-link object; empty when it cannot be loaded.
std::wstring ReadLink(const std::wstring& path) {
  std::wstring result;
  IShellLinkW* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
    return result;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    wchar_t target[MAX_PATH] = {}, arguments[MAX_PATH] = {}, folder[MAX_PATH] = {}, icon[MAX_PATH] = {};
    int index = -1;
    if (SUCCEEDED(file->Load(path.c_str(), STGM_READ)) &&
        SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))) {
      link->GetArguments(arguments, MAX_PATH);
      link->GetWorkingDirectory(folder, MAX_PATH);
      link->GetIconLocation(icon, MAX_PATH, &index);
      result = std::wstring(target) + L"|" + arguments + L"|" + folder + L"|" + icon + L"," + std::to_wstring(index);
      ::CharUpperBuffW(result.data(), static_cast<DWORD>(result.size()));
    }
    file->Release();
  }
  link->Release();
  return result;
}

std::wstring Upper(std::wstring text) {
  ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
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
    target_ = probe::CopyProbe(app_.path(), L"Orvanta.exe");
    SetupVariables::Set(SetupVariables::kInstDir, WithoutBackslash(app_.path()));
  }
  void TearDown() override { ::CoUninitialize(); }

  TempFolder app_{L"orv app"};
  TempFolder rulesDir_;
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
  EXPECT_EQ(ReadLink(desktop + plain), Upper(target_ + L"|/run:desktop|" + app_.path() + L"|,0"));
  EXPECT_EQ(ReadLink(desktop + iconic), Upper(target_ + L"||" + app_.path() + L"|" + app_.path() + L"app.ico,0"));

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
  const std::string folder = Utf8(L"OrvRules " + Pid());
  const std::wstring canary = programs + L"OrvRules canary " + Pid() + L".txt";
  ASSERT_TRUE(testsupport::WriteFileBytes(canary, "canary"));
  const std::wstring path = WriteRules(rulesDir_.path(),
      "<setup><install><startmenu>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + folder + "\\Sub Folder\\Orvanta.lnk\" cmd=\"/run:menu\"/>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + folder + "\\Second.lnk\"/>"
      "</startmenu></install><uninstall><startmenu>"
      "<item link=\"" + folder + "\\Second.lnk\"/><item link=\"" + folder + "\\missing.lnk\"/>"
      "<item link=\"\"/><item cmd=\"x\"/><item link=\"\\\"/><item link=\"..\"/><item link=\"" + folder + "\\..\"/>"
      "<item link=\"" + folder + "\"/>"
      "</startmenu></uninstall></setup>");
  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(path), 1);
  installer.Install();
  const std::wstring menuFolder = programs + Utf8ToWide(folder) + L"\\";
  EXPECT_EQ(ReadLink(menuFolder + L"Sub Folder\\Orvanta.lnk"), Upper(target_ + L"|/run:menu|" + app_.path() + L"|,0"));
  ASSERT_TRUE(FileExists(menuFolder + L"Second.lnk"));

  CInstallStrategy uninstaller(SetupSection::kUninstall);
  ASSERT_EQ(uninstaller.LoadStrategyCfg(path), 1);
  uninstaller.UnInstall();
  EXPECT_FALSE(FolderExists(menuFolder));
  // Items naming the programs folder itself or lying outside it remove nothing.
  EXPECT_TRUE(FileExists(canary));
  ::DeleteFileW(canary.c_str());
}

TEST_F(ShortcutRuleTest, CreateShortcutReportsSaveFailuresAndSkipsAMissingWorkingFolder) {
  const std::wstring blocker = rulesDir_.path() + L"blocker";
  ASSERT_TRUE(testsupport::WriteFileBytes(blocker, "a file where the folder should be"));
  EXPECT_EQ(CreateShortcut(target_, L"", blocker + L"\\x.lnk", L""), 0);
  const std::wstring bare = rulesDir_.path() + L"new folder\\bare.lnk";
  EXPECT_EQ(CreateShortcut(L"notepad.exe", L"-a", bare, L""), 1);
  EXPECT_EQ(ReadLink(bare).substr(ReadLink(bare).find(L'|')), L"|-A||,0");
}

// Links planted where the shortcut rules write and delete: the start-menu
// folder as a link to a folder, and a desktop shortcut and a shortcut inside
// a real start-menu folder as links to a file. Nothing is written through
// them, and removing the shortcuts deletes nothing they point to; each link
// is gone or, where the system reaches only its target (Wine), left as it was.
TEST_F(ShortcutRuleTest, LinksAtShortcutsAndTheirFolderAreNeverFollowed) {
  const std::wstring desktop = ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
  const std::wstring programs = ShellFolder(CSIDL_COMMON_PROGRAMS);
  const std::wstring linkedFolder = L"OrvRules linked " + Pid();
  const std::wstring realFolder = L"OrvRules real " + Pid();
  const std::wstring desktopLink = L"OrvRules " + Pid() + L" linked.lnk";
  TempFolder victims(L"orvvictim");
  const std::wstring victimFile = victims.path() + L"victim.lnk";
  const std::wstring victimFolder = victims.path() + L"folder";
  ASSERT_TRUE(testsupport::WriteFileBytes(victimFile, "victim"));
  ASSERT_TRUE(::CreateDirectoryW(victimFolder.c_str(), nullptr));
  ASSERT_TRUE(testsupport::WriteFileBytes(victimFolder + L"\\mine.txt", "mine"));
  ASSERT_TRUE(::CreateDirectoryW((programs + realFolder).c_str(), nullptr));
  const std::vector<std::pair<std::wstring, std::wstring>> links = {
      {programs + linkedFolder, victimFolder},
      {desktop + desktopLink, victimFile},
      {programs + realFolder + L"\\Orvanta.lnk", victimFile}};
  // A host link to a file does not read as a link under Wine: planting it
  // is seen by its content.
  for (const auto& [link, target] : links)
    ASSERT_TRUE(testsupport::PlantLink(link, target) || testsupport::ReadFileBytes(link) == "victim") << Utf8(link);

  const std::string items =
      "<desktopicon><item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(desktopLink) + "\"/></desktopicon>"
      "<startmenu><item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(linkedFolder) + "\\Orvanta.lnk\"/>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(realFolder) + "\\Orvanta.lnk\"/>"
      "<item file=\"$INSTDIR\\Orvanta.exe\" link=\"" + Utf8(realFolder) + "\\Second.lnk\"/></startmenu>";
  const std::string removal = "<desktopicon><item link=\"" + Utf8(desktopLink) + "\"/></desktopicon><startmenu>"
                              "<item link=\"" + Utf8(linkedFolder) + "\"/><item link=\"" + Utf8(realFolder) +
                              "\"/></startmenu>";
  const std::wstring path = WriteRules(rulesDir_.path(), "<setup><install>" + items + "</install><uninstall>" +
                                                             removal + "</uninstall></setup>");
  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(path), 1);
  installer.Install();
  EXPECT_EQ("victim", testsupport::ReadFileBytes(victimFile));
  EXPECT_FALSE(FileExists(victimFolder + L"\\Orvanta.lnk"));
  // The real folder still gets the shortcut that has no link in its way.
  EXPECT_EQ(ReadLink(programs + realFolder + L"\\Second.lnk"), Upper(target_ + L"||" + app_.path() + L"|,0"));

  CInstallStrategy uninstaller(SetupSection::kUninstall);
  ASSERT_EQ(uninstaller.LoadStrategyCfg(path), 1);
  uninstaller.UnInstall();
  EXPECT_EQ("victim", testsupport::ReadFileBytes(victimFile));
  EXPECT_EQ("mine", testsupport::ReadFileBytes(victimFolder + L"\\mine.txt"));
  for (const auto& [link, target] : links) {
    const bool gone = ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
    const bool stillLeadsThere = target == victimFile ? testsupport::ReadFileBytes(link) == "victim"
                                                      : testsupport::IsLinkTo(link, target);
    EXPECT_TRUE(gone || stillLeadsThere) << Utf8(link);
    testsupport::RemoveHostLink(link);
  }
  testsupport::RemoveTree(programs + realFolder);
}

// ---- the sample package's own rule file ----

std::string WaitForCalls(const std::wstring& file, const std::string& text) {
  std::string calls;
  for (int i = 0; i < 100 && calls.find(text) == std::string::npos; ++i, ::Sleep(100))
    calls = testsupport::ReadFileBytes(file);
  return calls;
}

// The package's setup.xml loads on both sides and its process rules start the
// sample programs as written. Its other rules change machine-wide names that
// the installer's own tests use, so they are not carried out here.
TEST(SamplePackageRulesTest, BothSectionsLoadAndTheProcessRulesStartTheSamplePrograms) {
  TempFolder dir(L"orv sample");
  const std::wstring instDir = WithoutBackslash(dir.path());
  const std::wstring versionFolder = dir.path() + L"7.19.02N\\";
  const char* binary = std::getenv("ORV_BINARY_DIR");
  std::wstring package = L"Z:" + Utf8ToWide(binary ? binary : "") + L"/package/Orvanta/";
  std::replace(package.begin(), package.end(), L'/', L'\\');
  ASSERT_TRUE(::CreateDirectoryW(versionFolder.c_str(), nullptr));
  for (const auto& [from, to] : {std::pair{L"install-folder\\Orvanta.exe", dir.path() + L"Orvanta.exe"},
                                 std::pair{L"version-folder\\Velpane.exe", versionFolder + L"Velpane.exe"},
                                 std::pair{L"version-folder\\setup.xml", versionFolder + L"setup.xml"}})
    ASSERT_TRUE(::CopyFileW((package + from).c_str(), to.c_str(), FALSE)) << Utf8(package + from);
  SetupVariables::Set(SetupVariables::kInstDir, instDir);
  SetupVariables::Set(SetupVariables::kVersion, L"7.19.02N");

  CInstallStrategy installer(SetupSection::kInstall);
  ASSERT_EQ(installer.LoadStrategyCfg(versionFolder + L"setup.xml"), 1);
  ASSERT_EQ(installer.Strategies().size(), 4u);
  const auto* startMenu = RuleAt<CSetupStrategyForStartMenu>(installer, 2);
  ASSERT_TRUE(startMenu && RuleAt<CSetupStrategyForProcess>(installer, 3));
  EXPECT_EQ(startMenu->Items().at(1).link, L"Orvanta\\\u5378\u8F7D Orvanta.lnk");
  installer.Strategies()[3]->Install();
  const std::string quoted = "\"" + Utf8(instDir) + "\\";
  std::string calls = WaitForCalls(dir.path() + L"Orvanta.calls.txt", "/addtask");
  EXPECT_NE(calls.find(quoted + "Orvanta.exe\" /addtask\tshow=0\t"), std::string::npos) << calls;
  calls = WaitForCalls(versionFolder + L"Velpane.calls.txt", "/install");
  EXPECT_NE(calls.find("Velpane.exe\" /install /path:\"" + Utf8(instDir) + "\"\tshow=0\t"), std::string::npos) << calls;

  CInstallStrategy uninstaller(SetupSection::kUninstall);
  ASSERT_EQ(uninstaller.LoadStrategyCfg(versionFolder + L"setup.xml"), 1);
  ASSERT_EQ(uninstaller.Strategies().size(), 4u);
  ASSERT_TRUE(RuleAt<CSetupStrategyForProcess>(uninstaller, 0));
  uninstaller.Strategies()[0]->UnInstall();
  calls = WaitForCalls(dir.path() + L"Orvanta.calls.txt", "/uninstall");
  EXPECT_NE(calls.find(quoted + "Orvanta.exe\" /uninstall\tshow=0\t"), std::string::npos) << calls;
}

}  // namespace
