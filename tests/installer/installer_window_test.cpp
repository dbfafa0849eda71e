// The installer window's decisions (progress caps, folder rules, the free
// space rule, the App Paths value) and its two system-facing helpers, the
// default folder from the real registry and the start of the application at
// medium integrity, run against the real registry and real processes.

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "installer/installmaindlg.h"
#include "skin/skin_tables.h"
#include "support/test_support.h"
#include "window_test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::TempFolder;

TEST(InstallWindowProgress, ClimbsOnePercentPerTickUpToTheStageCap) {
  const auto ticks_to_cap = [](int stage) {
    int shown = 0;
    int ticks = 0;
    for (int next; (next = installwin::NextShownProgress(shown, stage)) != shown; shown = next) ++ticks;
    return std::make_pair(shown, ticks);
  };
  EXPECT_EQ(ticks_to_cap(0), std::make_pair(40, 40));
  EXPECT_EQ(ticks_to_cap(1), std::make_pair(80, 80));
  // Setup configuration without a finish report stops at 95.
  EXPECT_EQ(ticks_to_cap(2), std::make_pair(95, 95));
  // A finish reported at once still takes 100 ticks of 50 ms to reach 100.
  EXPECT_EQ(ticks_to_cap(3), std::make_pair(100, 100));
  // Failure and unknown stages do not move the bar.
  EXPECT_EQ(installwin::NextShownProgress(40, 4), 40);
  EXPECT_EQ(installwin::NextShownProgress(12, 7), 12);
  EXPECT_EQ(installwin::NextShownProgress(12, -1), 12);
  // A later stage picks up from wherever the bar is.
  EXPECT_EQ(installwin::NextShownProgress(40, 1), 41);
  EXPECT_EQ(installwin::NextShownProgress(95, 3), 96);
}

TEST(InstallWindowProgress, ReportPercent) {
  EXPECT_EQ(installwin::ReportPercent(0, 5), 0);
  EXPECT_EQ(installwin::ReportPercent(-3, 1), 0);
  EXPECT_EQ(installwin::ReportPercent(10, 3), 30);
  EXPECT_EQ(installwin::ReportPercent(3, 2), 66);
  EXPECT_EQ(installwin::ReportPercent(7, 6), 85);
}

TEST(InstallWindowFolder, CustomFolderRulesAndNormalisation) {
  EXPECT_FALSE(installwin::IsAcceptableCustomFolder(L""));
  EXPECT_FALSE(installwin::IsAcceptableCustomFolder(L"D:\\it's"));
  EXPECT_TRUE(installwin::IsAcceptableCustomFolder(L"D:\\apps"));
  EXPECT_TRUE(installwin::IsAcceptableCustomFolder(L" "));

  EXPECT_EQ(installwin::NormalizeInstallFolder(L"d:\\apps\\\\"), L"D:\\apps\\");
  EXPECT_EQ(installwin::NormalizeInstallFolder(L"c:\\My Apps\\Orvanta"), L"C:\\My Apps\\Orvanta\\");
  EXPECT_EQ(installwin::NormalizeInstallFolder(L"e:"), L"E:\\");
  EXPECT_EQ(installwin::NormalizeInstallFolder(L"C:\\Apps\\Orvanta\\"), L"C:\\Apps\\Orvanta\\");
}

TEST(InstallWindowFolder, FreeSpaceMustExceedThePackage) {
  EXPECT_FALSE(installwin::HasEnoughSpace(1000, 1000));
  EXPECT_FALSE(installwin::HasEnoughSpace(0, 0));
  EXPECT_TRUE(installwin::HasEnoughSpace(1001, 1000));
  EXPECT_TRUE(installwin::HasEnoughSpace(5ull << 32, 0xFFFFFFFFu));
}

std::wstring ValueFolder(DWORD type, const std::wstring& text, bool terminated = true) {
  std::wstring data = text;
  if (terminated) data += L'\0';
  return installwin::AppPathsFolderFromValue(type, reinterpret_cast<const BYTE*>(data.data()),
                                             static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

TEST(InstallWindowFolder, AppPathsValue) {
  EXPECT_EQ(ValueFolder(REG_SZ, L"\"C:\\Apps\\Orvanta\""), L"C:\\Apps\\Orvanta");
  EXPECT_EQ(ValueFolder(REG_EXPAND_SZ, L"C:\\A\"pps\""), L"C:\\Apps");
  EXPECT_EQ(ValueFolder(REG_SZ, L""), L"");
  EXPECT_EQ(ValueFolder(REG_SZ, L"C:\\Apps", false), L"");
  EXPECT_EQ(ValueFolder(REG_MULTI_SZ, L"C:\\Apps"), L"");
  EXPECT_EQ(installwin::AppPathsFolderFromValue(REG_SZ, nullptr, 0), L"");
  const wchar_t odd[] = L"C:\\Apps";
  EXPECT_EQ(installwin::AppPathsFolderFromValue(REG_SZ, reinterpret_cast<const BYTE*>(odd), sizeof(odd) - 1), L"");
  // Text after an embedded NUL is not part of the folder.
  EXPECT_EQ(ValueFolder(REG_SZ, std::wstring(L"C:\\A\0junk", 9)), L"C:\\A");
}

// The App Paths key of the application in the real registry; each test
// starts and ends without it.
class DefaultFolderTest : public ::testing::Test {
 protected:
  static constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Orvanta.exe";

  static void SetUpTestSuite() { LoadStringTable(); }
  void SetUp() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
  void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }

  static void SetPath(const std::wstring& value, DWORD type = REG_SZ) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"Path", type, value.c_str(),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  static bool KeyExists() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
  }
  static std::wstring ProgramFilesFolder() {
    wchar_t path[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, path, CSIDL_PROGRAM_FILES, FALSE);
    return std::wstring(path) + L"\\Orvanta\\";
  }
};

TEST_F(DefaultFolderTest, RegisteredExistingFolderWinsAsWritten) {
  TempFolder folder(L"orvapppaths");
  std::wstring registered = folder.path();
  registered.pop_back();
  SetPath(L"\"" + registered + L"\"");
  EXPECT_EQ(installwin::DefaultInstallFolder(), registered);
}

TEST_F(DefaultFolderTest, ProgramFilesOtherwise) {
  // No key: the folder is offered and no key is left behind.
  EXPECT_EQ(installwin::DefaultInstallFolder(), ProgramFilesFolder());
  EXPECT_FALSE(KeyExists());

  SetPath(L"C:\\Does\\Not\\Exist");
  EXPECT_EQ(installwin::DefaultInstallFolder(), ProgramFilesFolder());

  // A registered file cannot take an installation.
  TempFolder folder(L"orvapppaths");
  const std::wstring file = folder.path() + L"Orvanta.exe";
  ASSERT_TRUE(testsupport::WriteFileBytes(file, "MZ"));
  SetPath(file);
  EXPECT_EQ(installwin::DefaultInstallFolder(), ProgramFilesFolder());

  // A value of the wrong type, or too long for the 520-byte read.
  ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"Path", REG_DWORD, "\1\0\0\0", 4), ERROR_SUCCESS);
  EXPECT_EQ(installwin::DefaultInstallFolder(), ProgramFilesFolder());
  SetPath(folder.path() + std::wstring(300, L'\\'));
  EXPECT_EQ(installwin::DefaultInstallFolder(), ProgramFilesFolder());
}

std::wstring SampleProgram() {
  return testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"package\\Orvanta\\install-folder\\Orvanta.exe";
}

// The application started from a folder with a blank in its name: it runs
// there, with its quoted path as its whole command line (the sample program
// records a call instead of showing its window when it sees arguments).
// Wine gives the new process the caller's integrity level whatever the
// token says, so the level is not checked here.
TEST(LaunchAsMediumIntegrity, StartsTheProgramInItsFolder) {
  TempFolder area(L"orv launch");
  const std::wstring folder = area.path() + L"my app";
  const std::wstring program = folder + L"\\Orvanta.exe";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(::CopyFileW(SampleProgram().c_str(), program.c_str(), FALSE));

  ASSERT_TRUE(installwin::LaunchAsMediumIntegrity(program, folder));
  std::vector<DWORD> running;
  for (int i = 0; i < 100 && running.empty(); ++i) {
    running = windowtest::ProcessesRunning(program);
    if (running.empty()) ::Sleep(100);
  }
  ASSERT_EQ(running.size(), 1u);
  std::vector<HWND> windows;
  for (int i = 0; i < 100 && windows.empty(); ++i) {
    windows = windowtest::VisibleWindows(running[0]);
    if (windows.empty()) ::Sleep(100);
  }
  const windowtest::ProcessStart start = windowtest::ReadProcessStart(running[0]);
  windowtest::EndProcess(running[0]);

  EXPECT_EQ(windows.size(), 1u) << "the program did not show its window";
  EXPECT_FALSE(FileExists(folder + L"\\Orvanta.calls.txt"));
  ASSERT_TRUE(start.read);
  EXPECT_EQ(start.command_line, L"\"" + program + L"\"");
  EXPECT_EQ(start.current_folder, folder + L"\\");
}

// The token the application is started with: a primary copy of this
// process's token for the same user, which takes the medium integrity label.
// (Wine accepts the label but keeps a token's level as it was, so the level
// cannot be read back from the token here; the label set is read instead.)
TEST(LaunchAsMediumIntegrity, TokenIsAPrimaryCopyGivenTheMediumLabel) {
  const installwin::MediumIntegrityLabel medium;
  ASSERT_TRUE(medium.ok());
  EXPECT_EQ(medium.label().Label.Attributes, static_cast<DWORD>(SE_GROUP_INTEGRITY));
  wchar_t* text = nullptr;
  ASSERT_TRUE(::ConvertSidToStringSidW(medium.label().Label.Sid, &text));
  EXPECT_EQ(std::wstring(text), L"S-1-16-8192");
  ::LocalFree(text);
  EXPECT_EQ(medium.size(), sizeof(TOKEN_MANDATORY_LABEL) + ::GetLengthSid(medium.label().Label.Sid));

  ScopedHandle token;
  ASSERT_TRUE(installwin::MediumIntegrityToken(token));
  TOKEN_TYPE type = TokenImpersonation;
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token.get(), TokenType, &type, sizeof(type), &size));
  EXPECT_EQ(type, TokenPrimary);
  ScopedHandle own;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.receive()));
  const auto user = [](HANDLE of) {
    std::vector<BYTE> buffer(256);
    DWORD length = 0;
    if (!::GetTokenInformation(of, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &length))
      return std::wstring();
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) return std::wstring();
    std::wstring name = sid;
    ::LocalFree(sid);
    return name;
  };
  EXPECT_FALSE(user(own.get()).empty());
  EXPECT_EQ(user(token.get()), user(own.get()));
}

TEST(LaunchAsMediumIntegrity, MissingProgramFails) {
  TempFolder area(L"orvlaunch");
  EXPECT_FALSE(installwin::LaunchAsMediumIntegrity(area.path() + L"Missing.exe", area.path()));
}

}  // namespace
