// The self-deletion batch file: how it is written, and the real batch run by
// the command interpreter on files it can and cannot delete.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

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

TEST(DeleteSelfBatchTest, NamesAreWrittenInTheAnsiCodePage) {
  ASSERT_EQ(936u, ::GetACP()) << "the tests run with the GBK code page";
  const std::string text = DeleteSelfBatchText(L"\u5378\u8f7d Orvanta.exe");
  EXPECT_NE(std::string::npos, text.find("\"\xd0\xb6\xd4\xd8 Orvanta.exe\"")) << text;
  EXPECT_NE(text.back(), '\n');
}

TEST(DeleteSelfBatchTest, WritingReplacesAnOlderFileAndFailsCleanly) {
  TempFolder temp;
  const std::wstring batch = temp.path() + kDeleteSelfBatchName;
  ASSERT_TRUE(WriteFileBytes(batch, std::string(4096, 'x')));
  const std::string text = DeleteSelfBatchText(L"Uninstall.exe");
  ASSERT_TRUE(WriteDeleteSelfBatch(batch, text));
  EXPECT_EQ(text, testsupport::ReadFileBytes(batch));

  const std::wstring missing = temp.path() + L"no-such-folder\\" + kDeleteSelfBatchName;
  EXPECT_FALSE(WriteDeleteSelfBatch(missing, text));
  EXPECT_FALSE(FileExists(missing));
  EXPECT_FALSE(StartDeleteSelfBatch(temp.path() + L"no-such-folder\\", L"Uninstall.exe"));
}

// The program's file is still held (as by its running process) when the batch
// starts, and let go right after: the batch deletes it, whatever its name,
// and then itself, and ends; nothing else in the folder is touched.
TEST(DeleteSelfBatchTest, ARemovableProgramFileGoesAndTheBatchEnds) {
  for (const std::wstring& name : kAwkwardNames) {
    SCOPED_TRACE(testing::PrintToString(name));
    TempFolder folder(L"orvselfdel");
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
