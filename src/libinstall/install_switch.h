#pragma once
// The switch from the installed version to the one just written, as one
// transaction: a list of renames, each recorded in a journal in the install
// folder (and the journal flushed) before it is carried out.
//
//   1. the folder for the replaced items is created: "{ReplacedItems}", or,
//      where an earlier run left a "{ReplacedItems}" that could not be
//      removed (a file in it in use), a fresh numbered folder below it;
//   2. what the new version replaces (the old version folders, "new", the
//      install-folder items of the package that exist already) is renamed
//      into it under the same relative path. A staged folder whose name is a
//      real folder of the install folder is merged into it instead: only the
//      entries of the same names go aside (their folders created below the
//      replaced-items folder), everything else in it stays;
//   3. the staged install-folder items are renamed into place, their emptied
//      folders removed, and the extraction folder becomes the version folder;
//   4. "commit" is recorded: from here on the update has happened, and
//      "{ReplacedItems}" is deleted.
//
// Before the journal is begun every rename is checked against the folder as
// it is: each source is there and no target name is taken. A failure at any
// step undoes the steps done so far in reverse order; a commit record that
// could not be written and flushed is first cut off the journal again. A run
// killed half-way leaves the journal: the next run of either program reads
// it first and undoes the switch (no commit recorded) or finishes its
// clean-up. An undo only renames back, creates a removed empty folder again
// and removes an empty folder it created; it never deletes a file or a link.
//
// The journal begins with a format line; its records must have the shapes
// and the order that the switch writes (a journal without the format line,
// as earlier versions wrote it, only their flat shapes). Anything else is
// not the switch's own and is neither carried out nor deleted.
//
// Test hooks (the steps are numbered from 1; the commit record and the
// clean-up after it count as the last two):
//   ORV_TEST_SWITCH_KILL_AT=N            ends the process (exit code 99) just
//                                        before step N's record is written;
//   ORV_TEST_SWITCH_KILL_AFTER_RECORD=N  ends it once step N's record is
//                                        written, before the step is carried out;
//   ORV_TEST_SWITCH_FAIL_AT=N            makes step N fail;
//   ORV_TEST_SWITCH_COMMIT_FLUSH_FAIL=1  makes the commit record's flush fail
//                                        (the record itself is written);
//   ORV_TEST_SWITCH_UNDO_KILL_AT=N       ends the process just before the
//                                        N-th step of an undo is undone.

#include <windows.h>

#include <string>
#include <vector>

// Where the package is written before the switch, and below it the items
// meant for the install folder itself.
inline constexpr wchar_t kExtractionFolderName[] = L"{VersionNameFolder}";
inline constexpr wchar_t kStagedItemsFolderName[] = L"{InstallFolderItems}";
inline constexpr wchar_t kReplacedItemsFolderName[] = L"{ReplacedItems}";
inline constexpr wchar_t kJournalFileName[] = L"{SetupJournal}";
inline constexpr int kKilledByTestHookExitCode = 99;

// One step of the switch; paths are relative to the install folder.
struct SwitchStep {
  enum Kind { kCreateFolder, kRename, kRemoveEmptyFolder };
  Kind kind;
  std::wstring path;  // the folder, or the entry renamed
  std::wstring to;    // the new name of a renamed entry
  bool operator==(const SwitchStep& other) const {
    return kind == other.kind && path == other.path && to == other.to;
  }
};

// The steps that replace the entries `replaced` of the install folder
// `installFolder` (ending in a backslash) with the staged items `staged` and
// the extraction folder, which becomes the folder `version`. False (logged)
// when an entry the switch would move cannot be moved.
bool PlanSwitch(const std::wstring& installFolder, const std::vector<std::wstring>& replaced,
                const std::vector<std::wstring>& staged, const std::wstring& version, std::vector<SwitchStep>* steps);

// The journal's text (UTF-16, a record a line).
inline constexpr wchar_t kJournalFormatLine[] = L"orvanta-switch-journal\t2\n";
inline constexpr wchar_t kCommitRecord[] = L"commit\n";
std::wstring JournalRecord(const SwitchStep& step);

// Whether a journal owned by `owner` is trusted by a process whose new files
// get the owner `processOwner` and whose user is `processUser`: a journal of
// the Administrators group or of SYSTEM always; the running user's own only
// where the process itself does not write its files as the administrators
// (a run without elevation, or Wine, which names the running user as the
// owner of every file), so that an elevated run never trusts a journal
// another user could have written.
bool IsTrustedJournalOwner(PSID owner, PSID processOwner, PSID processUser);

// Carries out `steps` below `installFolder` (ending in a backslash). True
// after the commit; false after an ERROR record, either with nothing changed
// and no journal (the check before the switch, or every step undone), or
// with the journal kept for the next run when the undo could not finish.
bool RunSwitch(const std::wstring& installFolder, const std::vector<SwitchStep>& steps);

// What the next run found of an earlier switch, and may do.
enum class SwitchRecovery {
  kNone,        // no journal (leftover replaced items were removed as far as possible)
  kUndone,      // an interrupted switch was undone: the earlier installation is whole
  kFinished,    // a committed switch's clean-up was finished
  kIncomplete,  // undone as far as it goes: entries the journal names are gone (logged);
                // the run goes forward over what is there
  kFailed,      // the undo could not be carried out (logged): the journal stays, change nothing
  kRefused,     // the journal is not the switch's own or cannot be read (logged): it stays, change nothing
};
inline bool MayChangeInstallFolder(SwitchRecovery recovery) {
  return recovery != SwitchRecovery::kFailed && recovery != SwitchRecovery::kRefused;
}

// Reads a journal a killed run left in `installFolder` and finishes that run:
// undoes its switch, or completes the clean-up after its commit; then removes
// leftover replaced items.
SwitchRecovery FinishInterruptedSwitch(const std::wstring& installFolder);
