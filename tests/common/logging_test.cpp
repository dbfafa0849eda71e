#include "common/logging.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <regex>
#include <vector>

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

// The rights the log's folder and file are created with: every user may
// read them, nobody but SYSTEM, the Administrators and the owner may change
// anything, and nothing is inherited. (Wine keeps no descriptor, so the one
// built is read back here instead of from the files.)
TEST(LoggingTest, LogRightsLetEveryUserReadAndOnlyTheOwnerChange) {
  constexpr DWORD kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                             FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (const bool folder : {true, false}) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(logging::LogSecurityDescriptor(folder),
                                                                      SDDL_REVISION_1, &descriptor, nullptr))
        << "folder " << folder << ", error " << ::GetLastError();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "folder " << folder;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    std::vector<WELL_KNOWN_SID_TYPE> changers;
    DWORD everyone = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
      ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
      PSID sid = &ace->SidStart;
      if (::IsWellKnownSid(sid, WinWorldSid)) everyone |= ace->Mask;
      if (!(ace->Mask & kChanges)) continue;
      for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerRightsSid})
        if (::IsWellKnownSid(sid, type)) changers.push_back(type);
      EXPECT_TRUE(::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                  ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid))
          << "folder " << folder << ": ACE " << i << " lets another SID change it";
    }
    EXPECT_EQ(changers.size(), 3u) << "folder " << folder;
    EXPECT_EQ(everyone & FILE_GENERIC_READ, static_cast<DWORD>(FILE_GENERIC_READ)) << "folder " << folder;
    if (folder) {
      EXPECT_TRUE(everyone & FILE_TRAVERSE);
    }
    ::LocalFree(descriptor);
  }
}

// The common documents folder of programs started from here, through the
// registry value the shell reads it from.
class CommonDocumentsRedirect {
 public:
  explicit CommonDocumentsRedirect(const std::wstring& folder) {
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                          nullptr) != ERROR_SUCCESS)
      return;
    wchar_t old[MAX_PATH] = {};
    DWORD size = sizeof old;
    had_ = ::RegQueryValueExW(key_, kValue, nullptr, &type_, reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
    old_ = old;
    Set(REG_EXPAND_SZ, folder);
  }
  ~CommonDocumentsRedirect() {
    if (!key_) return;
    if (had_)
      Set(type_, old_);
    else
      ::RegDeleteValueW(key_, kValue);
    ::RegCloseKey(key_);
  }
  CommonDocumentsRedirect(const CommonDocumentsRedirect&) = delete;
  CommonDocumentsRedirect& operator=(const CommonDocumentsRedirect&) = delete;

 private:
  static constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  static constexpr wchar_t kValue[] = L"Common Documents";
  void Set(DWORD type, const std::wstring& text) {
    ::RegSetValueExW(key_, kValue, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  HKEY key_ = nullptr;
  DWORD type_ = REG_EXPAND_SZ;
  bool had_ = false;
  std::wstring old_;
};

// The names of the files in `folder` that begin with `prefix`.
std::vector<std::wstring> FilesStartingWith(const std::wstring& folder, const std::wstring& prefix) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((folder + prefix + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(entry.cFileName);
  while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

// A link planted at the log file or at its folder (a host symbolic link, or
// a hard link: a second name of another file) is never written through:
// the records go to a fresh file beside it, or nowhere when the folder is the
// link; the link and what it leads to stay as they were.
TEST(LoggingTest, TheLogFollowsNoLink) {
  enum class Goes { kToTheLog, kToAFreshFile, kNowhere };
  enum class Plant { kNothing, kNoFolder, kFileSymlink, kDanglingFileSymlink, kFileHardLink, kFolderSymlink };
  const struct {
    const char* name;
    Plant plant;
    Goes goes;
  } cases[] = {
      {"a plain log", Plant::kNothing, Goes::kToTheLog},
      {"no log folder yet", Plant::kNoFolder, Goes::kToTheLog},
      {"a symbolic link at the file", Plant::kFileSymlink, Goes::kToAFreshFile},
      {"a symbolic link at the file to no file", Plant::kDanglingFileSymlink, Goes::kToAFreshFile},
      {"a hard link at the file", Plant::kFileHardLink, Goes::kToAFreshFile},
      {"a symbolic link at the folder", Plant::kFolderSymlink, Goes::kNowhere},
  };
  const std::wstring writer = testsupport::ProgramFolder() + L"log_writer.exe";
  const std::string kTargetText = "a file the log must not reach\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder scratch(L"orvloglink");
    const std::wstring docs = scratch.path() + L"docs\\";
    const std::wstring folder = docs + L"Orvanta\\";
    const std::wstring elsewhere = scratch.path() + L"elsewhere\\";
    const std::wstring target = elsewhere + L"target.log";
    ASSERT_TRUE(::CreateDirectoryW(docs.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(testsupport::WriteFileBytes(target, kTargetText));
    if (c.plant == Plant::kFolderSymlink) {
      ASSERT_TRUE(testsupport::PlantLink(docs + L"Orvanta", scratch.path() + L"elsewhere"));
    } else if (c.plant != Plant::kNoFolder) {
      ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    }
    switch (c.plant) {
      case Plant::kNothing:
        ASSERT_TRUE(testsupport::WriteFileBytes(folder + L"ovlog.log", "an earlier record\n"));
        break;
      case Plant::kFileSymlink:
        ASSERT_TRUE(testsupport::PlantLink(folder + L"ovlog.log", target));
        break;
      case Plant::kDanglingFileSymlink:
        // PlantLink waits for a link that leads somewhere: the target goes afterwards.
        ASSERT_TRUE(testsupport::PlantLink(folder + L"ovlog.log", target));
        ASSERT_TRUE(::DeleteFileW(target.c_str()));
        break;
      case Plant::kFileHardLink:
        ASSERT_TRUE(testsupport::PlantHardLink(folder + L"ovlog.log", target));
        break;
      default:
        break;
    }

    const std::string marker = UniqueMarker("links");
    {
      CommonDocumentsRedirect redirect(scratch.path() + L"docs");
      ASSERT_EQ(testsupport::RunAndWait(L"\"" + writer + L"\" " + std::wstring(marker.begin(), marker.end())), 0);
    }

    const std::string record = "INFO  writer info " + marker;
    if (c.plant == Plant::kDanglingFileSymlink) {
      EXPECT_FALSE(testsupport::FileExists(target)) << "the log was created through the link";
    } else {
      EXPECT_EQ(testsupport::ReadFileBytes(target), kTargetText) << "the log was written through the link";
    }
    const std::vector<std::wstring> fresh = FilesStartingWith(folder, L"ovlog-");
    switch (c.goes) {
      case Goes::kToTheLog:
        EXPECT_NE(testsupport::ReadFileBytes(folder + L"ovlog.log").find(record), std::string::npos);
        EXPECT_TRUE(fresh.empty());
        break;
      case Goes::kToAFreshFile: {
        ASSERT_EQ(fresh.size(), 1u);
        const std::string written = testsupport::ReadFileBytes(folder + fresh[0]);
        EXPECT_NE(written.find(record), std::string::npos) << written;
        const std::wstring link = folder + L"ovlog.log";
        EXPECT_NE(written.find(std::string(link.begin(), link.end())), std::string::npos) << "no record names the link";
        break;
      }
      case Goes::kNowhere:
        EXPECT_TRUE(FilesStartingWith(elsewhere, L"ovlog").empty()) << "the log was created through the link";
        EXPECT_TRUE(testsupport::IsLinkTo(docs + L"Orvanta", scratch.path() + L"elsewhere"));
        break;
    }
    if (c.plant == Plant::kFileSymlink) {
      EXPECT_TRUE(testsupport::IsLinkTo(folder + L"ovlog.log", target));
    }
  }
}

}  // namespace
