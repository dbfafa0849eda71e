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

TEST_F(UtilFuncLinkTest, ALinkPassedInIsNeverEmptiedAndOnlyRemovedAsALink) {
  const std::wstring link = dir_.path() + L"link";
  const std::wstring emptyLink = dir_.path() + L"emptylink";
  Plant(link, Target());
  Plant(emptyLink, dir_.path() + L"empty");

  LogTail kept;
  EXPECT_EQ(UtilFunc::DeleteFolder(link + L"\\", 0), 0);
  EXPECT_TRUE(testsupport::IsLinkTo(link, Target()));
  EXPECT_TRUE(kept.HasInOrder({"INFO  目录是链接，不清空其指向的内容:" + Ansi(link + L"\\")})) << kept.Added();
  ExpectTargetUntouched();

  // Removing a link to an empty folder must not remove that folder instead.
  for (const std::wstring& path : {link, emptyLink}) {
    LogTail log;
    const std::wstring target = path == link ? Target() : dir_.path() + L"empty";
    ExpectRemovedOrKept(UtilFunc::DeleteFolder(path, 1), path, target, log);
    ExpectTargetUntouched();
  }
  LogTail direct;
  ExpectRemovedOrKept(UtilFunc::RemoveLink(link + L"\\"), link, Target(), direct);
  EXPECT_TRUE(UtilFunc::IsLink(link + L"\\") || !FolderExists(link));
  EXPECT_FALSE(UtilFunc::IsLink(Target()));
  EXPECT_FALSE(UtilFunc::IsLink(dir_.path() + L"missing"));
}

TEST_F(UtilFuncLinkTest, LinksInsideATreeAreNotEntered) {
  const std::wstring root = dir_.path() + L"tree";
  MakeTree(root);
  Plant(root + L"\\link", Target());
  Plant(root + L"\\sub\\deeper\\link", Target());

  EXPECT_EQ(UtilFunc::DeleteFolder(root, 0), 1);
  ExpectTargetUntouched();
  EXPECT_FALSE(FileExists(root + L"\\a.txt") || FileExists(root + L"\\sub\\deeper\\c.txt"));
  EXPECT_TRUE(FolderExists(root + L"\\sub\\deeper"));

  LogTail log;
  const int removed = UtilFunc::DeleteFolder(root, 1);
  ExpectTargetUntouched();
  EXPECT_FALSE(FolderExists(root + L"\\empty"));
  if (removed) {
    EXPECT_FALSE(FolderExists(root));
  } else {
    // Only the folders that still hold their link are left.
    EXPECT_TRUE(testsupport::IsLinkTo(root + L"\\link", Target()));
    EXPECT_TRUE(testsupport::IsLinkTo(root + L"\\sub\\deeper\\link", Target()));
    EXPECT_EQ(log.Count("无法只删除链接本身，保留链接:"), 2u) << log.Added();
  }
}

TEST_F(UtilFuncLinkTest, MovingATreeMovesNothingOutOfOrIntoALinksTarget) {
  const std::wstring source = dir_.path() + L"source";
  const std::wstring destination = dir_.path() + L"destination";
  for (const std::wstring& folder : {source, source + L"\\lib", destination})
    ::CreateDirectoryW(folder.c_str(), nullptr);
  WriteFileBytes(source + L"\\a.txt", "a");
  WriteFileBytes(source + L"\\lib\\b.txt", "b");
  Plant(source + L"\\linked", Target());
  // The destination's "lib" leads elsewhere: nothing may be written there.
  Plant(destination + L"\\lib", dir_.path() + L"empty");

  EXPECT_EQ(UtilFunc::MoveFolder(source + L"\\linked", destination + L"\\linked", 1), 0);
  EXPECT_EQ(UtilFunc::MoveFolder(source, destination, 1), 1);
  ExpectTargetUntouched();
  EXPECT_FALSE(FileExists(dir_.path() + L"empty\\b.txt"));
  EXPECT_EQ(ReadFileBytes(destination + L"\\a.txt"), "a");
  EXPECT_FALSE(FolderExists(destination + L"\\linked"));
  EXPECT_TRUE(testsupport::IsLinkTo(source + L"\\linked", Target()));
  if (testsupport::IsLinkTo(destination + L"\\lib", dir_.path() + L"empty"))
    EXPECT_EQ(ReadFileBytes(source + L"\\lib\\b.txt"), "b");
  else
    EXPECT_EQ(ReadFileBytes(destination + L"\\lib\\b.txt"), "b");
}

// The version folder of an overwrite, say, planted as a link: nothing is
// moved into what it points to; the link goes and the move takes place, or
// the link stays and the move is refused with the source left whole.
TEST_F(UtilFuncLinkTest, MovingIntoALinkNeverFillsItsTarget) {
  const std::wstring source = dir_.path() + L"source";
  const std::wstring destination = dir_.path() + L"destination";
  ::CreateDirectoryW(source.c_str(), nullptr);
  WriteFileBytes(source + L"\\a.txt", "a");
  Plant(destination, dir_.path() + L"empty");

  LogTail log;
  const int moved = UtilFunc::MoveFolder(source, destination + L"\\", 1);
  ExpectTargetUntouched();
  EXPECT_FALSE(FileExists(dir_.path() + L"empty\\a.txt"));
  if (moved) {
    EXPECT_FALSE(UtilFunc::IsLink(destination));
    EXPECT_EQ(ReadFileBytes(destination + L"\\a.txt"), "a");
  } else {
    EXPECT_TRUE(testsupport::IsLinkTo(destination, dir_.path() + L"empty"));
    EXPECT_EQ(ReadFileBytes(source + L"\\a.txt"), "a");
    EXPECT_TRUE(log.HasInOrder({"ERROR 目标目录是链接，不移动:" + Ansi(source) + "到" + Ansi(destination + L"\\")}))
        << log.Added();
  }
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
