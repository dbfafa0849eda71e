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

// A running program's file cannot be deleted but can be renamed: it moves to
// its side name (replacing a stale side file) and is listed for the restart,
// unless the stale side file is held open.
TEST(UtilFuncDeleteFileTest, RunningProgramIsMovedAsideUnlessItsSideNameIsHeld) {
  TempFolder dir;
  const std::wstring exe = probe::CopyProbe(dir.path(), L"running.exe");
  const std::wstring side = exe + L".tmp";
  ASSERT_TRUE(WriteFileBytes(side, "stale"));
  probe::Process running(exe, L"--sleep=60000");
  const std::wstring busy = probe::CopyProbe(dir.path(), L"busy.exe");
  ASSERT_TRUE(WriteFileBytes(busy + L".tmp", "stale"));
  probe::Lock sideLock(busy + L".tmp");
  probe::Process busyRunning(busy, L"--sleep=60000");
  ASSERT_TRUE(running.started() && busyRunning.started() && sideLock.held());
  const std::wstring missing = dir.path() + L"missing.txt";
  LogTail log;

  EXPECT_NE(UtilFunc::DeleteFileW(exe), 0);
  EXPECT_FALSE(FileExists(exe));
  EXPECT_EQ(ReadFileBytes(side), ReadFileBytes(probe::BuiltProbe()));
  wchar_t pending[32768] = {};
  DWORD bytes = sizeof pending - sizeof(wchar_t);
  ::RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                 L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending, &bytes);
  std::wstring renames(pending, bytes / sizeof(wchar_t));
  std::replace(renames.begin(), renames.end(), L'\0', L'|');
  EXPECT_NE(Upper(renames).find(Upper(side) + L"||"), std::wstring::npos) << renames;

  EXPECT_EQ(UtilFunc::DeleteFileW(busy), 0);
  EXPECT_TRUE(FileExists(busy));
  EXPECT_EQ(UtilFunc::DeleteFileW(missing), 0);
  EXPECT_TRUE(log.HasInOrder({"INFO  删除文件失败，path:" + Ansi(exe), "INFO  重启后删除文件，path:" + Ansi(side),
                              "INFO  删除文件失败，path:" + Ansi(busy),
                              "INFO  删除老的tmp文件失败，path:" + Ansi(busy + L".tmp"),
                              "INFO  删除文件失败，path:" + Ansi(missing),
                              "INFO  移动文件失败:" + Ansi(missing) + "到" + Ansi(missing + L".tmp")}))
      << log.Added();
}

// A read-only (and hidden, system) file goes at once: its attributes are
// cleared first, nothing is moved aside or left for a restart.
TEST(UtilFuncDeleteFileTest, ReadOnlyFileIsDeletedAtOnce) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"ro.txt";
  ASSERT_TRUE(WriteFileBytes(file, "ro"));
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_FALSE(::DeleteFileW(file.c_str())) << "the platform deletes read-only files itself";
  LogTail log;

  EXPECT_NE(UtilFunc::DeleteFileW(file), 0);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FileExists(file + L".tmp"));
  EXPECT_EQ(log.Added().find("删除文件失败"), std::string::npos) << log.Added();
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

// Folder links (host symbolic links, which the system reports as reparse
// points) are never followed: what they point to keeps every file, and a
// link is either removed as a link or left as it is where the system can
// reach it only through its target.
class UtilFuncLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* folder : {L"target", L"target\\sub", L"empty"})
      ::CreateDirectoryW((dir_.path() + folder).c_str(), nullptr);
    WriteFileBytes(Target() + L"\\keep.txt", "keep");
    WriteFileBytes(Target() + L"\\sub\\deep.txt", "deep");
  }

  std::wstring Target() const { return dir_.path() + L"target"; }

  // A new link at `link` to the target folder; the test stops when none can be made.
  void Plant(const std::wstring& link, const std::wstring& target) {
    ASSERT_TRUE(testsupport::PlantLink(link, target)) << Ansi(link);
  }

  void ExpectTargetUntouched() {
    EXPECT_EQ(ReadFileBytes(Target() + L"\\keep.txt"), "keep");
    EXPECT_EQ(ReadFileBytes(Target() + L"\\sub\\deep.txt"), "deep");
    EXPECT_TRUE(FolderExists(dir_.path() + L"empty"));
  }

  // A removal that reports success left no link; one that failed left the
  // very link that was there, and said why.
  static void ExpectRemovedOrKept(int removed, const std::wstring& link, const std::wstring& target, LogTail& log) {
    if (removed) {
      EXPECT_EQ(::GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES) << Ansi(link);
    } else {
      EXPECT_TRUE(testsupport::IsLinkTo(link, target)) << Ansi(link);
      EXPECT_TRUE(log.HasInOrder({"ERROR 无法只删除链接本身，保留链接:" + Ansi(link)})) << log.Added();
    }
  }

  TempFolder dir_{L"orvlink"};
};

TEST_F(UtilFuncLinkTest, ALinkIsOnlyEverRemovedAsALink) {
  const std::wstring link = dir_.path() + L"link";
  Plant(link, Target());
  LogTail direct;
  ExpectRemovedOrKept(UtilFunc::RemoveLink(link + L"\\"), link, Target(), direct);
  ExpectTargetUntouched();
  EXPECT_TRUE(UtilFunc::IsLink(link + L"\\") || !FolderExists(link));
  EXPECT_FALSE(UtilFunc::IsLink(Target()));
  EXPECT_FALSE(UtilFunc::IsLink(dir_.path() + L"missing"));
}

// An empty file name touches no ".tmp" in the current folder.
TEST(UtilFuncDeleteFileTest, RefusesAnEmptyPath) {
  TempFolder dir;
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
  ASSERT_TRUE(WriteFileBytes(dir.path() + L".tmp", "side"));
  EXPECT_EQ(UtilFunc::DeleteFileW(L""), 0);
  EXPECT_TRUE(FileExists(dir.path() + L".tmp"));
  ::SetCurrentDirectoryW(previous);
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
