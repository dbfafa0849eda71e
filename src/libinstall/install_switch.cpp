#include "libinstall/install_switch.h"

#include <cwchar>
#include <functional>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "common/test_hooks.h"
#include "common/tree_walker.h"

namespace {

constexpr wchar_t kKillHook[] = L"ORV_TEST_SWITCH_KILL_AT";
constexpr wchar_t kFailHook[] = L"ORV_TEST_SWITCH_FAIL_AT";

void KillHook(size_t step) {
  if (test_hooks::Number(kKillHook) == step) ::TerminateProcess(::GetCurrentProcess(), kKilledByTestHookExitCode);
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

std::vector<std::wstring> SplitFields(const std::wstring& line) {
  std::vector<std::wstring> fields;
  for (size_t start = 0;;) {
    const size_t tab = line.find(L'\t', start);
    fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
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

DWORD CreateRelative(const tree::Folder& install, const std::wstring& relative) {
  return WithParent(install, relative, [](const tree::Folder& parent, const std::wstring& name) {
    tree::Folder created;
    return parent.CreateChild(name, &created);
  });
}

// Removes the folder `relative` only when it is empty: everything below it
// counts as kept.
DWORD RemoveEmptyRelative(const tree::Folder& install, const std::wstring& relative) {
  return WithParent(install, relative, [](const tree::Folder& parent, const std::wstring& name) {
    const std::wstring top = parent.path() + L"\\" + name;
    tree::DeleteOptions options;
    options.keep = [&top](const std::wstring& path) { return path != top; };
    tree::DeleteChild(parent, name, options);
    return parent.Inspect(name) == tree::EntryKind::kMissing ? DWORD{0} : DWORD{ERROR_DIR_NOT_EMPTY};
  });
}

DWORD CarryOut(const tree::Folder& install, const SwitchStep& step) {
  switch (step.kind) {
    case SwitchStep::kCreateFolder:
      return CreateRelative(install, step.path);
    case SwitchStep::kRename:
      return RenameRelative(install, step.path, step.to);
    case SwitchStep::kRemoveEmptyFolder:
      return RemoveEmptyRelative(install, step.path);
  }
  return ERROR_INVALID_PARAMETER;
}

// A step as the log shows it: its journal record without the line end.
std::wstring StepText(const SwitchStep& step) {
  std::wstring text = JournalRecord(step);
  if (!text.empty() && text.back() == L'\n') text.pop_back();
  return text;
}

// Undoes one step whether or not it was carried out (a kill may have come
// between its record and its work). True when it is undone or was never done.
bool UndoStep(const tree::Folder& install, const SwitchStep& step) {
  DWORD error = 0;
  switch (step.kind) {
    case SwitchStep::kCreateFolder:
      error = InspectRelative(install, step.path) == tree::EntryKind::kMissing ? 0
                                                                                : RemoveEmptyRelative(install, step.path);
      break;
    case SwitchStep::kRename: {
      const bool moved = InspectRelative(install, step.path) == tree::EntryKind::kMissing;
      const bool there = InspectRelative(install, step.to) != tree::EntryKind::kMissing;
      if (moved && there) error = RenameRelative(install, step.to, step.path);
      else if (moved) error = ERROR_FILE_NOT_FOUND;
      break;
    }
    case SwitchStep::kRemoveEmptyFolder:
      if (InspectRelative(install, step.path) == tree::EntryKind::kMissing) error = CreateRelative(install, step.path);
      break;
  }
  if (error) LOG_ERROR << "撤销安装步骤失败:" << StepText(step) << ",错误码:" << error;
  return error == 0;
}

bool UndoSteps(const tree::Folder& install, const std::vector<SwitchStep>& steps, size_t count) {
  LOG_INFO << "撤销安装切换，步骤数:" << count;
  bool undone = true;
  for (size_t i = count; i-- > 0;) undone = UndoStep(install, steps[i]) && undone;
  if (undone) LOG_INFO << "撤销完成，保留原安装";
  return undone;
}

// The journal file, written a record at a time and flushed after each.
class Journal {
 public:
  bool Create(const std::wstring& path) {
    path_ = path;
    *file_.receive() = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (!file_.valid()) LOG_ERROR << "创建安装日志失败:" << path << ",错误码:" << ::GetLastError();
    return file_.valid();
  }
  bool Append(const std::wstring& record) {
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(record.size() * sizeof(wchar_t));
    if (::WriteFile(file_.get(), record.data(), bytes, &written, nullptr) && written == bytes &&
        ::FlushFileBuffers(file_.get()))
      return true;
    LOG_ERROR << "写入安装日志失败:" << path_ << ",错误码:" << ::GetLastError();
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
};

bool ReadJournal(const std::wstring& path, std::wstring* text) {
  ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return false;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) return false;
  text->assign(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
  DWORD read = 0;
  const DWORD bytes = static_cast<DWORD>(text->size() * sizeof(wchar_t));
  return bytes == 0 || (::ReadFile(file.get(), text->data(), bytes, &read, nullptr) && read == bytes);
}

}  // namespace

std::vector<SwitchStep> PlanSwitch(const std::vector<std::wstring>& replaced, const std::vector<std::wstring>& staged,
                                   const std::wstring& extraction, const std::wstring& stagedFolder,
                                   const std::wstring& version) {
  std::vector<SwitchStep> steps;
  steps.push_back({SwitchStep::kCreateFolder, kReplacedItemsFolderName, {}});
  // Entries of one folder have distinct names: each keeps its own aside.
  for (const std::wstring& name : replaced)
    steps.push_back({SwitchStep::kRename, name, std::wstring(kReplacedItemsFolderName) + L"\\" + name});
  const std::wstring stagedPath = extraction + L"\\" + stagedFolder;
  for (const std::wstring& name : staged) steps.push_back({SwitchStep::kRename, stagedPath + L"\\" + name, name});
  steps.push_back({SwitchStep::kRemoveEmptyFolder, stagedPath, {}});
  steps.push_back({SwitchStep::kRename, extraction, version});
  return steps;
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

bool ParseJournal(const std::wstring& text, std::vector<SwitchStep>* steps, bool* committed) {
  steps->clear();
  *committed = false;
  for (size_t start = 0;;) {
    const size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) return true;  // the rest is empty or a torn record
    const std::vector<std::wstring> fields = SplitFields(text.substr(start, end - start));
    start = end + 1;
    if (*committed) return false;  // nothing follows the commit
    const std::wstring& kind = fields[0];
    if (kind == L"commit" && fields.size() == 1) {
      *committed = true;
    } else if (kind == L"rename" && fields.size() == 3 && IsJournalPath(fields[1]) && IsJournalPath(fields[2])) {
      steps->push_back({SwitchStep::kRename, fields[1], fields[2]});
    } else if ((kind == L"mkdir" || kind == L"rmdir") && fields.size() == 2 && IsJournalPath(fields[1])) {
      steps->push_back({kind == L"mkdir" ? SwitchStep::kCreateFolder : SwitchStep::kRemoveEmptyFolder, fields[1], {}});
    } else {
      return false;
    }
  }
}

bool RunSwitch(const std::wstring& installFolder, const std::vector<SwitchStep>& steps) {
  tree::Folder install;
  if (const DWORD error = tree::Folder::OpenFollowingLinks(installFolder, &install)) {
    LOG_ERROR << "打开安装目录失败:" << installFolder << ",错误码:" << error;
    return false;
  }
  Journal journal;
  if (!journal.Create(installFolder + kJournalFileName)) return false;
  const size_t failAt = test_hooks::Number(kFailHook);
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::wstring record = JournalRecord(steps[i]);
    bool done = journal.Append(record);
    if (done) {
      KillHook(i + 1);
      LOG_INFO << "安装切换步骤" << i + 1 << "/" << steps.size() << ":" << StepText(steps[i]);
      const DWORD error = failAt == i + 1 ? ERROR_GEN_FAILURE : CarryOut(install, steps[i]);
      if (error) LOG_ERROR << "安装切换步骤失败:" << StepText(steps[i]) << ",错误码:" << error;
      done = error == 0;
    }
    if (!done) {
      // The step itself may have been carried out half-way: undone with the rest.
      if (UndoSteps(install, steps, i + 1)) journal.Remove();
      return false;
    }
  }
  KillHook(steps.size() + 1);
  if (!journal.Append(kCommitRecord)) {
    if (UndoSteps(install, steps, steps.size())) journal.Remove();
    return false;
  }
  LOG_INFO << "安装切换完成";
  KillHook(steps.size() + 2);
  DeleteReplacedItems(installFolder);
  journal.Remove();
  return true;
}

bool DeleteReplacedItems(const std::wstring& installFolder) {
  const std::wstring replaced = installFolder + kReplacedItemsFolderName;
  const tree::Outcome outcome = tree::DeleteTree(replaced);
  if (outcome.ok() && outcome.linksLeft == 0) return true;
  LOG_ERROR << "删除被替换的旧文件失败:" << replaced << ",失败数:" << outcome.failed;
  return false;
}

bool FinishInterruptedSwitch(const std::wstring& installFolder) {
  const std::wstring path = installFolder + kJournalFileName;
  if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    std::wstring text;
    std::vector<SwitchStep> steps;
    bool committed = false;
    if (!ReadJournal(path, &text) || !ParseJournal(text, &steps, &committed)) {
      LOG_ERROR << "安装日志无法读取:" << path;
      return false;
    }
    LOG_INFO << "发现未完成的安装切换:" << path << (committed ? ",已提交" : ",未提交");
    if (!committed) {
      tree::Folder install;
      if (const DWORD error = tree::Folder::OpenFollowingLinks(installFolder, &install)) {
        LOG_ERROR << "打开安装目录失败:" << installFolder << ",错误码:" << error;
        return false;
      }
      if (!UndoSteps(install, steps, steps.size())) return false;
    }
    if (!tree::DeleteTree(path).ok()) {
      LOG_ERROR << "删除安装日志失败:" << path;
      return false;
    }
  }
  // Without a journal whatever stands aside is garbage of a finished switch.
  if (::GetFileAttributesW((installFolder + kReplacedItemsFolderName).c_str()) != INVALID_FILE_ATTRIBUTES)
    DeleteReplacedItems(installFolder);
  return true;
}
