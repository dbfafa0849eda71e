// The uninstaller end to end: the sample application is installed with the
// real installer (silently), then removed with the installed Uninstall.exe.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::ReadFileBytes;
using testsupport::RemoveTree;
using testsupport::RunAndCloseWindow;
using testsupport::RunAndWait;
using testsupport::RunningProgram;
using testsupport::WriteFileBytes;

constexpr DWORD kRunLimitMs = 120000;
const wchar_t kAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Orvanta.exe";
const wchar_t kProgramListKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";
const wchar_t kProtocolKey[] = L"orvanta";
const wchar_t kProtocolWarningKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\ProtocolExecute\\orvanta";

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[4096] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
  return length < ARRAYSIZE(buffer) ? std::wstring(buffer, length) : std::wstring();
}

// A Linux path of the test environment as Wine's drive Z: sees it.
std::wstring HostPath(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return L"Z:" + path;
}

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

std::wstring Utf8ToWide(const std::string& text) {
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

bool KeyExists(HKEY root, const wchar_t* subKey) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

void MakeFolder(const std::wstring& path) { ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

bool WaitUntilGone(const std::wstring& path, DWORD limitMs) {
  for (DWORD waited = 0; ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; waited += 100) {
    if (waited >= limitMs) return false;
    ::Sleep(100);
  }
  return true;
}

class UninstallTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::wstring binary = Environment(L"ORV_BINARY_DIR");
    ASSERT_FALSE(binary.empty()) << "ORV_BINARY_DIR is not set";
    setup_ = HostPath(binary + L"/" + setupName_);
    ASSERT_TRUE(FileExists(setup_));
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Orvanta Test\\" + Utf8ToWide(test->name()) + L"\\";
    userData_ = ShellFolder(CSIDL_APPDATA) + L"\\Orvanta\\";
    calls_ = scratch_.path() + L"calls.txt";
    ::SetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", calls_.c_str());
    Forget();

    ASSERT_EQ(0, RunAndWait(L"\"" + setup_ + L"\" /S /D=\"" + folder_ + L"\"", kRunLimitMs));
    ASSERT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
    wchar_t version[64] = {};
    ::GetPrivateProfileStringW(L"Common", L"Version", L"", version, ARRAYSIZE(version),
                               (folder_ + L"Orvanta.ini").c_str());
    version_ = version;
    ASSERT_FALSE(version_.empty());
    ASSERT_TRUE(FolderExists(folder_ + version_));
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
    ASSERT_TRUE(FileExists(DesktopShortcut()));
    ASSERT_TRUE(FolderExists(StartMenuFolder()));
    WriteFileBytes(calls_, "");
  }

  void TearDown() override {
    Forget();
    ::SetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", nullptr);
  }

  // Leaves the machine as if the application had never been installed.
  void Forget() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAppPathsKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProgramListKey);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kProtocolKey);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kProtocolWarningKey);
    ::DeleteFileW(DesktopShortcut().c_str());
    RemoveTree(StartMenuFolder());
    RemoveTree(folder_);
    RemoveTree(userData_);
  }

  std::wstring DesktopShortcut() const { return ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Orvanta.lnk"; }
  std::wstring StartMenuFolder() const { return ShellFolder(CSIDL_COMMON_PROGRAMS) + L"\\Orvanta"; }

  // Files the application keeps for the user, of the installed version.
  void GiveUserData(const std::wstring& version) {
    const std::wstring data = userData_ + version + L"\\";
    ::SHCreateDirectoryExW(nullptr, (data + L"cache\\images").c_str(), nullptr);
    WriteFileBytes(data + L"settings.json", "{}");
    WriteFileBytes(data + L"cache\\images\\a.png", "png");
  }

  void SetVersion(const std::string& iniText) { ASSERT_TRUE(WriteFileBytes(folder_ + L"Orvanta.ini", iniText)); }

  int Uninstall(const std::wstring& arguments, const std::wstring& currentFolder) {
    return RunAndWait(L"\"" + folder_ + L"Uninstall.exe\" " + arguments, kRunLimitMs, currentFolder);
  }

  // The uninstaller and its batch file are gone a moment after its process ended.
  void ExpectSelfDeleted() {
    EXPECT_TRUE(WaitUntilGone(folder_ + L"Uninstall.exe", 20000));
    EXPECT_TRUE(WaitUntilGone(folder_ + L"deleteSelf.bat", 20000));
  }

  void ExpectRulesUndone() {
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProgramListKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProtocolKey));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kProtocolWarningKey));
    EXPECT_FALSE(FileExists(DesktopShortcut()));
    EXPECT_FALSE(FolderExists(StartMenuFolder()));
  }

  void ExpectRulesKept() {
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProgramListKey));
    EXPECT_TRUE(FileExists(DesktopShortcut()));
    EXPECT_TRUE(FolderExists(StartMenuFolder()));
  }

  // Only the empty install folder is left.
  void ExpectInstallFolderEmpty() {
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((folder_ + L"*").c_str(), &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
      const std::wstring name = entry.cFileName;
      EXPECT_TRUE(name == L"." || name == L"..") << "left behind: " << testing::PrintToString(name);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }

  // The shipped installer; the test installer, whose programs read the test
  // hooks, in TestBuildUninstallTest.
  const wchar_t* setupName_ = L"OrvantaSetup.exe";
  testsupport::TempFolder scratch_{L"orvuninste2e"};
  std::wstring setup_, folder_, userData_, calls_, version_;
};

// Removals of an installation made with the test installer, so that the
// installed Uninstall.exe reads the test hooks.
class TestBuildUninstallTest : public UninstallTest {
 protected:
  TestBuildUninstallTest() { setupName_ = L"OrvantaSetup-test.exe"; }
};

// The shipped programs read no test hook: whoever starts them chooses their
// environment. With hooks set that would stop, kill or fail a test build at
// once, the shipped installer installs over the installation (through every
// step of the switch) and the installed uninstaller removes it, as without them.
TEST_F(UninstallTest, ShippedProgramsIgnoreTestHooks) {
  const std::vector<std::pair<const wchar_t*, const wchar_t*>> hooks = {
      {L"ORV_TEST_INSTALL_WAIT_MS", L"1"},     {L"ORV_TEST_SWITCH_KILL_AT", L"2"},
      {L"ORV_TEST_SWITCH_FAIL_AT", L"1"},      {L"ORV_TEST_DECODER_FAIL_AT", L"1"},
      {L"ORV_TEST_UNINSTALL_KILL_STEP", L"1"}, {L"ORV_TEST_UNINSTALL_WAIT_MS", L"1"}};
  for (const auto& [name, value] : hooks) ::SetEnvironmentVariableW(name, value);
  const int installed = RunAndWait(L"\"" + setup_ + L"\" /S /D=\"" + folder_ + L"\"", kRunLimitMs);
  const bool complete = FileExists(folder_ + version_ + L"\\Quorix.dll") && FileExists(folder_ + L"Uninstall.exe") &&
                        !FolderExists(folder_ + L"{VersionNameFolder}") && !FileExists(folder_ + L"{SetupJournal}");
  const int removed = Uninstall(L"/S", folder_);
  for (const auto& [name, value] : hooks) ::SetEnvironmentVariableW(name, nullptr);

  EXPECT_EQ(0, installed);
  EXPECT_TRUE(complete);
  EXPECT_EQ(0, removed);
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectRulesUndone();
  ExpectSelfDeleted();
  ExpectInstallFolderEmpty();
}

TEST_F(UninstallTest, SilentFromTheInstallFolderRemovesEverything) {
  GiveUserData(version_);
  WriteFileBytes(folder_ + L"deleteSelf.bat", "@echo stale batch of an earlier run\r\n");
  EXPECT_EQ(0, Uninstall(L"/S", folder_));

  EXPECT_FALSE(FolderExists(folder_ + version_));
  for (const wchar_t* file : {L"Orvanta.exe", L"Orvanta.exe.manifest", L"OrvantaTask.exe", L"Orvanta.ini"})
    EXPECT_FALSE(FileExists(folder_ + file)) << testing::PrintToString(std::wstring(file));
  ExpectRulesUndone();
  EXPECT_FALSE(FolderExists(userData_ + version_));
  // The uninstall side of the rules started the application to clean up.
  const std::wstring calls = Utf8ToWide(ReadFileBytes(calls_));
  EXPECT_NE(std::wstring::npos, calls.find(L"\"" + folder_ + L"Orvanta.exe\" /uninstall")) << ReadFileBytes(calls_);
  ExpectSelfDeleted();
  ExpectInstallFolderEmpty();
}

TEST_F(UninstallTest, SilentFromAnotherCurrentFolderDeletesItselfToo) {
  GiveUserData(version_);
  EXPECT_EQ(0, Uninstall(L"/S", scratch_.path()));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectRulesUndone();
  EXPECT_FALSE(FolderExists(userData_ + version_));
  ExpectSelfDeleted();
  ExpectInstallFolderEmpty();
  EXPECT_FALSE(FileExists(scratch_.path() + L"deleteSelf.bat"));
}

// An uninstaller renamed to a name that the batch's commands could misread
// removes the application and is then deleted by its batch all the same.
TEST_F(UninstallTest, AnAwkwardlyNamedUninstallerDeletesItselfToo) {
  const std::wstring name = L"Un install & 100% ^^ %tries%.exe";
  ASSERT_TRUE(::MoveFileW((folder_ + L"Uninstall.exe").c_str(), (folder_ + name).c_str()));
  EXPECT_EQ(0, RunAndWait(L"\"" + folder_ + name + L"\" /S", kRunLimitMs, folder_));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectRulesUndone();
  EXPECT_TRUE(WaitUntilGone(folder_ + name, 20000));
  EXPECT_TRUE(WaitUntilGone(folder_ + L"deleteSelf.bat", 20000));
  ExpectInstallFolderEmpty();
}

TEST_F(UninstallTest, EndsTheInstalledApplicationButNotACopyFromElsewhere) {
  GiveUserData(version_);
  const std::wstring copy = scratch_.path() + L"Orvanta.exe";
  ASSERT_TRUE(::CopyFileW((folder_ + L"Orvanta.exe").c_str(), copy.c_str(), FALSE));
  RunningProgram installed(folder_ + L"Orvanta.exe", L"/sleep:120000");
  RunningProgram elsewhere(copy, L"/sleep:120000");
  ASSERT_TRUE(installed.Started() && elsewhere.Started());
  ::Sleep(500);

  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  EXPECT_FALSE(installed.Running());
  EXPECT_TRUE(elsewhere.Running());
  // The ended application's file is deleted, not moved aside as locked.
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe"));
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe.tmp"));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectRulesUndone();
  // An application of that name still runs: its per-user data stays.
  EXPECT_TRUE(FileExists(userData_ + version_ + L"\\cache\\images\\a.png"));
  ExpectSelfDeleted();
}

TEST_F(UninstallTest, LockedFileIsMovedAsideForTheRestartAndTheRestGoes) {
  const std::wstring version = folder_ + version_ + L"\\";
  const HMODULE loaded = ::LoadLibraryW((version + L"Quorix.dll").c_str());
  ASSERT_NE(nullptr, loaded);
  EXPECT_EQ(0, Uninstall(L"/S", folder_));

  EXPECT_FALSE(FileExists(version + L"Quorix.dll"));
  EXPECT_TRUE(FileExists(version + L"Quorix.dll.tmp"));
  EXPECT_FALSE(FileExists(version + L"setup.xml"));
  EXPECT_FALSE(FolderExists(version + L"configurations"));
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe"));
  ExpectRulesUndone();

  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                           L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key));
  std::wstring pending(1 << 16, L'\0');
  DWORD bytes = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
  ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(pending.data()),
                     &bytes);
  ::RegCloseKey(key);
  pending.resize(bytes / sizeof(wchar_t));
  std::wstring side = version + L"Quorix.dll.tmp";
  for (std::wstring* text : {&pending, &side})
    for (wchar_t& c : *text) c = static_cast<wchar_t>(::towlower(c));
  EXPECT_NE(std::wstring::npos, pending.find(side));
  ExpectSelfDeleted();
  ::FreeLibrary(loaded);
}

TEST_F(UninstallTest, SettingsWithoutVersionRemovesVersionFoldersAndAllUserData) {
  GiveUserData(version_);
  GiveUserData(L"7.10.00N");
  SetVersion("[Common]\r\n");
  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  EXPECT_FALSE(FolderExists(folder_ + version_));  // by its name
  EXPECT_FALSE(FolderExists(userData_));            // no version: the whole data folder
  ExpectRulesKept();                                // the rule file was looked for in the install folder
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
  ExpectSelfDeleted();
}

TEST_F(UninstallTest, VersionNamingNoFolderRemovesOnlyVersionFolders) {
  GiveUserData(version_);
  GiveUserData(L"9.99.99N");
  SetVersion("[Common]\r\nVersion=9.99.99N\r\n");
  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  EXPECT_FALSE(FolderExists(userData_ + L"9.99.99N"));
  EXPECT_TRUE(FileExists(userData_ + version_ + L"\\settings.json"));
  ExpectRulesKept();
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.ini"));
  ExpectSelfDeleted();
}

TEST_F(UninstallTest, VersionOutsideTheInstallFolderIsNotFollowed) {
  // The settings file leads the version to a folder beside the install
  // folder that holds a rule file of its own listing everything in it.
  const std::wstring victim = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Orvanta Test\\Victim\\";
  ::SHCreateDirectoryExW(nullptr, victim.c_str(), nullptr);
  WriteFileBytes(victim + L"precious.txt", "keep me");
  WriteFileBytes(victim + L"setup.xml",
                 "<setup><uninstall><file><item path=\"$INSTDIR\\$VERSION\"/></file></uninstall></setup>");
  SetVersion("[Common]\r\nVersion=..\\Victim\r\n");
  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  EXPECT_TRUE(FileExists(victim + L"precious.txt"));
  EXPECT_TRUE(FileExists(victim + L"setup.xml"));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectSelfDeleted();
  RemoveTree(victim);
}

TEST_F(UninstallTest, AllVersionFoldersGoOtherNamesStay) {
  for (const wchar_t* name : {L"7.18.01N", L"12.05.31N", L"7-17-00N", L"7.16.00n", L"7.19N", L"data"}) {
    ::CreateDirectoryW((folder_ + name).c_str(), nullptr);
    WriteFileBytes(folder_ + name + L"\\f.txt", "x");
  }
  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  for (const wchar_t* gone : {L"7.18.01N", L"12.05.31N", L"7-17-00N"})
    EXPECT_FALSE(FolderExists(folder_ + gone)) << testing::PrintToString(std::wstring(gone));
  for (const wchar_t* kept : {L"7.16.00n", L"7.19N", L"data"})
    EXPECT_TRUE(FileExists(folder_ + kept + L"\\f.txt")) << testing::PrintToString(std::wstring(kept));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectRulesUndone();
  ExpectSelfDeleted();
}

TEST_F(UninstallTest, ListedFolderHoldingTheUninstallerKeepsItTheRestGoes) {
  // The rule file lists the install folder itself.
  const std::wstring rules = folder_ + version_ + L"\\setup.xml";
  std::string text = ReadFileBytes(rules);
  const size_t file = text.find("<file>");
  ASSERT_NE(std::string::npos, file);
  text.insert(file + 6, "<item path=\"$INSTDIR\"/>");
  ASSERT_TRUE(WriteFileBytes(rules, text));
  ::CreateDirectoryW((folder_ + L"plugins").c_str(), nullptr);
  WriteFileBytes(folder_ + L"plugins\\p.dll", "x");
  WriteFileBytes(folder_ + L"notes.txt", "x");

  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  EXPECT_FALSE(FolderExists(folder_ + L"plugins"));
  EXPECT_FALSE(FileExists(folder_ + L"notes.txt"));
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectRulesUndone();
  EXPECT_TRUE(FolderExists(folder_));
  // The uninstaller survived its own removal list; the batch deletes it.
  ExpectSelfDeleted();
  ExpectInstallFolderEmpty();
}

// Links planted where the uninstaller deletes trees: the per-user data
// folder, an older version folder, a folder inside the version folder and the
// start-menu folder. Their targets keep every file; each link is gone or, where
// the system reaches it only through its target, left as it was.
TEST_F(UninstallTest, LinksAreNeverFollowed) {
  MakeFolder(userData_);
  RemoveTree(StartMenuFolder());
  const std::vector<std::wstring> links = {userData_ + version_, folder_ + L"7.18.01N",
                                           folder_ + version_ + L"\\linked", StartMenuFolder()};
  std::vector<std::wstring> targets;
  for (const std::wstring& link : links) {
    targets.push_back(scratch_.path() + L"target" + std::to_wstring(targets.size()));
    MakeFolder(targets.back() + L"\\sub");
    ASSERT_TRUE(WriteFileBytes(targets.back() + L"\\sub\\mine.txt", "mine"));
    ASSERT_TRUE(testsupport::PlantLink(link, targets.back())) << testing::PrintToString(link);
  }
  EXPECT_EQ(0, Uninstall(L"/S", folder_));

  for (size_t i = 0; i < links.size(); ++i) {
    EXPECT_EQ("mine", ReadFileBytes(targets[i] + L"\\sub\\mine.txt")) << testing::PrintToString(links[i]);
    EXPECT_TRUE(!FolderExists(links[i]) || testsupport::IsLinkTo(links[i], targets[i]))
        << testing::PrintToString(links[i]);
  }
  EXPECT_FALSE(FileExists(folder_ + version_ + L"\\setup.xml"));
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
  ExpectSelfDeleted();
}

// The version folder itself a link: the rules are read through it, and what
// it points to stays whole.
TEST_F(UninstallTest, VersionFolderThatIsALinkIsNotEmptied) {
  const std::wstring real = scratch_.path() + L"real";
  ASSERT_TRUE(::MoveFileW((folder_ + version_).c_str(), real.c_str()));
  ASSERT_TRUE(testsupport::PlantLink(folder_ + version_, real));
  const std::string rules = ReadFileBytes(real + L"\\setup.xml");
  EXPECT_EQ(0, Uninstall(L"/S", folder_));

  EXPECT_EQ(rules, ReadFileBytes(real + L"\\setup.xml"));
  EXPECT_TRUE(FileExists(real + L"\\Quorix.dll"));
  EXPECT_TRUE(FolderExists(real + L"\\configurations"));
  EXPECT_TRUE(!FolderExists(folder_ + version_) || testsupport::IsLinkTo(folder_ + version_, real));
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe"));
  ExpectRulesUndone();
  ExpectSelfDeleted();
}

// The silent wait for the removal has a limit (ten minutes; the test hook
// shortens it to 1 s): the application's clean-up call, waited for 5 s, is
// made to take 4 s, so the removal is stopped there. The rules after it and
// the file list are not carried out; the uninstaller still deletes itself.
TEST_F(TestBuildUninstallTest, SilentRemovalThatOutlivesTheWaitIsStoppedWhereItIs) {
  const std::wstring rules = folder_ + version_ + L"\\setup.xml";
  std::string text = ReadFileBytes(rules);
  const std::string call = "param=\"/uninstall\"";
  const size_t at = text.find(call);
  ASSERT_NE(std::string::npos, at);
  text.replace(at, call.size(), "param=\"/uninstall /sleep:4000\"");
  ASSERT_TRUE(WriteFileBytes(rules, text));

  ::SetEnvironmentVariableW(L"ORV_TEST_UNINSTALL_WAIT_MS", L"1000");
  const int code = Uninstall(L"/S", folder_);
  ::SetEnvironmentVariableW(L"ORV_TEST_UNINSTALL_WAIT_MS", nullptr);
  EXPECT_EQ(0, code);
  EXPECT_NE(std::string::npos, ReadFileBytes(calls_).find("/uninstall /sleep:4000")) << ReadFileBytes(calls_);
  ExpectRulesKept();
  EXPECT_TRUE(FolderExists(folder_ + version_));
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.ini"));
  ExpectSelfDeleted();
  // The clean-up call ends on its own; its program can go with the folder then.
  const std::wstring program = folder_ + L"Orvanta.exe";
  for (int tries = 0; tries < 100 && !::DeleteFileW(program.c_str()); ++tries) ::Sleep(100);
}

// Everything a removal changes, as names: the install folder's content, the
// per-user data folder's content, the registry keys and the shortcuts left.
std::vector<std::wstring> Tree(const std::wstring& folder, const std::wstring& prefix = L"") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    names.push_back(prefix + name);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      for (const std::wstring& inner : Tree(folder + name + L"\\", prefix + name + L"\\")) names.push_back(inner);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

// A removal killed at step N (the test hook ends the process there) and then
// run again ends where an uninterrupted removal ends, for kills during the
// rules, the per-user data and the file list, up to the step before the last.
TEST_F(TestBuildUninstallTest, ARemovalKilledAtAStepIsFinishedByTheNextRun) {
  const auto endState = [&] {
    ExpectSelfDeleted();
    std::vector<std::wstring> state = Tree(folder_);
    for (const std::wstring& name : Tree(userData_)) state.push_back(L"data:" + name);
    for (const auto& [root, key] : {std::pair{HKEY_LOCAL_MACHINE, kAppPathsKey}, std::pair{HKEY_LOCAL_MACHINE, kProgramListKey},
                                    std::pair{HKEY_CLASSES_ROOT, kProtocolKey}})
      if (KeyExists(root, key)) state.push_back(std::wstring(L"key:") + key);
    if (FileExists(DesktopShortcut())) state.push_back(L"desktop shortcut");
    if (FolderExists(StartMenuFolder())) state.push_back(L"start menu folder");
    return state;
  };
  const auto reinstall = [&] {
    Forget();
    ASSERT_EQ(0, RunAndWait(L"\"" + setup_ + L"\" /S /D=\"" + folder_ + L"\"", kRunLimitMs));
    GiveUserData(version_);
    GiveUserData(L"7.10.00N");  // an older version's data, which stays
  };
  reinstall();
  ASSERT_EQ(0, Uninstall(L"/S", folder_));
  const std::vector<std::wstring> uninterrupted = endState();
  EXPECT_EQ(1, std::count(uninterrupted.begin(), uninterrupted.end(), L"data:7.10.00N"));
  EXPECT_EQ(0, std::count(uninterrupted.begin(), uninterrupted.end(), L"data:" + version_));

  // Steps: each rule kind, the per-user data, each listed path and each file
  // inside a listed folder, then the rule file and, last, the settings file.
  // A kill right before that last step leaves the settings file, naming a
  // version that is gone, which a second run keeps as any such file: it is
  // not compared.
  std::vector<std::vector<std::wstring>> finished;
  for (int step = 1;; ++step) {
    reinstall();
    ::SetEnvironmentVariableW(L"ORV_TEST_UNINSTALL_KILL_STEP", std::to_wstring(step).c_str());
    const int code = Uninstall(L"/S", folder_);
    ::SetEnvironmentVariableW(L"ORV_TEST_UNINSTALL_KILL_STEP", nullptr);
    if (code == 0) break;  // the removal has fewer steps
    ASSERT_EQ(99, code) << "step " << step;
    ASSERT_TRUE(FileExists(folder_ + L"Uninstall.exe")) << "step " << step;
    EXPECT_EQ(0, Uninstall(L"/S", folder_));
    finished.push_back(endState());
  }
  ASSERT_GE(finished.size(), 10u);
  for (size_t i = 0; i + 1 < finished.size(); ++i) EXPECT_EQ(uninterrupted, finished[i]) << "killed at step " << i + 1;
}

TEST_F(UninstallTest, LowerCaseSDoesNotRemoveSilently) {
  GiveUserData(version_);
  // "/s" takes the windowed path: the window shows, and closing it on its
  // first page removes nothing.
  EXPECT_EQ(RunAndCloseWindow(L"\"" + folder_ + L"Uninstall.exe\" /s", 60000, folder_), 0);
  EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
  EXPECT_TRUE(FolderExists(folder_ + version_));
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
  EXPECT_TRUE(FileExists(userData_ + version_ + L"\\settings.json"));
  ExpectRulesKept();
  ::Sleep(1000);
  EXPECT_FALSE(FileExists(folder_ + L"deleteSelf.bat"));
}

// DLLs named like system DLLs that are not known DLLs, left in the install
// folder, are never loaded, on the window path or the silent one.
// (version.dll is left out: Wine's own user32 imports it before any code of
// the program runs.)
TEST_F(UninstallTest, DllsBesideTheUninstallerAreNotLoaded) {
  const std::vector<std::wstring> names = {L"gdiplus", L"oleacc", L"userenv", L"psapi", L"comctl32",
                                           L"msimg32", L"uxtheme", L"dwmapi", L"winmm"};
  const std::string planted = ReadFileBytes(HostPath(Environment(L"ORV_BINARY_DIR") + L"/tests/installer/planted_dll.dll"));
  ASSERT_FALSE(planted.empty());
  for (const std::wstring& name : names) ASSERT_TRUE(WriteFileBytes(folder_ + name + L".dll", planted));
  testsupport::PreferDllsBesideProgram overrides(L"Uninstall.exe", names);
  const auto markers = [&] {
    std::vector<std::wstring> found;
    for (const std::wstring& name : names)
      if (FileExists(folder_ + name + L".dll.loaded")) found.push_back(name);
    return found;
  };

  RunAndWait(L"\"" + folder_ + L"Uninstall.exe\" /s", 10000, folder_);
  EXPECT_EQ(std::vector<std::wstring>{}, markers()) << "window path";
  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  EXPECT_EQ(std::vector<std::wstring>{}, markers()) << "silent path";
  EXPECT_FALSE(FolderExists(folder_ + version_));
  ExpectSelfDeleted();
}

}  // namespace
