#include "uninstall/self_delete.h"

#include <windows.h>
#include <shlwapi.h>

#include "common/link_guard.h"
#include "common/logging.h"
#include "common/utilfunc.h"

namespace {

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(folder, length) + L"\\" : std::wstring();
}

// A UNC path, or a drive that maps a share.
bool IsOnShare(const std::wstring& folder) {
  if (::PathIsUNCW(folder.c_str())) return true;
  wchar_t root[MAX_PATH] = {};
  return ::GetVolumePathNameW(folder.c_str(), root, MAX_PATH) && ::GetDriveTypeW(root) == DRIVE_REMOTE;
}

}  // namespace

std::string DeleteSelfBatchText(int tries) {
  // The pause is a ping of the own machine, about one answer a second: it
  // needs no console to wait on. The ping program is named in full, so that
  // nothing is looked up in the batch's current folder.
  return "@echo off\r\n"
         "setlocal EnableDelayedExpansion\r\n"
         "set tries=" + std::to_string(tries) + "\r\n"
         ":Repeat\r\n"
         "del \"!ORV_SELF!\"\r\n"
         "if not exist \"!ORV_SELF!\" goto Done\r\n"
         "set /a tries-=1\r\n"
         "if !tries! LEQ 0 goto Done\r\n"
         "\"!ORV_PING!\" -n 2 127.0.0.1 >nul\r\n"
         "goto Repeat\r\n"
         ":Done\r\n"
         "del \"!ORV_BATCH!\"";
}

DeleteSelfPlan PlanDeleteSelf(const std::wstring& folder, const std::wstring& programFileName, bool folderIsShare,
                              const std::wstring& systemFolder) {
  if (folderIsShare) return {systemFolder, folder + programFileName, folder + kDeleteSelfBatchName};
  return {folder, programFileName, kDeleteSelfBatchName};
}

bool WriteDeleteSelfBatch(const std::wstring& batchPath, const std::string& text) {
  bool complete = false;
  {
    const ScopedHandle file = CreateFreshFile(batchPath);
    if (!file) {
      LOG_ERROR << "创建bat文件失败";
      return false;
    }
    DWORD written = 0;
    complete = ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size();
  }
  if (complete) return true;
  // The file was created new above: this name is ours to delete.
  ::DeleteFileW(batchPath.c_str());
  LOG_ERROR << "写入bat文件失败";
  return false;
}

ScopedHandle StartDeleteSelfBatch(const std::wstring& folder, const std::wstring& programFileName, int tries) {
  const std::wstring system = SystemFolder();
  if (system.empty()) {
    LOG_ERROR << "获取系统目录失败，不启动bat文件,last error:" << ::GetLastError();
    return ScopedHandle();
  }
  const std::wstring batch = folder + kDeleteSelfBatchName;
  if (!WriteDeleteSelfBatch(batch, DeleteSelfBatchText(tries))) return ScopedHandle();
  const DeleteSelfPlan plan = PlanDeleteSelf(folder, programFileName, IsOnShare(folder), system);
  const std::wstring ping = system + L"ping.exe";
  if (!::SetEnvironmentVariableW(kBatchProgramVariable, plan.program.c_str()) ||
      !::SetEnvironmentVariableW(kBatchSelfVariable, plan.batch.c_str()) ||
      !::SetEnvironmentVariableW(kBatchPingVariable, ping.c_str())) {
    LOG_ERROR << "设置bat文件的环境变量失败,last error:" << ::GetLastError();
    ::DeleteFileW(batch.c_str());
    return ScopedHandle();
  }
  // The interpreter by its full name, not through a file association; /d
  // skips the AutoRun commands of the registry, /v:on lets the command line
  // below name the batch by its variable as well.
  const std::wstring interpreter = system + L"cmd.exe";
  std::wstring commandLine = L"\"" + interpreter + L"\" /d /v:on /s /c \"\"!ORV_BATCH!\"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(interpreter.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        plan.currentFolder.c_str(), &startup, &process)) {
    LOG_ERROR << "启动bat文件失败,last error:" << ::GetLastError();
    ::DeleteFileW(batch.c_str());
    return ScopedHandle();
  }
  ::CloseHandle(process.hThread);
  return ScopedHandle(process.hProcess);
}

std::wstring RenameForDeletion(const std::wstring& folder, const std::wstring& programFileName) {
  // The process id and a count make the name this run's own; one left by an
  // earlier run under the same id is passed over.
  constexpr int kNameTries = 16;
  const std::wstring stem = programFileName + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-";
  for (int count = 0; count < kNameTries; ++count) {
    const std::wstring name = stem + std::to_wstring(count) + L".old";
    if (::MoveFileExW((folder + programFileName).c_str(), (folder + name).c_str(), 0)) return name;
    if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  LOG_ERROR << "重命名卸载程序失败，保留卸载程序,last error:" << ::GetLastError();
  return std::wstring();
}

void DeleteSelf() {
  const std::wstring folder = UtilFunc::GetModuleDir();
  const std::wstring renamed = RenameForDeletion(folder, UtilFunc::GetFileName(UtilFunc::GetModulePath()));
  if (!renamed.empty()) StartDeleteSelfBatch(folder, renamed);
}
