// The uninstall driver on staged install folders: version reading, the
// removal list, the keep set, the reports and what stays behind.

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/scoped_handle.h"
#include "common/setup_mutex.h"
#include "common/utilfunc.h"
#include "libinstall/installstrategy.h"
#include "support/test_support.h"
#include "libinstall/versionfolder.h"
#include "uninstall/removal_paths.h"
#include "uninstall/uninstall.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::TempFolder;
using testsupport::WriteFileBytes;

class RecordingCallBack : public IUnInstallCallBack {
 public:
  void OnUnInstallProgress(int stage, const wchar_t* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reports.emplace_back(stage, text);
  }
  std::vector<std::pair<int, std::wstring>> reports;

 private:
  std::mutex mutex_;
};

std::string Utf8(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  out.pop_back();
  return out;
}

void Touch(const std::wstring& path) { ASSERT_TRUE(WriteFileBytes(path, "x")) << Utf8(path); }
void MakeFolder(const std::wstring& path) { ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

std::wstring AppDataFolder() { return UtilFunc::GetSpecialFolder(CSIDL_APPDATA) + L"\\Orvanta\\"; }

// A rule file whose uninstall section lists `items` (inner XML).
std::string RuleFile(const std::string& items, const std::string& tail = "<uninstallflag file=\"$INSTDIR\\u.flag\"/>") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<setup><uninstall><file>" + items + "</file>" + tail +
         "</uninstall></setup>\n";
}

// An install folder with the settings file naming `version`, the version
// folder with its rule file, and the uninstaller's own file.
struct StagedInstall {
  explicit StagedInstall(const std::wstring& version, const std::string& rules = RuleFile(
      "<item path=\"$INSTDIR\\$VERSION\"/><item path=\"$INSTDIR\\Orvanta.ini\"/><item path=\"$INSTDIR\\Orvanta.exe\"/>"))
      : folder(temp.path()), version(version) {
    WriteFileBytes(folder + L"Orvanta.ini", "[Common]\r\nVersion=" + Utf8(version) + "\r\n");
    MakeFolder(folder + version + L"\\lib\\sub");
    WriteFileBytes(folder + version + L"\\setup.xml", rules);
    Touch(folder + version + L"\\Quorix.dll");
    Touch(folder + version + L"\\lib\\sub\\data.bin");
    Touch(folder + L"Orvanta.exe");
    Touch(folder + L"Uninstall.exe");
  }

  // Runs a driver over the folder that keeps the uninstaller's own file.
  UnInstallOutcome Remove(RecordingCallBack* callback = nullptr) {
    CUninstall driver(folder);
    driver.SetCallBack(callback);
    driver.AddExcludePath(folder + L"Uninstall.exe");
    EXPECT_EQ(1, driver.StartUnInstall(1));
    flagFile = driver.FlagFile();
    return driver.GetOutcome();
  }

  TempFolder temp{L"orvuninst"};
  std::wstring folder;
  std::wstring version;
  std::wstring flagFile;
};

TEST(VersionFolderNameTest, MatchesTheWholeNameOnly) {
  for (const wchar_t* name : {L"7.19.02N", L"12.05.31N", L"7x19-02N", L"0.00.00N"})
    EXPECT_TRUE(IsVersionFolderName(name)) << Utf8(name);
  for (const wchar_t* name : {L"7.19.02n", L"7.19N", L"7.19.2N", L"new", L"123.45.67N", L"7.19.02N1", L"a7.19.02N",
                              L"7.19.02T", L"", L"7中19.02N", L"7\uac0019\uac0002N", L"7\U0001F60019.02N", L"7\u044819.02N"})
    EXPECT_FALSE(IsVersionFolderName(name)) << Utf8(name);
}

TEST(RemovalListTest, ReadsFileItemsThenTheFlag) {
  TempFolder temp;
  SetupVariables::Set(SetupVariables::kInstDir, L"C:\\Inst");
  SetupVariables::Set(SetupVariables::kVersion, L"7.19.02N");
  const std::wstring rules = temp.path() + L"setup.xml";
  std::wstring flag;

  WriteFileBytes(rules, RuleFile("<item path=\"$INSTDIR\\$VERSION\"/><!-- c --><item/>"));
  EXPECT_EQ(std::vector<std::wstring>{L"C:\\Inst\\7.19.02N"}, uninstall::ReadRemovalList(rules, &flag));
  EXPECT_EQ(L"", flag);  // the comment without attributes ended the reading

  WriteFileBytes(rules, RuleFile("<item path=\"$INSTDIR\\a b.txt\"/><item other=\"1\"/><x path=\"'q'\"/>", ""));
  EXPECT_EQ((std::vector<std::wstring>{L"C:\\Inst\\a b.txt", L"\"q\""}), uninstall::ReadRemovalList(rules, &flag));

  WriteFileBytes(rules, RuleFile("<item path=\"$INSTDIR\\\xe5\x8d\xb8.txt\"/>"));
  EXPECT_EQ(std::vector<std::wstring>{L"C:\\Inst\\\u5378.txt"}, uninstall::ReadRemovalList(rules, &flag));
  EXPECT_EQ(L"$INSTDIR\\u.flag", flag);  // stored as written

  WriteFileBytes(rules, RuleFile("<item/><item path=\"x\"/>"));
  EXPECT_TRUE(uninstall::ReadRemovalList(rules, &flag).empty());
  EXPECT_TRUE(uninstall::ReadRemovalList(temp.path() + L"missing.xml", &flag).empty());
}

TEST(RemovalListTest, EntriesThatLeaveTheInstallFolderAreRefused) {
  const std::wstring x = L"C:\\Inst\\";
  const struct {
    const wchar_t* entry;
    const wchar_t* resolved;  // null: refused
  } cases[] = {
      {L"C:\\Inst\\Orvanta.exe", L"C:\\Inst\\Orvanta.exe"},
      {L"C:/Inst/7.19.02N/lib", L"C:\\Inst\\7.19.02N\\lib"},
      {L"c:\\inst\\a\\..\\b\\.\\c\\\\d\\", L"C:\\Inst\\b\\c\\d"},
      {L"C:\\Inst", L"C:\\Inst"},
      {L"C:\\Inst\\a\\..", L"C:\\Inst"},
      {L"C:\\Inst\\..\\..\\x", nullptr},
      {L"C:\\Inst\\a\\..\\..\\Other", nullptr},
      {L"C:\\Inst/../Inst2", nullptr},
      {L"C:\\Inst\\a/../../x", nullptr},
      {L"C:\\Other\\..\\Inst\\x", nullptr},
      {L"C:\\Other\\file.txt", L"C:\\Other\\file.txt"},  // outside, but not through ".."
      {L"C:\\Inst\\a..b", L"C:\\Inst\\a..b"},
      {L"C:\\Installed\\x", L"C:\\Installed\\x"},
  };
  for (const auto& c : cases) {
    const auto resolved = uninstall::ResolveListedPath(x, c.entry);
    if (c.resolved)
      EXPECT_EQ(std::optional<std::wstring>(c.resolved), resolved) << Utf8(c.entry);
    else
      EXPECT_FALSE(resolved) << Utf8(c.entry) << " -> " << Utf8(resolved.value_or(L""));
  }
}

// A listed path that leaves the install folder through ".." removes nothing
// there, while the rest of the list goes.
TEST(DriverTest, AListedPathOutOfTheInstallFolderStays) {
  TempFolder victim(L"orvvictim");
  Touch(victim.path() + L"precious.txt");
  std::wstring victimName = victim.path().substr(0, victim.path().size() - 1);
  victimName = victimName.substr(victimName.find_last_of(L'\\') + 1);
  StagedInstall install(L"7.19.02N",
                        RuleFile("<item path=\"$INSTDIR/../" + Utf8(victimName) + "\"/><item path=\"$INSTDIR\\$VERSION\"/>"
                                 "<item path=\"$INSTDIR/Orvanta.exe\"/>"));
  install.Remove();
  EXPECT_TRUE(FileExists(victim.path() + L"precious.txt"));
  EXPECT_FALSE(FileExists(install.folder + L"Orvanta.exe"));
  EXPECT_FALSE(FolderExists(install.folder + L"7.19.02N"));
}

TEST(DriverTest, RemovesListedPathsAndVersionFoldersAndReportsEachDeletedFile) {
  StagedInstall install(L"7.19.02N");
  const std::wstring& x = install.folder;
  for (const wchar_t* name : {L"7.18.01N", L"12.05.31N", L"7x18y01N", L"7.17.01n", L"7.18N", L"data", L"10.20.30N",
                              L"7.16.01N"}) {
    MakeFolder(x + name);
    Touch(x + name + L"\\f.txt");
  }
  // The application's older versions name themselves; a version-named
  // folder of the user's has no static configuration, or one of another version.
  for (const wchar_t* name : {L"7.18.01N", L"12.05.31N", L"7x18y01N", L"7.16.01N"}) {
    MakeFolder(x + name + L"\\configurations");
    const std::wstring named = wcscmp(name, L"7.16.01N") == 0 ? L"7.99.99N" : name;
    WriteFileBytes(x + name + L"\\" + kStaticConfigPath,
                   "<staticconfigs><item id=\"OVVersionString\">" + Utf8(named) + "</item></staticconfigs>");
  }
  Touch(x + L"7.17.00N");  // a file of the pattern's form is no version folder

  RecordingCallBack callback;
  install.Remove(&callback);

  for (const wchar_t* gone : {L"7.19.02N", L"7.18.01N", L"12.05.31N", L"7x18y01N"})
    EXPECT_FALSE(FolderExists(x + gone)) << Utf8(gone);
  for (const wchar_t* kept : {L"7.17.01n", L"7.18N", L"data", L"10.20.30N", L"7.16.01N"})
    EXPECT_TRUE(FileExists(x + kept + L"\\f.txt")) << Utf8(kept);
  EXPECT_TRUE(FileExists(x + L"7.17.00N"));
  EXPECT_FALSE(FileExists(x + L"Orvanta.ini"));
  EXPECT_FALSE(FileExists(x + L"Orvanta.exe"));
  EXPECT_TRUE(FileExists(x + L"Uninstall.exe"));
  EXPECT_EQ(L"$INSTDIR\\u.flag", install.flagFile);

  // Stage 1 first, stage 3 last, one empty stage 2 between the per-user data
  // and the listed paths, and a stage-2 report with the full path of every
  // file deleted inside a folder (the listed plain files are not reported).
  const auto& reports = callback.reports;
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(std::make_pair(1, std::wstring()), reports.front());
  EXPECT_EQ(std::make_pair(3, std::wstring()), reports.back());
  std::vector<std::wstring> files;
  int emptyStageTwo = 0;
  for (size_t i = 1; i + 1 < reports.size(); ++i) {
    EXPECT_EQ(2, reports[i].first);
    if (reports[i].second.empty())
      ++emptyStageTwo;
    else if (emptyStageTwo)
      files.push_back(reports[i].second);
  }
  EXPECT_EQ(1, emptyStageTwo);
  const std::wstring v = x + L"7.19.02N\\";
  for (const std::wstring& file : {v + L"setup.xml", v + L"Quorix.dll", v + L"lib\\sub\\data.bin",
                                   x + L"7.18.01N\\f.txt", x + L"12.05.31N\\f.txt", x + L"7x18y01N\\f.txt",
                                   x + L"7.18.01N\\" + kStaticConfigPath})
    EXPECT_EQ(1, std::count(files.begin(), files.end(), file)) << Utf8(file);
  EXPECT_EQ(9u, files.size());
}

TEST(DriverTest, KeptPathProtectsItselfAndItsFoldersButNotItsSiblings) {
  // The rule file names the install folder itself, which holds the running
  // uninstaller, and a folder that holds a second kept file.
  StagedInstall install(L"7.19.02N", RuleFile("<item path=\"$INSTDIR\"/>"));
  const std::wstring& x = install.folder;
  MakeFolder(x + L"bin\\deep");
  Touch(x + L"bin\\deep\\keep.me");
  Touch(x + L"bin\\deep\\sibling.txt");
  Touch(x + L"bin\\other.txt");
  {
    CUninstall driver(x);
    driver.AddExcludePath(x + L"Uninstall.exe\\\\");
    // Written in other letters than on disk: the file system ignores case.
    driver.AddExcludePath(x + L"BIN\\Deep\\KEEP.me");
    ASSERT_EQ(1, driver.StartUnInstall(1));
  }
  EXPECT_TRUE(FileExists(x + L"Uninstall.exe"));
  EXPECT_TRUE(FileExists(x + L"bin\\deep\\keep.me"));
  EXPECT_FALSE(FileExists(x + L"bin\\deep\\sibling.txt"));
  EXPECT_FALSE(FileExists(x + L"bin\\other.txt"));
  EXPECT_FALSE(FileExists(x + L"Orvanta.exe"));
  EXPECT_FALSE(FolderExists(x + L"7.19.02N"));
}

// The per-user data of the version the settings file names goes, with a
// report for each file; another version's data stays. Only a settings file
// without a version reaches the whole data folder: a refused version, or a
// settings file that cannot be read, deletes no data at all.
TEST(DriverTest, RemovesThePerUserDataOfTheVersionAndNeverWidensIt) {
  const struct {
    const char* settings;  // null: the settings file is held open without sharing
    bool ownGoes, otherGoes;
  } cases[] = {
      {"Version=7.19.03N", true, false},          {"Other=1", true, true},
      {"Version=7.19.03N.", false, false},        {"Version=7.19.03N..x", false, false},
      {"Version=..", false, false},               {"Version=CON", false, false},
      {"Version={VersionNameFolder}", false, false}, {"Version=7.19.03N0123456789012345678901234567890", false, false},
      {nullptr, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings ? c.settings : "settings file held open");
    StagedInstall install(L"7.19.03N");
    const std::wstring data = AppDataFolder() + L"7.19.03N\\";
    const std::wstring other = AppDataFolder() + L"7.10.00N\\";
    MakeFolder(data + L"cache");
    Touch(data + L"cache\\c.bin");
    Touch(data + L"settings.json");
    MakeFolder(other);
    Touch(other + L"settings.json");
    if (c.settings) WriteFileBytes(install.folder + L"Orvanta.ini", std::string("[Common]\r\n") + c.settings + "\r\n");
    ScopedHandle held;
    if (!c.settings)
      held = ScopedHandle(::CreateFileW((install.folder + L"Orvanta.ini").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_EQ(held.valid(), !c.settings);
    RecordingCallBack callback;
    install.Remove(&callback);
    EXPECT_EQ(!FileExists(data + L"settings.json"), c.ownGoes);
    EXPECT_EQ(!FileExists(other + L"settings.json"), c.otherGoes);
    const auto reported = [&](const std::wstring& file) {
      return std::count(callback.reports.begin(), callback.reports.end(), std::make_pair(2, file)) == 1;
    };
    EXPECT_EQ(reported(data + L"cache\\c.bin"), c.ownGoes);
    EXPECT_EQ(reported(data + L"settings.json"), c.ownGoes);
    held = ScopedHandle();
    testsupport::RemoveTree(AppDataFolder());
  }
}

TEST(DriverTest, LockedFilesAreMovedAsideOrLeftAndTheRestGoes) {
  // A loaded library cannot be deleted but can be renamed, as a running
  // program's libraries; a file open without sharing can be neither.
  StagedInstall install(L"7.19.02N");
  const std::wstring v = install.folder + L"7.19.02N\\";
  ASSERT_TRUE(::CopyFileW((UtilFunc::GetSpecialFolder(CSIDL_SYSTEM) + L"\\version.dll").c_str(),
                          (v + L"Quorix.dll").c_str(), FALSE));
  const HMODULE loaded = ::LoadLibraryW((v + L"Quorix.dll").c_str());
  ASSERT_NE(nullptr, loaded);
  const HANDLE open = ::CreateFileW((v + L"lib\\sub\\data.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, open);
  RecordingCallBack callback;
  EXPECT_EQ(UnInstallOutcome::kFailed, install.Remove(&callback)) << "a file that stays fails the removal";
  const auto reported = [&](const std::wstring& file) {
    return std::count(callback.reports.begin(), callback.reports.end(), std::make_pair(2, file));
  };

  EXPECT_FALSE(FileExists(v + L"Quorix.dll"));
  EXPECT_TRUE(FileExists(v + L"Quorix.dll.tmp"));
  EXPECT_EQ(1, reported(v + L"Quorix.dll"));
  EXPECT_TRUE(FileExists(v + L"lib\\sub\\data.bin"));
  EXPECT_EQ(0, reported(v + L"lib\\sub\\data.bin"));
  EXPECT_FALSE(FileExists(v + L"setup.xml"));

  ::CloseHandle(open);
  ::FreeLibrary(loaded);
}

// The outcome says whether the application is gone: a file in use that goes
// at the next restart counts as gone; a journal that cannot be read refuses
// the removal before anything is changed.
TEST(DriverTest, TheOutcomeSaysWhetherTheApplicationIsGone) {
  const struct {
    const char* what;
    std::function<void(StagedInstall&)> plant;
    UnInstallOutcome outcome;
    bool changed;
  } cases[] = {
      {"plain", [](StagedInstall&) {}, UnInstallOutcome::kRemoved, true},
      {"library in use",
       [](StagedInstall& install) {
         const std::wstring library = install.folder + install.version + L"\\Quorix.dll";
         ::CopyFileW((UtilFunc::GetSpecialFolder(CSIDL_SYSTEM) + L"\\version.dll").c_str(), library.c_str(), FALSE);
         EXPECT_NE(nullptr, ::LoadLibraryW(library.c_str()));
       },
       UnInstallOutcome::kRemoved, true},
      {"damaged journal",
       [](StagedInstall& install) {
         const std::wstring record = L"garbage\trecord\n";  // UTF-16, as the journal is written
         WriteFileBytes(install.folder + L"{SetupJournal}",
                        std::string(reinterpret_cast<const char*>(record.data()), record.size() * 2));
       },
       UnInstallOutcome::kFailed, false},
      {"folder for a journal", [](StagedInstall& install) { MakeFolder(install.folder + L"{SetupJournal}"); },
       UnInstallOutcome::kFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StagedInstall install(L"7.19.02N");
    c.plant(install);
    RecordingCallBack callback;
    EXPECT_EQ(c.outcome, install.Remove(&callback));
    ASSERT_FALSE(callback.reports.empty());
    EXPECT_EQ(3, callback.reports.back().first) << "the end is reported either way";
    EXPECT_EQ(!c.changed, FileExists(install.folder + L"Orvanta.exe"));
    EXPECT_EQ(!c.changed, FileExists(install.folder + L"Orvanta.ini"));
    EXPECT_TRUE(FileExists(install.folder + L"Uninstall.exe"));
  }
}

// The setup mutex: one holder at a time, across threads (as across
// processes), and free again once released. Where the system has no private
// namespaces, a mutex of its global name that another user created first is
// never trusted; where it has them, such a name means nothing to it.
TEST(SetupMutexTest, OneHolderAtATimeAndNoForeignOne) {
  const auto takeElsewhere = [](DWORD waitMs) {
    SetupMutex::Result result = SetupMutex::Result::kUnavailable;
    std::thread([&] {
      SetupMutex other;
      result = other.Take(waitMs);
    }).join();
    return result;
  };
  {
    SetupMutex mutex;
    ASSERT_EQ(SetupMutex::Result::kTaken, mutex.Take(0));
    EXPECT_EQ(SetupMutex::Result::kBusy, takeElsewhere(0));
    EXPECT_EQ(SetupMutex::Result::kBusy, takeElsewhere(200));
    mutex.Release();
    EXPECT_EQ(SetupMutex::Result::kTaken, takeElsewhere(0));
    ASSERT_EQ(SetupMutex::Result::kTaken, mutex.Take(0));
    ReleaseSetupMutexOfThisThread();
    EXPECT_EQ(SetupMutex::Result::kTaken, takeElsewhere(0)) << "released through a handle of its own";
  }

  const HANDLE boundary = ::CreateBoundaryDescriptorW(L"OrvantaProbe", 0);
  if (boundary) ::DeleteBoundaryDescriptor(boundary);
  // Created first by the Users group, open to everyone.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                      &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  const ScopedHandle planted(::CreateMutexW(&attributes, FALSE, L"Global\\OrvantaSetupRunning"));
  ::LocalFree(descriptor);
  ASSERT_TRUE(planted);
  SetupMutex mutex;
  EXPECT_EQ(boundary ? SetupMutex::Result::kTaken : SetupMutex::Result::kForeign, mutex.Take(0));
}

TEST(DriverTest, FolderLinksAreNeverFollowed) {
  // A link inside the version folder, an older version folder and the
  // per-user data folder itself as links: what they point to stays, and each
  // link is gone or left as it was (where the system reaches it only through
  // its target). Nothing inside a target is reported.
  StagedInstall install(L"7.19.02N");
  TempFolder target(L"orvlinktarget");
  Touch(target.path() + L"mine.txt");
  MakeFolder(target.path() + L"sub");
  Touch(target.path() + L"sub\\deep.txt");
  const std::wstring targetFolder = target.path().substr(0, target.path().size() - 1);
  const std::vector<std::wstring> links = {install.folder + L"7.19.02N\\linked", install.folder + L"7.18.01N",
                                           AppDataFolder() + L"7.19.02N"};
  MakeFolder(AppDataFolder());
  for (const std::wstring& link : links) ASSERT_TRUE(testsupport::PlantLink(link, targetFolder)) << Utf8(link);
  RecordingCallBack callback;
  install.Remove(&callback);

  EXPECT_TRUE(FileExists(target.path() + L"mine.txt"));
  EXPECT_TRUE(FileExists(target.path() + L"sub\\deep.txt"));
  for (const auto& report : callback.reports)
    EXPECT_EQ(std::wstring::npos, report.second.find(L"mine.txt")) << Utf8(report.second);
  for (const std::wstring& link : links) {
    EXPECT_TRUE(!FolderExists(link) || testsupport::IsLinkTo(link, targetFolder)) << Utf8(link);
    testsupport::RemoveHostLink(link);
  }
  EXPECT_FALSE(FileExists(install.folder + L"7.19.02N\\Quorix.dll"));
  EXPECT_FALSE(FileExists(install.folder + L"Orvanta.exe"));
  EXPECT_TRUE(FolderExists(target.path()));
}

// Paths that reach their folder through a link: the per-user data folder
// below an "Orvanta" folder that is itself a link, and a listed file below a
// link in the install folder. Neither is deleted; the rest goes.
TEST(DriverTest, PathsThroughALinkAreLeftAlone) {
  StagedInstall install(L"7.19.02N", RuleFile("<item path=\"$INSTDIR\\$VERSION\"/><item path=\"$INSTDIR\\Orvanta.exe\"/>"
                                              "<item path=\"$INSTDIR\\linked\\mine.txt\"/>"));
  TempFolder target(L"orvlinktarget");
  MakeFolder(target.path() + L"7.19.02N");
  Touch(target.path() + L"7.19.02N\\settings.json");
  Touch(target.path() + L"mine.txt");
  const std::wstring targetFolder = target.path().substr(0, target.path().size() - 1);
  const std::wstring userData = AppDataFolder().substr(0, AppDataFolder().size() - 1);
  testsupport::RemoveTree(userData);
  const std::vector<std::wstring> links = {userData, install.folder + L"linked"};
  for (const std::wstring& link : links) ASSERT_TRUE(testsupport::PlantLink(link, targetFolder)) << Utf8(link);
  install.Remove();

  EXPECT_TRUE(FileExists(target.path() + L"7.19.02N\\settings.json"));
  EXPECT_TRUE(FileExists(target.path() + L"mine.txt"));
  for (const std::wstring& link : links) testsupport::RemoveHostLink(link);
  EXPECT_FALSE(FolderExists(install.folder + L"7.19.02N"));
  EXPECT_FALSE(FileExists(install.folder + L"Orvanta.exe"));
}

TEST(DriverTest, StartWithoutWaitReturnsAtOnceAndReportsTheEnd) {
  StagedInstall install(L"7.19.02N");
  struct EndSignal : IUnInstallCallBack {
    HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    void OnUnInstallProgress(int stage, const wchar_t*) override {
      if (stage == 3) ::SetEvent(done);
    }
  } callback;
  CUninstall driver(install.folder);
  driver.SetCallBack(&callback);
  driver.AddExcludePath(install.folder + L"Uninstall.exe");
  ASSERT_EQ(1, driver.StartUnInstall(0));
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(callback.done, 60000));
  ::CloseHandle(callback.done);
  EXPECT_FALSE(FolderExists(install.folder + L"7.19.02N"));
}

}  // namespace
