// Tests of the install driver. This program carries the small test package
// appended to its own file, as the installer does, so the driver finds it.

#include "libinstall/install.h"
#include "libinstall/versionfolder.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/log_tail.h"
#include "common/protected_rights.h"
#include "common/scoped_handle.h"
#include "support/test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::TempFolder;

TEST(VersionFolderName, WholeNameMustMatchThePattern) {
  for (const wchar_t* name : {L"7.19.02N", L"12.05.31N", L"7x19y02N", L"0.00.00N"})
    EXPECT_TRUE(IsVersionFolderName(name)) << name;
  for (const wchar_t* name : {L"7.19.02T", L"7.19.2N", L"new", L"7.19.02n", L"123.05.31N", L"7.19.02N.bak",
                              L" 7.19.02N", L"", L"7.19.02\x4E2D"})
    EXPECT_FALSE(IsVersionFolderName(name)) << name;
}

TEST(StaticConfig, FirstVersionItemIsTakenAsWritten) {
  EXPECT_EQ(ReadVersionString("\xEF\xBB\xBF<staticconfigs><version_context build=\"1\"/><!-- c -->"
                              "<item id=\"ExeFileName\">Orvanta.exe</item>"
                              "<item id=\"OVVersionString\">7.19.02N</item>"
                              "<item id=\"OVVersionString\">9.99.99N</item></staticconfigs>"),
            L"7.19.02N");
  EXPECT_EQ(ReadVersionString("<staticconfigs><item id=\"OVVersionString\"> 7.19.\xE7\x89\x88 </item></staticconfigs>"),
            L" 7.19.\x7248 ");
}

TEST(StaticConfig, NoVersionWhenTheDocumentDoesNotLeadToIt) {
  for (const char* xml : {"", "<staticconfigs/>", "<other><item id=\"OVVersionString\">7.19.02N</item></other>",
                          "<staticconfigs><item>x</item><item id=\"OVVersionString\">7.19.02N</item></staticconfigs>",
                          "<staticconfigs><item id=\"ovversionstring\">7.19.02N</item></staticconfigs>",
                          "<staticconfigs><entry id=\"OVVersionString\">7.19.02N</entry></staticconfigs>",
                          "<staticconfigs><item id=\"OVVersionString\">7.19.02N</item>"})
    EXPECT_EQ(ReadVersionString(xml), L"") << xml;
}

TEST(StaticConfig, VersionMustNameAFolderBelowTheInstallFolder) {
  for (const wchar_t* version : {L"7.19.02N", L"7.19.02T", L"v 1"}) EXPECT_TRUE(IsUsableVersion(version)) << version;
  for (const wchar_t* version : {L"", L".", L"..", L"...", L".. ", L"7.19.", L"a\\b", L"..\\..\\Windows", L"C:x",
                                 L"a/b", L"a\tb"})
    EXPECT_FALSE(IsUsableVersion(version)) << version;
}

// Records every report with the thread it came on.
class Recorder : public IInstallCallBack {
 public:
  struct Report {
    int stage;  // -1 for OnPackageSize
    int total;
    int current;
    DWORD thread;
  };

  void OnInstallProgress(int stage, int total, int current) override { Add({stage, total, current, ::GetCurrentThreadId()}); }
  void OnPackageSize(unsigned size) override { Add({-1, static_cast<int>(size), 0, ::GetCurrentThreadId()}); }

  std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

  // Waits until `count` reports of `stage` have arrived.
  bool WaitFor(int stage, size_t count) {
    for (int i = 0; i < 200; ++i) {
      size_t seen = 0;
      for (const Report& report : reports()) seen += report.stage == stage;
      if (seen >= count) return true;
      ::Sleep(50);
    }
    return false;
  }

 private:
  void Add(const Report& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(report);
  }
  std::mutex mutex_;
  std::vector<Report> reports_;
};

constexpr int kItemCount = 6;  // the files of the small package

// Bytes of every file below a folder: the package's total unpacked size.
uint64_t TreeSize(const std::wstring& folder) {
  uint64_t size = 0;
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      size += TreeSize(folder + name + L"\\");
    else
      size += testsupport::FileSize(folder + name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return size;
}

// Every file below `folder` with its bytes, by path relative to it.
std::map<std::wstring, std::string> FilesBelow(const std::wstring& folder, const std::wstring& relative = L"") {
  std::map<std::wstring, std::string> files;
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + relative + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      files.merge(FilesBelow(folder, relative + name + L"\\"));
    else
      files[relative + name] = testsupport::ReadFileBytes(folder + relative + name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return files;
}

std::wstring SmallPackage() {
  return testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR") + L"tests\\installer\\packages\\small\\";
}

// What an installation of the small package leaves in its folder, and
// nothing more: the install-folder items at the top, the version-folder items
// in the version folder, and there the library's copy that the installer makes.
std::map<std::wstring, std::string> SmallPackageInstalled() {
  std::map<std::wstring, std::string> files = FilesBelow(SmallPackage() + L"install-folder\\");
  for (const auto& [path, bytes] : FilesBelow(SmallPackage() + L"version-folder\\")) files[L"7.19.02N\\" + path] = bytes;
  files[L"7.19.02N\\Quorix.zk"] = files[L"7.19.02N\\Quorix.dll"];
  return files;
}

// A version folder of the application's as an installation leaves it:
// its static configuration names its version.
void MakeVersionFolder(const std::wstring& install_folder, const std::wstring& version) {
  const std::wstring folder = install_folder + version + L"\\";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  ::CreateDirectoryW((folder + L"configurations").c_str(), nullptr);
  testsupport::WriteFileBytes(folder + kStaticConfigPath, "<staticconfigs><item id=\"OVVersionString\">" +
                                                              std::string(version.begin(), version.end()) +
                                                              "</item></staticconfigs>");
}

TEST(InstallDriver, ReportsEveryStageInOrderOnWorkerThreads) {
  TempFolder folder(L"orvdriver");
  Recorder recorder;
  CInstall install;
  ASSERT_EQ(install.Init(&recorder, DecompressStart::kInBackground), 1);
  // Decompression runs before the installation starts.
  ASSERT_TRUE(recorder.WaitFor(0, kItemCount));
  install.SetInstallPath((folder.path() + L"inst").c_str());
  ASSERT_EQ(install.StartInstall(1), 1);
  EXPECT_EQ(install.GetOutcome(), InstallOutcome::kFinished);

  std::vector<int> stages;
  std::vector<int> decompressed, written;
  for (const Recorder::Report& report : recorder.reports()) {
    EXPECT_NE(report.thread, ::GetCurrentThreadId());
    if (stages.empty() || stages.back() != report.stage) stages.push_back(report.stage);
    if (report.stage == kStageDecompressing) decompressed.push_back(report.current);
    if (report.stage == kStageWritten) written.push_back(report.current);
    if (report.stage == kStageDecompressing || report.stage == kStageWritten) {
      EXPECT_EQ(report.total, kItemCount);
    } else if (report.stage > kStageWritten) {
      EXPECT_EQ(report.total + report.current, 0);
    }
  }
  EXPECT_EQ(stages, (std::vector<int>{-1, kStageDecompressing, kStageWritten, kStageSetupConfig, kStageFinished}));
  const std::vector<int> indices = {0, 1, 2, 3, 4, 5};
  EXPECT_EQ(decompressed, indices);
  EXPECT_EQ(written, indices);
  EXPECT_EQ(static_cast<uint64_t>(recorder.reports().front().total), TreeSize(SmallPackage()));

  EXPECT_EQ(FilesBelow(folder.path() + L"inst\\"), SmallPackageInstalled());
  EXPECT_FALSE(FolderExists(folder.path() + L"inst\\{VersionNameFolder}"));
}

TEST(InstallDriver, SkippedSetupConfigurationAndNoCallback) {
  TempFolder folder(L"orvdriver");
  Recorder recorder;
  CInstall install;
  install.Init(&recorder, DecompressStart::kInBackground);
  install.SetSkipSetupConfig(1);
  install.SetInstallPath((folder.path() + L"inst\\").c_str());
  ASSERT_EQ(install.StartInstall(1), 1);
  EXPECT_EQ(install.GetOutcome(), InstallOutcome::kFinished);
  for (const Recorder::Report& report : recorder.reports()) EXPECT_NE(report.stage, kStageSetupConfig);
  EXPECT_EQ(recorder.reports().back().stage, kStageFinished);
  EXPECT_EQ(FilesBelow(folder.path() + L"inst\\"), SmallPackageInstalled());

  CInstall silent;
  silent.Init(nullptr, DecompressStart::kOnInstall);
  silent.SetInstallPath((folder.path() + L"silent").c_str());
  ASSERT_EQ(silent.StartInstall(1), 1);
  EXPECT_EQ(silent.GetOutcome(), InstallOutcome::kFinished);
  EXPECT_EQ(FilesBelow(folder.path() + L"silent\\"), SmallPackageInstalled());
}

// A file where the version folder belongs: the files cannot be moved there,
// so the installation fails before anything of an earlier one is removed.
TEST(InstallDriver, VersionFolderTakenByAFileFailsBeforeTheSwitch) {
  TempFolder folder(L"orvdriver");
  ASSERT_TRUE(testsupport::WriteFileBytes(folder.path() + L"7.19.02N", "a file"));
  ASSERT_TRUE(::CreateDirectoryW((folder.path() + L"7.18.01N").c_str(), nullptr));
  ASSERT_TRUE(testsupport::WriteFileBytes(folder.path() + L"7.18.01N\\Quorix.dll", "older version"));
  Recorder recorder;
  CInstall install;
  install.Init(&recorder, DecompressStart::kOnInstall);
  install.SetInstallPath(folder.path().c_str());
  ASSERT_EQ(install.StartInstall(1), 1);
  EXPECT_EQ(install.GetOutcome(), InstallOutcome::kFailed);
  EXPECT_EQ(recorder.reports().back().stage, kStageFailed);
  EXPECT_EQ(testsupport::ReadFileBytes(folder.path() + L"7.19.02N"), "a file");
  EXPECT_EQ(testsupport::ReadFileBytes(folder.path() + L"7.18.01N\\Quorix.dll"), "older version");
  EXPECT_FALSE(FileExists(folder.path() + L"App.txt"));
  EXPECT_FALSE(FolderExists(folder.path() + L"{VersionNameFolder}"));
}

// Into an empty folder the files are not flushed one by one as they are
// written. A version folder that appears there during the write-out is
// replaced only after the written files were flushed; a written file that
// cannot be flushed (held against writing) fails the installation before
// the switch, and the folder keeps what it held.
TEST(InstallDriver, EntryAppearingDuringTheWriteOutIsReplacedOnlyAfterTheFlush) {
  class PlantingRecorder : public Recorder {
   public:
    explicit PlantingRecorder(std::function<void()> plant) : plant_(std::move(plant)) {}
    void OnInstallProgress(int stage, int total, int current) override {
      if (stage == kStageWritten && current == kItemCount - 1) plant_();
      Recorder::OnInstallProgress(stage, total, current);
    }

   private:
    std::function<void()> plant_;
  };
  for (const bool hold : {false, true}) {
    SCOPED_TRACE(hold ? "a written file held against writing" : "every written file can be flushed");
    TempFolder folder(L"orvdriver");
    const std::wstring install_folder = folder.path() + L"inst\\";
    ScopedHandle held;
    PlantingRecorder recorder([&] {
      MakeVersionFolder(install_folder, L"7.19.02N");
      testsupport::WriteFileBytes(install_folder + L"7.19.02N\\old.txt", "older");
      if (hold)
        *held.receive() = ::CreateFileW((install_folder + L"{VersionNameFolder}\\data\\notes.txt").c_str(),
                                        GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    });
    LogTail log;
    CInstall install;
    install.Init(&recorder, DecompressStart::kInBackground);  // it reports each written file
    install.SetInstallPath(install_folder.c_str());
    ASSERT_EQ(install.StartInstall(1), 1);
    EXPECT_EQ(log.Count("安装目录为空，写出的文件不逐个写入磁盘"), 1u) << log.Added();
    EXPECT_EQ(log.Count("安装目录中有要替换的条目，先将写出的文件写入磁盘"), 1u) << log.Added();
    if (hold) {
      EXPECT_TRUE(held.valid());
      EXPECT_EQ(install.GetOutcome(), InstallOutcome::kFailed);
      EXPECT_EQ(testsupport::ReadFileBytes(install_folder + L"7.19.02N\\old.txt"), "older");
      EXPECT_FALSE(FileExists(install_folder + L"App.txt"));
    } else {
      EXPECT_EQ(install.GetOutcome(), InstallOutcome::kFinished);
      EXPECT_EQ(FilesBelow(install_folder), SmallPackageInstalled());
    }
  }
}

// An installation that outlives the wait is stopped, not ended by force:
// before the switch it removes what it wrote, and the earlier installation
// stays as it was.
TEST(InstallDriver, InstallationThatOutlivesTheWaitIsStoppedBeforeTheSwitch) {
  TempFolder folder(L"orvdriver");
  const std::wstring version_folder = folder.path() + L"7.19.02N\\";
  ASSERT_TRUE(::CreateDirectoryW(version_folder.c_str(), nullptr));
  ASSERT_TRUE(testsupport::WriteFileBytes(version_folder + L"Quorix.dll", "old"));
  ASSERT_TRUE(testsupport::WriteFileBytes(folder.path() + L"Orvanta.ini", "[Common]\r\nVersion=7.19.02N\r\n"));

  Recorder recorder;
  CInstall install(1);
  install.Init(&recorder, DecompressStart::kOnInstall);
  install.SetInstallPath(folder.path().c_str());
  ASSERT_EQ(install.StartInstall(1), 1);
  EXPECT_EQ(install.GetOutcome(), InstallOutcome::kStopped);
  EXPECT_EQ(recorder.reports().back().stage, kStageFailed);
  EXPECT_EQ(testsupport::ReadFileBytes(version_folder + L"Quorix.dll"), "old");
  EXPECT_EQ(testsupport::ReadFileBytes(folder.path() + L"Orvanta.ini"), "[Common]\r\nVersion=7.19.02N\r\n");
  for (const wchar_t* leftover : {L"{VersionNameFolder}", L"{ReplacedItems}", L"{SetupJournal}", L"App.txt"})
    EXPECT_FALSE(FileExists(folder.path() + leftover)) << leftover;
}

// The rights of the entries the installer makes for its work: SYSTEM and
// Administrators full control, Users read and execute, each for the folder
// and all below it, and nothing inherited from above. (Wine keeps no rights
// on files, so the descriptor itself is what can be checked here.)
TEST(ProtectedRights, OnlySystemAndAdministratorsMayChangeWhatTheyProtect) {
  ProtectedRights rights;
  ASSERT_TRUE(rights.valid());
  ASSERT_NE(rights.attributes(), nullptr);
  EXPECT_EQ(rights.attributes()->lpSecurityDescriptor, rights.descriptor());
  EXPECT_FALSE(rights.attributes()->bInheritHandle);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(rights.descriptor(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(rights.descriptor(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl);
  ACL_SIZE_INFORMATION size = {};
  ASSERT_TRUE(::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation));
  std::map<std::wstring, ACCESS_MASK> granted;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidW(&allowed->SidStart, &sid));
    granted[sid] |= allowed->Mask;
    ::LocalFree(sid);
  }
  const std::map<std::wstring, ACCESS_MASK> expected = {
      {L"S-1-5-18", FILE_ALL_ACCESS},      // SYSTEM
      {L"S-1-5-32-544", FILE_ALL_ACCESS},  // Administrators
      {L"S-1-5-32-545", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},  // Users
  };
  EXPECT_EQ(granted, expected);
  constexpr ACCESS_MASK kAnyWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                    FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  EXPECT_EQ(granted[L"S-1-5-32-545"] & kAnyWrite, 0u);
  EXPECT_FALSE(LetsOtherUsersWrite(dacl));
}

// When an existing install folder lets Users, Authenticated Users or
// Everyone write into it (also only into what it holds), the installer says so.
TEST(ProtectedRights, FoldersOtherUsersMayWriteIntoAreTold) {
  const struct {
    const wchar_t* rights;
    bool writable;
  } cases[] = {
      {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
      {L"D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", false},  // one user of its own
      {L"D:(A;;0x2;;;BU)", true},                        // Users may add files
      {L"D:(A;;0x4;;;AU)", true},                        // Authenticated Users may add folders
      {L"D:(A;OICIIO;0x1301bf;;;AU)", true},             // ... may change what it holds
      {L"D:(A;;0x40000;;;WD)", true},                    // Everyone may change its rights
      {L"D:(A;;0x10000000;;;WD)", true},                 // Everyone: generic all
      {L"D:(D;;FA;;;WD)(A;;0x1200a9;;;WD)", false},
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.rights, SDDL_REVISION_1, &descriptor, nullptr))
        << testing::PrintToString(std::wstring(c.rights));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_EQ(LetsOtherUsersWrite(dacl), c.writable) << testing::PrintToString(std::wstring(c.rights));
    ::LocalFree(descriptor);
  }
  EXPECT_TRUE(LetsOtherUsersWrite(nullptr));  // no DACL: everyone may do everything
}

// The text of the first record `prefix` logged since `log` began, up to its
// line end; empty once `limit_ms` passed without one.
std::string WaitForRecord(const LogTail& log, const std::string& prefix, DWORD limit_ms) {
  for (DWORD waited = 0; waited < limit_ms; waited += 50) {
    const std::string added = log.Added();
    const size_t at = added.find(prefix);
    const size_t end = at == std::string::npos ? at : added.find_first_of("\r\n", at);
    if (end != std::string::npos) return added.substr(at + prefix.size(), end - at - prefix.size());
    ::Sleep(50);
  }
  return {};
}

std::wstring Wide(const std::string& ansi) {
  std::wstring wide(ansi.size(), L'\0');
  wide.resize(::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                                    static_cast<int>(wide.size())));
  return wide;
}

// An update's write-out that meets something planted in the extraction
// folder while it runs (stopped by the writer's pause hook before its first
// file), or whose flush of a written file fails: the installation fails
// before the switch, nothing is written through a link or into the file
// planted, and the earlier installation stays byte for byte.
TEST(InstallDriver, AnUpdateWhoseWriteOutMeetsAPlantOrAFailedFlushChangesNothing) {
  TempFolder folder(L"orvdriver");
  TempFolder elsewhere(L"orvvictim");
  const std::wstring install_folder = folder.path() + L"inst\\";
  const std::wstring extraction = install_folder + L"{VersionNameFolder}\\";
  const std::wstring victim = elsewhere.path() + L"victim.txt";
  const std::wstring resume = folder.path() + L"resume";
  {
    CInstall first;
    first.Init(nullptr, DecompressStart::kOnInstall);
    first.SetInstallPath(install_folder.c_str());
    ASSERT_EQ(first.StartInstall(1), 1);
    ASSERT_EQ(first.GetOutcome(), InstallOutcome::kFinished);
  }
  const std::map<std::wstring, std::string> installed = FilesBelow(install_folder);
  // The package file that the paused write-out was about to create.
  const auto source_of = [&](const std::wstring& target) {
    const std::wstring relative = target.substr(extraction.size());
    const std::wstring staged = L"{InstallFolderItems}\\";
    return relative.compare(0, staged.size(), staged) == 0
               ? SmallPackage() + L"install-folder\\" + relative.substr(staged.size())
               : SmallPackage() + L"version-folder\\" + relative;
  };
  const struct {
    const char* name;
    // Plants at the paused file `target`; gives what it planted (null: no pause).
    std::function<std::wstring(const std::wstring& target)> plant;
    const char* flush_fails_at;
    const char* record;
  } cases[] = {
      {"a link at the file's name to a file elsewhere",
       [&](const std::wstring& target) { return testsupport::PlantLink(target, victim) ? target : L""; }, nullptr,
       "目标位置已有条目，不写入："},
      {"a hard link at the file's name to a file elsewhere",
       [&](const std::wstring& target) { return ::CreateHardLinkW(target.c_str(), victim.c_str(), nullptr) ? target : L""; },
       nullptr, "目标位置已有条目，不写入："},
      {"a read-only file of the item's size at the file's name",
       [&](const std::wstring& target) {
         const std::string planted(testsupport::FileSize(source_of(target)), 'p');
         return testsupport::WriteFileBytes(target, planted) &&
                        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY)
                    ? target
                    : L"";
       },
       nullptr, "目标位置已有条目，不写入："},
      {"a link to a folder elsewhere where a folder not made yet goes",
       [&](const std::wstring& target) {
         const std::wstring link = extraction + (target.find(L"{InstallFolderItems}") == std::wstring::npos
                                                     ? L"{InstallFolderItems}"
                                                     : L"data");
         return testsupport::PlantLink(link, elsewhere.path().substr(0, elsewhere.path().size() - 1)) ? link : L"";
       },
       nullptr, "目标位置已有条目，不写入："},
      {"the flush of a written file fails", nullptr, "3", "测试：写入磁盘失败于:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(testsupport::WriteFileBytes(victim, "victim"));
    ::DeleteFileW(resume.c_str());
    ::SetEnvironmentVariableW(L"ORV_TEST_WRITER_PAUSE_AT", c.plant ? L"1" : nullptr);
    ::SetEnvironmentVariableW(L"ORV_TEST_WRITER_CONTINUE", resume.c_str());
    ::SetEnvironmentVariableW(L"ORV_TEST_FLUSH_FAIL_AT", c.flush_fails_at ? Wide(c.flush_fails_at).c_str() : nullptr);
    LogTail log;
    std::wstring planted;
    std::thread planter([&] {
      if (c.plant) planted = c.plant(Wide(WaitForRecord(log, "测试：写出暂停于:", 30000)));
      testsupport::WriteFileBytes(resume, "go");
    });
    CInstall update;
    update.Init(nullptr, DecompressStart::kOnInstall);
    update.SetInstallPath(install_folder.c_str());
    ASSERT_EQ(update.StartInstall(1), 1);
    planter.join();
    for (const wchar_t* hook : {L"ORV_TEST_WRITER_PAUSE_AT", L"ORV_TEST_WRITER_CONTINUE", L"ORV_TEST_FLUSH_FAIL_AT"})
      ::SetEnvironmentVariableW(hook, nullptr);
    if (c.plant) {
      EXPECT_FALSE(planted.empty()) << "nothing planted";
    }
    EXPECT_EQ(update.GetOutcome(), InstallOutcome::kFailed);
    EXPECT_NE(log.Added().find(c.record), std::string::npos) << log.Added();
    EXPECT_EQ(log.Count("安装完成，通知界面"), 0u);
    EXPECT_EQ(testsupport::ReadFileBytes(victim), "victim");
    EXPECT_FALSE(FileExists(elsewhere.path() + L"App.txt"));
    EXPECT_FALSE(FileExists(elsewhere.path() + L"notes.txt"));
    // What the clean-up could not take (a link Wine reaches only through its
    // target) aside, the earlier installation is as it was.
    if (!planted.empty()) {
      testsupport::RemoveHostLink(planted);
      ::SetFileAttributesW(planted.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(planted.c_str());
    }
    if (FolderExists(extraction)) testsupport::RemoveTree(extraction);
    EXPECT_EQ(FilesBelow(install_folder), installed);
  }
}

}  // namespace
