// What the built installer program carries in its resources: the string
// table with the shipped texts; and that the shipped installer files hold no
// test hook's reader.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "skin/skin_tables.h"
#include "support/test_support.h"

namespace {

// A program that reads the test hooks holds the names' common prefix, which
// only the reader has: the shipped files hold none, the test builds do.
TEST(InstallerResourcesTest, OnlyTheTestBuildsReadTestHooks) {
  const std::wstring build = testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR");
  const struct {
    const wchar_t* file;
    bool reads_hooks;
  } cases[] = {
      {L"src\\installer\\installer.exe", false},
      {L"OrvantaSetup.exe", false},
      {L"OrvantaSetup-signed.exe", false},
      {L"src\\installer\\installer_testbuild.exe", true},
      {L"OrvantaSetup-test.exe", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testsupport::FileExists(build + c.file)) << testing::PrintToString(std::wstring(c.file));
    EXPECT_EQ(c.reads_hooks, testsupport::FileHoldsText(build + c.file, "ORV_TEST_"))
        << testing::PrintToString(std::wstring(c.file));
  }
}

TEST(InstallerResourcesTest, StringTableHoldsTheShippedTexts) {
  const std::wstring program =
      testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"src\\installer\\installer.exe";
  const HMODULE module = ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, module);
  const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(kStringTableId), L"XML");
  ASSERT_NE(nullptr, found);
  const std::string bytes(static_cast<const char*>(::LockResource(::LoadResource(module, found))),
                          ::SizeofResource(module, found));
  StringTable table;
  ASSERT_EQ(1, FillStringTable(bytes, table));
  ::FreeLibrary(module);

  // The three page addresses are the installer's own choice: web pages.
  for (const wchar_t* id : {L"licenseUrl", L"cloudplanUrl", L"expplanUrl"}) {
    EXPECT_EQ(0u, table[id].rfind(L"https://", 0)) << testing::PrintToString(std::wstring(id));
    table.erase(id);
  }
  const StringTable shipped = {
      {L"main_exe_name", L"Orvanta.exe"},
      {L"render_exe_name", L"Velpane.exe"},
      {L"app_dir_name", L"Orvanta"},
      {L"apptitle", L"Orvanta\u5b89\u88c5"},
      {L"installlogo", L"Orvanta"},
      {L"selfdefine", L"\u81ea\u5b9a\u4e49\u5b89\u88c5"},
      {L"defaultdefine", L"\u9ed8\u8ba4\u5b89\u88c5"},
      {L"installpath", L"\u5b89\u88c5\u76ee\u5f55"},
      {L"chosedir", L"\u66f4\u6539"},
      {L"installonce", L"\u7acb\u5373\u5b89\u88c5"},
      {L"agreement", L"\u540c\u610f"},
      {L"and", L"\u548c"},
      {L"license", L"Kestrelon\u8f6f\u4ef6\u8bb8\u53ef\u534f\u8bae"},
      {L"cloudplan", L"\u4e91\u8ba1\u5212"},
      {L"expplan", L"\u7528\u6237\u4f53\u9a8c\u6539\u5584\u8ba1\u5212"},
      {L"installtitle", L"\u6b63\u5728\u5b89\u88c5\uff0c\u8bf7\u8010\u5fc3\u7b49\u5f85..."},
      {L"installfinish", L"\u5b89\u88c5\u5b8c\u6210"},
      {L"donwloadmobile", L"\u626b\u4e00\u626b\u4e0b\u8f7d\u624b\u673aOrvanta"},
      {L"runonce", L"\u7acb\u5373\u4f7f\u7528"},
      {L"installfail", L"\u5b89\u88c5\u5931\u8d25"},
      {L"retry", L"\u9000\u51fa\u91cd\u8bd5"},
      {L"yes", L"\u662f"},
      {L"no", L"\u5426"},
      {L"confirm", L"\u786e\u5b9a"},
      {L"msgboxtitle", L"\u6e29\u99a8\u63d0\u793a"},
      {L"spacelack", L"\u60a8\u7684\u53ef\u7528\u7a7a\u95f4\u4e0d\u8db3\uff0c\u8bf7\u9009\u62e9\u5176\u4ed6\u76ee\u5f55\u5b89\u88c5\uff01"},
      {L"invalidpath", L"\u60a8\u8f93\u5165\u7684\u8def\u5f84\u65e0\u6548\uff0c\u8bf7\u8f93\u5165\u6709\u6548\u7684\u5b89\u88c5\u8def\u5f84\uff01"},
      {L"invalidagreementlicense", L"\u60a8\u9700\u8981\u5148\u540c\u610fKestrelon\u8f6f\u4ef6\u8bb8\u53ef\u534f\u8bae"},
      {L"alreadyrunnotify", L"\u60a8\u6709Orvanta\u8d26\u53f7\u5728\u8fd0\u884c\uff0c\u662f\u5426\u9000\u51fa\u7ee7\u7eed\u5b89\u88c5\uff1f"},
      {L"setuprunning", L"Orvanta\u5b89\u88c5\u7a0b\u5e8f\u5df2\u5728\u8fd0\u884c\u3002"},
      {L"minibtn", L"\u6700\u5c0f\u5316"},
      {L"closebtn", L"\u5173\u95ed"},
      {L"agreementlicense", L"\u540c\u610fKestrelon\u8f6f\u4ef6\u8bb8\u53ef\u534f\u8bae"},
      {L"agreementcloudplan", L"\u540c\u610f\u4e91\u8ba1\u5212\u548c\u7528\u6237\u4f53\u9a8c\u6539\u5584\u8ba1\u5212"},
  };
  EXPECT_EQ(shipped, table);
}

}  // namespace
