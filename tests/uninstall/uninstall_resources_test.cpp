// What the built uninstaller carries in its resources: the string table with
// the shipped texts, the trace-address table, the icon, the version and the
// manifest's requests; and that the shipped uninstaller holds no test hook's
// reader.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "skin/skin_tables.h"
#include "support/test_support.h"

namespace {

std::wstring UninstallerPath() {
  wchar_t binary[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"ORV_BINARY_DIR", binary, MAX_PATH);
  std::wstring path = L"Z:" + std::wstring(binary) + L"/src/uninstall/uninstall.exe";
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// A program that reads the test hooks holds the names' common prefix, which
// only the reader has: the shipped uninstaller, as built and as packaged,
// holds none, the test build does.
TEST(UninstallerHooksTest, OnlyTheTestBuildReadsTestHooks) {
  const std::wstring build = testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR");
  const struct {
    const wchar_t* file;
    bool reads_hooks;
  } cases[] = {
      {L"src\\uninstall\\uninstall.exe", false},
      {L"package\\Orvanta\\install-folder\\Uninstall.exe", false},
      {L"src\\uninstall\\uninstall_testbuild.exe", true},
      {L"package-test\\Orvanta\\install-folder\\Uninstall.exe", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testsupport::FileExists(build + c.file)) << testing::PrintToString(std::wstring(c.file));
    EXPECT_EQ(c.reads_hooks, testsupport::FileHoldsText(build + c.file, "ORV_TEST_"))
        << testing::PrintToString(std::wstring(c.file));
  }
}

class UninstallerResourcesTest : public testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExW(UninstallerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module_);
  }
  void TearDown() override { ::FreeLibrary(module_); }

  std::string Resource(LPCWSTR id, LPCWSTR type) {
    const HRSRC found = ::FindResourceW(module_, id, type);
    if (!found) return {};
    const HGLOBAL loaded = ::LoadResource(module_, found);
    return std::string(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

TEST_F(UninstallerResourcesTest, StringTableHoldsTheShippedTexts) {
  StringTable table;
  ASSERT_EQ(1, FillStringTable(Resource(MAKEINTRESOURCEW(kStringTableId), L"XML"), table));
  const StringTable shipped = {
      {L"main_exe_name", L"Orvanta.exe"},
      {L"render_exe_name", L"Velpane.exe"},
      {L"apptitle", L"Orvanta\u5378\u8f7d"},
      {L"retry", L"\u9000\u51fa\u91cd\u8bd5"},
      {L"yes", L"\u662f"},
      {L"no", L"\u5426"},
      {L"confirm", L"\u786e\u5b9a"},
      {L"msgboxtitle", L"\u6e29\u99a8\u63d0\u793a"},
      {L"alreadyrunnotify", L"\u60a8\u6709Orvanta\u6b63\u5728\u8fd0\u884c\uff0c\u8bf7\u95ee\u662f\u5426\u5173\u95ed"
                            L"Orvanta\u7acb\u5373\u8fdb\u884c\u5378\u8f7d\uff1f"},
      {L"setuprunning", L"Orvanta\u5b89\u88c5\u7a0b\u5e8f\u5df2\u5728\u8fd0\u884c\u3002"},
      {L"minibtn", L"\u6700\u5c0f\u5316"},
      {L"confirmuninstall", L"\u60a8\u662f\u5426\u8981\u5378\u8f7dOrvanta\uff1f"},
      {L"confirmunrun", L"\u5378\u8f7d\u524d\u8bf7\u786e\u8ba4Orvanta\u5e76\u672a\u8fd0\u884c"},
      {L"uninstallonce", L"\u7acb\u5373\u5378\u8f7d"},
      {L"uninstalllater", L"\u6682\u4e0d\u5378\u8f7d"},
      {L"uninstalltitle", L"\u6b63\u5728\u5378\u8f7d\u4e2d\uff0c\u8bf7\u8010\u5fc3\u7b49\u5f85..."},
      {L"uninstallfinish", L"\u5378\u8f7d\u5b8c\u6210"},
      {L"close", L"\u5173\u95ed"},
      {L"uninstallfail", L"\u5378\u8f7d\u5931\u8d25\uff0c\u8bf7\u91cd\u8bd5"},
  };
  EXPECT_EQ(shipped, table);
}

// The trace-address table is carried but holds no address: nothing could
// send a request from it.
TEST_F(UninstallerResourcesTest, TraceTableNamesInstallerStartWithoutAnAddress) {
  const std::string table = Resource(MAKEINTRESOURCEW(204), L"XML");
  ASSERT_FALSE(table.empty());
  EXPECT_NE(std::string::npos, table.find("<trace id=\"installerstart\"></trace>"));
  EXPECT_EQ(std::string::npos, table.find("://"));
}

TEST_F(UninstallerResourcesTest, CarriesIconVersionAndAdministratorManifest) {
  EXPECT_NE(nullptr, ::FindResourceW(module_, MAKEINTRESOURCEW(101), RT_GROUP_ICON));
  EXPECT_FALSE(Resource(MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION).empty());
  const std::string manifest = Resource(CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  EXPECT_NE(std::string::npos, manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""));
  EXPECT_NE(std::string::npos, manifest.find(">true</dpiAware>"));
  EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
}

}  // namespace
