#include "common/tree_walker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "common/utilfunc.h"
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

// A victim outside every tree deleted here: a folder with files and a file.
class TreeWalkerTest : public testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(Victim().c_str(), nullptr);
    ::CreateDirectoryW((Victim() + L"\\sub").c_str(), nullptr);
    WriteFileBytes(Victim() + L"\\keep.txt", "keep");
    WriteFileBytes(Victim() + L"\\sub\\c.txt", "victim's c");
    WriteFileBytes(VictimFile(), "victim file");
  }
  std::wstring Victim() const { return dir_.path() + L"victim"; }
  std::wstring VictimFile() const { return dir_.path() + L"victim.txt"; }
  std::wstring Root() const { return dir_.path() + L"tree"; }
  void ExpectVictimUntouched() const {
    EXPECT_EQ(ReadFileBytes(Victim() + L"\\keep.txt"), "keep");
    EXPECT_EQ(ReadFileBytes(Victim() + L"\\sub\\c.txt"), "victim's c");
    EXPECT_EQ(ReadFileBytes(VictimFile()), "victim file");
  }
  TempFolder dir_{L"orvwalk"};
};

TEST_F(TreeWalkerTest, DeletesATreeWithReadOnlyFilesAndReportsEachFile) {
  MakeTree(Root());
  std::vector<std::wstring> deleted;
  tree::DeleteOptions options;
  options.onFileDeleted = [&](const std::wstring& path) { deleted.push_back(path); };
  const tree::Outcome outcome = tree::DeleteTree(Root() + L"\\", options);
  EXPECT_TRUE(outcome.ok());
  EXPECT_FALSE(FolderExists(Root()));
  EXPECT_EQ(deleted.size(), 3u);
  EXPECT_TRUE(tree::DeleteTree(Root()).ok()) << "a missing tree is no failure";

  MakeTree(Root());
  options.keepTop = true;
  options.keep = [&](const std::wstring& path) { return path == Root() + L"\\sub\\deeper\\c.txt"; };
  EXPECT_TRUE(tree::DeleteTree(Root(), options).ok());
  EXPECT_EQ(ReadFileBytes(Root() + L"\\sub\\deeper\\c.txt"), "c");
  EXPECT_FALSE(FileExists(Root() + L"\\a.txt") || FileExists(Root() + L"\\ro.txt") || FolderExists(Root() + L"\\empty"));
}

// Links met anywhere in a tree, to a folder or to a file: what they point at
// keeps every byte. A link is either gone or, where the system reaches it only
// through its target, still the same link and logged.
TEST_F(TreeWalkerTest, LinksAtEveryLevelAreNeverFollowed) {
  struct Case {
    const wchar_t* link;  // below the tree; "" is the tree itself
    bool toFile;
  };
  const Case cases[] = {{L"", false}, {L"", true}, {L"\\l", false}, {L"\\l.txt", true},
                        {L"\\sub\\deeper\\l", false}, {L"\\sub\\deeper\\l.txt", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "link at tree" << c.link << (c.toFile ? " (file)" : " (folder)"));
    const std::wstring link = Root() + c.link;
    const std::wstring target = c.toFile ? VictimFile() : Victim();
    if (*c.link) MakeTree(Root());
    ASSERT_TRUE(testsupport::PlantLink(link, target));
    LogTail log;
    const tree::Outcome outcome = tree::DeleteTree(Root());
    ExpectVictimUntouched();
    EXPECT_EQ(outcome.failed, 0u) << log.Added();
    if (outcome.linksLeft) {
      EXPECT_TRUE(testsupport::IsLinkTo(link, target));
      EXPECT_EQ(log.Count("无法只删除链接本身，保留链接:"), 1u) << log.Added();
      EXPECT_FALSE(FileExists(Root() + L"\\a.txt"));
    } else {
      EXPECT_FALSE(FileExists(Root()));
    }
    testsupport::RemoveTree(Root());
  }
}

// A folder swapped for a link to a victim after the walker checked it: the
// walker goes on in what it holds, never in the victim.
TEST_F(TreeWalkerTest, AFolderSwappedForALinkAfterItsCheckChangesNothingOutside) {
  MakeTree(Root());
  WriteFileBytes(Root() + L"\\sub\\c.txt", "tree's c");
  const std::wstring paused = Root() + L"\\sub";
  const std::wstring go = dir_.path() + L"go";
  ::SetEnvironmentVariableW(L"ORV_TEST_WALKER_PAUSE", paused.c_str());
  ::SetEnvironmentVariableW(L"ORV_TEST_WALKER_CONTINUE", go.c_str());
  LogTail log;
  std::thread walk([&] { tree::DeleteTree(Root()); });
  for (int i = 0; i < 300 && !log.Count("测试：删除暂停于:"); ++i) ::Sleep(100);
  EXPECT_EQ(log.Count("测试：删除暂停于:"), 1u) << log.Added();
  EXPECT_TRUE(::MoveFileW(paused.c_str(), (Root() + L"-moved").c_str()));
  EXPECT_TRUE(testsupport::PlantLink(paused, Victim()));
  WriteFileBytes(go, "");
  walk.join();
  ::SetEnvironmentVariableW(L"ORV_TEST_WALKER_PAUSE", nullptr);
  ExpectVictimUntouched();
  testsupport::RemoveHostLink(paused);
  testsupport::RemoveTree(Root() + L"-moved");
}

// A file that cannot be deleted deep in a tree fails the whole call, and
// leaves the folders above it; all else goes.
TEST_F(TreeWalkerTest, ANestedFailureFailsTheCall) {
  MakeTree(Root());
  const std::wstring locked = Root() + L"\\sub\\deeper\\c.txt";
  probe::Lock lock(locked);
  ASSERT_TRUE(lock.held());
  LogTail log;
  const tree::Outcome outcome = tree::DeleteTree(Root());
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.failed + outcome.scheduled, 1u) << log.Added();
  EXPECT_TRUE(FolderExists(Root() + L"\\sub\\deeper"));
  EXPECT_FALSE(FileExists(Root() + L"\\a.txt") || FileExists(Root() + L"\\ro.txt"));
}

// Every file of a tree is flushed; one held against writing fails the call
// and is counted, and a link is passed over: its target, held by another
// process, would fail the call if it were reached.
TEST_F(TreeWalkerTest, FlushTreeCountsWhatCannotBeFlushedAndPassesLinksOver) {
  MakeTree(Root());
  ::SetFileAttributesW((Root() + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(testsupport::PlantLink(Root() + L"\\sub\\to-file", VictimFile()));
  ASSERT_TRUE(testsupport::PlantLink(Root() + L"\\sub\\to-folder", Victim()));
  probe::Lock victim(VictimFile());
  probe::Lock victimsFile(Victim() + L"\\keep.txt");
  ASSERT_TRUE(victim.held() && victimsFile.held());
  LogTail log;
  EXPECT_EQ(tree::FlushTree(Root()), 0u) << log.Added();
  {
    probe::Lock deep(Root() + L"\\sub\\deeper\\c.txt");
    ASSERT_TRUE(deep.held());
    EXPECT_EQ(tree::FlushTree(Root() + L"\\"), 1u);
    EXPECT_EQ(log.Count("写入磁盘失败:"), 1u) << log.Added();
  }
  EXPECT_EQ(tree::FlushTree(dir_.path() + L"missing"), 1u);
  testsupport::RemoveHostLink(Root() + L"\\sub\\to-file");
  testsupport::RemoveHostLink(Root() + L"\\sub\\to-folder");
}

// Every spelling of a drive root or a system folder, and a link to one, is
// refused. The refusal is asserted before a delete is tried: a regression
// fails here without deleting anything.
TEST_F(TreeWalkerTest, RefusesDriveRootsAndTheSystemsFolders) {
  wchar_t windows[MAX_PATH] = {}, system[MAX_PATH] = {}, profile[MAX_PATH] = {}, programs[MAX_PATH] = {};
  ::GetWindowsDirectoryW(windows, MAX_PATH);
  ::GetSystemDirectoryW(system, MAX_PATH);
  ::GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  ::GetEnvironmentVariableW(L"ProgramFiles", programs, MAX_PATH);
  std::wstring profiles = profile;
  profiles.resize(profiles.find_last_of(L'\\'));
  wchar_t shortPrograms[MAX_PATH] = {};
  ASSERT_NE(::GetShortPathNameW(programs, shortPrograms, MAX_PATH), 0u);
  const std::wstring w = windows;
  ASSERT_TRUE(testsupport::PlantLink(dir_.path() + L"windows-link", w));
  ASSERT_TRUE(testsupport::PlantLink(dir_.path() + L"drive-link", w.substr(0, 3)));
  MakeTree(Root());
  ::SetCurrentDirectoryW(w.c_str());
  const std::wstring spellings[] = {L"", L"C:", L"C:\\", L"\\\\?\\C:\\", L"Windows", L"C:Windows", L"system32\\..",
                                    w, w + L"\\", L"\\\\?\\" + w, Upper(w), w + L"\\.", std::wstring(system) + L"\\..",
                                    system, shortPrograms, programs, std::wstring(shortPrograms) + L"\\..\\Windows",
                                    profile, profiles, std::wstring(profile) + L"\\AppData",
                                    dir_.path() + L"windows-link", dir_.path() + L"drive-link\\" + w.substr(3),
                                    Root() + L"\\..\\windows-link", dir_.path() + L"drive-link"};
  for (const std::wstring& path : spellings) {
    SCOPED_TRACE(Ansi(path));
    if (!tree::IsProtectedFolder(path)) {
      ADD_FAILURE() << "not refused; no delete tried";
      continue;
    }
    LogTail log;
    EXPECT_TRUE(tree::DeleteTree(path).refused);
    EXPECT_EQ(log.Count("ERROR 拒绝删除整个磁盘或系统目录:"), 1u) << log.Added();
    EXPECT_TRUE(tree::DeleteBelow(dir_.path(), path).refused);
  }
  ::SetCurrentDirectoryW(testsupport::ProgramFolder().c_str());
  EXPECT_TRUE(FolderExists(std::wstring(system)));
  EXPECT_FALSE(tree::IsProtectedFolder(dir_.path()));
  EXPECT_FALSE(tree::IsProtectedFolder(Root() + L"\\sub"));
  EXPECT_TRUE(tree::DeleteTree(Root()).ok());
  EXPECT_FALSE(FolderExists(Root()));
  testsupport::RemoveHostLink(dir_.path() + L"windows-link");
  testsupport::RemoveHostLink(dir_.path() + L"drive-link");
}

// A removal from a drive root deletes at that root, never in the current
// folder of the drive ("Q:"), whether the current folder is on that drive or
// the drive's own current folder is kept for another one.
TEST_F(TreeWalkerTest, AtADriveRootDeletesAtTheRootWhateverTheCurrentFolder) {
  const std::wstring mappedFolder = dir_.path() + L"qroot";
  ASSERT_TRUE(::CreateDirectoryW(mappedFolder.c_str(), nullptr));
  wchar_t letter = L'Q';
  while (letter < L'Y' && ::GetFileAttributesW((std::wstring(1, letter) + L":\\").c_str()) != INVALID_FILE_ATTRIBUTES)
    ++letter;
  testsupport::MappedDrive drive(letter, mappedFolder);
  ASSERT_TRUE(drive.Mapped());
  const std::wstring root = drive.Root();
  const std::wstring work = root + L"work";
  for (const bool fromTheDrive : {true, false}) {
    SCOPED_TRACE(fromTheDrive ? "current folder on the drive" : "current folder on another drive");
    for (const std::wstring& folder : {root + L"7.19.02N", work, work + L"\\7.19.02N"}) ::CreateDirectoryW(folder.c_str(), nullptr);
    for (const std::wstring& file : {root + L"7.19.02N\\f.txt", root + L"Orvanta.ini", work + L"\\7.19.02N\\mine.txt",
                                     work + L"\\Orvanta.ini"})
      ASSERT_TRUE(WriteFileBytes(file, "x"));
    if (fromTheDrive) {
      ASSERT_TRUE(::SetCurrentDirectoryW(work.c_str()));
    } else {
      ASSERT_TRUE(::SetCurrentDirectoryW(dir_.path().c_str()));
      ::SetEnvironmentVariableW((L"=" + root.substr(0, 2)).c_str(), work.c_str());
    }
    wchar_t current[MAX_PATH] = {};
    ::GetFullPathNameW(root.substr(0, 2).c_str(), MAX_PATH, current, nullptr);
    ASSERT_TRUE(UtilFunc::EqualIgnoringCase(UtilFunc::FolderPath(current), work)) << Ansi(current);

    EXPECT_TRUE(tree::DeleteBelow(root, root + L"7.19.02N").ok());
    EXPECT_TRUE(tree::DeleteBelow(root + L"\\", root + L"Orvanta.ini").ok());
    EXPECT_TRUE(tree::DeleteBelow(root.substr(0, 2), root + L"work\\..\\Orvanta.ini").refused);
    EXPECT_TRUE(tree::IsProtectedFolder(root.substr(0, 2)));
    EXPECT_TRUE(tree::DeleteTree(root.substr(0, 2)).refused);
    EXPECT_FALSE(FolderExists(root + L"7.19.02N"));
    EXPECT_FALSE(FileExists(root + L"Orvanta.ini"));
    EXPECT_TRUE(FileExists(work + L"\\7.19.02N\\mine.txt"));
    EXPECT_TRUE(FileExists(work + L"\\Orvanta.ini"));
    tree::Folder opened;
    EXPECT_EQ(tree::Folder::OpenFollowingLinks(root.substr(0, 2), &opened), 0u);
    std::vector<std::wstring> names;
    EXPECT_TRUE(opened.List(&names));
    EXPECT_EQ(names, std::vector<std::wstring>{L"work"});
  }
  ::SetEnvironmentVariableW((L"=" + root.substr(0, 2)).c_str(), nullptr);
  ::SetCurrentDirectoryW(testsupport::ProgramFolder().c_str());
}

TEST_F(TreeWalkerTest, RenamesOnlyWhatIsNoLinkReachedThroughItsTarget) {
  MakeTree(Root());
  tree::Folder parent;
  ASSERT_EQ(tree::Folder::Open(dir_.path(), &parent), 0u);
  EXPECT_EQ(tree::Folder::Open(Root() + L"\\a.txt", &parent), static_cast<DWORD>(ERROR_DIRECTORY));
  ASSERT_EQ(tree::Folder::Open(dir_.path(), &parent), 0u);
  EXPECT_EQ(parent.Inspect(L"tree"), tree::EntryKind::kFolder);
  EXPECT_EQ(parent.Inspect(L"victim.txt"), tree::EntryKind::kFile);
  EXPECT_EQ(parent.Inspect(L"missing"), tree::EntryKind::kMissing);
  EXPECT_EQ(parent.RenameChild(L"tree", parent, L"renamed"), 0u);
  EXPECT_EQ(ReadFileBytes(dir_.path() + L"renamed\\sub\\deeper\\c.txt"), "c");
  EXPECT_NE(parent.RenameChild(L"renamed", parent, L"victim"), 0u) << "the destination exists";

  ASSERT_TRUE(testsupport::PlantLink(dir_.path() + L"flink", VictimFile()));
  ASSERT_TRUE(testsupport::PlantLink(dir_.path() + L"dlink", Victim()));
  for (const wchar_t* link : {L"flink", L"dlink"}) {
    const tree::EntryKind kind = parent.Inspect(link);
    ASSERT_TRUE(kind == tree::EntryKind::kLink || kind == tree::EntryKind::kUnreachableLink);
    tree::Folder through;
    EXPECT_EQ(parent.OpenChild(link, &through), static_cast<DWORD>(ERROR_REPARSE_TAG_MISMATCH));
    const DWORD renamed = parent.RenameChild(link, parent, std::wstring(link) + L"-aside");
    EXPECT_EQ(renamed == 0, kind == tree::EntryKind::kLink);
  }
  ExpectVictimUntouched();
  tree::Folder created;
  EXPECT_EQ(parent.CreateChild(L"dlink", &created), static_cast<DWORD>(ERROR_REPARSE_TAG_MISMATCH));
  EXPECT_EQ(parent.CreateChild(L"fresh", &created), 0u);
  EXPECT_TRUE(FolderExists(dir_.path() + L"fresh"));
  testsupport::RemoveHostLink(dir_.path() + L"flink");
  testsupport::RemoveHostLink(dir_.path() + L"dlink");
}

// A running program's file cannot be deleted but can be renamed: it moves to
// its side name (replacing a stale side file) and is listed for the restart,
// unless the stale side file is held open.
TEST(TreeWalkerFileTest, RunningProgramIsMovedAsideUnlessItsSideNameIsHeld) {
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

  const tree::Outcome runningOutcome = tree::DeleteTree(exe);
  EXPECT_TRUE(runningOutcome.ok());
  EXPECT_EQ(runningOutcome.scheduled, 1u);
  EXPECT_FALSE(FileExists(exe));
  EXPECT_EQ(ReadFileBytes(side), ReadFileBytes(probe::BuiltProbe()));
  wchar_t pending[32768] = {};
  DWORD bytes = sizeof pending - sizeof(wchar_t);
  ::RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                 L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending, &bytes);
  std::wstring renames(pending, bytes / sizeof(wchar_t));
  std::replace(renames.begin(), renames.end(), L'\0', L'|');
  EXPECT_NE(Upper(renames).find(Upper(side) + L"||"), std::wstring::npos) << renames;

  // Reached through a linked folder: booked by the name the renamed file
  // has itself, which no link changed for the restart can send elsewhere.
  ASSERT_TRUE(::CreateDirectoryW((dir.path() + L"real").c_str(), nullptr));
  const std::wstring real = probe::CopyProbe(dir.path() + L"real\\", L"linked.exe");
  probe::Process linkedRunning(real, L"--sleep=60000");
  ASSERT_TRUE(linkedRunning.started());
  ASSERT_TRUE(testsupport::PlantLink(dir.path() + L"via", dir.path() + L"real"));
  EXPECT_EQ(tree::DeleteTree(dir.path() + L"via\\linked.exe").scheduled, 1u);
  EXPECT_TRUE(FileExists(real + L".tmp"));
  bytes = sizeof pending - sizeof(wchar_t);
  ::RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                 L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending, &bytes);
  renames.assign(pending, bytes / sizeof(wchar_t));
  std::replace(renames.begin(), renames.end(), L'\0', L'|');
  EXPECT_NE(Upper(renames).find(Upper(real) + L".TMP||"), std::wstring::npos) << Ansi(renames);
  EXPECT_EQ(Upper(renames).find(Upper(L"via\\linked.exe")), std::wstring::npos) << Ansi(renames);
  testsupport::RemoveHostLink(dir.path() + L"via");

  EXPECT_EQ(tree::DeleteTree(busy).failed, 1u);
  EXPECT_TRUE(FileExists(busy));
  EXPECT_TRUE(tree::DeleteTree(missing).ok()) << "a missing file is no failure";
  EXPECT_TRUE(log.HasInOrder({"INFO  重启后删除文件，path:" + Ansi(side)})) << log.Added();
  EXPECT_EQ(log.Count("ERROR 移动文件失败:" + Ansi(busy)), 1u) << log.Added();
}

// A read-only (and hidden, system) file goes at once: its attributes are
// cleared first, nothing is moved aside or left for a restart.
TEST(TreeWalkerFileTest, ReadOnlyFileIsDeletedAtOnce) {
  TempFolder dir;
  const std::wstring file = dir.path() + L"ro.txt";
  ASSERT_TRUE(WriteFileBytes(file, "ro"));
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_FALSE(::DeleteFileW(file.c_str())) << "the platform deletes read-only files itself";
  LogTail log;

  EXPECT_TRUE(tree::DeleteTree(file).ok());
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FileExists(file + L".tmp"));
  EXPECT_EQ(log.Added().find("删除文件失败"), std::string::npos) << log.Added();
}

}  // namespace
