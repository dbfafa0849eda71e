// One of the sample application's programs (Orvanta.exe, OrvantaTask.exe,
// Velpane.exe, the placeholder Uninstall.exe). Started without arguments it
// shows a small window with its name and version. Started with arguments, as
// the setup rules start it (/addtask, /uninstall, /run:desktop,
// /install /path:"..."), it appends one line describing the call to its
// record file and exits at once, so that tests can see what was started how.
//
// Record file: ORV_SAMPLE_CALLS when that environment variable is set, else
// "<program name>.calls.txt" beside the program. One UTF-8 line per call:
//   <full command line> TAB show=<n|default> TAB cwd=<current folder>
// An argument /sleep:N makes the program wait N ms after recording, so that
// a caller's wait can be observed.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#ifndef ORV_SAMPLE_NAME
#error ORV_SAMPLE_NAME must name the program
#endif

namespace {

const wchar_t kTitle[] = ORV_SAMPLE_NAME L" " ORV_SAMPLE_VERSION;

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
  return out;
}

std::wstring RecordFilePath() {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD env = GetEnvironmentVariableW(L"ORV_SAMPLE_CALLS", buffer, ARRAYSIZE(buffer));
  if (env > 0 && env < ARRAYSIZE(buffer)) return buffer;
  const DWORD length = GetModuleFileNameW(nullptr, buffer, ARRAYSIZE(buffer));
  std::wstring path(buffer, length < ARRAYSIZE(buffer) ? length : 0);
  path.erase(path.find_last_of(L'\\') + 1);
  return path + ORV_SAMPLE_NAME L".calls.txt";
}

std::wstring ShowState() {
  STARTUPINFOW info = {};
  info.cb = sizeof(info);
  GetStartupInfoW(&info);
  if (!(info.dwFlags & STARTF_USESHOWWINDOW)) return L"default";
  return std::to_wstring(info.wShowWindow);
}

std::wstring CurrentFolder() {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD length = GetCurrentDirectoryW(ARRAYSIZE(buffer), buffer);
  return std::wstring(buffer, length < ARRAYSIZE(buffer) ? length : 0);
}

// Appends one line; several programs may record at the same time, so the
// file is opened for appending with full sharing and written in one call.
void RecordCall(const wchar_t* command_line) {
  const std::string line = ToUtf8(std::wstring(command_line) + L"\tshow=" + ShowState() +
                                  L"\tcwd=" + CurrentFolder() + L"\r\n");
  HANDLE file = CreateFileW(RecordFilePath().c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

DWORD SleepRequest(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    if (_wcsnicmp(argv[i], L"/sleep:", 7) == 0) return wcstoul(argv[i] + 7, nullptr, 10);
  }
  return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      DrawTextW(dc, kTitle, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

int ShowVersionWindow(HINSTANCE instance, int show) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = L"OrvantaSampleWindow";
  if (!RegisterClassW(&window_class)) return 1;
  HWND window = CreateWindowW(window_class.lpszClassName, kTitle, WS_OVERLAPPEDWINDOW,
                              CW_USEDEFAULT, CW_USEDEFAULT, 360, 160, nullptr, nullptr, instance,
                              nullptr);
  if (!window) return 1;
  ShowWindow(window, show);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc > 1) {
    RecordCall(GetCommandLineW());
    const DWORD sleep_ms = SleepRequest(argc, argv);
    LocalFree(argv);
    if (sleep_ms) Sleep(sleep_ms);
    return 0;
  }
  if (argv) LocalFree(argv);
  return ShowVersionWindow(instance, show);
}
