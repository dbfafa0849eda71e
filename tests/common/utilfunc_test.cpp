#include "common/utilfunc.h"
#include "common/wait_limit.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "log_tail.h"
#include "probe_client.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::ReadFileBytes;
using testsupport::TempFolder;
using testsupport::WriteFileBytes;

std::string Ansi(const std::wstring& text) { return logging::WideToAnsi(text); }

std::wstring Upper(std::wstring text) {
  ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

TEST(UtilFuncPathTest, BackslashesDriveLettersAndFileNames) {
  std::wstring path;
  UtilFunc::AppendBackslash(path);
  EXPECT_EQ(path, L"\\");
  path = L"C:\\a\\\\\\";
  UtilFunc::RemoveTrailingBackslash(path);
  EXPECT_EQ(path, L"C:\\a");
  path = L"d:\\x:y";
  UtilFunc::UpperDriveLetter(path);
  EXPECT_EQ(path, L"D:\\x:y");
  EXPECT_EQ(UtilFunc::GetFileName(L"C:\\app\\Orvanta.exe"), L"Orvanta.exe");
  EXPECT_EQ(UtilFunc::GetFileName(L"Orvanta.exe"), L"");
  EXPECT_EQ(UtilFunc::GetModuleDir() + L"utilfunc_test.exe", UtilFunc::GetModulePath());
}

// Splitting a path and trimming a folder path keep a drive root's backslash:
// "Q:" alone names the current folder of drive Q.
TEST(UtilFuncPathTest, ARootKeepsItsBackslash) {
  const struct {
    const wchar_t* path;
    const wchar_t* folder;  // null: no folder and name
    const wchar_t* name;
  } splits[] = {{L"C:\\a\\b", L"C:\\a", L"b"}, {L"C:\\a\\b\\\\", L"C:\\a", L"b"}, {L"Q:\\Orvanta.ini", L"Q:\\", L"Orvanta.ini"},
                {L"Q:\\", nullptr, nullptr},     {L"Q:", nullptr, nullptr},              {L"name", nullptr, nullptr},
                {L"\\x", nullptr, nullptr},       {L"\\\\srv\\share\\f", L"\\\\srv\\share", L"f"}};
  for (const auto& c : splits) {
    std::wstring folder, name;
    EXPECT_EQ(UtilFunc::SplitPath(c.path, &folder, &name), c.folder != nullptr) << Ansi(c.path);
    if (c.folder) {
      EXPECT_EQ(folder + L"|" + name, std::wstring(c.folder) + L"|" + c.name);
    }
  }
  // Relative paths split as they are: a single name has no folder.
  for (const auto& [path, split] : {std::pair{L"a\\b\\c", L"a\\b|c"}, std::pair{L"c", L"|c"}, std::pair{L"a\\", L"a|"}}) {
    std::wstring folder, name;
    UtilFunc::SplitLastPart(path, &folder, &name);
    EXPECT_EQ(folder + L"|" + name, split) << Ansi(path);
  }
  for (const auto& [path, folder] : {std::pair{L"Q:", L"Q:\\"}, std::pair{L"q:\\\\", L"q:\\"}, std::pair{L"C:\\a\\", L"C:\\a"},
                                     std::pair{L"", L""}})
    EXPECT_EQ(UtilFunc::FolderPath(path), folder) << Ansi(path);
  const UtilFunc::AppPrograms programs = UtilFunc::AppProgramsIn(L"Q:", L"7.19.02N", L"Orvanta.exe", L"Velpane.exe");
  EXPECT_EQ(programs.mainProgram + L"|" + programs.renderProgram, L"Q:\\Orvanta.exe|Q:\\7.19.02N\\Velpane.exe");
  const UtilFunc::AppPrograms unversioned = UtilFunc::AppProgramsIn(L"C:\\Apps\\", L"", L"Orvanta.exe", L"Velpane.exe");
  EXPECT_EQ(unversioned.renderProgram, L"C:\\Apps\\Velpane.exe");
}

// One reading of the settings file's version for every program: a version
// the rule refuses, and a file that exists but cannot be read, are told apart
// from a file without a version.
TEST(UtilFuncVersionTest, ReadsTheVersionWithTheVersionRule) {
  using State = UtilFunc::InstalledVersion::State;
  TempFolder temp;
  const std::wstring ini = temp.path() + L"Orvanta.ini";
  EXPECT_EQ(UtilFunc::ReadInstalledVersion(temp.path()).state, State::kNone) << "no file";
  const struct {
    std::string text;
    State state;
  } cases[] = {
      {"[Common]\r\nVersion=7.19.02N\r\n", State::kUsable},
      {"[Common]\r\nVersion=123456789012345678901234567890x\r\n", State::kUsable},  // 31 characters
      {"[Common]\r\nVersion=\xb0\xe6\xb1\xbe" "1\r\n", State::kUsable},
      {"[Common]\r\nOther=1\r\n", State::kNone},
      {"[Common]\r\nVersion=\r\n", State::kNone},
      {"[Common]\r\nVersion=1234567890123456789012345678901x\r\n", State::kRefused},
      {"[Common]\r\nVersion=7.19.02N" + std::string(40, 'x') + "\r\n", State::kRefused},
      {"[Common]\r\nVersion=7.19.02N.\r\n", State::kRefused},
      {"[Common]\r\nVersion=7.19.02N..x\r\n", State::kRefused},
      {"[Common]\r\nVersion=..\r\n", State::kRefused},
      {"[Common]\r\nVersion=..\\..\\Windows\r\n", State::kRefused},
      {"[Common]\r\nVersion=C:\\Users\r\n", State::kRefused},
      {"[Common]\r\nVersion=a?b\r\n", State::kRefused},
      {"[Common]\r\nVersion=CON\r\n", State::kRefused},
      {"[Common]\r\nVersion=nul.txt\r\n", State::kRefused},
      {"[Common]\r\nVersion=LPT1\r\n", State::kRefused},
      {"[Common]\r\nVersion=new\r\n", State::kRefused},
      {"[Common]\r\nVersion={VersionNameFolder}\r\n", State::kRefused},
      {"[Common]\r\nVersion={InstallFolderItems}\r\n", State::kRefused},
      {"[Common]\r\nVersion={ReplacedItems}\r\n", State::kRefused},
      {"[Common]\r\nVersion={SetupJournal}\r\n", State::kRefused},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteFileBytes(ini, c.text));
    LogTail log;
    const UtilFunc::InstalledVersion read = UtilFunc::ReadInstalledVersion(temp.path());
    EXPECT_EQ(read.state, c.state) << c.text;
    EXPECT_EQ(read.value.empty(), c.state != State::kUsable) << c.text;
    EXPECT_EQ(read.Doubtful(), c.state == State::kRefused) << c.text;
    EXPECT_EQ(log.Count("ERROR 版本号无法用作目录名"), c.state == State::kRefused ? 1u : 0u) << log.Added();
  }
  // Held open without sharing by another program: neither "no version" nor
  // any version.
  ASSERT_TRUE(WriteFileBytes(ini, "[Common]\r\nVersion=7.19.02N\r\n"));
  probe::Lock lock(ini);
  ASSERT_TRUE(lock.held());
  LogTail log;
  EXPECT_EQ(UtilFunc::ReadInstalledVersion(temp.path()).state, State::kUnreadable);
  EXPECT_EQ(log.Count("ERROR 读取版本号失败"), 1u) << log.Added();
}

TEST(WaitLimitTest, ADecimalNumberOfMillisecondsReplacesTheLimit) {
  EXPECT_EQ(ParseWaitLimitMs(L"2500", 600000), 2500u);
  EXPECT_EQ(ParseWaitLimitMs(L"1", 600000), 1u);
  // Anything else keeps the limit: no wait of 0 ms, no half-read numbers.
  for (const wchar_t* text : {L"", L"0", L"-5", L"12s", L" 12", L"0x10", L"99999999999"})
    EXPECT_EQ(ParseWaitLimitMs(text, 600000), 600000u) << testing::PrintToString(std::wstring(text));

  ::SetEnvironmentVariableW(L"ORV_TEST_SOME_WAIT_MS", L"700");
  EXPECT_EQ(WaitLimitMs(L"ORV_TEST_SOME_WAIT_MS", 600000), 700u);
  ::SetEnvironmentVariableW(L"ORV_TEST_SOME_WAIT_MS", nullptr);
  EXPECT_EQ(WaitLimitMs(L"ORV_TEST_SOME_WAIT_MS", 600000), 600000u);
}

TEST(UtilFuncProcessTest, RunProcessQuotesThePathAndReportsTheExitCodeOfEndedProcesses) {
  TempFolder dir(L"orv run");
  const std::wstring exe = probe::CopyProbe(dir.path(), L"run probe.exe");
  DWORD code = 12345;
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"--exit=7", 0, INFINITE, &code), 1);
  EXPECT_EQ(code, 7u);
  code = 12345;
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"--exit=8", 0, 0, &code), 1);
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"--sleep=30000 --exit=9", 1, 200, &code), 1);
  EXPECT_EQ(code, 12345u);
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"", 1, 10000, nullptr), 1);
  EXPECT_EQ(UtilFunc::RunProcess(dir.path() + L"missing.exe", L"", 0, 0, &code), 0);

  const std::string quoted = "\"" + Ansi(exe) + "\" ";
  std::string calls;
  for (int i = 0; i < 100 && std::count(calls.begin(), calls.end(), '\n') < 4; ++i, ::Sleep(100))
    calls = probe::Calls(dir.path());
  for (const std::string& line : {"show=0 " + quoted + "--exit=7\n", "show=0 " + quoted + "--exit=8\n",
                                  "show=10 " + quoted + "--sleep=30000 --exit=9\n", "show=10 " + quoted + "\n"})
    EXPECT_NE(calls.find(line), std::string::npos) << line << calls;
  UtilFunc::KillPathFileProcess(exe);
}

TEST(UtilFuncProcessTest, FindsCopiesByPathOrNameAndEndsEveryCopyOfAPath) {
  TempFolder first, second;
  const std::wstring name = L"OrvProbe" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
  const std::wstring exeA = probe::CopyProbe(first.path(), name);
  const std::wstring exeB = probe::CopyProbe(second.path(), name);
  EXPECT_EQ(UtilFunc::IsExeRunning(name), 0);
  probe::Process a1(exeA, L"--sleep=60000");
  probe::Process a2(exeA, L"--sleep=60000");
  probe::Process b1(exeB, L"--sleep=60000");
  ASSERT_TRUE(a1.started() && a2.started() && b1.started());
  EXPECT_NE(UtilFunc::IsPathFileRunning(Upper(exeA)), 0);
  EXPECT_EQ(UtilFunc::IsPathFileRunning(first.path() + L"other.exe"), 0);
  EXPECT_EQ(UtilFunc::IsPathFileRunning(L""), 0);
  EXPECT_NE(UtilFunc::IsExeRunning(Upper(name)), 0);

  UtilFunc::KillPathFileProcess(exeA);
  ASSERT_TRUE(a1.Ended(10000) && a2.Ended(10000));
  EXPECT_EQ(a1.ExitCode(), 0u);
  EXPECT_FALSE(b1.Ended(0));
  EXPECT_EQ(UtilFunc::IsPathFileRunning(exeA), 0);
  EXPECT_NE(UtilFunc::IsExeRunning(name), 0);
}

}  // namespace
