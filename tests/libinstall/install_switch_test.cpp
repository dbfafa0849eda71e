#include "libinstall/install_switch.h"

#include <gtest/gtest.h>

#include "common/version_rule.h"

namespace {

TEST(InstallSwitchTest, TheJournalReadsBackWhatWasWrittenAndNothingThatLeavesTheFolder) {
  const std::vector<SwitchStep> steps =
      PlanSwitch({L"7.19.02N", L"Orvanta.ini"}, {L"Orvanta.ini", L"plugins"}, L"{VersionNameFolder}",
                 L"{InstallFolderItems}", L"7.20.01N");
  ASSERT_EQ(steps.size(), 7u);
  EXPECT_EQ(steps.front(), (SwitchStep{SwitchStep::kCreateFolder, L"{ReplacedItems}", L""}));
  EXPECT_EQ(steps[1], (SwitchStep{SwitchStep::kRename, L"7.19.02N", L"{ReplacedItems}\\7.19.02N"}));
  EXPECT_EQ(steps[4], (SwitchStep{SwitchStep::kRename, L"{VersionNameFolder}\\{InstallFolderItems}\\plugins", L"plugins"}));
  EXPECT_EQ(steps.back(), (SwitchStep{SwitchStep::kRename, L"{VersionNameFolder}", L"7.20.01N"}));

  std::wstring text;
  for (const SwitchStep& step : steps) text += JournalRecord(step);
  std::vector<SwitchStep> read;
  bool committed = true;
  ASSERT_TRUE(ParseJournal(text + L"rename\t7.1", &read, &committed)) << "a torn last record is left out";
  EXPECT_EQ(read, steps);
  EXPECT_FALSE(committed);
  ASSERT_TRUE(ParseJournal(text + kCommitRecord, &read, &committed));
  EXPECT_TRUE(committed);

  for (const wchar_t* bad : {L"rename\t..\\x\ty\n", L"rename\tx\tC:\\x\n", L"rmdir\t\\x\n", L"mkdir\ta\\..\\..\\b\n",
                             L"rename\tx:stream\ty\n", L"rename\tx/../y\tz\n", L"delete\tx\n", L"rename\tx\n",
                             L"commit\nmkdir\tx\n", L"mkdir\t\n"}) {
    EXPECT_FALSE(ParseJournal(bad, &read, &committed)) << testing::PrintToString(std::wstring(bad));
  }
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
