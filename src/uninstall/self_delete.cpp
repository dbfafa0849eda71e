#include "uninstall/self_delete.h"

#include <windows.h>
#include <shellapi.h>

#include "common/logging.h"
#include "common/utilfunc.h"

namespace {

// A double-quoted batch argument: inside quotes only "%" still has a meaning
// ("%%" stands for one).
std::wstring QuotedForBatch(const std::wstring& name) {
  std::wstring quoted = L"\"";
  for (const wchar_t c : name) {
    quoted += c;
    if (c == L'%') quoted += L'%';
  }
  return quoted + L"\"";
}

std::string ToAnsi(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string ansi(size > 0 ? size : 0, '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(), size, nullptr,
                          nullptr);
  return ansi;
}

}  // namespace

std::string DeleteSelfBatchText(const std::wstring& programFileName, int tries) {
  const std::wstring program = QuotedForBatch(programFileName);
  // "ping" to the own machine answers about once a second: the pause, on
  // every system, without a console to wait on.
  const std::wstring text = L"@echo off\r\n"
                            L"setlocal DisableDelayedExpansion\r\n"
                            L"set tries=" + std::to_wstring(tries) + L"\r\n"
                            L":Repeat\r\n"
                            L"del " + program + L"\r\n"
                            L"if not exist " + program + L" goto Done\r\n"
                            L"set /a tries-=1\r\n"
                            L"if %tries% LEQ 0 goto Done\r\n"
                            L"ping -n 2 127.0.0.1 >nul\r\n"
                            L"goto Repeat\r\n"
                            L":Done\r\n"
                            L"del " + kDeleteSelfBatchName;
  return ToAnsi(text);
}

bool WriteDeleteSelfBatch(const std::wstring& batchPath, const std::string& text) {
  bool complete = false;
  {
    const ScopedHandle file(::CreateFileW(batchPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) {
      LOG_ERROR << "创建bat文件失败";
      return false;
    }
    DWORD written = 0;
    complete = ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size();
  }
  if (complete) return true;
  ::DeleteFileW(batchPath.c_str());
  LOG_ERROR << "写入bat文件失败";
  return false;
}

ScopedHandle StartDeleteSelfBatch(const std::wstring& folder, const std::wstring& programFileName, int tries) {
  const std::wstring batch = folder + kDeleteSelfBatchName;
  if (!WriteDeleteSelfBatch(batch, DeleteSelfBatchText(programFileName, tries))) return ScopedHandle();
  SHELLEXECUTEINFOW start = {};
  start.cbSize = sizeof start;
  start.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  start.lpFile = batch.c_str();
  start.lpDirectory = folder.c_str();
  start.nShow = SW_HIDE;
  if (!::ShellExecuteExW(&start)) {
    LOG_ERROR << "启动bat文件失败,last error:" << ::GetLastError();
    return ScopedHandle();
  }
  return ScopedHandle(start.hProcess);
}

void DeleteSelf() {
  StartDeleteSelfBatch(UtilFunc::GetModuleDir(), UtilFunc::GetFileName(UtilFunc::GetModulePath()));
}
