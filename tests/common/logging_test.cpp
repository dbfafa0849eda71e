#include "common/logging.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/test_support.h"

namespace {

std::wstring LogPath() {
  const std::string& narrow = logging::LogFilePath();
  return std::wstring(narrow.begin(), narrow.end());
}

// Bytes appended to the log since `offset`.
std::string LogSince(uint64_t offset) {
  const std::string bytes = testsupport::ReadFileBytes(LogPath());
  return offset <= bytes.size() ? bytes.substr(offset) : std::string();
}

std::string UniqueMarker(const char* name) {
  return std::string(name) + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(::GetTickCount64());
}

const char kDateTime[] = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})";

TEST(LoggingTest, FileLivesInCommonDocuments) {
  EXPECT_TRUE(std::regex_search(logging::LogFilePath(), std::regex(R"(^C:\\users\\Public\\Documents\\Orvanta\\ovlog\.log$)", std::regex::icase)))
      << logging::LogFilePath();
}

TEST(LoggingTest, InfoHasTwoBlanksAndErrorOneAfterTheLevel) {
  const uint64_t offset = testsupport::FileSize(LogPath());
  const std::string marker = UniqueMarker("formats");
  LOG_INFO << "info " << marker << " n=" << 42 << " neg=" << -7L << " u=" << 4294967295UL;
  LOG_ERROR << "error " << marker;
  const std::string added = LogSince(offset);
  EXPECT_TRUE(std::regex_search(added, std::regex(std::string("(^|\n)") + kDateTime + " INFO  info " + marker +
                                                  " n=42 neg=-7 u=4294967295\r?\n")))
      << added;
  EXPECT_TRUE(std::regex_search(added, std::regex(std::string("(^|\n)") + kDateTime + " ERROR error " + marker + "\r?\n")))
      << added;
}

TEST(LoggingTest, ChineseTextIsWrittenAsGbkBytes) {
  const uint64_t offset = testsupport::FileSize(LogPath());
  const std::string marker = UniqueMarker("gbk");
  LOG_INFO << marker << " 开始安装";
  LOG_INFO << marker << " path " << std::wstring(L"C:\\\u5b89\u88c5\\a.txt");  // 安装
  const std::string added = LogSince(offset);
  EXPECT_NE(added.find(marker + " \xBF\xAA\xCA\xBC\xB0\xB2\xD7\xB0"), std::string::npos) << added;
  EXPECT_NE(added.find(marker + " path C:\\\xB0\xB2\xD7\xB0\\a.txt"), std::string::npos) << added;
}

TEST(LoggingTest, UnconvertibleAndNullWideStringsDoNotEndTheRecord) {
  const uint64_t offset = testsupport::FileSize(LogPath());
  const std::string marker = UniqueMarker("unconvertible");
  const wchar_t* null_text = nullptr;
  LOG_INFO << marker << " [" << std::wstring(L"a\u0e01\U0001F600b") << "] tail " << null_text << " end";
  const std::string added = LogSince(offset);
  const size_t at = added.find(marker);
  ASSERT_NE(at, std::string::npos) << added;
  const std::string line = added.substr(at, added.find('\n', at) - at);
  EXPECT_TRUE(std::regex_search(line, std::regex(R"(\[a\?+b\] tail nullptr end)"))) << line;
}

TEST(LoggingTest, SeparateRunsAppendToTheSameFile) {
  const std::string before = testsupport::ReadFileBytes(LogPath());
  const std::wstring writer = testsupport::ProgramFolder() + L"log_writer.exe";
  ASSERT_EQ(testsupport::RunAndWait(L"\"" + writer + L"\" first-run"), 0);
  ASSERT_EQ(testsupport::RunAndWait(L"\"" + writer + L"\" second-run"), 0);
  const std::string after = testsupport::ReadFileBytes(LogPath());
  ASSERT_GE(after.size(), before.size());
  EXPECT_EQ(after.substr(0, before.size()), before);
  const std::string added = after.substr(before.size());
  const size_t first = added.find("INFO  writer info first-run");
  const size_t second = added.find("INFO  writer info second-run");
  ASSERT_NE(first, std::string::npos) << added;
  ASSERT_NE(second, std::string::npos) << added;
  EXPECT_LT(first, second);
  EXPECT_NE(added.find("ERROR writer error second-run"), std::string::npos) << added;
}

}  // namespace
