// The switch of an update against real folders: its plan over an installed
// folder, a run killed at each step and undone by the next one (twice), the
// journals it refuses, and the renames checked before it begins.

#include "libinstall/install_switch.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "common/version_rule.h"
#include "support/test_support.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempFolder;
using testsupport::WriteFileBytes;

constexpr char kFolderMark[] = "<folder>";
using Tree = std::map<std::wstring, std::string>;  // relative path: bytes, or kFolderMark

void Plant(const std::wstring& folder, const Tree& tree) {
  for (const auto& [path, bytes] : tree) {
    std::wstring part;
    for (size_t slash = path.find(L'\\'); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1))
      ::CreateDirectoryW((folder + path.substr(0, slash)).c_str(), nullptr);
    if (bytes == kFolderMark)
      ::CreateDirectoryW((folder + path).c_str(), nullptr);
    else
      ASSERT_TRUE(WriteFileBytes(folder + path, bytes));
  }
}

void ReadTree(const std::wstring& folder, const std::wstring& prefix, Tree* tree) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = ::FindFirstFileW((folder + prefix + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[prefix + name] = kFolderMark;
      ReadTree(folder, prefix + name + L"\\", tree);
    } else {
      (*tree)[prefix + name] = ReadFileBytes(folder + prefix + name);
    }
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

Tree ReadTree(const std::wstring& folder) {
  Tree tree;
  ReadTree(folder, L"", &tree);
  return tree;
}

Tree Without(Tree tree, const std::wstring& top) {
  for (auto entry = tree.begin(); entry != tree.end();)
    entry = entry->first == top || entry->first.compare(0, top.size() + 1, top + L"\\") == 0 ? tree.erase(entry)
                                                                                            : std::next(entry);
  return tree;
}

std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

void WriteJournal(const std::wstring& folder, const std::wstring& text) {
  ASSERT_TRUE(WriteFileBytes(folder + kJournalFileName, Utf16(text)));
}

// An installation of A, with the user's own file in its plug-in folder, and
// B written into the extraction folder as the installer leaves it before
// the switch.
const Tree kVersionA = {
    {L"Orvanta.ini", "[Common]\r\nVersion=7.19.02N\r\n"},
    {L"Orvanta.exe", "program A"},
    {L"7.19.02N\\Quorix.dll", "library A"},
    {L"7.19.02N\\data\\a.txt", "data A"},
    {L"new\\pending.txt", "pending"},
    {L"plugins\\p.dll", "plug-in A"},
    {L"plugins\\mine.txt", "the user's"},
    {L"plugins\\sub\\s.dll", "sub plug-in A"},
};
const Tree kStagedB = {
    {L"{VersionNameFolder}\\Quorix.dll", "library B"},
    {L"{VersionNameFolder}\\{InstallFolderItems}\\Orvanta.ini", "[Common]\r\nVersion=7.20.01N\r\n"},
    {L"{VersionNameFolder}\\{InstallFolderItems}\\App.txt", "app B"},
    {L"{VersionNameFolder}\\{InstallFolderItems}\\plugins\\p.dll", "plug-in B"},
    {L"{VersionNameFolder}\\{InstallFolderItems}\\plugins\\sub\\s.dll", "sub plug-in B"},
    {L"{VersionNameFolder}\\{InstallFolderItems}\\plugins\\more\\m.dll", "more B"},
};
const Tree kVersionB = {
    {L"Orvanta.ini", "[Common]\r\nVersion=7.20.01N\r\n"},
    {L"Orvanta.exe", "program A"},
    {L"App.txt", "app B"},
    {L"7.20.01N", kFolderMark},
    {L"7.20.01N\\Quorix.dll", "library B"},
    {L"plugins", kFolderMark},
    {L"plugins\\p.dll", "plug-in B"},
    {L"plugins\\mine.txt", "the user's"},
    {L"plugins\\sub", kFolderMark},
    {L"plugins\\sub\\s.dll", "sub plug-in B"},
    {L"plugins\\more", kFolderMark},
    {L"plugins\\more\\m.dll", "more B"},
};
const std::vector<std::wstring> kReplaced = {L"7.19.02N", L"new", L"Orvanta.ini", L"plugins"};
const std::vector<std::wstring> kStaged = {L"Orvanta.ini", L"App.txt", L"plugins"};

class SwitchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(folder_.c_str(), nullptr);
    Plant(folder_, kVersionA);
    Plant(folder_, kStagedB);
    before_ = ReadTree(folder_);
  }
  void Reset() {
    testsupport::RemoveTree(folder_);
    ::CreateDirectoryW(folder_.c_str(), nullptr);
    Plant(folder_, kVersionA);
    Plant(folder_, kStagedB);
  }

  std::vector<SwitchStep> Plan() {
    std::vector<SwitchStep> steps;
    EXPECT_TRUE(PlanSwitch(folder_, kReplaced, kStaged, L"7.20.01N", &steps));
    return steps;
  }

  // What a run killed at step `count` (its record written) leaves: the steps
  // before it carried out, that one too when `carried`.
  void KilledAt(const std::vector<SwitchStep>& steps, size_t count, bool carried, bool committed = false) {
    std::wstring journal = kJournalFormatLine;
    for (size_t i = 0; i < count; ++i) {
      journal += JournalRecord(steps[i]);
      if (i + 1 < count || carried) CarryOutByHand(steps[i]);
    }
    if (committed) journal += kCommitRecord;
    WriteJournal(folder_, journal);
  }

  void CarryOutByHand(const SwitchStep& step) {
    const std::wstring path = folder_ + step.path;
    switch (step.kind) {
      case SwitchStep::kCreateFolder:
        ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << testing::PrintToString(step.path);
        break;
      case SwitchStep::kRename:
        ASSERT_TRUE(::MoveFileExW(path.c_str(), (folder_ + step.to).c_str(), 0)) << testing::PrintToString(step.path);
        break;
      case SwitchStep::kRemoveEmptyFolder:
        ASSERT_TRUE(::RemoveDirectoryW(path.c_str())) << testing::PrintToString(step.path);
        break;
    }
  }

  TempFolder temp_{L"orvswitch"};
  const std::wstring folder_ = temp_.path() + L"Orvanta\\";
  Tree before_;
};

TEST_F(SwitchTest, AStagedFolderMergesIntoTheInstalledOneAndTheUsersFilesStay) {
  const std::vector<SwitchStep> steps = Plan();
  ASSERT_TRUE(RunSwitch(folder_, steps));
  EXPECT_EQ(ReadTree(folder_), kVersionB);
}

// A run killed at every step, before and after carrying it out: the next run
// undoes it to A and the extraction folder; undoing the same journal a second
// time (a kill before it was deleted) changes nothing more. Once committed,
// the next run finishes the clean-up and leaves B.
TEST_F(SwitchTest, AKilledSwitchIsUndoneAtEveryStepAndAgain) {
  const std::vector<SwitchStep> steps = Plan();
  ASSERT_GT(steps.size(), 12u);
  for (size_t count = 1; count <= steps.size(); ++count) {
    for (const bool carried : {false, true}) {
      SCOPED_TRACE(testing::Message() << "step " << count << (carried ? " carried out" : " recorded only"));
      KilledAt(steps, count, carried);
      ASSERT_FALSE(HasFatalFailure());
      const std::string text = ReadFileBytes(folder_ + kJournalFileName);
      EXPECT_EQ(FinishInterruptedSwitch(folder_), SwitchRecovery::kUndone);
      EXPECT_EQ(ReadTree(folder_), before_);
      ASSERT_TRUE(WriteFileBytes(folder_ + kJournalFileName, text));
      EXPECT_EQ(FinishInterruptedSwitch(folder_), SwitchRecovery::kUndone);
      EXPECT_EQ(ReadTree(folder_), before_);
    }
  }
  KilledAt(steps, steps.size(), true, true);
  EXPECT_EQ(FinishInterruptedSwitch(folder_), SwitchRecovery::kFinished);
  EXPECT_EQ(ReadTree(folder_), kVersionB);
}

// Where an entry the journal names is gone, the undo brings back the rest,
// says so, and deletes the journal so that the next run can go forward. An
// entry in use keeps the journal until the undo can be done.
TEST_F(SwitchTest, AnUndoThatCannotBringAllBackGoesForwardOrWaits) {
  const std::vector<SwitchStep> steps = Plan();
  KilledAt(steps, 4, true);  // create, then 7.19.02N, new and Orvanta.ini aside
  ASSERT_EQ(steps[3].path, L"Orvanta.ini");
  testsupport::RemoveTree(folder_ + L"{ReplacedItems}\\new\\");
  {
    ScopedHandle held(::CreateFileW((folder_ + L"{ReplacedItems}\\Orvanta.ini").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_EQ(FinishInterruptedSwitch(folder_), SwitchRecovery::kFailed);
    EXPECT_TRUE(testsupport::FileExists(folder_ + kJournalFileName));
    EXPECT_TRUE(testsupport::FileExists(folder_ + L"{ReplacedItems}\\Orvanta.ini"));
  }
  EXPECT_EQ(FinishInterruptedSwitch(folder_), SwitchRecovery::kIncomplete);
  EXPECT_FALSE(testsupport::FileExists(folder_ + kJournalFileName));
  EXPECT_EQ(ReadTree(folder_), Without(before_, L"new"));
}

// An entry that appears after the plan at a name the switch renames to, or
// a staged item gone: refused before the journal is begun, nothing changed.
TEST_F(SwitchTest, EveryRenameIsCheckedBeforeTheSwitchBegins) {
  const struct {
    const char* name;
    Tree planted;
    const wchar_t* removed;
  } cases[] = {
      {"a file where a staged item goes", {{L"App.txt", "planted"}}, nullptr},
      {"a folder where the version folder goes", {{L"7.20.01N\\x.txt", "planted"}}, nullptr},
      {"a staged item gone", {}, L"{VersionNameFolder}\\{InstallFolderItems}\\App.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<SwitchStep> steps = Plan();
    Plant(folder_, c.planted);
    if (c.removed) ::DeleteFileW((folder_ + c.removed).c_str());
    const Tree planted = ReadTree(folder_);
    EXPECT_FALSE(RunSwitch(folder_, steps));
    EXPECT_EQ(ReadTree(folder_), planted);
    Reset();
  }
}

// Journals planted in the installed folder: each one the switch does not
// write is refused with nothing changed, itself included; a genuine one, of
// this format or the earlier one without the format line, is undone.
TEST_F(SwitchTest, OnlyJournalsOfTheSwitchsOwnShapesAreCarriedOut) {
  const std::wstring format = kJournalFormatLine;
  const std::wstring create = L"mkdir\t{ReplacedItems}\n";
  const std::wstring asideIni = L"rename\tOrvanta.ini\t{ReplacedItems}\\Orvanta.ini\n";
  const struct {
    const char* name;
    std::string journal;
    Tree planted;
    std::vector<std::wstring> moved;  // A's entries a genuine journal's renames took away
    SwitchRecovery expected;
  } cases[] = {
      {"a create naming a file", Utf16(L"mkdir\tOrvanta.exe\n"), {}, {}, SwitchRecovery::kRefused},
      {"a create naming a file, format line", Utf16(format + L"mkdir\tOrvanta.exe\n"), {}, {},
       SwitchRecovery::kRefused},
      {"renames to other names", Utf16(L"rename\t7.19.02N\tmoved\nrename\tevil\t7.19.02N\n"),
       {{L"moved\\setup.xml", "planted rules"}, {L"evil\\setup.xml", "planted"}}, {}, SwitchRecovery::kRefused},
      {"an aside to another name", Utf16(format + create + L"rename\t7.19.02N\t{ReplacedItems}\\other\n"),
       {{L"{ReplacedItems}\\other\\x", "planted"}}, {}, SwitchRecovery::kRefused},
      {"an entry outside the staged items",
       Utf16(format + create + L"rename\t{VersionNameFolder}\\x\\Orvanta.exe\tOrvanta.exe\n"), {}, {},
       SwitchRecovery::kRefused},
      {"the journal itself aside",
       Utf16(format + create + L"rename\t{SetupJournal}\t{ReplacedItems}\\{SetupJournal}\n"), {}, {},
       SwitchRecovery::kRefused},
      {"a path that climbs out", Utf16(format + create + L"rename\t..\\x\t{ReplacedItems}\\..\\x\n"), {}, {},
       SwitchRecovery::kRefused},
      {"records out of order",
       Utf16(format + create + L"rmdir\t{VersionNameFolder}\\{InstallFolderItems}\n"
                               L"rename\t{VersionNameFolder}\t7.20.01N\n" + asideIni),
       {}, {}, SwitchRecovery::kRefused},
      {"a commit before the last step", Utf16(format + create + asideIni + kCommitRecord), {}, {},
       SwitchRecovery::kRefused},
      {"a version folder named like an own entry",
       Utf16(format + create + L"rmdir\t{VersionNameFolder}\\{InstallFolderItems}\nrename\t{VersionNameFolder}\tnew\n"),
       {}, {}, SwitchRecovery::kRefused},
      {"nested paths without the format line", Utf16(create + L"mkdir\t{ReplacedItems}\\plugins\n"), {}, {},
       SwitchRecovery::kRefused},
      {"another format", Utf16(L"orvanta-switch-journal\t3\n" + create), {}, {}, SwitchRecovery::kRefused},
      {"garbage", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), {}, {}, SwitchRecovery::kRefused},
      {"text without a record", Utf16(L"hello\n"), {}, {}, SwitchRecovery::kRefused},
      {"genuine, earlier format", Utf16(create + asideIni),
       {{L"{ReplacedItems}\\Orvanta.ini", kVersionA.at(L"Orvanta.ini")}}, {L"Orvanta.ini"}, SwitchRecovery::kUndone},
      {"genuine, a fresh folder below a leftover",
       Utf16(format + L"mkdir\t{ReplacedItems}\\1\nrename\tOrvanta.exe\t{ReplacedItems}\\1\\Orvanta.exe\n"),
       {{L"{ReplacedItems}\\old.txt", "leftover"}, {L"{ReplacedItems}\\1\\Orvanta.exe", kVersionA.at(L"Orvanta.exe")}},
       {L"Orvanta.exe"}, SwitchRecovery::kUndone},
      {"genuine, torn by a kill", Utf16(format + create + L"rename\tOrva"), {{L"{ReplacedItems}", kFolderMark}}, {},
       SwitchRecovery::kUndone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::RemoveTree(folder_);
    ::CreateDirectoryW(folder_.c_str(), nullptr);
    Plant(folder_, kVersionA);
    const Tree installed = ReadTree(folder_);
    for (const std::wstring& moved : c.moved) ::DeleteFileW((folder_ + moved).c_str());
    Plant(folder_, c.planted);
    ASSERT_TRUE(WriteFileBytes(folder_ + kJournalFileName, c.journal));
    const Tree crafted = ReadTree(folder_);
    EXPECT_EQ(FinishInterruptedSwitch(folder_), c.expected);
    EXPECT_EQ(ReadTree(folder_), c.expected == SwitchRecovery::kRefused ? crafted : installed);
  }
}

// The owner of a journal: the administrators and SYSTEM always; the running
// user only where its process does not own its files as the administrators.
TEST(JournalOwnerTest, AnElevatedRunTrustsOnlyTheAdministratorsAndSystem) {
  struct Sid {
    explicit Sid(WELL_KNOWN_SID_TYPE type) {
      DWORD size = sizeof bytes;
      EXPECT_TRUE(::CreateWellKnownSid(type, nullptr, bytes, &size));
    }
    Sid(BYTE authority, DWORD rid) {
      SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, authority}};
      SID* sid = reinterpret_cast<SID*>(bytes);
      EXPECT_TRUE(::InitializeSid(sid, &nt, 1));
      *::GetSidSubAuthority(sid, 0) = rid;
    }
    PSID get() { return bytes; }
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
  };
  Sid admins(WinBuiltinAdministratorsSid), system(WinLocalSystemSid), users(WinBuiltinUsersSid);
  Sid user(5, 1000), other(5, 1001);
  const struct {
    PSID owner, processOwner, processUser;
    bool trusted;
  } cases[] = {
      {admins.get(), admins.get(), user.get(), true},  {system.get(), admins.get(), user.get(), true},
      {user.get(), admins.get(), user.get(), false},   {users.get(), admins.get(), user.get(), false},
      {other.get(), system.get(), system.get(), false}, {admins.get(), user.get(), user.get(), true},
      {user.get(), user.get(), user.get(), true},      {user.get(), users.get(), user.get(), true},
      {other.get(), user.get(), user.get(), false},    {nullptr, admins.get(), user.get(), false},
      {user.get(), nullptr, nullptr, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(IsTrustedJournalOwner(cases[i].owner, cases[i].processOwner, cases[i].processUser), cases[i].trusted)
        << "case " << i;
}

TEST(VersionRuleTest, OnlyAVersionThatNamesOneFolderOfItsOwnIsUsable) {
  const struct {
    const wchar_t* version;
    VersionProblem problem;
  } cases[] = {
      {L"7.19.02N", VersionProblem::kNone},           {L"12.05.31N beta", VersionProblem::kNone},
      {L"", VersionProblem::kEmpty},                   {L"7.19.02N..x", VersionProblem::kDotDot},
      {L"..", VersionProblem::kDotDot},                {L"7.19.02N|x", VersionProblem::kForbiddenCharacter},
      {L"7.19.02N*", VersionProblem::kForbiddenCharacter}, {L"a\\b", VersionProblem::kForbiddenCharacter},
      {L"a/b", VersionProblem::kForbiddenCharacter},   {L"C:x", VersionProblem::kForbiddenCharacter},
      {L"a\tb", VersionProblem::kForbiddenCharacter},  {L"7.19.", VersionProblem::kTrailingDotOrBlank},
      {L"7.19 ", VersionProblem::kTrailingDotOrBlank}, {L"NEW", VersionProblem::kReservedName},
      {L"{versionNameFolder}", VersionProblem::kReservedName}, {L"{InstallFolderItems}", VersionProblem::kReservedName},
      {L"{replaceditems}", VersionProblem::kReservedName}, {L"{SetupJournal}", VersionProblem::kReservedName},
      {L"nul", VersionProblem::kDeviceName},
      {L"Com7.19", VersionProblem::kDeviceName},       {L"lpt1", VersionProblem::kDeviceName},
      {L"com0", VersionProblem::kNone},                {L"0123456789012345678901234567890x", VersionProblem::kTooLong},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckVersion(c.version), c.problem) << testing::PrintToString(std::wstring(c.version));
  // The build tool checks UTF-8 text with the same rule.
  EXPECT_EQ(CheckVersion("7.19.02N|x"), VersionProblem::kForbiddenCharacter);
  EXPECT_EQ(CheckVersion("\xe7\x89\x88\xe6\x9c\xac"), VersionProblem::kNone);
}

}  // namespace
