#include "uninstall/self_delete.h"

#include <windows.h>
#include <shellapi.h>

#include "common/logging.h"
#include "common/utilfunc.h"

std::string DeleteSelfBatchText(const std::wstring& programFileName) {
  const std::wstring text = L":Repeat\t\ndel \"" + programFileName + L"\"\r\nif exist \"" + programFileName +
                            L"\" goto Repeat\r\ndel " + kDeleteSelfBatchName;
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string ansi(size > 0 ? size : 0, '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(), size, nullptr,
                          nullptr);
  return ansi;
}

bool WriteDeleteSelfBatch(const std::wstring& batchPath, const std::string& text) {
  const HANDLE file = ::CreateFileW(batchPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LOG_ERROR << "创建bat文件失败";
    return false;
  }
  DWORD written = 0;
  const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  ::CloseHandle(file);
  if (!ok) {
    ::DeleteFileW(batchPath.c_str());
    LOG_ERROR << "写入bat文件失败";
  }
  return ok;
}

void DeleteSelf() {
  const std::wstring folder = UtilFunc::GetModuleDir();
  const std::wstring batch = folder + kDeleteSelfBatchName;
  if (!WriteDeleteSelfBatch(batch, DeleteSelfBatchText(UtilFunc::GetFileName(UtilFunc::GetModulePath()))))
    return;
  ::ShellExecuteW(nullptr, nullptr, batch.c_str(), nullptr, folder.c_str(), SW_HIDE);
}
