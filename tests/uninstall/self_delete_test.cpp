// The self-deletion batch file: how it is written, and the real batch run by
// the command interpreter on files it can and cannot delete.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "uninstall/self_delete.h"

namespace {

using testsupport::FileExists;
using testsupport::TempFolder;
using testsupport::WriteFileBytes;

// Long enough for any batch of a few tries; only a hanging batch reaches it.
constexpr DWORD kBatchEndLimitMs = 60000;

// Names the batch's commands could misread: blanks, "&", "^", "%" (also
// around a variable name of the batch itself).
const std::wstring kAwkwardNames[] = {L"Uninstall.exe", L"Un install & more^.exe", L"100% %tries% ^&^^.exe"};

bool EndsWithin(const ScopedHandle& process, DWORD limitMs) {
  return process && ::WaitForSingleObject(process.get(), limitMs) == WAIT_OBJECT_0;
}

// Folder names the command interpreter could misread, or that no single
// code page holds: variables of the environment, its special characters,
// blanks, Chinese, Korean (not in GBK) and a character beyond the BMP.
const std::wstring kAwkwardFolders[] = {L"Orv %TEMP%", L"Orv %PATH% 100%", L"Orv ^ & ! x!y!", L"Orv \u5378\u8f7d",
                                        L"Orv \ud55c\U0001F600 D\u00e9sinstaller"};

// What the program writes into the batch file: plain ASCII, no name at all
// (the names come from the environment), whatever the folder is called.
TEST(DeleteSelfBatchTest, TheBatchHoldsOnlyAsciiAndNoName) {
  for (const std::wstring& name : kAwkwardFolders) {
    SCOPED_TRACE(testing::PrintToString(name));
    TempFolder folder(name);
    ASSERT_TRUE(testsupport::FolderExists(folder.path()));
    ASSERT_TRUE(WriteDeleteSelfBatch(folder.path() + kDeleteSelfBatchName, DeleteSelfBatchText()));
    const std::string text = testsupport::ReadFileBytes(folder.path() + kDeleteSelfBatchName);
    EXPECT_EQ(DeleteSelfBatchText(), text);
    for (const char c : text) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
    EXPECT_EQ(std::string::npos, text.find("Orv")) << text;
    EXPECT_NE(text.back(), '\n');
  }
}

TEST(DeleteSelfBatchTest, ALocalFolderIsTheBatchsOwnAShareIsNot) {
  const std::wstring system = L"C:\\windows\\system32\\";
  const struct {
    std::wstring folder;
    bool share;
    DeleteSelfPlan plan;
  } cases[] = {
      {L"C:\\Program Files\\Orv %TEMP%\\", false, {L"C:\\Program Files\\Orv %TEMP%\\", L"Un install.exe", L"deleteSelf.bat"}},
      {L"\\\\server\\share\\Orv\\", true,
       {system, L"\\\\server\\share\\Orv\\Un install.exe", L"\\\\server\\share\\Orv\\deleteSelf.bat"}},
  };
  for (const auto& c : cases) {
    const DeleteSelfPlan plan = PlanDeleteSelf(c.folder, L"Un install.exe", c.share, system);
    EXPECT_EQ(c.plan.currentFolder, plan.currentFolder);
    EXPECT_EQ(c.plan.program, plan.program);
    EXPECT_EQ(c.plan.batch, plan.batch);
  }
}

TEST(DeleteSelfBatchTest, WritingReplacesAnOlderFileAndFailsCleanly) {
  TempFolder temp;
  const std::wstring batch = temp.path() + kDeleteSelfBatchName;
  ASSERT_TRUE(WriteFileBytes(batch, std::string(4096, 'x')));
  const std::string text = DeleteSelfBatchText();
  ASSERT_TRUE(WriteDeleteSelfBatch(batch, text));
  EXPECT_EQ(text, testsupport::ReadFileBytes(batch));

  const std::wstring missing = temp.path() + L"no-such-folder\\" + kDeleteSelfBatchName;
  EXPECT_FALSE(WriteDeleteSelfBatch(missing, text));
  EXPECT_FALSE(FileExists(missing));
  EXPECT_FALSE(StartDeleteSelfBatch(temp.path() + L"no-such-folder\\", L"Uninstall.exe"));
}

// The program's file is still held (as by its running process) when the batch
// starts, and let go right after: the batch deletes it, whatever its name and
// its folder's name, and then itself, and ends; nothing else in the folder is
// touched.
TEST(DeleteSelfBatchTest, ARemovableProgramFileGoesAndTheBatchEnds) {
  std::vector<std::pair<std::wstring, std::wstring>> cases;
  for (const std::wstring& name : kAwkwardNames) cases.emplace_back(L"orvselfdel", name);
  for (const std::wstring& folder : kAwkwardFolders) cases.emplace_back(folder, L"Uninstall.exe");
  for (const auto& [folderName, name] : cases) {
    SCOPED_TRACE(testing::PrintToString(folderName + L"\\" + name));
    TempFolder folder(folderName);
    ASSERT_TRUE(WriteFileBytes(folder.path() + name, "program"));
    ASSERT_TRUE(WriteFileBytes(folder.path() + L"Orvanta.ini", "keep"));
    const ScopedHandle process = [&] {
      const ScopedHandle held(::CreateFileW((folder.path() + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
      EXPECT_TRUE(held);
      return StartDeleteSelfBatch(folder.path(), name);
    }();
    ASSERT_TRUE(EndsWithin(process, kBatchEndLimitMs));
    EXPECT_FALSE(FileExists(folder.path() + name));
    EXPECT_FALSE(FileExists(folder.path() + kDeleteSelfBatchName));
    EXPECT_TRUE(FileExists(folder.path() + L"Orvanta.ini"));
  }
}

// A file that cannot be deleted, read-only or held open for good: the batch
// gives up after its tries, deletes itself and ends; the file stays.
TEST(DeleteSelfBatchTest, AnUndeletableProgramFileEndsTheBatchAfterItsTries) {
  constexpr int kTries = 3;
  TempFolder folder(L"orvselfdel");
  const std::wstring readOnly = L"Read only & 100%.exe";
  const std::wstring held = L"Held ^ open.exe";
  for (const std::wstring& name : {readOnly, held}) ASSERT_TRUE(WriteFileBytes(folder.path() + name, "program"));
  ASSERT_TRUE(::SetFileAttributesW((folder.path() + readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
  const ScopedHandle holder(
      ::CreateFileW((folder.path() + held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);

  for (const std::wstring& name : {readOnly, held}) {
    SCOPED_TRACE(testing::PrintToString(name));
    ASSERT_TRUE(EndsWithin(StartDeleteSelfBatch(folder.path(), name, kTries), kBatchEndLimitMs));
    EXPECT_TRUE(FileExists(folder.path() + name));
    EXPECT_FALSE(FileExists(folder.path() + kDeleteSelfBatchName));
  }
  ::SetFileAttributesW((folder.path() + readOnly).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The program's file is renamed to a name of its own before the batch starts,
// and the batch deletes only that name: a new "Uninstall.exe" put in the same
// folder while it still retries (its own file read-only) survives it, and so
// does one put there after a batch that deleted its file at once.
TEST(DeleteSelfBatchTest, TheBatchDeletesOnlyItsOwnRenamedFile) {
  constexpr int kTries = 4;
  const std::wstring name = L"Uninstall.exe";
  for (const bool readOnly : {true, false}) {
    SCOPED_TRACE(readOnly ? "read-only file" : "removable file");
    TempFolder folder(L"orvselfdel");
    ASSERT_TRUE(WriteFileBytes(folder.path() + name, "old program"));
    if (readOnly) ASSERT_TRUE(::SetFileAttributesW((folder.path() + name).c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring renamed = RenameForDeletion(folder.path(), name);
    ASSERT_FALSE(renamed.empty());
    EXPECT_NE(name, renamed);
    EXPECT_FALSE(FileExists(folder.path() + name));
    EXPECT_EQ("old program", testsupport::ReadFileBytes(folder.path() + renamed));
    // A second rename in the same process takes another name.
    ASSERT_TRUE(WriteFileBytes(folder.path() + name, "other"));
    const std::wstring second = RenameForDeletion(folder.path(), name);
    EXPECT_FALSE(second.empty());
    EXPECT_NE(renamed, second);
    ::DeleteFileW((folder.path() + second).c_str());

    const ScopedHandle batch = StartDeleteSelfBatch(folder.path(), renamed, kTries);
    ASSERT_TRUE(batch);
    ASSERT_TRUE(WriteFileBytes(folder.path() + name, "new installation"));
    ASSERT_TRUE(EndsWithin(batch, kBatchEndLimitMs));
    EXPECT_EQ("new installation", testsupport::ReadFileBytes(folder.path() + name));
    EXPECT_EQ(readOnly, FileExists(folder.path() + renamed));
    EXPECT_FALSE(FileExists(folder.path() + kDeleteSelfBatchName));
    ::SetFileAttributesW((folder.path() + renamed).c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  // Nothing to rename: nothing to start.
  TempFolder empty(L"orvselfdel");
  EXPECT_TRUE(RenameForDeletion(empty.path(), name).empty());
}

// A link planted at the batch's name, to a file and to a folder: it is
// removed as a link, or, where the system reaches only its target (Wine with
// host links), the batch is not written; the target is never written to.
TEST(DeleteSelfBatchTest, ALinkAtTheBatchsNameIsNeverWrittenThrough) {
  TempFolder victims(L"orvvictim");
  ASSERT_TRUE(WriteFileBytes(victims.path() + L"victim.txt", "victim"));
  ASSERT_TRUE(::CreateDirectoryW((victims.path() + L"folder").c_str(), nullptr));
  for (const std::wstring& target : {victims.path() + L"victim.txt", victims.path() + L"folder"}) {
    SCOPED_TRACE(testing::PrintToString(target));
    TempFolder folder(L"orvselfdel");
    const std::wstring batch = folder.path() + kDeleteSelfBatchName;
    ASSERT_TRUE(testsupport::PlantLink(batch, target) || FileExists(batch));
    const bool written = WriteDeleteSelfBatch(batch, DeleteSelfBatchText());
    EXPECT_EQ("victim", testsupport::ReadFileBytes(victims.path() + L"victim.txt"));
    EXPECT_TRUE(testsupport::FolderExists(victims.path() + L"folder"));
    if (written) {
      EXPECT_EQ(DeleteSelfBatchText(), testsupport::ReadFileBytes(batch));
      EXPECT_FALSE(::GetFileAttributesW(batch.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    testsupport::RemoveHostLink(batch);
  }
}

// The batch pauses between its tries (about a second each): with the file
// held for good, a batch of ten tries is still trying after a few seconds,
// where one that went straight on would have used them all in well under a
// second. Let go, the file goes at the next try and the batch ends.
TEST(DeleteSelfBatchTest, TriesArePacedNotSpun) {
  constexpr int kTries = 10;
  // Far below the nine pauses of the ten tries, far above ten tries without them.
  constexpr DWORD kWindowMs = 4000;
  TempFolder folder(L"orvselfdel");
  const std::wstring name = L"Uninstall.exe";
  ASSERT_TRUE(WriteFileBytes(folder.path() + name, "program"));
  auto holder = std::make_unique<ScopedHandle>(
      ::CreateFileW((folder.path() + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(*holder);
  const ScopedHandle process = StartDeleteSelfBatch(folder.path(), name, kTries);
  ASSERT_TRUE(process);
  EXPECT_FALSE(EndsWithin(process, kWindowMs)) << "the batch used up its tries without pausing";
  EXPECT_TRUE(FileExists(folder.path() + name));

  holder.reset();
  ASSERT_TRUE(EndsWithin(process, kBatchEndLimitMs));
  EXPECT_FALSE(FileExists(folder.path() + name));
  EXPECT_FALSE(FileExists(folder.path() + kDeleteSelfBatchName));
}

}  // namespace
