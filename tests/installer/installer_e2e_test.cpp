// End-to-end tests of the installer program: the finished installer of the
// sample package, and installers made here from the plain program and the
// test packages, run silently in the test prefix. Effects are read back from
// the file system, the registry, the shortcut files and the shared log.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::PreferDllsBesideProgram;
using testsupport::ReadFileBytes;
using testsupport::RemoveTree;
using testsupport::RunAndCloseWindow;
using testsupport::RunAndWait;
using testsupport::TempFolder;
using testsupport::WriteFileBytes;

constexpr int kExitInstalled = 0;
constexpr int kExitFailed = 1;
constexpr int kExitTimedOut = 2;
constexpr wchar_t kVersion[] = L"7.19.02N";
constexpr wchar_t kExtractionFolder[] = L"{VersionNameFolder}";

std::wstring BuildFolder() { return testsupport::WineFolderFromEnvironment(L"ORV_BINARY_DIR"); }
std::wstring SampleSetup() { return BuildFolder() + L"OrvantaSetup.exe"; }
std::wstring SignedSampleSetup() { return BuildFolder() + L"OrvantaSetup-signed.exe"; }
// The sample package with the test builds of the programs, which read the test hooks.
std::wstring TestSampleSetup() { return BuildFolder() + L"OrvantaSetup-test.exe"; }
std::wstring SamplePackage() { return BuildFolder() + L"package\\Orvanta\\"; }
std::wstring PlainInstaller() { return BuildFolder() + L"src\\installer\\installer_testbuild.exe"; }
std::wstring TestPackages() { return BuildFolder() + L"tests\\installer\\packages\\"; }
std::wstring TestArchive(const wchar_t* name) {
  return BuildFolder() + L"tests\\installer\\fixtures\\" + name + L".7z";
}

std::wstring SpecialFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
  return path;
}
std::wstring DefaultInstallFolder() { return SpecialFolder(CSIDL_PROGRAM_FILES) + L"\\Orvanta\\"; }
std::wstring DesktopShortcut() { return SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Orvanta.lnk"; }
std::wstring StartMenuFolder() { return SpecialFolder(CSIDL_COMMON_PROGRAMS) + L"\\Orvanta\\"; }
std::wstring LogPath() { return SpecialFolder(CSIDL_COMMON_DOCUMENTS) + L"\\Orvanta\\ovlog.log"; }

int RunSetup(const std::wstring& setup, const std::wstring& arguments, DWORD timeout_ms = 180000) {
  return RunAndWait(L"\"" + setup + L"\" " + arguments, timeout_ms);
}

// The plain installer program with a payload: header "App.", one zero byte,
// the total size, then the archive; the payload offset goes into the COFF
// time-stamp field.
std::string AttachPayload(std::string program, const std::string& archive) {
  uint32_t pe_offset = 0;
  std::memcpy(&pe_offset, &program[0x3C], 4);
  const uint32_t payload_offset = static_cast<uint32_t>(program.size());
  std::memcpy(&program[pe_offset + 8], &payload_offset, 4);
  const uint32_t total_size = 1 << 20;
  program += "App.";
  program += '\0';
  program.append(reinterpret_cast<const char*>(&total_size), 4);
  return program + archive;
}

uint32_t PayloadOffset(const std::string& installer) {
  uint32_t pe_offset = 0, payload_offset = 0;
  std::memcpy(&pe_offset, &installer[0x3C], 4);
  std::memcpy(&payload_offset, &installer[pe_offset + 8], 4);
  return payload_offset;
}

// The log records written since construction, as (level, text) pairs; the
// texts are GBK, as are this file's narrow literals.
class LogWatch {
 public:
  struct Record {
    std::string level;
    std::string text;
  };

  LogWatch() : start_(ReadFileBytes(LogPath()).size()) {}

  std::vector<Record> Records() const {
    std::vector<Record> records;
    const std::string log = ReadFileBytes(LogPath());
    size_t pos = start_;
    while (pos < log.size()) {
      size_t end = log.find('\n', pos);
      if (end == std::string::npos) end = log.size();
      std::string line = log.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pos = end + 1;
      // "dd/MM/yyyy HH:mm:ss.mmm INFO  text" or "... ERROR text"
      if (line.size() < 24) continue;
      const std::string rest = line.substr(24);
      if (rest.compare(0, 6, "INFO  ") == 0) records.push_back({"INFO", rest.substr(6)});
      if (rest.compare(0, 6, "ERROR ") == 0) records.push_back({"ERROR", rest.substr(6)});
    }
    return records;
  }

  bool Contains(const std::string& level, const std::string& text_start) const {
    for (const Record& record : Records())
      if (record.level == level && record.text.compare(0, text_start.size(), text_start) == 0) return true;
    return false;
  }

  // Every expected record, each a level and the start of its text, appears in
  // this order (other records may come between).
  ::testing::AssertionResult InOrder(const std::vector<Record>& expected) const {
    const std::vector<Record> records = Records();
    size_t next = 0;
    for (const Record& record : records) {
      if (next == expected.size()) break;
      const Record& want = expected[next];
      if (record.level == want.level && record.text.compare(0, want.text.size(), want.text) == 0) ++next;
    }
    if (next == expected.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing log record #" << next << " (" << expected[next].level
                                         << ") among " << records.size() << " records";
  }

 private:
  size_t start_;
};

std::string Gbk(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(936, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(936, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

bool ReadRegistryValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD* type,
                       std::vector<BYTE>* data) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  bool ok = ::RegQueryValueExW(handle, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS;
  if (ok) {
    data->resize(size);
    ok = ::RegQueryValueExW(handle, name, nullptr, type, data->data(), &size) == ERROR_SUCCESS;
  }
  ::RegCloseKey(handle);
  return ok;
}

std::wstring RegistryString(HKEY root, const std::wstring& key, const wchar_t* name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!ReadRegistryValue(root, key, name, &type, &data) || type != REG_SZ) return L"<missing>";
  return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

DWORD RegistryDword(HKEY root, const std::wstring& key, const wchar_t* name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!ReadRegistryValue(root, key, name, &type, &data) || type != REG_DWORD || data.size() != 4)
    return 0xDEADBEEF;
  DWORD value = 0;
  std::memcpy(&value, data.data(), 4);
  return value;
}

bool KeyExists(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  ::RegCloseKey(handle);
  return true;
}

struct Shortcut {
  std::wstring target;
  std::wstring arguments;
};

bool ReadShortcut(const std::wstring& path, Shortcut* shortcut) {
  IShellLinkW* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
    return false;
  IPersistFile* file = nullptr;
  bool ok = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
  if (ok) {
    ok = SUCCEEDED(file->Load(path.c_str(), STGM_READ));
    wchar_t text[MAX_PATH * 2] = {};
    if (ok && SUCCEEDED(link->GetPath(text, MAX_PATH * 2, nullptr, 0))) shortcut->target = text;
    text[0] = L'\0';
    if (ok && SUCCEEDED(link->GetArguments(text, MAX_PATH * 2))) shortcut->arguments = text;
    file->Release();
  }
  link->Release();
  return ok;
}

// Relative paths of every file below a folder.
void ListFiles(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>* files) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(folder + name + L"\\", prefix + name + L"\\", files);
    else
      files->push_back(prefix + name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

std::set<std::wstring> EntryNames(const std::wstring& folder) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.insert(name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

// Every file of `expected` exists below `actual` with the same bytes.
::testing::AssertionResult SameFiles(const std::wstring& expected, const std::wstring& actual) {
  std::vector<std::wstring> files;
  ListFiles(expected, L"", &files);
  if (files.empty()) return ::testing::AssertionFailure() << "no files below the expected folder";
  for (const std::wstring& file : files) {
    if (!FileExists(actual + file))
      return ::testing::AssertionFailure() << "missing: " << Gbk(actual + file);
    if (ReadFileBytes(expected + file) != ReadFileBytes(actual + file))
      return ::testing::AssertionFailure() << "different bytes: " << Gbk(actual + file);
  }
  return ::testing::AssertionSuccess();
}

bool WaitForFile(const std::wstring& path, DWORD timeout_ms) {
  for (DWORD waited = 0; waited < timeout_ms; waited += 100) {
    if (FileExists(path)) return true;
    ::Sleep(100);
  }
  return FileExists(path);
}

void MakeFolder(const std::wstring& path) { ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

void MakeFile(const std::wstring& path, const std::string& bytes = "old") {
  ASSERT_TRUE(WriteFileBytes(path, bytes)) << Gbk(path);
}

// A version folder as the application's installation leaves it: its static
// configuration names its version.
void MakeApplicationVersionFolder(const std::wstring& path, const std::wstring& version) {
  MakeFolder(path + L"\\configurations");
  MakeFile(path + L"\\configurations\\staticconfig.xml",
           "<staticconfigs><item id=\"OVVersionString\">" + Gbk(version) + "</item></staticconfigs>");
}

const wchar_t kAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Orvanta.exe";
const wchar_t kProgramListKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";
const wchar_t kProtocolExecuteKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\ProtocolExecute\\orvanta";

// Each test starts and ends without any trace of the application in the prefix.
class InstallerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

  void SetUp() override { RemoveApplication(); }
  void TearDown() override { RemoveApplication(); }

  static void RemoveApplication() {
    RemoveTree(L"C:\\My Apps\\");
    RemoveTree(DefaultInstallFolder());
    RemoveTree(StartMenuFolder());
    ::DeleteFileW(DesktopShortcut().c_str());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAppPathsKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProgramListKey);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"orvanta");
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kProtocolExecuteKey);
  }

  // The sample package's files in the install folder and its version folder.
  static void ExpectSamplePackageFiles(const std::wstring& folder) {
    EXPECT_TRUE(SameFiles(SamplePackage() + L"install-folder\\", folder));
    EXPECT_TRUE(SameFiles(SamplePackage() + L"version-folder\\", folder + kVersion + L"\\"));
    EXPECT_EQ(ReadFileBytes(folder + kVersion + L"\\Quorix.zk"),
              ReadFileBytes(folder + kVersion + L"\\Quorix.dll"));
    EXPECT_FALSE(FolderExists(folder + kExtractionFolder));
  }
};

TEST_F(InstallerTest, InstallsTheSamplePackageIntoTheGivenFolder) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  const std::wstring install_dir = L"C:\\My Apps\\Orvanta";
  LogWatch log;
  ASSERT_EQ(RunSetup(SampleSetup(), L"/S /D=\"C:\\My Apps\\Orvanta\""), kExitInstalled);

  ExpectSamplePackageFiles(folder);
  EXPECT_EQ(EntryNames(folder).count(L"Orvanta.exe"), 1u);

  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, kAppPathsKey, nullptr), install_dir + L"\\Orvanta.exe");
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"Path"), install_dir);
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, kProgramListKey, L"DisplayVersion"), kVersion);
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, kProgramListKey, L"QuietUninstallString"),
            L"\"" + install_dir + L"\\Uninstall.exe\" /S");
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, kProgramListKey, L"InstallLocation"), install_dir);
  EXPECT_EQ(RegistryDword(HKEY_LOCAL_MACHINE, kProgramListKey, L"EstimatedSize"), 1024u);
  EXPECT_EQ(RegistryString(HKEY_CLASSES_ROOT, L"orvanta\\shell\\open\\command", nullptr),
            L"\"" + install_dir + L"\\Orvanta.exe\" \"%1\"");
  EXPECT_EQ(RegistryDword(HKEY_CURRENT_USER, kProtocolExecuteKey, L"WarnOnOpen"), 0u);

  Shortcut desktop;
  ASSERT_TRUE(ReadShortcut(DesktopShortcut(), &desktop));
  EXPECT_EQ(desktop.target, install_dir + L"\\Orvanta.exe");
  EXPECT_EQ(desktop.arguments, L"/run:desktop");
  Shortcut start_menu;
  ASSERT_TRUE(ReadShortcut(StartMenuFolder() + L"Orvanta.lnk", &start_menu));
  EXPECT_EQ(start_menu.arguments, L"/run:startmenu");
  Shortcut uninstall;
  ASSERT_TRUE(ReadShortcut(StartMenuFolder() + L"卸载 Orvanta.lnk", &uninstall));
  EXPECT_EQ(uninstall.target, install_dir + L"\\Uninstall.exe");

  // The helper processes: /addtask is waited for, the version folder's
  // program is only started.
  EXPECT_NE(ReadFileBytes(folder + L"Orvanta.calls.txt").find("/addtask"), std::string::npos);
  const std::wstring velpane_calls = folder + kVersion + L"\\Velpane.calls.txt";
  ASSERT_TRUE(WaitForFile(velpane_calls, 10000));
  EXPECT_NE(ReadFileBytes(velpane_calls).find("/install /path:\"C:\\My Apps\\Orvanta\""), std::string::npos);

  const std::string extraction = Gbk(folder + kExtractionFolder + L"\\");
  EXPECT_TRUE(log.InOrder({{"INFO", "开始安装..."},
                           {"INFO", "开始释放文件:" + extraction},
                           {"INFO", "移动目录:" + extraction + "到" + Gbk(folder + kVersion + L"\\")},
                           {"INFO", "开始执行安装配置"},
                           {"INFO", "运行安装配置"},
                           {"INFO", "安装完成，通知界面"}}));
  for (const char* failure : {"获取版本失败", "拷贝到版本目录失败", "安装包数据损坏", "释放文件失败", "读取安装配置失败"})
    EXPECT_FALSE(log.Contains("ERROR", failure)) << failure;
}

TEST_F(InstallerTest, SilentOptionsAndTheDefaultFolder) {
  // -S works like /S; an empty D, and a D whose quote is never closed, leave
  // the default folder.
  for (const wchar_t* arguments : {L"/S", L"-S", L"/S /D=", L"/S /D=\"C:\\Unclosed"}) {
    SCOPED_TRACE(Gbk(arguments));
    ASSERT_EQ(RunSetup(SampleSetup(), arguments), kExitInstalled);
    EXPECT_TRUE(FileExists(DefaultInstallFolder() + kVersion + L"\\setup.xml"));
    EXPECT_TRUE(FileExists(DefaultInstallFolder() + L"Orvanta.exe"));
    EXPECT_FALSE(FolderExists(L"C:\\Unclosed"));
    RemoveApplication();
  }
}

TEST_F(InstallerTest, SignedInstallerInstallsTheSamePackage) {
  ASSERT_EQ(RunSetup(SignedSampleSetup(), L"/S /G /D=\"C:\\My Apps\\Orvanta\""), kExitInstalled);
  ExpectSamplePackageFiles(L"C:\\My Apps\\Orvanta\\");
}

// The version is read through the file's wide name: a folder name outside
// the ANSI code page (Thai letters under code page 936) installs all the same.
TEST_F(InstallerTest, FolderNameOutsideTheAnsiCodePage) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta \x0E01\x0E02\\";
  ASSERT_EQ(RunSetup(SampleSetup(), L"/S /G /D=\"" + folder + L"\""), kExitInstalled);
  ExpectSamplePackageFiles(folder);
}

TEST_F(InstallerTest, LowerCaseSIsNotTheSilentOption) {
  // "/s" takes the windowed path: the window shows, installs nothing by
  // itself, and closing it ends the installer with 0.
  EXPECT_EQ(RunAndCloseWindow(L"\"" + SampleSetup() + L"\" /s"), 0);
  EXPECT_FALSE(FolderExists(DefaultInstallFolder()));
}

TEST_F(InstallerTest, OptionGInstallsTheFilesWithoutAnyRule) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  LogWatch log;
  ASSERT_EQ(RunSetup(SampleSetup(), L"/S /G /D=\"C:\\My Apps\\Orvanta\""), kExitInstalled);
  ExpectSamplePackageFiles(folder);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProgramListKey));
  EXPECT_FALSE(FileExists(DesktopShortcut()));
  EXPECT_FALSE(FolderExists(StartMenuFolder()));
  ::Sleep(1000);
  EXPECT_FALSE(FileExists(folder + L"Orvanta.calls.txt"));
  EXPECT_FALSE(FileExists(folder + kVersion + L"\\Velpane.calls.txt"));
  EXPECT_TRUE(log.Contains("INFO", "安装完成，通知界面"));
  EXPECT_FALSE(log.Contains("INFO", "开始执行安装配置"));
}

// The silent wait has a limit (ten minutes; the test hook shortens it to
// 1 ms, far less than any installation takes): the installation that
// outlives it is stopped, the installer ends with 2 and nothing reports the
// installation as finished. The thread is ended wherever it happens to be,
// possibly holding a lock the process would need to go on: it runs several
// times so that such a moment is hit (the installer then hung).
TEST_F(InstallerTest, SilentInstallationThatOutlivesTheWaitEndsWithTwo) {
  LogWatch log;
  ::SetEnvironmentVariableW(L"ORV_TEST_INSTALL_WAIT_MS", L"1");
  for (int run = 0; run < 12; ++run)
    EXPECT_EQ(RunSetup(TestSampleSetup(), L"/S /D=\"C:\\My Apps\\Orvanta\"", 30000), kExitTimedOut) << "run " << run;
  ::SetEnvironmentVariableW(L"ORV_TEST_INSTALL_WAIT_MS", nullptr);
  EXPECT_FALSE(log.Contains("INFO", "安装完成"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsKey)) << "the rules ran after the limit";
}

TEST_F(InstallerTest, InstallingOverAnExistingInstallation) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  for (const wchar_t* sub : {L"7.18.01N", L"7.19.02N\\bin", L"12.05.31N", L"data", L"new", L"7.19.2N"})
    MakeFolder(folder + sub);
  MakeFile(folder + L"7.18.01N\\Quorix.dll");
  MakeFile(folder + L"7.19.02N\\stale.dll");
  MakeFile(folder + L"7.19.02N\\bin\\stale.dll");
  MakeFile(folder + L"12.05.31N\\a.txt");
  MakeFile(folder + L"data\\user.dat", "keep me");
  MakeFile(folder + L"new\\pending.txt");
  MakeFile(folder + L"7.19.2N\\a.txt");
  MakeFile(folder + L"Orvanta.ini", "[Common]\r\nVersion=7.18.01N\r\n");
  for (const wchar_t* version : {L"7.18.01N", L"7.19.02N", L"12.05.31N"})
    MakeApplicationVersionFolder(folder + version, version);

  ASSERT_EQ(RunSetup(SampleSetup(), L"/S /G /D=\"C:\\My Apps\\Orvanta\""), kExitInstalled);
  ExpectSamplePackageFiles(folder);
  EXPECT_FALSE(FolderExists(folder + L"7.18.01N"));
  EXPECT_FALSE(FolderExists(folder + L"12.05.31N"));
  EXPECT_FALSE(FolderExists(folder + L"new"));
  EXPECT_FALSE(FileExists(folder + L"7.19.02N\\stale.dll"));
  EXPECT_FALSE(FolderExists(folder + L"7.19.02N\\bin"));
  EXPECT_EQ(ReadFileBytes(folder + L"data\\user.dat"), "keep me");
  EXPECT_TRUE(FileExists(folder + L"7.19.2N\\a.txt"));
}

// "new" and an older version folder planted as links to folders elsewhere:
// the installation goes on, what they point to keeps its files, and each link
// is gone or, where the system reaches it only through its target, left as it was.
TEST_F(InstallerTest, LinksInTheInstallFolderAreNeverFollowed) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  const std::wstring elsewhere = L"C:\\My Apps\\Elsewhere\\";
  MakeFolder(folder);
  for (const wchar_t* name : {L"new", L"7.18.01N"}) {
    MakeFolder(elsewhere + name + L"\\sub");
    MakeFile(elsewhere + name + L"\\sub\\mine.txt", "mine");
    ASSERT_TRUE(testsupport::PlantLink(folder + name, elsewhere + name)) << Gbk(name);
  }

  ASSERT_EQ(RunSetup(SampleSetup(), L"/S /G /D=\"C:\\My Apps\\Orvanta\""), kExitInstalled);
  ExpectSamplePackageFiles(folder);
  for (const wchar_t* name : {L"new", L"7.18.01N"}) {
    EXPECT_EQ(ReadFileBytes(elsewhere + name + L"\\sub\\mine.txt"), "mine") << Gbk(name);
    EXPECT_TRUE(!FolderExists(folder + name) || testsupport::IsLinkTo(folder + name, elsewhere + name)) << Gbk(name);
  }
}

// Installers made here from the plain program (its test build) and a test package.
class MadeInstallerTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    program_ = ReadFileBytes(PlainInstaller());
    ASSERT_GT(program_.size(), 0x400u);
  }

  std::wstring MakeSetup(const std::string& bytes) {
    const std::wstring path = temp_.path() + L"setup-" + std::to_wstring(++count_) + L".exe";
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }
  std::string Installer(const wchar_t* package) { return AttachPayload(program_, ReadFileBytes(TestArchive(package))); }

  std::string program_;
  TempFolder temp_{L"orvsetup"};
  int count_ = 0;
};

TEST_F(MadeInstallerTest, NonPatternVersionFolderIsEmptiedAndRefilled) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  const std::wstring version_folder = folder + L"7.19.02T\\";
  MakeFolder(version_folder + L"old");
  MakeFile(version_folder + L"Quorix.dll", "stale library");
  MakeFile(version_folder + L"old\\stale.txt");
  MakeApplicationVersionFolder(folder + L"7.19.02T", L"7.19.02T");

  LogWatch log;
  ASSERT_EQ(RunSetup(MakeSetup(Installer(L"version-t")), L"/S /D=\"C:\\My Apps\\Orvanta\""), kExitInstalled);
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-t\\version-folder\\", version_folder));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-t\\install-folder\\", folder));
  EXPECT_FALSE(FileExists(version_folder + L"old\\stale.txt"));
  EXPECT_EQ(ReadFileBytes(version_folder + L"Quorix.zk"), ReadFileBytes(version_folder + L"Quorix.dll"));
  EXPECT_TRUE(log.InOrder({{"INFO", "覆盖安装,删除老文件"}, {"INFO", "移动目录:"}, {"INFO", "安装完成，通知界面"}}));
}

// A rule helper waited for without end (wait="-1") that runs far past the
// limit (5 s here, with a grace of 2 s): it is waited for within the limit
// only, and the installer ends with 2 and a record long before the helper
// ends, the package itself in place.
TEST_F(MadeInstallerTest, ARuleHelperThatDoesNotEndEndsTheRunAtTheLimit) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  LogWatch log;
  ::SetEnvironmentVariableW(L"ORV_TEST_INSTALL_WAIT_MS", L"5000");
  ::SetEnvironmentVariableW(L"ORV_TEST_WAIT_GRACE_MS", L"2000");
  // The helper runs for a minute: a run that waited for it would outlive
  // this wait.
  const int code = RunSetup(MakeSetup(Installer(L"endless-helper")), L"/S /D=\"C:\\My Apps\\Orvanta\"", 40000);
  ::SetEnvironmentVariableW(L"ORV_TEST_INSTALL_WAIT_MS", nullptr);
  ::SetEnvironmentVariableW(L"ORV_TEST_WAIT_GRACE_MS", nullptr);
  EXPECT_EQ(kExitTimedOut, code);
  EXPECT_TRUE(log.Contains("ERROR", "安装超时，停止安装"));
  EXPECT_TRUE(SameFiles(TestPackages() + L"endless-helper\\version-folder\\", folder + L"7.19.02N\\"));
  EXPECT_TRUE(SameFiles(TestPackages() + L"endless-helper\\install-folder\\", folder));
}

// Whether a handle opened on a link with FILE_FLAG_OPEN_REPARSE_POINT is the
// link's own, so that the link alone can be deleted through it (Windows), or
// reaches its target (Wine with host symbolic links).
bool HandlesReachLinksThemselves(const std::wstring& scratch) {
  const std::wstring target = scratch + L"probe-target";
  const std::wstring link = scratch + L"probe-link";
  MakeFolder(target);
  if (!testsupport::PlantLink(link, target)) return false;
  bool own = false;
  const HANDLE handle = ::CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    FILE_BASIC_INFO basic = {};
    own = ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
          (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ::CloseHandle(handle);
  }
  testsupport::RemoveHostLink(link);
  ::RemoveDirectoryW(target.c_str());
  return own;
}

// A link left where the extraction folder goes, and one where the package's
// version folder (a name the clean-up keeps) goes: where the system lets the
// link alone be deleted the installer removes it and installs; where it
// reaches only the target, the installer keeps the link, says so (the
// leftover extraction folder at the clean-up, the version folder at the
// switch) and fails. Either way nothing is deleted in or written into the target.
TEST_F(MadeInstallerTest, LinksWhereTheExtractionAndVersionFoldersGo) {
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
  const std::wstring elsewhere = temp_.path() + L"elsewhere\\";
  const bool removable = HandlesReachLinksThemselves(temp_.path());
  const std::pair<std::wstring, std::string> cases[] = {{kExtractionFolder, "无法只删除链接本身，保留链接:"},
                                                        {L"7.19.02T", "无法只移走链接本身，不安装:"}};
  for (const auto& [name, kept_record] : cases) {
    SCOPED_TRACE(Gbk(name));
    const std::wstring target = elsewhere + name;
    MakeFolder(target + L"\\sub");
    MakeFile(target + L"\\sub\\mine.txt", "mine");
    MakeFolder(folder);
    ASSERT_TRUE(testsupport::PlantLink(folder + name, target));

    LogWatch log;
    const int code = RunSetup(MakeSetup(Installer(L"version-t")), L"/S /G /D=\"C:\\My Apps\\Orvanta\"");
    EXPECT_EQ(ReadFileBytes(target + L"\\sub\\mine.txt"), "mine");
    EXPECT_EQ(EntryNames(target + L"\\"), std::set<std::wstring>{L"sub"});
    if (removable) {
      EXPECT_EQ(code, kExitInstalled);
      EXPECT_FALSE(testsupport::IsLinkTo(folder + name, target));
      EXPECT_TRUE(SameFiles(TestPackages() + L"version-t\\version-folder\\", folder + L"7.19.02T\\"));
    } else {
      EXPECT_EQ(code, kExitFailed);
      EXPECT_TRUE(testsupport::IsLinkTo(folder + name, target));
      EXPECT_TRUE(log.Contains("ERROR", kept_record + Gbk(folder + name)));
      EXPECT_FALSE(log.Contains("INFO", "安装完成"));
      EXPECT_FALSE(FolderExists(folder + L"7.19.02T") && !testsupport::IsLinkTo(folder + L"7.19.02T", target));
    }
    testsupport::RemoveHostLink(folder + name);
    RemoveApplication();
  }
}

// The version cannot be read: the installation fails with "获取版本失败",
// removes what it wrote and places nothing in the install folder.
TEST_F(MadeInstallerTest, PackageWithoutReadableVersionFails) {
  for (const wchar_t* package : {L"no-config", L"idless-item"}) {
    SCOPED_TRACE(Gbk(package));
    const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
    LogWatch log;
    EXPECT_EQ(RunSetup(MakeSetup(Installer(package)), L"/S /D=\"C:\\My Apps\\Orvanta\""), kExitFailed);
    EXPECT_TRUE(log.Contains("ERROR", "获取版本失败"));
    EXPECT_FALSE(log.Contains("INFO", "安装完成"));
    EXPECT_FALSE(FolderExists(folder + kExtractionFolder));
    EXPECT_FALSE(FileExists(folder + L"App.txt"));
    EXPECT_FALSE(FolderExists(folder + kVersion));
    RemoveApplication();
  }
}

TEST_F(MadeInstallerTest, TimeStampNotPointingAtThePayloadFails) {
  std::string setup = Installer(L"small");
  const uint32_t payload_offset = PayloadOffset(setup);
  uint32_t pe_offset = 0;
  std::memcpy(&pe_offset, &setup[0x3C], 4);
  for (const uint32_t wrong : {payload_offset + 1, 0u, static_cast<uint32_t>(setup.size()) - 4, 0xFFFFFFF9u}) {
    SCOPED_TRACE(wrong);
    std::memcpy(&setup[pe_offset + 8], &wrong, 4);
    const std::wstring folder = L"C:\\My Apps\\Orvanta\\";
    LogWatch log;
    EXPECT_EQ(RunSetup(MakeSetup(setup), L"/S /D=\"C:\\My Apps\\Orvanta\""), kExitFailed);
    EXPECT_TRUE(log.Contains("ERROR", "释放文件失败"));
    EXPECT_FALSE(FolderExists(folder + kExtractionFolder));
    EXPECT_FALSE(FileExists(folder + L"App.txt"));
    RemoveApplication();
  }
}

TEST_F(MadeInstallerTest, DamagedOrTruncatedPackageFailsWithoutInstalling) {
  const std::string good = Installer(L"small");
  const size_t archive = PayloadOffset(good) + 9;
  const std::wstring folder = L"C:\\My Apps\\Orvanta\\";

  // A changed byte in the packed data: the data check fails, nothing is written.
  std::string damaged = good;
  damaged[archive + 40] = static_cast<char>(damaged[archive + 40] ^ 0x5A);
  LogWatch log;
  EXPECT_EQ(RunSetup(MakeSetup(damaged), L"/S /D=\"C:\\My Apps\\Orvanta\""), kExitFailed);
  EXPECT_TRUE(log.Contains("ERROR", "安装包数据损坏"));
  EXPECT_FALSE(log.Contains("INFO", "安装完成"));
  EXPECT_FALSE(FolderExists(folder + kVersion));
  EXPECT_FALSE(FileExists(folder + L"App.txt"));
  RemoveApplication();

  // Cut inside the archive, and inside the payload header.
  for (const size_t length : {good.size() - 1, archive + (good.size() - archive) / 2, archive + 10, archive - 4}) {
    SCOPED_TRACE(length);
    LogWatch cut_log;
    EXPECT_EQ(RunSetup(MakeSetup(good.substr(0, length)), L"/S /D=\"C:\\My Apps\\Orvanta\""), kExitFailed);
    EXPECT_FALSE(cut_log.Contains("INFO", "安装完成"));
    EXPECT_FALSE(FolderExists(folder + kVersion));
    RemoveApplication();
  }
}

// Every file below a folder with its bytes, by relative path.
std::map<std::wstring, std::string> FolderContents(const std::wstring& folder) {
  std::vector<std::wstring> files;
  ListFiles(folder, L"", &files);
  std::map<std::wstring, std::string> contents;
  for (const std::wstring& file : files) contents[file] = ReadFileBytes(folder + file);
  return contents;
}

// A test hook of the switch set for the runs started while it lives.
class Hook {
 public:
  Hook(const wchar_t* name, const std::wstring& value) : name_(name) { ::SetEnvironmentVariableW(name, value.c_str()); }
  Hook(const wchar_t* name, int value) : Hook(name, std::to_wstring(value)) {}
  ~Hook() { ::SetEnvironmentVariableW(name_, nullptr); }
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;

 private:
  const wchar_t* name_;
};

constexpr wchar_t kFailAt[] = L"ORV_TEST_SWITCH_FAIL_AT";
constexpr wchar_t kKillAt[] = L"ORV_TEST_SWITCH_KILL_AT";
constexpr wchar_t kKillAfterRecord[] = L"ORV_TEST_SWITCH_KILL_AFTER_RECORD";
constexpr int kExitKilled = 99;

// The journal's text, or empty when there is none.
std::wstring JournalText(const std::wstring& folder) {
  const std::string bytes = ReadFileBytes(folder + L"{SetupJournal}");
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// Updates: the sample application is installed (version A), then an
// installer of another version runs over it.
class UpdateTest : public MadeInstallerTest {
 protected:
  const std::wstring folder_ = L"C:\\My Apps\\Orvanta\\";
  const std::wstring arguments_ = L"/S /G /D=\"C:\\My Apps\\Orvanta\"";

  void InstallVersionA() {
    ASSERT_EQ(RunSetup(SampleSetup(), arguments_), kExitInstalled);
    version_a_ = FolderContents(folder_);
    ASSERT_EQ(version_a_.count(kVersion + std::wstring(L"\\Quorix.zk")), 1u);
  }

  // A's files are all there with their bytes, nothing else is, and its
  // program still starts.
  void ExpectVersionAIntact() {
    EXPECT_TRUE(FolderContents(folder_) == version_a_) << "the installation of version A changed";
    ::DeleteFileW((folder_ + L"Orvanta.calls.txt").c_str());
    EXPECT_EQ(RunAndWait(L"\"" + folder_ + L"Orvanta.exe\" /run:test"), 0);
    EXPECT_NE(ReadFileBytes(folder_ + L"Orvanta.calls.txt").find("/run:test"), std::string::npos);
    ::DeleteFileW((folder_ + L"Orvanta.calls.txt").c_str());
  }

  std::map<std::wstring, std::string> version_a_;
};

// The updates failed or killed at every step of the switch, each many runs
// of the installer: a test program run of their own.
class SwitchStepTest : public UpdateTest {};

TEST_F(UpdateTest, FailedUpdateLeavesThePreviousInstallationAsItWas) {
  InstallVersionA();
  const std::string good = Installer(L"version-b");
  const size_t archive = PayloadOffset(good) + 9;
  std::string damaged = good;
  damaged[archive + 40] = static_cast<char>(damaged[archive + 40] ^ 0x5A);
  const struct {
    const char* name;
    std::string setup;
    const char* error;
  } updates[] = {
      {"damaged archive", damaged, "安装包数据损坏"},
      {"truncated archive", good.substr(0, good.size() - 1), nullptr},
      {"unusable version", Installer(L"no-config"), "获取版本失败"},
  };
  for (const auto& update : updates) {
    SCOPED_TRACE(update.name);
    LogWatch log;
    EXPECT_EQ(RunSetup(MakeSetup(update.setup), arguments_), kExitFailed);
    if (update.error) {
      EXPECT_TRUE(log.Contains("ERROR", update.error));
    }
    EXPECT_FALSE(log.Contains("INFO", "安装完成"));
    ExpectVersionAIntact();
  }
}

TEST_F(UpdateTest, CompleteUpdateReplacesThePreviousVersion) {
  InstallVersionA();
  ASSERT_EQ(RunSetup(MakeSetup(Installer(L"version-b")), arguments_), kExitInstalled);
  EXPECT_FALSE(FolderExists(folder_ + kVersion));
  EXPECT_FALSE(FolderExists(folder_ + kExtractionFolder));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\install-folder\\", folder_));
  EXPECT_EQ(ReadFileBytes(folder_ + L"7.20.01N\\Quorix.zk"), ReadFileBytes(folder_ + L"7.20.01N\\Quorix.dll"));
  // A's program is not part of B: it stays.
  EXPECT_EQ(ReadFileBytes(folder_ + L"Orvanta.exe"), version_a_[L"Orvanta.exe"]);
}

// The update's switch is failed, and killed before and after each step's
// record, at each of its steps in turn. A failure gives exit 1 and A byte
// for byte; a kill leaves the journal, and the next run finishes the switch
// or undoes it and installs B complete.
TEST_F(SwitchStepTest, EveryStepOfTheSwitchCanFailOrBeKilled) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  for (int step = 1;; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    int finished = 0;
    for (const wchar_t* hook : {kFailAt, kKillAt, kKillAfterRecord}) {
      SCOPED_TRACE(Gbk(hook));
      InstallVersionA();
      int code = 0;
      {
        Hook set(hook, step);
        code = RunSetup(update, arguments_);
      }
      if (code == kExitInstalled) {
        ++finished;
        RemoveApplication();
        continue;
      }
      if (hook == kFailAt) {
        EXPECT_EQ(code, kExitFailed);
        ExpectVersionAIntact();
        RemoveApplication();
        continue;
      }
      EXPECT_EQ(code, kExitKilled);
      EXPECT_TRUE(FileExists(folder_ + L"{SetupJournal}"));
      LogWatch log;
      ASSERT_EQ(RunSetup(update, arguments_), kExitInstalled);
      EXPECT_TRUE(log.Contains("INFO", "发现未完成的安装切换"));
      EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
      EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\install-folder\\", folder_));
      for (const wchar_t* gone : {kVersion, kExtractionFolder, L"{ReplacedItems}", L"{SetupJournal}"})
        EXPECT_FALSE(FileExists(folder_ + gone)) << Gbk(gone);
      RemoveApplication();
    }
    if (finished == 3) {
      EXPECT_GT(step, 5) << "the switch has more steps than that";
      break;
    }
  }
}

// A kill at each step before the commit, followed by A's uninstaller
// instead of another run: the uninstaller undoes the switch first and then
// removes A whole, leaving nothing of either version.
TEST_F(SwitchStepTest, AKilledSwitchIsUndoneByTheUninstallerToo) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  int undone = 0;
  for (int run = 0; run < 40; ++run) {
    const int step = run / 2 + 1;
    const wchar_t* hook = run % 2 ? kKillAfterRecord : kKillAt;
    SCOPED_TRACE("step " + std::to_string(step) + " " + Gbk(hook));
    InstallVersionA();
    int killed = 0;
    {
      Hook set(hook, step);
      killed = RunSetup(update, arguments_);
    }
    ASSERT_EQ(killed, kExitKilled);
    if (JournalText(folder_).find(L"commit") != std::wstring::npos) break;  // from here on the update has happened
    ++undone;
    ASSERT_EQ(RunAndWait(L"\"" + folder_ + L"Uninstall.exe\" /S", 120000), 0);
    std::set<std::wstring> left = EntryNames(folder_);
    for (int i = 0; i < 100 && !left.empty(); ++i) {
      ::Sleep(100);  // the uninstaller deletes itself after it ended
      left = EntryNames(folder_);
    }
    EXPECT_TRUE(left.empty()) << testing::PrintToString(std::vector<std::wstring>(left.begin(), left.end()));
    RemoveApplication();
  }
  EXPECT_GT(undone, 10);
}

TEST_F(UpdateTest, FailedStepsLeaveThePreviousInstallationByteForByte) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  InstallVersionA();
  for (int step = 1; step <= 12; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    ::SetEnvironmentVariableW(L"ORV_TEST_SWITCH_FAIL_AT", std::to_wstring(step).c_str());
    LogWatch log;
    const int code = RunSetup(update, arguments_);
    ::SetEnvironmentVariableW(L"ORV_TEST_SWITCH_FAIL_AT", nullptr);
    if (code == kExitInstalled) break;
    EXPECT_EQ(code, kExitFailed);
    EXPECT_TRUE(log.Contains("INFO", "撤销完成，保留原安装"));
    ExpectVersionAIntact();
  }
}

// The commit record's flush fails, and the run is killed at each step of the
// undo that follows: the record was cut off the journal first, so the next
// run (whose own switch then fails) undoes the rest and leaves A complete.
TEST_F(SwitchStepTest, AFailedCommitRecordIsNeverTakenForACommit) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  for (int step = 1;; ++step) {
    SCOPED_TRACE("undo step " + std::to_string(step));
    InstallVersionA();
    int code = 0;
    {
      Hook flush(L"ORV_TEST_SWITCH_COMMIT_FLUSH_FAIL", 1);
      Hook kill(L"ORV_TEST_SWITCH_UNDO_KILL_AT", step);
      code = RunSetup(update, arguments_);
    }
    if (code == kExitFailed) {
      EXPECT_GT(step, 5) << "the undo has more steps than that";
      ExpectVersionAIntact();
      break;
    }
    ASSERT_EQ(code, kExitKilled);
    EXPECT_EQ(JournalText(folder_).find(L"commit"), std::wstring::npos);
    LogWatch log;
    {
      Hook fail(kFailAt, 1);
      EXPECT_EQ(RunSetup(update, arguments_), kExitFailed);
    }
    EXPECT_TRUE(log.Contains("INFO", "发现未完成的安装切换"));
    ExpectVersionAIntact();
    RemoveApplication();
  }
}

// A leftover "{ReplacedItems}" of an earlier run with a file in it held open,
// at the very name the switch moves A's version folder to: an update that
// fails at each step leaves A as it was, and one that goes through installs B
// while the file is held, and again once it is free, which clears the leftover.
TEST_F(UpdateTest, ALeftoverThatCannotBeRemovedNeverFailsAnUpdate) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  InstallVersionA();
  const std::wstring held_path = folder_ + L"{ReplacedItems}\\7.19.02N\\Quorix.dll";
  MakeFolder(folder_ + L"{ReplacedItems}\\7.19.02N");
  MakeFile(held_path, "left by an earlier update");
  HANDLE held = ::CreateFileW(held_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const std::map<std::wstring, std::string> with_leftover = FolderContents(folder_);
  for (int step = 1;; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    int code = 0;
    {
      Hook fail(kFailAt, step);
      code = RunSetup(update, arguments_);
    }
    if (code == kExitInstalled) break;
    ASSERT_EQ(code, kExitFailed);
    EXPECT_TRUE(FolderContents(folder_) == with_leftover) << "the installation of version A changed";
  }
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\install-folder\\", folder_));
  EXPECT_FALSE(FolderExists(folder_ + kVersion));
  EXPECT_TRUE(FileExists(held_path));
  ::CloseHandle(held);
  ASSERT_EQ(RunSetup(update, arguments_), kExitInstalled);
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
  EXPECT_FALSE(FolderExists(folder_ + L"{ReplacedItems}"));
  EXPECT_FALSE(FileExists(folder_ + L"{SetupJournal}"));
}

// A killed update whose journal names an entry that another program deleted
// since (A's version folder put aside, or B's item already in place): the
// next installer goes forward and installs B complete, the uninstaller
// removes what is there; both say what they could not undo.
TEST_F(UpdateTest, AnEntryGoneFromAKilledSwitchNeverKeepsTheNextRunStuck) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  const struct {
    bool uninstall;
    int kill_at;
    std::wstring gone;
    std::wstring record;
  } cases[] = {
      {false, 4, L"{ReplacedItems}\\7.19.02N", L"rename\t7.19.02N"},
      {false, 6, L"App.txt", L"rename\t{VersionNameFolder}\\{InstallFolderItems}\\App.txt"},
      {true, 6, L"App.txt", L"rename\t{VersionNameFolder}\\{InstallFolderItems}\\App.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Gbk(c.gone) + (c.uninstall ? " uninstaller" : " installer"));
    InstallVersionA();
    {
      Hook kill(kKillAt, c.kill_at);
      ASSERT_EQ(RunSetup(update, arguments_), kExitKilled);
    }
    RemoveTree(folder_ + c.gone);
    ASSERT_FALSE(FileExists(folder_ + c.gone));
    LogWatch log;
    if (c.uninstall) {
      EXPECT_EQ(RunAndWait(L"\"" + folder_ + L"Uninstall.exe\" /S", 120000), 0);
      std::set<std::wstring> left = EntryNames(folder_);
      for (int i = 0; i < 100 && !left.empty(); ++i) {
        ::Sleep(100);  // the uninstaller deletes itself after it ended
        left = EntryNames(folder_);
      }
      EXPECT_TRUE(left.empty()) << testing::PrintToString(std::vector<std::wstring>(left.begin(), left.end()));
    } else {
      EXPECT_EQ(RunSetup(update, arguments_), kExitInstalled);
      EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
      EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\install-folder\\", folder_));
      EXPECT_FALSE(FileExists(folder_ + L"{SetupJournal}"));
    }
    EXPECT_TRUE(log.Contains("ERROR", "撤销安装步骤失败:" + Gbk(c.record)));
    EXPECT_TRUE(log.Contains("ERROR", "安装切换无法完全撤销"));
    RemoveApplication();
  }
}

// An update of a package with a plug-in folder, while A's plug-in folder
// holds the user's own file: after the update both the user's file and B's
// plug-in are there; a failure at any step leaves A as it was, the user's
// file included; a kill before or after any step's record is made good by
// the next run, which keeps the user's file too.
TEST_F(SwitchStepTest, AnUpdateMergesIntoSubFoldersAndKeepsTheUsersFiles) {
  const std::wstring update = MakeSetup(Installer(L"version-p"));
  const std::string new_plugin = ReadFileBytes(TestPackages() + L"version-p\\install-folder\\plugins\\p.dll");
  auto install_a = [&] {
    InstallVersionA();
    MakeFolder(folder_ + L"plugins");
    MakeFile(folder_ + L"plugins\\p.dll", "A's plug-in");
    MakeFile(folder_ + L"plugins\\mine.txt", "the user's");
  };
  auto expect_b = [&] {
    EXPECT_EQ(ReadFileBytes(folder_ + L"plugins\\mine.txt"), "the user's");
    EXPECT_EQ(ReadFileBytes(folder_ + L"plugins\\p.dll"), new_plugin);
    EXPECT_TRUE(SameFiles(TestPackages() + L"version-p\\version-folder\\", folder_ + L"7.20.01N\\"));
    EXPECT_FALSE(FolderExists(folder_ + L"{ReplacedItems}"));
  };
  install_a();
  const std::map<std::wstring, std::string> before = FolderContents(folder_);
  int steps = 0;
  for (int step = 1;; ++step) {
    SCOPED_TRACE("failing step " + std::to_string(step));
    int code = 0;
    {
      Hook fail(kFailAt, step);
      code = RunSetup(update, arguments_);
    }
    if (code == kExitInstalled) break;
    ASSERT_EQ(code, kExitFailed);
    EXPECT_TRUE(FolderContents(folder_) == before) << "the installation of version A changed";
    steps = step;
  }
  expect_b();
  RemoveApplication();
  EXPECT_GT(steps, 6);
  for (int step = 1; step <= steps + 2; ++step) {
    for (const wchar_t* hook : {kKillAt, kKillAfterRecord}) {
      SCOPED_TRACE("step " + std::to_string(step) + " " + Gbk(hook));
      install_a();
      int code = 0;
      {
        Hook kill(hook, step);
        code = RunSetup(update, arguments_);
      }
      EXPECT_TRUE(code == kExitKilled || code == kExitInstalled) << code;
      EXPECT_EQ(ReadFileBytes(folder_ + L"plugins\\mine.txt"), "the user's");
      ASSERT_EQ(RunSetup(update, arguments_), kExitInstalled);
      expect_b();
      RemoveApplication();
    }
  }
}

// Journals planted in an installed folder: each one the switch does not
// write makes the update fail before it changes anything, the journal
// included, and the uninstaller removes nothing; a genuine journal of the
// earlier format (no format line) is undone and the update installs B.
TEST_F(UpdateTest, APlantedJournalIsNeverCarriedOut) {
  const std::wstring update = MakeSetup(Installer(L"version-b"));
  const std::wstring format = L"orvanta-switch-journal\t2\n";
  const struct {
    const char* name;
    std::wstring journal;
    const wchar_t* planted;  // a folder with rules of its own
  } foreign[] = {
      {"a create naming the main program", L"mkdir\tOrvanta.exe\n", nullptr},
      {"a version folder swapped for a planted one",
       L"rename\t7.19.02N\tmoved\nrename\tevil\t7.19.02N\n", L"moved"},
      {"records out of order",
       format + L"mkdir\t{ReplacedItems}\nrename\t{VersionNameFolder}\t7.19.02N\n"
                L"rename\t7.19.02N\t{ReplacedItems}\\7.19.02N\n",
       L"{VersionNameFolder}"},
      {"garbage", L"\x5a4d\x0090\x0003\n\x0004", nullptr},
  };
  for (const auto& c : foreign) {
    SCOPED_TRACE(c.name);
    InstallVersionA();
    if (c.planted) {
      MakeFolder(folder_ + c.planted);
      MakeFile(folder_ + c.planted + L"\\setup.xml", "<setup/>");
    }
    ASSERT_TRUE(WriteFileBytes(folder_ + L"{SetupJournal}",
                               std::string(reinterpret_cast<const char*>(c.journal.data()), c.journal.size() * 2)));
    const std::map<std::wstring, std::string> planted = FolderContents(folder_);
    LogWatch log;
    EXPECT_EQ(RunSetup(update, arguments_), kExitFailed);
    EXPECT_TRUE(log.Contains("ERROR", "安装日志不是安装程序写入的"));
    EXPECT_TRUE(FolderContents(folder_) == planted) << "the install folder changed";
    // The uninstaller's own file and its self-deleting batch are not the installation's.
    RunAndWait(L"\"" + folder_ + L"Uninstall.exe\" /S", 120000);
    std::map<std::wstring, std::string> after = FolderContents(folder_);
    std::map<std::wstring, std::string> expected = planted;
    for (const wchar_t* own : {L"Uninstall.exe", L"deleteSelf.bat"}) {
      after.erase(own);
      expected.erase(own);
    }
    EXPECT_TRUE(after == expected) << "the uninstaller changed the install folder";
    RemoveApplication();
  }

  // A journal as earlier versions wrote it: a switch killed half-way.
  SCOPED_TRACE("genuine, earlier format");
  InstallVersionA();
  {
    Hook kill(kKillAfterRecord, 4);
    ASSERT_EQ(RunSetup(update, arguments_), kExitKilled);
  }
  std::wstring journal = JournalText(folder_);
  ASSERT_EQ(journal.compare(0, format.size(), format), 0);
  journal.erase(0, format.size());
  ASSERT_TRUE(WriteFileBytes(folder_ + L"{SetupJournal}",
                             std::string(reinterpret_cast<const char*>(journal.data()), journal.size() * 2)));
  LogWatch log;
  ASSERT_EQ(RunSetup(update, arguments_), kExitInstalled);
  EXPECT_TRUE(log.InOrder({{"INFO", "发现未完成的安装切换"}, {"INFO", "撤销完成，保留原安装"}}));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\install-folder\\", folder_));
}

// What stops a switch before it begins, each over a working installation of
// A: exit 1 and A as it was, and nothing written where a link points.
TEST_F(UpdateTest, AnUpdateThatCannotSwitchChangesNothing) {
  TempFolder victim(L"orvvictim");
  ASSERT_TRUE(WriteFileBytes(victim.path() + L"p.dll", "victim"));
  const struct {
    const char* name;
    const wchar_t* package;
    const wchar_t* link;  // planted in the install folder, to the victim folder
    const wchar_t* environment;
    const char* error;
  } cases[] = {
      {"a link where B's version folder goes", L"version-b", L"7.20.01N", nullptr, "无法只移走链接本身"},
      {"a link at a sub-folder of the install folder", L"version-p", L"plugins", nullptr, "无法只移走链接本身"},
      {"a decoder that fails part-way", L"version-b", nullptr, L"ORV_TEST_DECODER_FAIL_AT=2", "释放文件失败"},
      {"an item named like the switch's own folder", L"own-name", nullptr, nullptr, "安装包条目与安装程序自己的目录同名"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallVersionA();
    if (c.link) ASSERT_TRUE(testsupport::PlantLink(folder_ + c.link, victim.path().substr(0, victim.path().size() - 1)));
    const std::map<std::wstring, std::string> before = FolderContents(folder_);
    std::wstring variable, value;
    if (c.environment) {
      const std::wstring text = c.environment;
      variable = text.substr(0, text.find(L'='));
      value = text.substr(text.find(L'=') + 1);
      ::SetEnvironmentVariableW(variable.c_str(), value.c_str());
    }
    LogWatch log;
    EXPECT_EQ(RunSetup(MakeSetup(Installer(c.package)), arguments_), kExitFailed);
    if (c.environment) ::SetEnvironmentVariableW(variable.c_str(), nullptr);
    EXPECT_TRUE(log.Contains("ERROR", c.error));
    EXPECT_TRUE(FolderContents(folder_) == before);
    EXPECT_EQ(ReadFileBytes(victim.path() + L"p.dll"), "victim");
    EXPECT_EQ(EntryNames(victim.path()), std::set<std::wstring>{L"p.dll"});
    if (c.link) testsupport::RemoveHostLink(folder_ + c.link);
    ExpectVersionAIntact();
    RemoveApplication();
  }
}

// Switches that must go through: a read-only settings file of A's, A's
// program running, and a second installer started half a second after the
// first (it waits for it, then installs again).
TEST_F(UpdateTest, ReadOnlyRunningOrConcurrentUpdatesInstallTheNewVersion) {
  const std::wstring large = BuildFolder() + L"tests\\installer\\OrvantaSetup-large.exe";
  const std::wstring large_package = BuildFolder() + L"tests\\installer\\window-packages\\large\\";
  InstallVersionA();
  ::SetFileAttributesW((folder_ + L"Orvanta.ini").c_str(), FILE_ATTRIBUTE_READONLY);
  ASSERT_EQ(RunSetup(MakeSetup(Installer(L"version-b")), arguments_), kExitInstalled);
  EXPECT_EQ(ReadFileBytes(folder_ + L"Orvanta.ini"), ReadFileBytes(TestPackages() + L"version-b\\install-folder\\Orvanta.ini"));
  EXPECT_TRUE(SameFiles(TestPackages() + L"version-b\\version-folder\\", folder_ + L"7.20.01N\\"));
  RemoveApplication();

  InstallVersionA();
  {
    testsupport::RunningProgram running(folder_ + L"Orvanta.exe", L"/sleep:60000");
    ASSERT_TRUE(running.Started());
    testsupport::RunningProgram first(large, arguments_);
    ASSERT_TRUE(first.Started());
    ::Sleep(500);
    LogWatch log;
    EXPECT_EQ(RunSetup(large, arguments_), kExitInstalled);
    EXPECT_TRUE(log.Contains("INFO", "另一个安装程序正在运行，等待其结束"));
    EXPECT_EQ(first.WaitForExit(180000), kExitInstalled);
  }
  EXPECT_TRUE(SameFiles(large_package + L"version-folder\\", folder_ + kVersion + L"\\"));
  EXPECT_TRUE(SameFiles(large_package + L"install-folder\\", folder_));
  EXPECT_FALSE(FolderExists(folder_ + kExtractionFolder));
}

// A folder of the user's with a "new" and a version-named folder in it, and
// no installation, installed into three times: the first installation leaves
// both and lists them in "{UserEntries}", and every later run leaves them too
// (an INFO record each time), while an older version folder of the
// application's goes. The uninstaller leaves them as well, and the list goes
// with the installation.
TEST_F(MadeInstallerTest, AFolderWithoutAnInstallationKeepsItsNewAndVersionFolders) {
  const std::wstring folder = L"C:\\My Apps\\Data\\";
  MakeFolder(folder + L"new");
  MakeFolder(folder + L"7.01.01N");
  MakeFile(folder + L"new\\mine.txt", "the user's");
  MakeFile(folder + L"7.01.01N\\mine.txt", "the user's too");
  const std::wstring setup = MakeSetup(Installer(L"small"));
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("installation " + std::to_string(run));
    if (run == 3) MakeApplicationVersionFolder(folder + L"7.18.01N", L"7.18.01N");
    LogWatch log;
    ASSERT_EQ(RunSetup(setup, L"/S /G /D=\"C:\\My Apps\\Data\""), kExitInstalled);
    EXPECT_EQ(ReadFileBytes(folder + L"new\\mine.txt"), "the user's");
    EXPECT_EQ(ReadFileBytes(folder + L"7.01.01N\\mine.txt"), "the user's too");
    for (const wchar_t* name : {L"new", L"7.01.01N"}) {
      EXPECT_TRUE(log.Contains("INFO", (run == 1 ? "安装目录中没有已安装的程序，保留:" : "首次安装时已在安装目录中，保留:") +
                                           Gbk(folder + name)))
          << Gbk(name);
    }
    EXPECT_FALSE(FolderExists(folder + L"7.18.01N"));
    EXPECT_TRUE(SameFiles(TestPackages() + L"small\\version-folder\\", folder + kVersion + L"\\"));
    // A name a line, in UTF-16, in the order the folder listed them.
    const std::string list = ReadFileBytes(folder + L"{UserEntries}");
    std::set<std::wstring> listed;
    const std::wstring text(reinterpret_cast<const wchar_t*>(list.data()), list.size() / sizeof(wchar_t));
    for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
      listed.insert(text.substr(start, end - start));
    EXPECT_EQ(listed, (std::set<std::wstring>{L"new", L"7.01.01N"}));
  }
  ASSERT_TRUE(CopyFileW((SamplePackage() + L"install-folder\\Uninstall.exe").c_str(), (folder + L"Uninstall.exe").c_str(), FALSE));
  ASSERT_EQ(RunAndWait(L"\"" + folder + L"Uninstall.exe\" /S", 120000), 0);
  EXPECT_EQ(ReadFileBytes(folder + L"7.01.01N\\mine.txt"), "the user's too");
  EXPECT_EQ(ReadFileBytes(folder + L"new\\mine.txt"), "the user's");
  EXPECT_FALSE(FileExists(folder + L"{UserEntries}"));
}

// The update is killed at a number of moments; a kill before the switch
// leaves A as it was, and running the update again always gives B complete.
// The switch begins by writing its journal and removes it once done; a "new"
// folder of A's, which it moves away, tells a finished switch from none.
TEST_F(UpdateTest, KilledUpdateIsMadeGoodByRunningItAgain) {
  const std::wstring update = BuildFolder() + L"tests\\installer\\OrvantaSetup-large.exe";
  const std::wstring large_package = BuildFolder() + L"tests\\installer\\window-packages\\large\\";
  ASSERT_TRUE(FileExists(update));
  int before_switch = 0;
  for (const DWORD delay_ms : {0u, 300u, 1000u, 2000u, 3500u, 6000u}) {
    SCOPED_TRACE("killed after " + std::to_string(delay_ms) + " ms");
    ASSERT_EQ(RunSetup(MakeSetup(Installer(L"version-a")), arguments_), kExitInstalled);
    MakeFolder(folder_ + L"new");
    MakeFile(folder_ + L"new\\pending.txt", "pending update of A");
    const std::map<std::wstring, std::string> version_a = FolderContents(folder_);
    {
      testsupport::RunningProgram killed(update, arguments_);
      ASSERT_TRUE(killed.Started());
      if (delay_ms == 0)
        WaitForFile(folder_ + kExtractionFolder, 30000);
      else
        ::Sleep(delay_ms);
    }
    const bool switch_begun =
        FileExists(folder_ + L"{SetupJournal}") || !FileExists(folder_ + L"new\\pending.txt");
    if (!switch_begun) {
      ++before_switch;
      std::map<std::wstring, std::string> now = FolderContents(folder_);
      for (auto entry = now.begin(); entry != now.end();)
        entry = entry->first.compare(0, wcslen(kExtractionFolder), kExtractionFolder) == 0 ? now.erase(entry)
                                                                                           : std::next(entry);
      EXPECT_TRUE(now == version_a) << "the installation of version A changed before the switch";
    }
    ASSERT_EQ(RunSetup(update, arguments_), kExitInstalled);
    EXPECT_TRUE(SameFiles(large_package + L"version-folder\\", folder_ + kVersion + L"\\"));
    EXPECT_TRUE(SameFiles(large_package + L"install-folder\\", folder_));
    EXPECT_FALSE(FolderExists(folder_ + L"7.18.01N"));
    EXPECT_FALSE(FolderExists(folder_ + L"new"));
    EXPECT_FALSE(FolderExists(folder_ + kExtractionFolder));
    RemoveApplication();
  }
  std::printf("%d of the kills came before the switch\n", before_switch);
  EXPECT_GT(before_switch, 0);
}

// Random single-byte changes anywhere in the payload: every run ends within
// its time limit with success or failure, writes nothing beside the install
// folder; a run that reports success installed the package intact, and one
// that reports failure logged why and left the install folder empty.
TEST_F(MadeInstallerTest, RandomSingleByteCorruptionsFailCleanly) {
  const std::string good = Installer(L"small");
  const size_t payload = PayloadOffset(good);
  std::mt19937 random(20261209);
  std::uniform_int_distribution<size_t> position(payload, good.size() - 1);
  std::uniform_int_distribution<int> change(1, 255);
  TempFolder area(L"orvfuzz");
  const std::wstring folder = area.path() + L"inst\\";
  constexpr int kRounds = 150;
  int installed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const size_t at = position(random);
    SCOPED_TRACE("byte " + std::to_string(at - payload) + " of the payload");
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ change(random));
    // A new file each round: Wine may release the previous program's file a
    // moment after its process has ended (and then it goes later).
    const std::wstring name = L"setup-" + std::to_wstring(round) + L".exe";
    if (round > 0) ::DeleteFileW((area.path() + L"setup-" + std::to_wstring(round - 1) + L".exe").c_str());
    ASSERT_TRUE(WriteFileBytes(area.path() + name, bytes));
    LogWatch log;
    const int code = RunSetup(area.path() + name, L"/S /G /D=\"" + folder + L"\"", 60000);
    ASSERT_TRUE(code == kExitInstalled || code == kExitFailed) << "exit code " << code;
    std::set<std::wstring> beside = EntryNames(area.path());
    beside.erase(L"inst");
    for (int earlier = 0; earlier < round; ++earlier) beside.erase(L"setup-" + std::to_wstring(earlier) + L".exe");
    EXPECT_EQ(beside, std::set<std::wstring>{name});
    if (code == kExitInstalled) {
      ++installed;
      EXPECT_TRUE(SameFiles(TestPackages() + L"small\\version-folder\\", folder + kVersion + L"\\"));
      EXPECT_TRUE(SameFiles(TestPackages() + L"small\\install-folder\\", folder));
    } else {
      EXPECT_EQ(EntryNames(folder), std::set<std::wstring>{});
      EXPECT_FALSE(log.Contains("INFO", "安装完成"));
      const std::vector<LogWatch::Record> records = log.Records();
      EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const LogWatch::Record& r) { return r.level == "ERROR"; }))
          << "a failure without an ERROR record";
    }
    RemoveTree(folder);
  }
  std::printf("%d of %d corrupted installers still installed the package intact\n", installed, kRounds);
}

// DLLs named like system DLLs that are not known DLLs, left beside the
// installer, are never loaded: neither on the silent path nor when the
// window path starts. (version.dll is left out: Wine's own user32 imports
// it, before any code of the program runs; Windows' user32 does not.)
TEST_F(MadeInstallerTest, DllsBesideTheInstallerAreNotLoaded) {
  const std::vector<std::wstring> names = {L"gdiplus", L"oleacc", L"userenv", L"psapi", L"comctl32",
                                           L"msimg32", L"uxtheme", L"dwmapi", L"winmm"};
  const std::string planted = ReadFileBytes(BuildFolder() + L"tests\\installer\\planted_dll.dll");
  ASSERT_FALSE(planted.empty());
  for (const std::wstring& name : names) ASSERT_TRUE(WriteFileBytes(temp_.path() + name + L".dll", planted));
  const std::wstring setup = temp_.path() + L"orv-planted-setup.exe";
  ASSERT_TRUE(WriteFileBytes(setup, Installer(L"small")));
  const std::wstring probe = temp_.path() + L"orv-planted-probe.exe";
  ASSERT_TRUE(::CopyFileW((BuildFolder() + L"tests\\installer\\dll_probe.exe").c_str(), probe.c_str(), FALSE));
  PreferDllsBesideProgram setup_overrides(L"orv-planted-setup.exe", names);
  PreferDllsBesideProgram probe_overrides(L"orv-planted-probe.exe", names);
  const auto markers = [&] {
    std::set<std::wstring> found;
    for (const std::wstring& entry : EntryNames(temp_.path()))
      if (entry.size() > 7 && entry.compare(entry.size() - 7, 7, L".loaded") == 0) found.insert(entry);
    return found;
  };

  // The control: a program that loads gdiplus the unrestricted way gets the planted one.
  EXPECT_EQ(RunAndWait(L"\"" + probe + L"\" gdiplus.dll"), 0);
  EXPECT_EQ(markers(), std::set<std::wstring>{L"gdiplus.dll.loaded"});
  ::DeleteFileW((temp_.path() + L"gdiplus.dll.loaded").c_str());

  EXPECT_EQ(RunSetup(setup, L"/S /G /D=\"" + temp_.path() + L"inst\""), kExitInstalled);
  EXPECT_TRUE(FileExists(temp_.path() + L"inst\\7.19.02N\\Quorix.zk"));
  EXPECT_EQ(markers(), std::set<std::wstring>{}) << "silent path";
  RunSetup(setup, L"", 15000);
  EXPECT_EQ(markers(), std::set<std::wstring>{}) << "window path";
}

}  // namespace
