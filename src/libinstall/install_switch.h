#pragma once
// The switch from the installed version to the one just written, as one
// transaction: a list of renames, each recorded in a journal in the install
// folder (and the journal flushed) before it is carried out.
//
//   1. "{ReplacedItems}" is created in the install folder;
//   2. what the new version replaces (the old version folders, "new", the
//      install-folder items of the package that exist already) is renamed
//      into it;
//   3. the staged install-folder items are renamed into place, their emptied
//      folder removed, and the extraction folder becomes the version folder;
//   4. "commit" is recorded: from here on the update has happened, and
//      "{ReplacedItems}" is deleted.
//
// A failure at any step undoes the steps done so far in reverse order. A run
// killed half-way leaves the journal: the next run of either program reads it
// first and undoes the switch (no commit recorded) or finishes its clean-up.
//
// Test hooks: ORV_TEST_SWITCH_KILL_AT=N ends the process (exit code 99) just
// before step N is carried out, and ORV_TEST_SWITCH_FAIL_AT=N makes step N
// fail; the steps are numbered from 1, the commit record and the clean-up
// after it count as the last two.

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

// The steps that replace the entries `replaced` of the install folder (they
// go aside) with the staged items `staged` and the extraction folder
// `extraction` (which becomes `version`; its sub-folder `stagedFolder` holds
// the staged items).
std::vector<SwitchStep> PlanSwitch(const std::vector<std::wstring>& replaced, const std::vector<std::wstring>& staged,
                                   const std::wstring& extraction, const std::wstring& stagedFolder,
                                   const std::wstring& version);

// The journal's text (UTF-16, a record a line) and its reading. A last record
// torn by a kill (no line end) is left out: its step was never begun. A
// record with a path that is absolute, names a stream or climbs with "..",
// or an unknown record, makes the whole journal unusable (false).
std::wstring JournalRecord(const SwitchStep& step);
inline constexpr wchar_t kCommitRecord[] = L"commit\n";
bool ParseJournal(const std::wstring& text, std::vector<SwitchStep>* steps, bool* committed);

// Carries out `steps` below `installFolder` (ending in a backslash). True
// after the commit; false after an ERROR record and the undo of every step
// done, with the earlier installation as it was.
bool RunSwitch(const std::wstring& installFolder, const std::vector<SwitchStep>& steps);

// Removes what the renamed-aside items left ("{ReplacedItems}": a file in use
// is deleted at the next restart). False when something is left (logged).
bool DeleteReplacedItems(const std::wstring& installFolder);

// Reads a journal a killed run left in `installFolder` and finishes that run:
// undoes its switch, or completes the clean-up after its commit; then removes
// leftover replaced items. False (logged) when the journal could not be
// carried out: the install folder must then not be changed.
bool FinishInterruptedSwitch(const std::wstring& installFolder);
