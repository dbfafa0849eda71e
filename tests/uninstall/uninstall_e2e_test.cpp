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

// The bytes of `text` as UTF-16, the journal's encoding.
std::string Utf16Bytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// Ends every process whose image is `image` (letter case ignored).
void EndProgram(const std::wstring& image) {
  for (DWORD id = 4; id < 0x10000; id += 4) {
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id);
    if (!process) continue;
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (::QueryFullProcessImageNameW(process, 0, path, &size) && ::lstrcmpiW(path, image.c_str()) == 0)
      ::TerminateProcess(process, 1);
    ::CloseHandle(process);
  }
}

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

  // The test installer, whose programs read the test hooks; the shipped one
  // in ShippedUninstallTest.
  const wchar_t* setupName_ = L"OrvantaSetup-test.exe";
  testsupport::TempFolder scratch_{L"orvuninste2e"};
  std::wstring setup_, folder_, userData_, calls_, version_;
};

// An installation made with the shipped installer, whose Uninstall.exe is
// the shipped one too.
class ShippedUninstallTest : public UninstallTest {
 protected:
  ShippedUninstallTest() { setupName_ = L"OrvantaSetup.exe"; }
};

// The shipped programs read no test hook: whoever starts them chooses their
// environment. With hooks set that would stop, kill or fail a test build at
// once, the shipped installer installs over the installation (through every
// step of the switch) and the installed uninstaller removes it, as without them.
TEST_F(ShippedUninstallTest, ShippedProgramsIgnoreTestHooks) {
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
  // A settings file whose version has no rule file is what a removal cut
  // short between the two leaves: it goes too.
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.ini"));
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

// Entries of the removal list that lead out of the install folder through
// ".." delete nothing there, even with the walker's own refusal of paths
// outside its base passed over (the test hook): the list's own filter keeps
// them out. An entry outside without ".." shows that the hook took effect.
TEST_F(UninstallTest, ListedPathsOutOfTheInstallFolderStayWithoutTheWalkersRefusal) {
  const std::wstring victim = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Orvanta Test\\Victim\\";
  MakeFolder(victim + L"sub");
  WriteFileBytes(victim + L"precious.txt", "keep me");
  WriteFileBytes(victim + L"sub\\deep.txt", "keep me");
  const std::wstring outside = scratch_.path() + L"outside.txt";
  WriteFileBytes(outside, "listed as written");
  const std::wstring rules = folder_ + version_ + L"\\setup.xml";
  std::string text = ReadFileBytes(rules);
  const size_t file = text.find("<file>");
  ASSERT_NE(std::string::npos, file);
  std::string outsideUtf8(outside.begin(), outside.end());
  text.insert(file + 6, "<item path=\"$INSTDIR\\..\\Victim\"/><item path=\"$INSTDIR/../Victim/precious.txt\"/>"
                        "<item path=\"$INSTDIR\\x\\..\\..\\Victim\\sub\"/><item path=\"" + outsideUtf8 + "\"/>");
  ASSERT_TRUE(WriteFileBytes(rules, text));

  ::SetEnvironmentVariableW(L"ORV_TEST_WALKER_ANYWHERE", L"1");
  const int code = Uninstall(L"/S", folder_);
  ::SetEnvironmentVariableW(L"ORV_TEST_WALKER_ANYWHERE", nullptr);
  EXPECT_EQ(0, code);
  EXPECT_EQ("keep me", ReadFileBytes(victim + L"precious.txt"));
  EXPECT_EQ("keep me", ReadFileBytes(victim + L"sub\\deep.txt"));
  EXPECT_FALSE(FileExists(outside)) << "the hook did not pass the walker's refusal over";
  EXPECT_FALSE(FolderExists(folder_ + version_));
  EXPECT_FALSE(FileExists(folder_ + L"Orvanta.exe"));
  ExpectRulesUndone();
  ExpectSelfDeleted();
  RemoveTree(victim);
}

// Installed at a drive root (a drive letter mapped to a folder of the test)
// and removed from a current folder on that drive, then from one on another
// drive while the drive's own current folder is kept elsewhere: the
// installation goes, the user's folder with the same names stays.
TEST_F(UninstallTest, AtADriveRootRemovesOnlyTheInstallation) {
  const std::wstring mapped = scratch_.path() + L"qroot";
  MakeFolder(mapped);
  wchar_t letter = L'Q';
  while (letter < L'Y' && FolderExists(std::wstring(1, letter) + L":\\")) ++letter;
  testsupport::MappedDrive drive(letter, mapped);
  ASSERT_TRUE(drive.Mapped());
  const std::wstring root = drive.Root();
  const std::wstring work = root + L"work\\";
  const std::wstring driveVariable = L"=" + root.substr(0, 2);
  for (const bool fromTheDrive : {true, false}) {
    SCOPED_TRACE(fromTheDrive ? "current folder on the drive" : "current folder on another drive");
    MakeFolder(work + version_);
    for (const wchar_t* name : {L"Orvanta.ini", L"Orvanta.exe", L"Uninstall.exe"}) WriteFileBytes(work + name, "mine");
    WriteFileBytes(work + version_ + L"\\setup.xml", "mine");
    ASSERT_EQ(0, RunAndWait(L"\"" + setup_ + L"\" /S /D=" + root, kRunLimitMs));
    ASSERT_TRUE(FileExists(root + L"Uninstall.exe"));
    ASSERT_TRUE(FolderExists(root + version_));
    if (!fromTheDrive) ::SetEnvironmentVariableW(driveVariable.c_str(), work.substr(0, work.size() - 1).c_str());
    const int code = RunAndWait(L"\"" + root + L"Uninstall.exe\" /S", kRunLimitMs,
                                fromTheDrive ? work : scratch_.path());
    ::SetEnvironmentVariableW(driveVariable.c_str(), nullptr);
    EXPECT_EQ(0, code);
    EXPECT_FALSE(FolderExists(root + version_));
    for (const wchar_t* name : {L"Orvanta.ini", L"Orvanta.exe", L"Orvanta.exe.manifest"})
      EXPECT_FALSE(FileExists(root + name)) << testing::PrintToString(std::wstring(name));
    EXPECT_TRUE(WaitUntilGone(root + L"Uninstall.exe", 20000));
    for (const wchar_t* name : {L"Orvanta.ini", L"Orvanta.exe", L"Uninstall.exe"})
      EXPECT_EQ("mine", ReadFileBytes(work + name)) << testing::PrintToString(std::wstring(name));
    EXPECT_EQ("mine", ReadFileBytes(work + version_ + L"\\setup.xml"));
    ExpectRulesUndone();
    Forget();
  }
  EXPECT_TRUE(WaitUntilGone(root + L"deleteSelf.bat", 20000));
}

// Version folders of the application's (their static configuration names
// their version) go; other names, and a version-named folder without it, stay.
TEST_F(UninstallTest, AllVersionFoldersGoOtherNamesStay) {
  for (const wchar_t* name : {L"7.18.01N", L"12.05.31N", L"7-17-00N", L"7.16.00n", L"7.19N", L"data", L"10.20.30N"}) {
    ::CreateDirectoryW((folder_ + name).c_str(), nullptr);
    WriteFileBytes(folder_ + name + L"\\f.txt", "x");
  }
  for (const std::wstring version : {L"7.18.01N", L"12.05.31N", L"7-17-00N"}) {
    ::CreateDirectoryW((folder_ + version + L"\\configurations").c_str(), nullptr);
    WriteFileBytes(folder_ + version + L"\\configurations\\staticconfig.xml",
                   "<staticconfigs><item id=\"OVVersionString\">" + std::string(version.begin(), version.end()) +
                       "</item></staticconfigs>");
  }
  EXPECT_EQ(0, Uninstall(L"/S", folder_));
  for (const wchar_t* gone : {L"7.18.01N", L"12.05.31N", L"7-17-00N"})
    EXPECT_FALSE(FolderExists(folder_ + gone)) << testing::PrintToString(std::wstring(gone));
  for (const wchar_t* kept : {L"7.16.00n", L"7.19N", L"data", L"10.20.30N"})
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
// shortens it to 1 s, and the grace after it to 2 s): the application's
// clean-up call, made a helper that is waited for without end and runs far
// longer than the test, is waited for within the limit only; the removal
// stops there and the uninstaller ends with 2. The rules after it and the file
// list are not carried out, and the uninstaller stays for another try.
TEST_F(UninstallTest, SilentRemovalThatOutlivesTheWaitIsStoppedWhereItIs) {
  const std::wstring rules = folder_ + version_ + L"\\setup.xml";
  std::string text = ReadFileBytes(rules);
  const std::string call = "param=\"/uninstall\" wait=\"5000\"";
  const size_t at = text.find(call);
  ASSERT_NE(std::string::npos, at);
  text.replace(at, call.size(), "param=\"/uninstall /sleep:300000\" wait=\"-1\"");
  ASSERT_TRUE(WriteFileBytes(rules, text));

  ::SetEnvironmentVariableW(L"ORV_TEST_UNINSTALL_WAIT_MS", L"1000");
  ::SetEnvironmentVariableW(L"ORV_TEST_WAIT_GRACE_MS", L"2000");
  const int code = Uninstall(L"/S", folder_);
  ::SetEnvironmentVariableW(L"ORV_TEST_UNINSTALL_WAIT_MS", nullptr);
  ::SetEnvironmentVariableW(L"ORV_TEST_WAIT_GRACE_MS", nullptr);
  EXPECT_EQ(2, code);
  EXPECT_NE(std::string::npos, ReadFileBytes(calls_).find("/uninstall /sleep:300000")) << ReadFileBytes(calls_);
  ExpectRulesKept();
  EXPECT_TRUE(FolderExists(folder_ + version_));
  EXPECT_TRUE(FileExists(folder_ + L"Orvanta.ini"));
  ::Sleep(1000);
  EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
  EXPECT_FALSE(FileExists(folder_ + L"deleteSelf.bat"));
  // The helper still runs; it goes before the folder.
  EndProgram(folder_ + L"Orvanta.exe");
}

// A journal the uninstaller cannot read (damaged, or a folder in its place)
// refuses the removal: exit 1, the application and the uninstaller stay,
// nothing of the rules is undone.
TEST_F(UninstallTest, AJournalThatCannotBeReadRefusesTheRemoval) {
  const std::wstring journal = folder_ + L"{SetupJournal}";
  const struct {
    const char* what;
    bool folder;
  } cases[] = {{"damaged journal", false}, {"folder in its place", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.folder)
      MakeFolder(journal);
    else
      ASSERT_TRUE(WriteFileBytes(journal, Utf16Bytes(L"garbage\trecord\n")));
    EXPECT_EQ(1, Uninstall(L"/S", folder_));
    ::Sleep(1000);
    EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
    EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
    EXPECT_TRUE(FileExists(folder_ + L"Orvanta.ini"));
    EXPECT_TRUE(FolderExists(folder_ + version_));
    EXPECT_FALSE(FileExists(folder_ + L"deleteSelf.bat"));
    ExpectRulesKept();
    RemoveTree(journal);
  }
}

// An open uninstall window holds the setup mutex: a silent installer or
// uninstaller started meanwhile waits for it within its own limit (2 s here),
// then ends with 2 and changes nothing.
TEST_F(UninstallTest, SilentRunsWaitForAnOpenWindowWithinTheirLimit) {
  RunningProgram window(folder_ + L"Uninstall.exe", L"", folder_);
  ASSERT_TRUE(window.Started());
  ::Sleep(3000);  // the window has taken the mutex
  const struct {
    const char* what;
    const wchar_t* variable;
    std::wstring commandLine;
  } cases[] = {
      {"installer", L"ORV_TEST_INSTALL_WAIT_MS", L"\"" + setup_ + L"\" /S /D=\"" + folder_ + L"\""},
      {"uninstaller", L"ORV_TEST_UNINSTALL_WAIT_MS", L"\"" + folder_ + L"Uninstall.exe\" /S"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::SetEnvironmentVariableW(c.variable, L"2000");
    EXPECT_EQ(2, RunAndWait(c.commandLine, kRunLimitMs, folder_));
    ::SetEnvironmentVariableW(c.variable, nullptr);
    EXPECT_FALSE(FolderExists(folder_ + L"{VersionNameFolder}"));
    EXPECT_TRUE(FolderExists(folder_ + version_));
    EXPECT_TRUE(FileExists(folder_ + L"Orvanta.exe"));
    EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
    ExpectRulesKept();
  }
  EXPECT_TRUE(window.Running()) << "the window was not there all along";
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

// Every file of `package` (a folder ending in a backslash) is in `folder`
// with its size.
bool HoldsPackage(const std::wstring& package, const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  const HANDLE find = ::FindFirstFileW((package + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool all = true;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      all = HoldsPackage(package + name + L"\\", folder + name + L"\\") && all;
    } else {
      WIN32_FILE_ATTRIBUTE_DATA data = {};
      all = ::GetFileAttributesExW((folder + name).c_str(), GetFileExInfoStandard, &data) &&
            data.nFileSizeLow == entry.nFileSizeLow && data.nFileSizeHigh == entry.nFileSizeHigh && all;
    }
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return all;
}

// A silent update of a large package and a silent removal started while the
// other works take turns: the one started second waits for the setup mutex.
// Update first: exit 0 for both, and nothing is left. Removal first (held in
// a rule helper for a few seconds): exit 0 for both, and the update's package
// is complete, its new Uninstall.exe too (the old one's batch deletes only
// its own, renamed, file).
TEST_F(UninstallTest, ARemovalAndAnUpdateTakeTurns) {
  const std::wstring binary = Environment(L"ORV_BINARY_DIR");
  const std::wstring large = HostPath(binary + L"/tests/installer/OrvantaSetup-large.exe");
  const std::wstring package = HostPath(binary + L"/tests/installer/window-packages/large/");
  ASSERT_TRUE(FileExists(large));
  const std::wstring update = L"\"" + large + L"\" /S /D=\"" + folder_ + L"\"";
  const std::wstring removal = L"\"" + folder_ + L"Uninstall.exe\" /S";

  {
    SCOPED_TRACE("update first");
    RunningProgram updating(large, L"/S /D=\"" + folder_ + L"\"");
    ASSERT_TRUE(updating.Started());
    for (int waited = 0; waited < 600 && !FolderExists(folder_ + L"{VersionNameFolder}"); ++waited) ::Sleep(50);
    EXPECT_TRUE(FolderExists(folder_ + L"{VersionNameFolder}")) << "the update is writing";
    EXPECT_EQ(0, RunAndWait(removal, kRunLimitMs, folder_));
    EXPECT_EQ(0, updating.WaitForExit(kRunLimitMs));
    ExpectSelfDeleted();
    ExpectRulesUndone();
    // The update put the waiting uninstaller's own file aside, in use; it
    // goes at the next restart. Nothing else is left.
    for (const std::wstring& name : Tree(folder_))
      EXPECT_TRUE(name == L"{ReplacedItems}" || name.rfind(L"{ReplacedItems}\\Uninstall.exe", 0) == 0)
          << testing::PrintToString(name);
  }
  {
    SCOPED_TRACE("removal first");
    Forget();
    ASSERT_EQ(0, RunAndWait(L"\"" + setup_ + L"\" /S /D=\"" + folder_ + L"\"", kRunLimitMs));
    const std::wstring rules = folder_ + version_ + L"\\setup.xml";
    std::string text = ReadFileBytes(rules);
    const std::string call = "param=\"/uninstall\"";
    const size_t at = text.find(call);
    ASSERT_NE(std::string::npos, at);
    text.replace(at, call.size(), "param=\"/uninstall /sleep:3000\"");
    ASSERT_TRUE(WriteFileBytes(rules, text));
    WriteFileBytes(calls_, "");
    RunningProgram removing(folder_ + L"Uninstall.exe", L"/S", folder_);
    ASSERT_TRUE(removing.Started());
    for (int waited = 0; waited < 600 && ReadFileBytes(calls_).find("/uninstall") == std::string::npos; ++waited)
      ::Sleep(50);
    EXPECT_EQ(0, RunAndWait(update, kRunLimitMs));
    EXPECT_EQ(0, removing.WaitForExit(kRunLimitMs));
    ::Sleep(3000);  // the old uninstaller's batch has ended
    EXPECT_TRUE(HoldsPackage(package + L"install-folder\\", folder_));
    EXPECT_TRUE(FileExists(folder_ + L"Uninstall.exe"));
    wchar_t version[64] = {};
    ::GetPrivateProfileStringW(L"Common", L"Version", L"", version, ARRAYSIZE(version),
                               (folder_ + L"Orvanta.ini").c_str());
    EXPECT_TRUE(HoldsPackage(package + L"version-folder\\", folder_ + version + L"\\"));
    EXPECT_FALSE(FolderExists(folder_ + L"{VersionNameFolder}"));
    EXPECT_FALSE(FileExists(folder_ + L"{SetupJournal}"));
  }
}

// A removal killed at step N (the test hook ends the process there) and then
// run again ends where an uninterrupted removal ends, for kills during the
// rules, the per-user data and the file list, up to the step before the last.
TEST_F(UninstallTest, ARemovalKilledAtAStepIsFinishedByTheNextRun) {
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
  // version whose rule file is gone: the second run removes it too.
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
  for (size_t i = 0; i < finished.size(); ++i) EXPECT_EQ(uninterrupted, finished[i]) << "killed at step " << i + 1;
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
