// The self-deletion batch file: its exact bytes and how it is written.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "uninstall/self_delete.h"

namespace {

TEST(DeleteSelfBatchTest, TextIsExactlyTheFourLines) {
  EXPECT_EQ(std::string(":Repeat\t\ndel \"Uninstall.exe\"\r\nif exist \"Uninstall.exe\" goto Repeat\r\ndel deleteSelf.bat"),
            DeleteSelfBatchText(L"Uninstall.exe"));
}

TEST(DeleteSelfBatchTest, NamesAreWrittenInTheAnsiCodePage) {
  ASSERT_EQ(936u, ::GetACP()) << "the tests run with the GBK code page";
  const std::string text = DeleteSelfBatchText(L"\u5378\u8f7d Orvanta.exe");
  EXPECT_EQ(std::string(":Repeat\t\ndel \"\xd0\xb6\xd4\xd8 Orvanta.exe\"\r\nif exist \"\xd0\xb6\xd4\xd8 Orvanta.exe\" goto "
                        "Repeat\r\ndel deleteSelf.bat"),
            text);
}

TEST(DeleteSelfBatchTest, WritingReplacesAnOlderFileAndFailsCleanly) {
  testsupport::TempFolder temp;
  const std::wstring batch = temp.path() + kDeleteSelfBatchName;
  ASSERT_TRUE(testsupport::WriteFileBytes(batch, std::string(4096, 'x')));
  const std::string text = DeleteSelfBatchText(L"Uninstall.exe");
  ASSERT_TRUE(WriteDeleteSelfBatch(batch, text));
  EXPECT_EQ(text, testsupport::ReadFileBytes(batch));

  const std::wstring missing = temp.path() + L"no-such-folder\\" + kDeleteSelfBatchName;
  EXPECT_FALSE(WriteDeleteSelfBatch(missing, text));
  EXPECT_FALSE(testsupport::FileExists(missing));
}

}  // namespace
