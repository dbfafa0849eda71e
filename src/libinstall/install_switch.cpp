#include "libinstall/install_switch.h"

#include <aclapi.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "common/logging.h"
#include "common/protected_rights.h"
#include "common/scoped_handle.h"
#include "common/test_hooks.h"
#include "common/tree_walker.h"
#include "common/utilfunc.h"
#include "common/version_rule.h"

namespace {

constexpr wchar_t kKillHook[] = L"ORV_TEST_SWITCH_KILL_AT";
constexpr wchar_t kKillAfterRecordHook[] = L"ORV_TEST_SWITCH_KILL_AFTER_RECORD";
constexpr wchar_t kFailHook[] = L"ORV_TEST_SWITCH_FAIL_AT";
constexpr wchar_t kCommitFlushFailHook[] = L"ORV_TEST_SWITCH_COMMIT_FLUSH_FAIL";
constexpr wchar_t kUndoKillHook[] = L"ORV_TEST_SWITCH_UNDO_KILL_AT";

void KillHook(const test_hooks::Name& variable, size_t step) {
  if (test_hooks::Number(variable) == step) ::TerminateProcess(::GetCurrentProcess(), kKilledByTestHookExitCode);
}

const std::wstring& StagedPrefix() {
  static const std::wstring prefix = std::wstring(kExtractionFolderName) + L"\\" + kStagedItemsFolderName;
  return prefix;
}

bool StartsWith(const std::wstring& text, const std::wstring& start) { return text.compare(0, start.size(), start) == 0; }

// "a\b\c" gives "a\b"; a single name gives "".
std::wstring ParentOf(const std::wstring& relative) {
  std::wstring parent, name;
  UtilFunc::SplitLastPart(relative, &parent, &name);
  return parent;
}

bool IsJournalPath(const std::wstring& path) {
  if (path.empty() || path.front() == L'\\' || path.back() == L'\\' ||
      path.find_first_of(L":/") != std::wstring::npos)
    return false;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find(L'\\', start), path.size());
    const std::wstring part = path.substr(start, end - start);
    if (part.empty() || part == L"." || part == L"..") return false;
    start = end + 1;
  }
  return true;
}

// A path of the install folder's own entries: none of the switch's working
// entries, and below the top level only where the format has nested paths.
bool IsEntryPath(const std::wstring& path, bool nested) {
  if (!IsJournalPath(path) || (!nested && path.find(L'\\') != std::wstring::npos)) return false;
  const std::wstring top = path.substr(0, path.find(L'\\'));
  for (const wchar_t* own : {kExtractionFolderName, kReplacedItemsFolderName, kJournalFileName})
    if (UtilFunc::EqualIgnoringCase(top, own)) return false;
  return true;
}

std::vector<std::wstring> SplitFields(const std::wstring& line) {
  std::vector<std::wstring> fields;
  for (size_t start = 0;;) {
    const size_t tab = line.find(L'\t', start);
    fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

constexpr const wchar_t* kRecordWords[] = {L"mkdir", L"rename", L"rmdir", L"commit"};

bool ReadRecord(const std::wstring& line, SwitchStep* step) {
  const std::vector<std::wstring> fields = SplitFields(line);
  const std::wstring& kind = fields[0];
  if (kind == L"rename" && fields.size() == 3 && IsJournalPath(fields[1]) && IsJournalPath(fields[2])) {
    *step = {SwitchStep::kRename, fields[1], fields[2]};
    return true;
  }
  if ((kind == L"mkdir" || kind == L"rmdir") && fields.size() == 2 && IsJournalPath(fields[1])) {
    *step = {kind == L"mkdir" ? SwitchStep::kCreateFolder : SwitchStep::kRemoveEmptyFolder, fields[1], {}};
    return true;
  }
  return false;
}

// The unfinished rest of a journal that a kill cut short: the beginning of
// the format line or of a record, never anything else.
bool IsTornRecord(const std::wstring& tail, bool firstLine) {
  if (firstLine && StartsWith(kJournalFormatLine, tail)) return true;
  const size_t tab = tail.find(L'\t');
  const std::wstring word = tail.substr(0, tab);
  for (const wchar_t* kind : kRecordWords)
    if (tab == std::wstring::npos ? StartsWith(kind, word) : word == kind) return true;
  return false;
}

// The shapes and the order of the records that PlanSwitch writes; every
// record of a journal must pass, one after the other.
class ShapeCheck {
 public:
  explicit ShapeCheck(bool nested) : nested_(nested) {}

  bool Accept(const SwitchStep& step) {
    switch (step.kind) {
      case SwitchStep::kCreateFolder:
        return AcceptCreate(step.path);
      case SwitchStep::kRename:
        if (StartsWith(step.path, StagedPrefix() + L"\\")) return AcceptStagedIn(step);
        if (step.path == kExtractionFolderName) return AcceptVersion(step.to);
        return AcceptAside(step);
      case SwitchStep::kRemoveEmptyFolder:
        return AcceptRemove(step.path);
    }
    return false;
  }
  // Every step was recorded: only now may the commit follow.
  bool Complete() const { return phase_ == kVersionRenamed; }

 private:
  enum Phase { kStart, kAside, kStagedIn, kStagedFoldersRemoved, kStagedItemsRemoved, kVersionRenamed };

  bool AcceptCreate(const std::wstring& path) {
    if (phase_ == kStart) {
      const std::wstring leftover = std::wstring(kReplacedItemsFolderName) + L"\\";
      const std::wstring fresh = StartsWith(path, leftover) ? path.substr(leftover.size()) : std::wstring();
      const bool numbered = nested_ && !fresh.empty() && fresh.size() < 10 &&
                            fresh.find_first_not_of(L"0123456789") == std::wstring::npos;
      if (path != kReplacedItemsFolderName && !numbered) return false;
      replaced_ = path;
      phase_ = kAside;
      return true;
    }
    if (phase_ != kAside || !nested_ || !StartsWith(path, replaced_ + L"\\")) return false;
    const std::wstring relative = path.substr(replaced_.size() + 1);
    if (!IsEntryPath(relative, true) || !IsAsideFolder(ParentOf(relative)) || IsAsideFolder(relative)) return false;
    folders_.push_back(relative);
    return true;
  }

  // An install-folder entry to the same path below the replaced-items folder.
  bool AcceptAside(const SwitchStep& step) {
    if (phase_ != kAside || !IsEntryPath(step.path, nested_) || step.to != replaced_ + L"\\" + step.path) return false;
    return IsAsideFolder(ParentOf(step.path));
  }

  // A staged item to the same path of the install folder.
  bool AcceptStagedIn(const SwitchStep& step) {
    const std::wstring relative = step.path.substr(StagedPrefix().size() + 1);
    if ((phase_ != kAside && phase_ != kStagedIn) || !IsEntryPath(relative, nested_) ||
        !UtilFunc::EqualIgnoringCase(relative, step.to))
      return false;
    phase_ = kStagedIn;
    return true;
  }

  bool AcceptRemove(const std::wstring& path) {
    if (phase_ < kAside || phase_ > kStagedFoldersRemoved) return false;
    if (path == StagedPrefix()) {
      phase_ = kStagedItemsRemoved;
      return true;
    }
    if (!nested_ || !StartsWith(path, StagedPrefix() + L"\\") ||
        !IsEntryPath(path.substr(StagedPrefix().size() + 1), true))
      return false;
    phase_ = kStagedFoldersRemoved;
    return true;
  }

  bool AcceptVersion(const std::wstring& version) {
    if (phase_ != kStagedItemsRemoved || CheckVersion(std::wstring_view(version)) != VersionProblem::kNone)
      return false;
    phase_ = kVersionRenamed;
    return true;
  }

  // `relative` (below the replaced-items folder) is that folder itself or one created in it.
  bool IsAsideFolder(const std::wstring& relative) const {
    return relative.empty() || std::find(folders_.begin(), folders_.end(), relative) != folders_.end();
  }

  const bool nested_;
  Phase phase_ = kStart;
  std::wstring replaced_;
  std::vector<std::wstring> folders_;
};

// Reads the journal's records. False when it is not the switch's own, with
// `badLine` (from 1) the first line that is not.
bool ParseJournal(const std::wstring& text, std::vector<SwitchStep>* steps, bool* committed, size_t* badLine) {
  steps->clear();
  *committed = false;
  const bool formatLine = StartsWith(text, kJournalFormatLine);
  ShapeCheck shape(formatLine);
  size_t start = formatLine ? std::wstring_view(kJournalFormatLine).size() : 0;
  for (size_t line = formatLine ? 2 : 1;; ++line) {
    *badLine = line;
    const size_t end = text.find(L'\n', start);
    // The rest is empty or a record torn by a kill: its step was never begun.
    if (end == std::wstring::npos) return start == text.size() || IsTornRecord(text.substr(start), line == 1);
    const std::wstring record = text.substr(start, end - start);
    start = end + 1;
    if (*committed) return false;  // nothing follows the commit
    if (record == L"commit") {
      if (!shape.Complete()) return false;
      *committed = true;
      continue;
    }
    SwitchStep step;
    if (!ReadRecord(record, &step) || !shape.Accept(step)) return false;
    steps->push_back(step);
  }
}

// Calls `use` with the open parent folder of `relative` (below `install`)
// and its last part. Every folder on the way is opened as a real folder.
DWORD WithParent(const tree::Folder& install, const std::wstring& relative,
                 const std::function<DWORD(const tree::Folder&, const std::wstring&)>& use) {
  const size_t slash = relative.find(L'\\');
  if (slash == std::wstring::npos) return use(install, relative);
  tree::Folder next;
  if (const DWORD error = install.OpenChild(relative.substr(0, slash), &next)) return error;
  return WithParent(next, relative.substr(slash + 1), use);
}

DWORD OpenRelative(const tree::Folder& install, const std::wstring& relative, tree::Folder* folder) {
  return WithParent(install, relative,
                    [folder](const tree::Folder& parent, const std::wstring& name) { return parent.OpenChild(name, folder); });
}

tree::EntryKind InspectRelative(const tree::Folder& install, const std::wstring& relative) {
  tree::EntryKind kind = tree::EntryKind::kMissing;
  WithParent(install, relative, [&](const tree::Folder& parent, const std::wstring& name) {
    kind = parent.Inspect(name);
    return DWORD{0};
  });
  return kind;
}

DWORD RenameRelative(const tree::Folder& install, const std::wstring& from, const std::wstring& to) {
  return WithParent(install, from, [&](const tree::Folder& source, const std::wstring& name) {
    return WithParent(install, to, [&](const tree::Folder& destination, const std::wstring& newName) {
      return source.RenameChild(name, destination, newName);
    });
  });
}

// Creates the folder `relative` as new, closed to other users; one that
// exists already (a link included) is not this step's to create (nor, later,
// to remove).
DWORD CreateRelative(const tree::Folder& install, const std::wstring& relative) {
  return WithParent(install, relative, [](const tree::Folder& parent, const std::wstring& name) {
    const ProtectedRights rights;
    if (!rights.valid()) return DWORD{ERROR_INVALID_SECURITY_DESCR};
    tree::Folder created;
    return parent.CreateNewChild(name, &created, rights.descriptor());
  });
}

// Removes the folder `relative` only when it is an empty real folder: a
// file, a link and anything inside stay.
DWORD RemoveEmptyRelative(const tree::Folder& install, const std::wstring& relative) {
  return WithParent(install, relative, [](const tree::Folder& parent, const std::wstring& name) {
    tree::Folder folder;
    if (const DWORD error = parent.OpenChild(name, &folder)) return error;
    std::vector<std::wstring> names;
    if (!folder.List(&names)) return ::GetLastError();
    if (!names.empty()) return DWORD{ERROR_DIR_NOT_EMPTY};
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(folder.handle(), FileDispositionInfo, &disposition, sizeof disposition)
               ? DWORD{0}
               : ::GetLastError();
  });
}

DWORD CarryOut(const tree::Folder& install, const SwitchStep& step) {
  switch (step.kind) {
    case SwitchStep::kCreateFolder:
      return CreateRelative(install, step.path);
    case SwitchStep::kRename:
      return RenameRelative(install, step.path, step.to);
    case SwitchStep::kRemoveEmptyFolder: {
      // The staged items' folder exists only when the package has such items.
      if (InspectRelative(install, step.path) == tree::EntryKind::kMissing) return DWORD{0};
      return RemoveEmptyRelative(install, step.path);
    }
  }
  return ERROR_INVALID_PARAMETER;
}

// A step as the log shows it: its journal record without the line end.
std::wstring StepText(const SwitchStep& step) {
  std::wstring text = JournalRecord(step);
  if (!text.empty() && text.back() == L'\n') text.pop_back();
  return text;
}

// The install folder as the steps before the current one leave it, for the
// check before the switch: the entries they changed, over the real ones.
class PlannedFolder {
 public:
  explicit PlannedFolder(const tree::Folder& install) : install_(install) {}

  bool Exists(const std::wstring& path) const {
    const auto own = changed_.find(Key(path));
    if (own != changed_.end()) return own->second;
    // Below an entry a step made or moved away nothing is there yet.
    for (std::wstring above = ParentOf(path); !above.empty(); above = ParentOf(above))
      if (changed_.count(Key(above))) return false;
    return InspectRelative(install_, path) != tree::EntryKind::kMissing;
  }
  bool ParentExists(const std::wstring& path) const {
    const std::wstring parent = ParentOf(path);
    return parent.empty() || Exists(parent);
  }
  void Set(const std::wstring& path, bool present) { changed_[Key(path)] = present; }

 private:
  static std::wstring Key(std::wstring path) {
    ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    return path;
  }
  const tree::Folder& install_;
  std::map<std::wstring, bool> changed_;
};

// Checks every step against the folder as it is and as the steps before it
// leave it: each entry renamed is there, no name created or renamed to is
// taken, each target's folder exists.
bool CheckSwitch(const tree::Folder& install, const std::vector<SwitchStep>& steps) {
  PlannedFolder planned(install);
  for (const SwitchStep& step : steps) {
    DWORD error = 0;
    switch (step.kind) {
      case SwitchStep::kCreateFolder:
        if (planned.Exists(step.path)) error = ERROR_ALREADY_EXISTS;
        else if (!planned.ParentExists(step.path)) error = ERROR_PATH_NOT_FOUND;
        planned.Set(step.path, true);
        break;
      case SwitchStep::kRename:
        if (!planned.Exists(step.path)) error = ERROR_FILE_NOT_FOUND;
        else if (planned.Exists(step.to)) error = ERROR_ALREADY_EXISTS;
        else if (!planned.ParentExists(step.to)) error = ERROR_PATH_NOT_FOUND;
        planned.Set(step.path, false);
        planned.Set(step.to, true);
        break;
      case SwitchStep::kRemoveEmptyFolder:
        planned.Set(step.path, false);
        break;
    }
    if (error) {
      LOG_ERROR << "安装切换无法进行:" << StepText(step) << ",错误码:" << error;
      return false;
    }
  }
  return true;
}

enum class Undone { kDone, kGone, kFailed };

// Undoes one step whether or not it was carried out (a kill may have come
// between its record and its work), and again when it was undone already.
Undone UndoStep(const tree::Folder& install, const SwitchStep& step) {
  DWORD error = 0;
  bool gone = false;
  switch (step.kind) {
    case SwitchStep::kCreateFolder:
      // What is left in it (or a file or link at its name) is not the switch's
      // to delete: it stays with the replaced items' leftovers.
      if (InspectRelative(install, step.path) != tree::EntryKind::kMissing) {
        if (const DWORD left = RemoveEmptyRelative(install, step.path))
          LOG_INFO << "保留未清空的目录:" << install.path() << "\\" << step.path << ",错误码:" << left;
      }
      return Undone::kDone;
    case SwitchStep::kRename:
      if (InspectRelative(install, step.path) != tree::EntryKind::kMissing) return Undone::kDone;
      if (InspectRelative(install, step.to) == tree::EntryKind::kMissing) {
        error = ERROR_FILE_NOT_FOUND;
        gone = true;
      } else {
        error = RenameRelative(install, step.to, step.path);
        gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      }
      break;
    case SwitchStep::kRemoveEmptyFolder:
      if (InspectRelative(install, step.path) != tree::EntryKind::kMissing) return Undone::kDone;
      error = CreateRelative(install, step.path);
      gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      break;
  }
  if (!error) return Undone::kDone;
  LOG_ERROR << "撤销安装步骤失败:" << StepText(step) << ",错误码:" << error;
  return gone ? Undone::kGone : Undone::kFailed;
}

// Undoes the first `count` steps in reverse order.
SwitchRecovery UndoSteps(const tree::Folder& install, const std::vector<SwitchStep>& steps, size_t count) {
  LOG_INFO << "撤销安装切换，步骤数:" << count;
  const size_t killAt = test_hooks::Number(kUndoKillHook);
  bool gone = false;
  bool failed = false;
  for (size_t i = count, done = 0; i-- > 0;) {
    if (++done == killAt) ::TerminateProcess(::GetCurrentProcess(), kKilledByTestHookExitCode);
    const Undone undone = UndoStep(install, steps[i]);
    gone = gone || undone == Undone::kGone;
    failed = failed || undone == Undone::kFailed;
  }
  if (failed) return SwitchRecovery::kFailed;
  if (gone) {
    LOG_ERROR << "安装切换无法完全撤销，日志中的条目已不存在";
    return SwitchRecovery::kIncomplete;
  }
  LOG_INFO << "撤销完成，保留原安装";
  return SwitchRecovery::kUndone;
}

// The journal file, written a record at a time and flushed after each.
class Journal {
 public:
  bool Create(const std::wstring& path) {
    path_ = path;
    ProtectedRights rights;
    if (!rights.valid()) return false;
    *file_.receive() = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, rights.attributes(), CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (!file_.valid()) {
      LOG_ERROR << "创建安装日志失败:" << path << ",错误码:" << ::GetLastError();
      return false;
    }
    if (Append(kJournalFormatLine)) return true;
    Remove();
    return false;
  }
  // `failFlush` (a test hook) writes the record and then fails as a flush would.
  bool Append(const std::wstring& record, bool failFlush = false) {
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(record.size() * sizeof(wchar_t));
    const bool stored = ::WriteFile(file_.get(), record.data(), bytes, &written, nullptr) && written == bytes;
    if (stored && !failFlush && ::FlushFileBuffers(file_.get())) {
      length_ += bytes;
      return true;
    }
    LOG_ERROR << "写入安装日志失败:" << path_ << ",错误码:" << (failFlush ? DWORD{ERROR_WRITE_FAULT} : ::GetLastError());
    return false;
  }
  // Cuts the journal back to its last record that was written and flushed,
  // so that a record whose flush failed (it may be in the file all the same)
  // is never read by the next run.
  bool CutBack() {
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = length_;
    LARGE_INTEGER position = {};
    position.QuadPart = length_;
    if (::SetFileInformationByHandle(file_.get(), FileEndOfFileInfo, &end, sizeof end) &&
        ::SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN) && ::FlushFileBuffers(file_.get())) {
      LOG_INFO << "已从安装日志删除未写入磁盘的记录:" << path_;
      return true;
    }
    LOG_ERROR << "安装日志无法恢复到上一条记录，留待下次运行处理:" << path_ << ",错误码:" << ::GetLastError();
    return false;
  }
  // Closes and deletes the journal: nothing is left to finish.
  void Remove() {
    file_ = ScopedHandle();
    if (!tree::DeleteTree(path_).ok()) LOG_ERROR << "删除安装日志失败:" << path_;
  }

 private:
  std::wstring path_;
  ScopedHandle file_;
  LONGLONG length_ = 0;
};

// A failed step (or commit): undoes the first `count` steps and removes the
// journal unless the undo must be tried again by the next run.
bool Abandon(const tree::Folder& install, Journal* journal, const std::vector<SwitchStep>& steps, size_t count) {
  if (UndoSteps(install, steps, count) != SwitchRecovery::kFailed) journal->Remove();
  return false;
}

bool IsAdministratorsOrSystem(PSID sid) {
  return sid && ::IsValidSid(sid) &&
         (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(sid, WinLocalSystemSid));
}

// The owner this process gives its new files, and its user.
struct ProcessOwners {
  std::vector<BYTE> owner;
  std::vector<BYTE> user;
  PSID ownerSid() const { return owner.empty() ? nullptr : reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner; }
  PSID userSid() const { return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid; }
};

std::vector<BYTE> TokenField(HANDLE token, TOKEN_INFORMATION_CLASS field) {
  DWORD size = 0;
  ::GetTokenInformation(token, field, nullptr, 0, &size);
  std::vector<BYTE> data(size);
  if (size == 0 || !::GetTokenInformation(token, field, data.data(), size, &size)) data.clear();
  return data;
}

ProcessOwners ReadProcessOwners() {
  ProcessOwners owners;
  ScopedHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.receive())) return owners;
  owners.owner = TokenField(token.get(), TokenOwner);
  owners.user = TokenField(token.get(), TokenUser);
  return owners;
}

enum class JournalRead { kRead, kUnreadable, kUntrusted };

// Reads the journal through one handle that is not a link's target: its
// owner first, then its text.
JournalRead ReadJournal(const std::wstring& path, std::wstring* text) {
  ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return JournalRead::kUnreadable;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag)) return JournalRead::kUnreadable;
  if (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return JournalRead::kUntrusted;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
    return JournalRead::kUnreadable;
  const std::unique_ptr<void, decltype(&::LocalFree)> freeDescriptor(descriptor, &::LocalFree);
  const ProcessOwners process = ReadProcessOwners();
  if (!IsTrustedJournalOwner(owner, process.ownerSid(), process.userSid())) return JournalRead::kUntrusted;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) return JournalRead::kUnreadable;
  text->assign(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
  DWORD read = 0;
  const DWORD bytes = static_cast<DWORD>(text->size() * sizeof(wchar_t));
  if (bytes == 0 || (::ReadFile(file.get(), text->data(), bytes, &read, nullptr) && read == bytes))
    return JournalRead::kRead;
  return JournalRead::kUnreadable;
}

// Removes what the renamed-aside items left ("{ReplacedItems}": a file in use
// is deleted at the next restart). False when something is left (logged).
bool DeleteReplacedItems(const std::wstring& installFolder) {
  const std::wstring replaced = installFolder + kReplacedItemsFolderName;
  const tree::Outcome outcome = tree::DeleteTree(replaced);
  if (outcome.ok() && outcome.linksLeft == 0) return true;
  LOG_ERROR << "删除被替换的旧文件失败:" << replaced << ",失败数:" << outcome.failed;
  return false;
}

// Whether an entry of `kind` at `path` can be moved aside; logged when not.
bool CanMoveAside(tree::EntryKind kind, const std::wstring& path) {
  if (kind == tree::EntryKind::kUnreachableLink) {
    LOG_ERROR << "无法只移走链接本身，不安装:" << path;
    return false;
  }
  if (kind == tree::EntryKind::kUnreadable) {
    LOG_ERROR << "无法移走旧文件:" << path << ",错误码:" << ::GetLastError();
    return false;
  }
  return true;
}

// The steps of a switch while they are planned, by the part of the switch
// they belong to.
struct Plan {
  std::wstring installFolder;
  std::wstring replaced;  // the replaced-items folder, relative to the install folder
  std::vector<std::wstring> asideFolders;  // folders created below it, relative to it
  std::vector<SwitchStep> asides, stagedIn, removed;

  // Creates the folder `relative` (and those above it) below the
  // replaced-items folder unless it is planned already.
  void AsideFolder(const std::wstring& relative) {
    if (relative.empty() || std::find(asideFolders.begin(), asideFolders.end(), relative) != asideFolders.end())
      return;
    AsideFolder(ParentOf(relative));
    asideFolders.push_back(relative);
    asides.push_back({SwitchStep::kCreateFolder, replaced + L"\\" + relative, {}});
  }
  void Aside(const std::wstring& relative) {
    AsideFolder(ParentOf(relative));
    asides.push_back({SwitchStep::kRename, relative, replaced + L"\\" + relative});
  }

  // Merges the staged folder `source` (at `sourcePath` below the staged
  // items) into the install folder's real folder `target` (at `targetPath`):
  // each staged entry replaces the entry of its name, folders merge in turn,
  // and whatever the package does not carry stays.
  bool Merge(const tree::Folder& target, const std::wstring& targetPath, const tree::Folder& source,
             const std::wstring& sourcePath) {
    std::vector<std::wstring> names, existing;
    if (!source.List(&names) || !target.List(&existing)) {
      LOG_ERROR << "打开目录失败:" << installFolder + targetPath << ",错误码:" << ::GetLastError();
      return false;
    }
    for (const std::wstring& name : names) {
      const auto match = std::find_if(existing.begin(), existing.end(),
                                      [&](const std::wstring& entry) { return UtilFunc::EqualIgnoringCase(entry, name); });
      if (match != existing.end()) {
        const std::wstring old = targetPath + L"\\" + *match;
        const tree::EntryKind kind = target.Inspect(*match);
        if (kind == tree::EntryKind::kFolder && source.Inspect(name) == tree::EntryKind::kFolder) {
          tree::Folder into, from;
          DWORD error = target.OpenChild(*match, &into);
          if (!error) error = source.OpenChild(name, &from);
          if (error) {
            LOG_ERROR << "打开目录失败:" << installFolder + old << ",错误码:" << error;
            return false;
          }
          if (!Merge(into, old, from, sourcePath + L"\\" + name)) return false;
          continue;
        }
        if (!CanMoveAside(kind, installFolder + old)) return false;
        if (kind != tree::EntryKind::kMissing) Aside(old);
      }
      stagedIn.push_back({SwitchStep::kRename, StagedPrefix() + L"\\" + sourcePath + L"\\" + name, targetPath + L"\\" + name});
    }
    removed.push_back({SwitchStep::kRemoveEmptyFolder, StagedPrefix() + L"\\" + sourcePath, {}});
    return true;
  }
};

// "{ReplacedItems}", or where an earlier run left one that could not be
// removed, a fresh numbered folder below it: no leftover is ever in the way.
bool ChooseReplacedFolder(const tree::Folder& install, std::wstring* replaced) {
  *replaced = kReplacedItemsFolderName;
  const tree::EntryKind kind = install.Inspect(*replaced);
  if (kind == tree::EntryKind::kMissing) return true;
  tree::Folder leftover;
  if (kind == tree::EntryKind::kFolder && install.OpenChild(*replaced, &leftover) == 0) {
    for (unsigned number = 1; number < 1000; ++number) {
      if (leftover.Inspect(std::to_wstring(number)) != tree::EntryKind::kMissing) continue;
      *replaced += L"\\" + std::to_wstring(number);
      LOG_INFO << "残留的被替换文件目录，本次使用:" << install.path() << "\\" << *replaced;
      return true;
    }
  }
  LOG_ERROR << "无法使用被替换文件的目录:" << install.path() << "\\" << kReplacedItemsFolderName;
  return false;
}

}  // namespace

bool PlanSwitch(const std::wstring& installFolder, const std::vector<std::wstring>& replaced,
                const std::vector<std::wstring>& staged, const std::wstring& version, std::vector<SwitchStep>* steps) {
  steps->clear();
  tree::Folder install;
  if (const DWORD error = tree::Folder::OpenFollowingLinks(installFolder, &install)) {
    LOG_ERROR << "打开安装目录失败:" << installFolder << ",错误码:" << error;
    return false;
  }
  Plan plan;
  plan.installFolder = installFolder;
  if (!ChooseReplacedFolder(install, &plan.replaced)) return false;

  // A staged folder whose name is a real folder of the install folder merges
  // into it; every other replaced entry goes aside whole.
  tree::Folder stagedItems;
  const bool haveStaged = !staged.empty() && OpenRelative(install, StagedPrefix(), &stagedItems) == 0;
  std::vector<std::pair<std::wstring, std::wstring>> merges;  // install-folder name, staged name
  for (const std::wstring& name : replaced) {
    const auto same = std::find_if(staged.begin(), staged.end(),
                                   [&](const std::wstring& item) { return UtilFunc::EqualIgnoringCase(item, name); });
    if (haveStaged && same != staged.end() && install.Inspect(name) == tree::EntryKind::kFolder &&
        stagedItems.Inspect(*same) == tree::EntryKind::kFolder)
      merges.emplace_back(name, *same);
    else
      plan.Aside(name);
  }
  for (const std::wstring& item : staged) {
    const auto merge = std::find_if(merges.begin(), merges.end(), [&](const auto& m) { return m.second == item; });
    if (merge == merges.end()) {
      plan.stagedIn.push_back({SwitchStep::kRename, StagedPrefix() + L"\\" + item, item});
      continue;
    }
    tree::Folder into, from;
    DWORD error = install.OpenChild(merge->first, &into);
    if (!error) error = stagedItems.OpenChild(item, &from);
    if (error) {
      LOG_ERROR << "打开目录失败:" << installFolder + merge->first << ",错误码:" << error;
      return false;
    }
    if (!plan.Merge(into, merge->first, from, item)) return false;
  }

  steps->push_back({SwitchStep::kCreateFolder, plan.replaced, {}});
  for (auto* part : {&plan.asides, &plan.stagedIn, &plan.removed}) steps->insert(steps->end(), part->begin(), part->end());
  steps->push_back({SwitchStep::kRemoveEmptyFolder, StagedPrefix(), {}});
  steps->push_back({SwitchStep::kRename, kExtractionFolderName, version});
  return true;
}

std::wstring JournalRecord(const SwitchStep& step) {
  switch (step.kind) {
    case SwitchStep::kCreateFolder:
      return L"mkdir\t" + step.path + L"\n";
    case SwitchStep::kRename:
      return L"rename\t" + step.path + L"\t" + step.to + L"\n";
    case SwitchStep::kRemoveEmptyFolder:
      return L"rmdir\t" + step.path + L"\n";
  }
  return {};
}

bool IsTrustedJournalOwner(PSID owner, PSID processOwner, PSID processUser) {
  if (!owner || !::IsValidSid(owner)) return false;
  if (IsAdministratorsOrSystem(owner)) return true;
  if (IsAdministratorsOrSystem(processOwner)) return false;
  const auto same = [owner](PSID sid) { return sid && ::IsValidSid(sid) && ::EqualSid(owner, sid); };
  return same(processOwner) || same(processUser);
}

bool RunSwitch(const std::wstring& installFolder, const std::vector<SwitchStep>& steps) {
  tree::Folder install;
  if (const DWORD error = tree::Folder::OpenFollowingLinks(installFolder, &install)) {
    LOG_ERROR << "打开安装目录失败:" << installFolder << ",错误码:" << error;
    return false;
  }
  if (!CheckSwitch(install, steps)) return false;
  Journal journal;
  if (!journal.Create(installFolder + kJournalFileName)) return false;
  const size_t failAt = test_hooks::Number(kFailHook);
  for (size_t i = 0; i < steps.size(); ++i) {
    KillHook(kKillHook, i + 1);
    bool done = journal.Append(JournalRecord(steps[i]));
    if (done) {
      KillHook(kKillAfterRecordHook, i + 1);
      LOG_INFO << "安装切换步骤" << i + 1 << "/" << steps.size() << ":" << StepText(steps[i]);
      const DWORD error = failAt == i + 1 ? ERROR_GEN_FAILURE : CarryOut(install, steps[i]);
      if (error) LOG_ERROR << "安装切换步骤失败:" << StepText(steps[i]) << ",错误码:" << error;
      done = error == 0;
    }
    // The step itself may have been carried out half-way: undone with the rest.
    if (!done) return Abandon(install, &journal, steps, i + 1);
  }
  KillHook(kKillHook, steps.size() + 1);
  if (!journal.Append(kCommitRecord, test_hooks::Number(kCommitFlushFailHook) != 0)) {
    // Undone only once the commit cannot be read any more; otherwise every
    // step stays done and the next run goes by what the journal holds.
    if (!journal.CutBack()) return false;
    return Abandon(install, &journal, steps, steps.size());
  }
  KillHook(kKillAfterRecordHook, steps.size() + 1);
  LOG_INFO << "安装切换完成";
  KillHook(kKillHook, steps.size() + 2);
  DeleteReplacedItems(installFolder);
  journal.Remove();
  return true;
}

SwitchRecovery FinishInterruptedSwitch(const std::wstring& installFolder) {
  const std::wstring path = installFolder + kJournalFileName;
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // Without a journal whatever stands aside is garbage of a finished switch.
    if (::GetFileAttributesW((installFolder + kReplacedItemsFolderName).c_str()) != INVALID_FILE_ATTRIBUTES)
      DeleteReplacedItems(installFolder);
    return SwitchRecovery::kNone;
  }
  std::wstring text;
  switch (ReadJournal(path, &text)) {
    case JournalRead::kRead:
      break;
    case JournalRead::kUnreadable:
      LOG_ERROR << "安装日志无法读取:" << path << ",错误码:" << ::GetLastError();
      return SwitchRecovery::kRefused;
    case JournalRead::kUntrusted:
      LOG_ERROR << "安装日志不是安装程序写入的，不执行:" << path << ",所有者或类型不符";
      return SwitchRecovery::kRefused;
  }
  std::vector<SwitchStep> steps;
  bool committed = false;
  size_t badLine = 0;
  if (!ParseJournal(text, &steps, &committed, &badLine)) {
    LOG_ERROR << "安装日志不是安装程序写入的，不执行:" << path << ",第" << badLine << "行";
    return SwitchRecovery::kRefused;
  }
  LOG_INFO << "发现未完成的安装切换:" << path << (committed ? ",已提交" : ",未提交");
  SwitchRecovery recovery = SwitchRecovery::kFinished;
  if (!committed) {
    tree::Folder install;
    if (const DWORD error = tree::Folder::OpenFollowingLinks(installFolder, &install)) {
      LOG_ERROR << "打开安装目录失败:" << installFolder << ",错误码:" << error;
      return SwitchRecovery::kFailed;
    }
    recovery = UndoSteps(install, steps, steps.size());
    if (recovery == SwitchRecovery::kFailed) return recovery;
  }
  if (!tree::DeleteTree(path).ok()) {
    LOG_ERROR << "删除安装日志失败:" << path;
    return SwitchRecovery::kFailed;
  }
  if (::GetFileAttributesW((installFolder + kReplacedItemsFolderName).c_str()) != INVALID_FILE_ATTRIBUTES)
    DeleteReplacedItems(installFolder);
  return recovery;
}
