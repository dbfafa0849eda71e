#include "common/utilfunc.h"
#include "common/wait_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

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

// root\a.txt, root\ro.txt (read-only, hidden), root\sub\deeper\c.txt, root\empty.
void MakeTree(const std::wstring& root) {
  for (const wchar_t* folder : {L"", L"\\sub", L"\\sub\\deeper", L"\\empty"})
    ::CreateDirectoryW((root + folder).c_str(), nullptr);
  WriteFileBytes(root + L"\\a.txt", "a");
  WriteFileBytes(root + L"\\ro.txt", "ro");
  ::SetFileAttributesW((root + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  WriteFileBytes(root + L"\\sub\\deeper\\c.txt", "c");
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

TEST(UtilFuncDeleteFolderTest, KeepsTheFoldersUnlessAskedToRemoveThem) {
  TempFolder dir;
  const std::wstring root = dir.path() + L"tree";
  MakeTree(root);
  EXPECT_EQ(UtilFunc::DeleteFolder(root, 0), 1);
  for (const wchar_t* folder : {L"", L"\\sub\\deeper", L"\\empty"}) EXPECT_TRUE(FolderExists(root + folder)) << folder;
  for (const wchar_t* file : {L"\\a.txt", L"\\ro.txt", L"\\sub\\deeper\\c.txt"})
    EXPECT_FALSE(FileExists(root + file)) << file;

  MakeTree(root);
  EXPECT_EQ(UtilFunc::DeleteFolder(root + L"\\", 1), 1);
  EXPECT_FALSE(FolderExists(root));

  ::RemoveDirectoryW((root + L"\\").c_str());
  const std::string error = "ERROR RemoveDirectory失败,last error:" + std::to_string(::GetLastError());
  LogTail log;
  EXPECT_EQ(UtilFunc::DeleteFolder(root, 1), 0);
  EXPECT_EQ(UtilFunc::DeleteFolder(root, 0), 0);
  EXPECT_TRUE(log.HasInOrder({error})) << log.Added();
}

// A folder link inside the tree (a host symbolic link, which the system
// reports as a reparse point) is never followed.
TEST(UtilFuncDeleteFolderTest, FolderLinksAreNotFollowed) {
  const char* binary = std::getenv("ORV_BINARY_DIR");
  ASSERT_NE(binary, nullptr);
  const std::string unixBase = std::string(binary) + "/tests/common/link-" + std::to_string(::GetCurrentProcessId());
  std::wstring base = L"Z:" + std::wstring(unixBase.begin(), unixBase.end());
  std::replace(base.begin(), base.end(), L'/', L'\\');
  for (const wchar_t* folder : {L"", L"\\target", L"\\tree"}) ::CreateDirectoryW((base + folder).c_str(), nullptr);
  WriteFileBytes(base + L"\\target\\keep.txt", "keep");
  // Unix programs started from here do not report their end: poll instead.
  const auto host = [](const std::string& command, const auto& done) {
    testsupport::RunAndWait(std::wstring(command.begin(), command.end()), 10000);
    for (int i = 0; i < 100 && !done(); ++i) ::Sleep(50);
  };
  const auto isLink = [&] {
    const DWORD attributes = ::GetFileAttributesW((base + L"\\tree\\link").c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  };
  host("Z:\\bin\\ln -s " + unixBase + "/target " + unixBase + "/tree/link", isLink);
  const bool linked = isLink();
  if (linked) UtilFunc::DeleteFolder(base + L"\\tree", 1);
  const std::string kept = ReadFileBytes(base + L"\\target\\keep.txt");
  host("Z:\\bin\\rm -rf " + unixBase, [&] { return !FolderExists(base); });
  if (!linked) GTEST_SKIP() << "no folder link could be made";
  EXPECT_EQ(kept, "keep");
}

// An empty path stands for the current drive's root: neither it nor a drive
// root is ever emptied or moved, and an empty file name touches no ".tmp".
TEST(UtilFuncDeleteFolderTest, RefusesEmptyPathsAndDriveRoots) {
  const std::wstring canary = L"C:\\orv-canary-" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
  ASSERT_TRUE(WriteFileBytes(canary, "canary"));
  TempFolder dir;
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
  ASSERT_TRUE(WriteFileBytes(dir.path() + L".tmp", "side"));
  EXPECT_EQ(UtilFunc::DeleteFileW(L""), 0);
  EXPECT_TRUE(FileExists(dir.path() + L".tmp"));
  EXPECT_EQ(UtilFunc::DeleteFolder(L"", 0), 0);
  EXPECT_EQ(UtilFunc::DeleteFolder(L"C:\\", 1), 0);
  EXPECT_EQ(UtilFunc::MoveFolder(L"", dir.path() + L"dest", 1), 0);
  EXPECT_EQ(UtilFunc::MoveFolder(L"C:", dir.path() + L"dest", 1), 0);
  ::SetCurrentDirectoryW(previous);
  EXPECT_EQ(ReadFileBytes(canary), "canary");
  ::DeleteFileW(canary.c_str());
}

TEST(UtilFuncMoveFolderTest, MovesTheTreeIntoAMissingDestination) {
  TempFolder dir;
  const std::wstring source = dir.path() + L"source";
  const std::wstring destination = dir.path() + L"destination";
  MakeTree(source);
  EXPECT_EQ(UtilFunc::MoveFolder(source, destination, 0), 1);
  EXPECT_EQ(ReadFileBytes(destination + L"\\ro.txt"), "ro");
  EXPECT_EQ(ReadFileBytes(destination + L"\\sub\\deeper\\c.txt"), "c");
  EXPECT_TRUE(FolderExists(destination + L"\\empty"));
  EXPECT_FALSE(FolderExists(source));
}

// The only test that waits for the retries (1 s per move, 0.5 s per copy).
TEST(UtilFuncMoveFolderSlowTest, LockedFilesAreSkippedOrAbandonTheMoveAndExistingOnesAreOverwritten) {
  TempFolder dir;
  const std::wstring source = dir.path() + L"source";
  const std::wstring destination = dir.path() + L"destination";
  for (const std::wstring& folder : {source, source + L"\\sub", destination})
    ::CreateDirectoryW(folder.c_str(), nullptr);
  WriteFileBytes(source + L"\\sub\\b.txt", "b");
  WriteFileBytes(source + L"\\same.txt", "new");
  WriteFileBytes(destination + L"\\same.txt", "old");
  const std::wstring locked = source + L"\\locked.bin";
  ASSERT_TRUE(WriteFileBytes(locked, "locked"));
  probe::Lock lock(locked);
  ASSERT_TRUE(lock.held());
  LogTail log;
  EXPECT_EQ(UtilFunc::MoveFolder(source, destination, 1), 1);
  EXPECT_EQ(ReadFileBytes(destination + L"\\sub\\b.txt"), "b");
  EXPECT_EQ(ReadFileBytes(destination + L"\\same.txt"), "new");
  // Copied and skipped files stay behind, and so does their folder.
  EXPECT_TRUE(FileExists(source + L"\\same.txt") && FileExists(locked));
  EXPECT_FALSE(FolderExists(source + L"\\sub"));
  EXPECT_EQ(log.Count("copyfile重试5次后仍失败"), 0u);
  EXPECT_TRUE(log.HasInOrder({"ERROR RemoveDirectory失败,last error:145"})) << log.Added();

  LogTail abandon;
  EXPECT_EQ(UtilFunc::MoveFolder(source, destination, 0), 0);
  EXPECT_TRUE(FileExists(locked));
  const std::string move = "ERROR MoveFile失败,last error:32";
  const std::string copy = "ERROR CopyFile失败,last error:32";
  EXPECT_TRUE(abandon.HasInOrder({move, move, move, move, move, "ERROR 移动文件重试5次后仍失败，改用copyfile:" + Ansi(locked),
                                  copy, copy, copy, copy, copy, "ERROR copyfile重试5次后仍失败：" + Ansi(locked)}))
      << abandon.Added();
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
