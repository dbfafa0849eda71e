// Helper program for the tests. It appends one line to "probe-calls.txt"
// beside itself: "show=<show command or -1> <its command line>", then follows
// the options among its arguments (all others are ignored):
//   --lock=PATH   hold PATH open without any sharing
//   --ready=NAME  set the named manual-reset event NAME once the lock is held
//   --sleep=MS    sleep before exiting
//   --done        append "done" to the record file just before exiting
//   --exit=N      exit with code N
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring OptionValue(const wchar_t* argument, const wchar_t* name) {
  const size_t length = std::wcslen(name);
  return std::wcsncmp(argument, name, length) == 0 ? std::wstring(argument + length) : std::wstring();
}

void AppendRecord(const std::wstring& line) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  path = path.substr(0, path.find_last_of(L'\\') + 1) + L"probe-calls.txt";
  const std::wstring text = line + L"\n";
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                        nullptr);
  // Several copies may append at once: retry while another one holds the file.
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
      ::CloseHandle(file);
      return;
    }
    ::Sleep(10);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  ::GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
  AppendRecord(L"show=" + std::to_wstring(show) + L" " + ::GetCommandLineW());

  HANDLE lock = INVALID_HANDLE_VALUE;
  DWORD sleepMs = 0;
  bool done = false;
  int exitCode = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::wstring v = OptionValue(argv[i], L"--lock="); !v.empty()) {
      lock = ::CreateFileW(v.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
      if (lock == INVALID_HANDLE_VALUE) return 99;
    } else if (std::wstring v = OptionValue(argv[i], L"--ready="); !v.empty()) {
      HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, v.c_str());
      if (ready) ::SetEvent(ready);
    } else if (std::wstring v = OptionValue(argv[i], L"--sleep="); !v.empty()) {
      sleepMs = static_cast<DWORD>(std::wcstoul(v.c_str(), nullptr, 10));
    } else if (std::wstring v = OptionValue(argv[i], L"--exit="); !v.empty()) {
      exitCode = static_cast<int>(std::wcstol(v.c_str(), nullptr, 10));
    } else if (std::wcscmp(argv[i], L"--done") == 0) {
      done = true;
    }
  }
  if (sleepMs) ::Sleep(sleepMs);
  if (done) AppendRecord(L"done");
  if (lock != INVALID_HANDLE_VALUE) ::CloseHandle(lock);
  return exitCode;
}
