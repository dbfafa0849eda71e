#include "common/utilfunc.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>

#include "common/logging.h"
#include "log_tail.h"
#include "probe_client.h"
#include "support/test_support.h"

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

// root\a.txt, root\ro.txt (read-only, hidden), root\sub\b.txt,
// root\sub\deeper\c.txt and the empty root\empty.
void MakeTree(const std::wstring& root) {
  ::CreateDirectoryW(root.c_str(), nullptr);
  ::CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
  ::CreateDirectoryW((root + L"\\sub\\deeper").c_str(), nullptr);
  ::CreateDirectoryW((root + L"\\empty").c_str(), nullptr);
  WriteFileBytes(root + L"\\a.txt", "a");
  WriteFileBytes(root + L"\\ro.txt", "ro");
  ::SetFileAttributesW((root + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  WriteFileBytes(root + L"\\sub\\b.txt", "b");
  WriteFileBytes(root + L"\\sub\\deeper\\c.txt", "c");
}

std::wstring PendingRenames() {
  wchar_t data[32768] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t);
  ::RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                 L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data, &bytes);
  std::wstring all(data, bytes / sizeof(wchar_t));
  for (wchar_t& c : all)
    if (c == L'\0') c = L'|';
  return all;
}

TEST(UtilFuncPathTest, BackslashesDriveLettersAndFileNames) {
  std::wstring path;
  UtilFunc::AppendBackslash(path);
  EXPECT_EQ(path, L"\\");
  path = L"C:\\a";
  UtilFunc::AppendBackslash(path);
  UtilFunc::AppendBackslash(path);
  EXPECT_EQ(path, L"C:\\a\\");
  path = L"C:\\a\\\\\\";
  UtilFunc::RemoveTrailingBackslash(path);
  EXPECT_EQ(path, L"C:\\a");
  path.clear();
  UtilFunc::RemoveTrailingBackslash(path);
  EXPECT_EQ(path, L"");

  path = L"d:\\Program Files\\x:y";
  UtilFunc::UpperDriveLetter(path);
  EXPECT_EQ(path, L"D:\\Program Files\\x:y");
  path = L"relative\\name";
  UtilFunc::UpperDriveLetter(path);
  EXPECT_EQ(path, L"relative\\name");

  EXPECT_EQ(UtilFunc::GetFileName(L"C:\\app\\Orvanta.exe"), L"Orvanta.exe");
  EXPECT_EQ(UtilFunc::GetFileName(L"Orvanta.exe"), L"");
  EXPECT_EQ(UtilFunc::GetFileName(L"C:\\app\\"), L"");
}

TEST(UtilFuncPathTest, ModuleAndSpecialFolders) {
  const std::wstring module = UtilFunc::GetModulePath();
  EXPECT_TRUE(FileExists(module)) << module;
  EXPECT_EQ(UtilFunc::GetFileName(module), L"utilfunc_test.exe");
  EXPECT_EQ(UtilFunc::GetModuleDir() + L"utilfunc_test.exe", module);
  EXPECT_EQ(Upper(UtilFunc::GetSpecialFolder(CSIDL_COMMON_DOCUMENTS)), L"C:\\USERS\\PUBLIC\\DOCUMENTS");
  EXPECT_EQ(UtilFunc::GetSpecialFolder(0xFF), L"");
}

TEST(UtilFuncDeleteFileTest, ReadOnlyHiddenFileIsDeletedQuietly) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"ro.txt";
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  LogTail log;
  EXPECT_NE(UtilFunc::DeleteFileW(path), 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(log.Count(Ansi(path)), 0u);
}

TEST(UtilFuncDeleteFileTest, MissingFileFailsAfterTheDeleteAndRenameAttempts) {
  TempFolder dir;
  const std::wstring path = dir.path() + L"missing.txt";
  LogTail log;
  EXPECT_EQ(UtilFunc::DeleteFileW(path), 0);
  EXPECT_TRUE(log.HasInOrder({"INFO  删除文件失败，path:" + Ansi(path),
                              "INFO  移动文件失败:" + Ansi(path) + "到" + Ansi(path + L".tmp")}))
      << log.Added();
  EXPECT_FALSE(FileExists(path + L".tmp"));
}

// A running program's file cannot be deleted but can be renamed: it moves to
// its side name (replacing a stale side file) and is listed for the restart.
TEST(UtilFuncDeleteFileTest, RunningProgramIsMovedAsideAndDeletedAtRestart) {
  TempFolder dir;
  const std::wstring exe = probe::CopyProbe(dir.path(), L"running.exe");
  const std::wstring side = exe + L".tmp";
  ASSERT_TRUE(WriteFileBytes(side, "stale"));
  probe::Process running(exe, L"--sleep=60000");
  ASSERT_TRUE(running.started());
  LogTail log;
  EXPECT_NE(UtilFunc::DeleteFileW(exe), 0);
  EXPECT_FALSE(FileExists(exe));
  EXPECT_EQ(ReadFileBytes(side), ReadFileBytes(probe::BuiltProbe()));
  EXPECT_TRUE(log.HasInOrder({"INFO  删除文件失败，path:" + Ansi(exe), "INFO  重启后删除文件，path:" + Ansi(side)}))
      << log.Added();
  EXPECT_NE(Upper(PendingRenames()).find(Upper(side)), std::wstring::npos) << PendingRenames();
}

TEST(UtilFuncDeleteFileTest, LockedFilesStayWhereTheyAre) {
  TempFolder dir;
  // Held open without sharing: neither deleted nor renamed.
  const std::wstring held = dir.path() + L"held.txt";
  ASSERT_TRUE(WriteFileBytes(held, "held"));
  probe::Lock heldLock(held);
  ASSERT_TRUE(heldLock.held());
  LogTail log;
  EXPECT_EQ(UtilFunc::DeleteFileW(held), 0);
  EXPECT_TRUE(FileExists(held));
  EXPECT_TRUE(log.HasInOrder({"INFO  删除文件失败，path:" + Ansi(held),
                              "INFO  移动文件失败:" + Ansi(held) + "到" + Ansi(held + L".tmp")}))
      << log.Added();

  // A running program whose stale side file is held open keeps its name.
  const std::wstring exe = probe::CopyProbe(dir.path(), L"busy.exe");
  const std::wstring side = exe + L".tmp";
  ASSERT_TRUE(WriteFileBytes(side, "stale"));
  probe::Lock sideLock(side);
  ASSERT_TRUE(sideLock.held());
  probe::Process running(exe, L"--sleep=60000");
  ASSERT_TRUE(running.started());
  EXPECT_EQ(UtilFunc::DeleteFileW(exe), 0);
  EXPECT_TRUE(FileExists(exe));
  EXPECT_TRUE(FileExists(side));
  EXPECT_TRUE(log.HasInOrder({"INFO  删除文件失败，path:" + Ansi(exe), "INFO  删除老的tmp文件失败，path:" + Ansi(side)}))
      << log.Added();
}

TEST(UtilFuncDeleteFolderTest, KeepsTheFoldersUnlessAskedToRemoveThem) {
  TempFolder dir;
  const std::wstring root = dir.path() + L"tree";
  MakeTree(root);
  EXPECT_EQ(UtilFunc::DeleteFolder(root, 0), 1);
  for (const wchar_t* folder : {L"", L"\\sub", L"\\sub\\deeper", L"\\empty"})
    EXPECT_TRUE(FolderExists(root + folder)) << folder;
  for (const wchar_t* file : {L"\\a.txt", L"\\ro.txt", L"\\sub\\b.txt", L"\\sub\\deeper\\c.txt"})
    EXPECT_FALSE(FileExists(root + file)) << file;

  MakeTree(root);
  EXPECT_EQ(UtilFunc::DeleteFolder(root + L"\\", 1), 1);
  EXPECT_FALSE(FolderExists(root));
}

TEST(UtilFuncDeleteFolderTest, MissingFolderFailsWithTheRemovalError) {
  TempFolder dir;
  const std::wstring missing = dir.path() + L"missing";
  ::RemoveDirectoryW((missing + L"\\").c_str());
  const std::string expected = "ERROR RemoveDirectory失败,last error:" + std::to_string(::GetLastError());
  LogTail log;
  EXPECT_EQ(UtilFunc::DeleteFolder(missing, 1), 0);
  EXPECT_TRUE(log.HasInOrder({expected})) << log.Added();
  EXPECT_EQ(UtilFunc::DeleteFolder(missing, 0), 0);
}

// A folder link inside the tree (here a host symbolic link, which the
// system reports as a reparse point) is never followed.
TEST(UtilFuncDeleteFolderTest, FolderLinksAreNotFollowed) {
  const char* binary = std::getenv("ORV_BINARY_DIR");
  ASSERT_NE(binary, nullptr);
  const std::string unixBase = std::string(binary) + "/tests/common/link-" + std::to_string(::GetCurrentProcessId());
  std::wstring base = L"Z:" + std::wstring(unixBase.begin(), unixBase.end());
  for (wchar_t& c : base)
    if (c == L'/') c = L'\\';
  ::CreateDirectoryW(base.c_str(), nullptr);
  ::CreateDirectoryW((base + L"\\target").c_str(), nullptr);
  ::CreateDirectoryW((base + L"\\tree").c_str(), nullptr);
  WriteFileBytes(base + L"\\target\\keep.txt", "keep");
  WriteFileBytes(base + L"\\tree\\own.txt", "own");
  // Unix programs started from here do not report their end: poll instead.
  const auto runHostCommand = [](const std::string& command, const auto& done) {
    testsupport::RunAndWait(std::wstring(command.begin(), command.end()), 10000);
    for (int i = 0; i < 100 && !done(); ++i) ::Sleep(50);
  };
  const std::wstring link = base + L"\\tree\\link";
  const auto isLink = [&] {
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  };
  const auto removeBase = [&] {
    runHostCommand("Z:\\bin\\rm -rf " + unixBase, [&] { return !FolderExists(base); });
  };
  runHostCommand("Z:\\bin\\ln -s " + unixBase + "/target " + unixBase + "/tree/link", isLink);
  if (!isLink()) {
    removeBase();
    GTEST_SKIP() << "no folder link could be made";
  }
  UtilFunc::DeleteFolder(base + L"\\tree", 1);
  EXPECT_EQ(ReadFileBytes(base + L"\\target\\keep.txt"), "keep");
  EXPECT_FALSE(FileExists(base + L"\\tree\\own.txt"));
  removeBase();
}

// An empty path stands for the current drive's root: neither it nor a drive
// root is ever emptied or moved.
TEST(UtilFuncDeleteFolderTest, RefusesEmptyPathsAndDriveRoots) {
  const std::wstring canary = L"C:\\orv-canary-" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
  ASSERT_TRUE(WriteFileBytes(canary, "canary"));
  TempFolder dir;
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
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
  EXPECT_EQ(ReadFileBytes(destination + L"\\a.txt"), "a");
  EXPECT_EQ(ReadFileBytes(destination + L"\\ro.txt"), "ro");
  EXPECT_EQ(ReadFileBytes(destination + L"\\sub\\b.txt"), "b");
  EXPECT_EQ(ReadFileBytes(destination + L"\\sub\\deeper\\c.txt"), "c");
  EXPECT_TRUE(FolderExists(destination + L"\\empty"));
  EXPECT_FALSE(FolderExists(source));
}

// The retries sleep 1 s per move and 0.5 s per copy: these two tests are the
// only ones that wait for them.
TEST(UtilFuncMoveFolderSlowTest, LockedFileAbandonsTheMove) {
  TempFolder dir;
  const std::wstring source = dir.path() + L"source";
  const std::wstring destination = dir.path() + L"destination";
  ::CreateDirectoryW(source.c_str(), nullptr);
  const std::wstring locked = source + L"\\locked.bin";
  ASSERT_TRUE(WriteFileBytes(locked, "locked"));
  probe::Lock lock(locked);
  ASSERT_TRUE(lock.held());
  LogTail log;
  EXPECT_EQ(UtilFunc::MoveFolder(source, destination, 0), 0);
  EXPECT_TRUE(FileExists(locked));
  EXPECT_TRUE(FolderExists(destination));
  const std::string move = "ERROR MoveFile失败,last error:32";
  const std::string copy = "ERROR CopyFile失败,last error:32";
  EXPECT_TRUE(log.HasInOrder({move, move, move, move, move, "ERROR 移动文件重试5次后仍失败，改用copyfile:" + Ansi(locked),
                              copy, copy, copy, copy, copy, "ERROR copyfile重试5次后仍失败：" + Ansi(locked)}))
      << log.Added();
  EXPECT_EQ(log.Count("MoveFile失败"), 5u);
}

TEST(UtilFuncMoveFolderSlowTest, SkipsLockedFilesAndOverwritesExistingOnes) {
  TempFolder dir;
  const std::wstring source = dir.path() + L"source";
  const std::wstring destination = dir.path() + L"destination";
  ::CreateDirectoryW(source.c_str(), nullptr);
  ::CreateDirectoryW((source + L"\\sub").c_str(), nullptr);
  ::CreateDirectoryW(destination.c_str(), nullptr);
  WriteFileBytes(source + L"\\a.txt", "a");
  WriteFileBytes(source + L"\\sub\\b.txt", "b");
  WriteFileBytes(source + L"\\same.txt", "new");
  WriteFileBytes(destination + L"\\same.txt", "old");
  const std::wstring locked = source + L"\\locked.bin";
  ASSERT_TRUE(WriteFileBytes(locked, "locked"));
  probe::Lock lock(locked);
  ASSERT_TRUE(lock.held());
  LogTail log;
  EXPECT_EQ(UtilFunc::MoveFolder(source, destination, 1), 1);
  EXPECT_EQ(ReadFileBytes(destination + L"\\a.txt"), "a");
  EXPECT_EQ(ReadFileBytes(destination + L"\\sub\\b.txt"), "b");
  EXPECT_EQ(ReadFileBytes(destination + L"\\same.txt"), "new");
  EXPECT_FALSE(FileExists(destination + L"\\locked.bin"));
  // Copied and skipped files stay behind, so the source folder stays too.
  EXPECT_TRUE(FileExists(source + L"\\same.txt"));
  EXPECT_TRUE(FileExists(locked));
  EXPECT_FALSE(FolderExists(source + L"\\sub"));
  EXPECT_TRUE(log.HasInOrder({"ERROR 移动文件重试5次后仍失败，改用copyfile:" + Ansi(source + L"\\same.txt")})) << log.Added();
  EXPECT_EQ(log.Count("copyfile重试5次后仍失败"), 0u);
  EXPECT_GE(log.Count("ERROR RemoveDirectory失败,last error:"), 1u);
}

TEST(UtilFuncProcessTest, RunProcessQuotesThePathAndReportsTheExitCodeOfEndedProcesses) {
  TempFolder dir(L"orv run");
  const std::wstring exe = probe::CopyProbe(dir.path(), L"run probe.exe");
  DWORD code = 12345;
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"--exit=7", 0, INFINITE, &code), 1);
  EXPECT_EQ(code, 7u);
  code = 12345;
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"--exit=8", 0, 0, &code), 1);
  EXPECT_EQ(code, 12345u);
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"--sleep=30000 --exit=9", 1, 200, &code), 1);
  EXPECT_EQ(code, 12345u);
  EXPECT_EQ(UtilFunc::RunProcess(exe, L"", 1, 10000, nullptr), 1);
  EXPECT_EQ(UtilFunc::RunProcess(dir.path() + L"missing.exe", L"", 0, 0, &code), 0);

  const std::string quoted = "\"" + Ansi(exe) + "\" ";
  std::string calls;
  for (int i = 0; i < 100 && std::count(calls.begin(), calls.end(), '\n') < 4; ++i, ::Sleep(100))
    calls = probe::Calls(dir.path());
  EXPECT_NE(calls.find("show=0 " + quoted + "--exit=7\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("show=0 " + quoted + "--exit=8\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("show=10 " + quoted + "--sleep=30000 --exit=9\n"), std::string::npos) << calls;
  EXPECT_NE(calls.find("show=10 " + quoted + "\n"), std::string::npos) << calls;
  UtilFunc::KillPathFileProcess(exe);
}

TEST(UtilFuncProcessTest, FindsCopiesByPathOrNameAndEndsEveryCopyOfAPath) {
  TempFolder first, second;
  const std::wstring name = L"OrvProbe" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
  const std::wstring exeA = probe::CopyProbe(first.path(), name);
  const std::wstring exeB = probe::CopyProbe(second.path(), name);
  EXPECT_EQ(UtilFunc::IsPathFileRunning(exeA), 0);
  EXPECT_EQ(UtilFunc::IsExeRunning(name), 0);

  probe::Process a1(exeA, L"--sleep=60000");
  probe::Process a2(exeA, L"--sleep=60000");
  probe::Process b1(exeB, L"--sleep=60000");
  ASSERT_TRUE(a1.started() && a2.started() && b1.started());
  EXPECT_NE(UtilFunc::IsPathFileRunning(Upper(exeA)), 0);
  EXPECT_EQ(UtilFunc::IsPathFileRunning(first.path() + L"other.exe"), 0);
  EXPECT_EQ(UtilFunc::IsPathFileRunning(L""), 0);
  EXPECT_NE(UtilFunc::IsExeRunning(Upper(name)), 0);
  EXPECT_EQ(UtilFunc::IsExeRunning(first.path()), 0);

  UtilFunc::KillPathFileProcess(exeA);
  ASSERT_TRUE(a1.Ended(10000));
  ASSERT_TRUE(a2.Ended(10000));
  EXPECT_EQ(a1.ExitCode(), 0u);
  EXPECT_FALSE(b1.Ended(0));
  EXPECT_EQ(UtilFunc::IsPathFileRunning(exeA), 0);
  EXPECT_NE(UtilFunc::IsPathFileRunning(exeB), 0);
  EXPECT_NE(UtilFunc::IsExeRunning(name), 0);
}

}  // namespace
