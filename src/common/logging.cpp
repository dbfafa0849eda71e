#include "common/logging.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <easylogging++.h>

#include "common/protected_rights.h"
#include "common/scoped_handle.h"
#include "common/utilfunc.h"

INITIALIZE_EASYLOGGINGPP

namespace logging {
namespace {

constexpr char kLoggerId[] = "trivial";

std::string ComputeLogFilePath() {
  char folder[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_DOCUMENTS, FALSE)) folder[0] = '\0';
  return std::string(folder) + "\\Orvanta\\ovlog.log";
}

std::string& LogFileInUseText() {
  static std::string path;
  return path;
}

std::wstring AnsiToWide(const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring out(static_cast<size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, out.data(), needed);
  return out;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
  return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

// The path that a handle reached, without the "\\?\" prefix.
std::wstring ReachedPath(HANDLE handle) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::wstring path(buffer, length);
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

// True when the handle holds the plain entry `path` itself: no reparse point,
// a folder or a file as asked, a file with no other name, and reached at that
// path (Wine opens the target of a host symbolic link to a file and reports
// a plain file).
bool HoldsPlainEntry(HANDLE handle, const std::wstring& path, bool folder) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) return false;
  if (!folder && info.nNumberOfLinks != 1) return false;
  const std::wstring reached = ReachedPath(handle);
  return !reached.empty() && ::CompareStringOrdinal(reached.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL;
}


// Data access (listing, reading) and no FILE_SHARE_DELETE: while the handle
// is open, nobody can rename or delete what it holds, so that the name leads
// to it when the logger opens it.
constexpr DWORD kHoldAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The log's folder, opened without following a link; created when missing
// (the levels above it as the logger would, the folder itself with the log's
// rights).
ScopedHandle OpenLogFolder(const std::wstring& folder) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ScopedHandle handle(::CreateFileW(folder.c_str(), kHoldAccess, kHoldShare, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (handle) return handle;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) break;
    for (size_t at = folder.find(L'\\', 1); at != std::wstring::npos; at = folder.find(L'\\', at + 1))
      ::CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
    SddlRights rights(LogSecurityDescriptor(true));
    if (!rights.valid() ||
        (!::CreateDirectoryW(folder.c_str(), rights.attributes()) && ::GetLastError() != ERROR_ALREADY_EXISTS))
      break;
  }
  return ScopedHandle();
}

// The file `path`, opened without following a link, or created as a new file
// with the log's rights (a link planted at the name makes the creation fail,
// it is never created through). `fresh`: only as a new file.
ScopedHandle OpenLogFile(const std::wstring& path, bool fresh) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!fresh) {
      ScopedHandle handle(::CreateFileW(path.c_str(), kHoldAccess, kHoldShare, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (handle || ::GetLastError() != ERROR_FILE_NOT_FOUND) return handle;
    }
    SddlRights rights(LogSecurityDescriptor(false));
    if (!rights.valid()) break;
    ScopedHandle created(::CreateFileW(path.c_str(), kHoldAccess, kHoldShare, rights.attributes(), CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (created || fresh || ::GetLastError() != ERROR_FILE_EXISTS) return created;
  }
  return ScopedHandle();
}

// Where the records go, with the handles that hold it while the logger opens
// it by name.
struct LogTarget {
  std::string path;     // empty: nowhere
  std::string refused;  // the link, or the file of several names, left alone
  ScopedHandle folder;
  ScopedHandle file;
};

LogTarget OpenLogTarget(const std::string& wanted) {
  LogTarget target;
  const std::wstring file = FullPath(AnsiToWide(wanted));
  std::wstring folder, name;
  UtilFunc::SplitLastPart(file, &folder, &name);
  if (name.size() == file.size()) return target;
  target.folder = OpenLogFolder(folder);
  if (!target.folder || !HoldsPlainEntry(target.folder.get(), folder, true)) {
    target.folder = ScopedHandle();
    target.refused = WideToAnsi(folder);
    return target;
  }
  target.file = OpenLogFile(file, false);
  if (target.file && HoldsPlainEntry(target.file.get(), file, false)) {
    target.path = wanted;
    return target;
  }
  target.refused = wanted;
  // A fresh file beside it: ovlog-<process id>.log (-2 ... when that name is taken).
  const std::wstring stem = file.substr(0, file.find_last_of(L'.')) + L"-" + std::to_wstring(::GetCurrentProcessId());
  for (int number = 1; number < 10; ++number) {
    const std::wstring fresh = stem + (number > 1 ? L"-" + std::to_wstring(number) : std::wstring()) + L".log";
    target.file = OpenLogFile(fresh, true);
    if (target.file && HoldsPlainEntry(target.file.get(), fresh, false)) {
      target.path = WideToAnsi(fresh);
      return target;
    }
  }
  target.file = ScopedHandle();
  return target;
}

// Translates a format text of the configuration into the library's syntax:
// the message field is "%msg" there, and the date and time pictures are fixed
// to dd/MM/yyyy HH:mm:ss.mmm.
std::string ToLibraryFormat(const std::string& format) {
  static const std::string kDateTime = "%datetime";
  static const std::string kMessage = "%log";
  std::string out;
  for (size_t pos = 0; pos < format.size();) {
    if (format.compare(pos, kDateTime.size(), kDateTime) == 0) {
      out += "%datetime{%d/%M/%Y %H:%m:%s.%g}";
      pos += kDateTime.size();
    } else if (format.compare(pos, kMessage.size(), kMessage) == 0 &&
               format.compare(pos, 7, "%logger") != 0) {
      out += "%msg";
      pos += kMessage.size();
    } else {
      out += format[pos++];
    }
  }
  return out;
}

void SetFormat(el::Configurations& conf, el::Level level, const std::string& format) {
  conf.set(level, el::ConfigurationType::Format, ToLibraryFormat(format));
}

el::Configurations DefaultConfiguration() {
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Enabled, "true");
  // Without a file of its own the logger writes nowhere ("NUL" keeps it from
  // opening any other name).
  const std::string& file = LogFileInUse();
  conf.setGlobally(el::ConfigurationType::Filename, file.empty() ? "NUL" : file);
  conf.setGlobally(el::ConfigurationType::ToFile, file.empty() ? "false" : "true");
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "true");
  conf.setGlobally(el::ConfigurationType::SubsecondPrecision, "3");
  conf.setGlobally(el::ConfigurationType::PerformanceTracking, "false");
  conf.setGlobally(el::ConfigurationType::MaxLogFileSize, "0");
  conf.setGlobally(el::ConfigurationType::Format, ToLibraryFormat("%datetime %level  [%logger] %log"));
  SetFormat(conf, el::Level::Debug, "%datetime %level [%logger] [%user@%host] [%func] [%loc] %log");
  SetFormat(conf, el::Level::Error, "%datetime %level [%logger] %log");
  SetFormat(conf, el::Level::Fatal, "%datetime %level [%logger] %log");
  SetFormat(conf, el::Level::Verbose, "%datetime %level-%vlevel [%logger] %log");
  SetFormat(conf, el::Level::Trace, "%datetime %level [%logger] [%func] [%loc] %log");
  return conf;
}

// "trivial" drops the logger name from its records.
el::Configurations TrivialConfiguration() {
  el::Configurations conf = DefaultConfiguration();
  conf.setGlobally(el::ConfigurationType::Format, ToLibraryFormat("%datetime %level  %log"));
  SetFormat(conf, el::Level::Debug, "%datetime %level [%user@%host] [%func] [%loc] %log");
  SetFormat(conf, el::Level::Error, "%datetime %level %log");
  SetFormat(conf, el::Level::Fatal, "%datetime %level %log");
  SetFormat(conf, el::Level::Verbose, "%datetime %level-%vlevel %log");
  SetFormat(conf, el::Level::Trace, "%datetime %level [%func] [%loc] %log");
  return conf;
}

void RegisterLogger(const char* id, const el::Configurations& conf) {
  el::Logger* logger = el::Loggers::getLogger(id, true);
  el::Loggers::reconfigureLogger(logger, conf);
}

// Configures the logger registry during static initialisation, before the
// programs' entry functions run. The logger opens its file by name; the
// target's handles hold that file and its folder until it has.
struct RegistrySetup {
  RegistrySetup() {
    const LogTarget target = OpenLogTarget(LogFilePath());
    LogFileInUseText() = target.path;
    el::Loggers::addFlag(el::LoggingFlag::ImmediateFlush);
    el::Loggers::addFlag(el::LoggingFlag::DisableApplicationAbortOnFatalLog);
    const el::Configurations defaults = DefaultConfiguration();
    el::Loggers::setDefaultConfigurations(defaults, true);
    RegisterLogger(kLoggerId, TrivialConfiguration());
    RegisterLogger("business", defaults);
    RegisterLogger("security", defaults);
    el::Configurations performance = defaults;
    performance.setGlobally(el::ConfigurationType::PerformanceTracking, "true");
    RegisterLogger("performance", performance);
    if (target.refused.empty()) return;
    if (target.path.empty())
      LOG_ERROR << "日志目录是链接或无法打开，不写日志文件:" << target.refused;
    else
      LOG_ERROR << "日志文件是链接或另有名字，不写入:" << target.refused << "，改写到:" << target.path;
  }
};
const RegistrySetup registry_setup;

}  // namespace

const std::string& LogFilePath() {
  static const std::string path = ComputeLogFilePath();
  return path;
}

const std::string& LogFileInUse() { return LogFileInUseText(); }

const wchar_t* LogSecurityDescriptor(bool folder) {
  // FA: full control; 0x1200a9: read and execute (list and traverse, for the
  // folder); FR: read. OICI: what the folder gets, its new entries inherit.
  return folder ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)(A;OICI;0x1200a9;;;WD)"
                : L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)(A;;FR;;;WD)";
}

std::string WideToAnsi(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int needed = ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string(text.size(), '?');
  std::string out(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, out.data(), needed, nullptr, nullptr);
  return out;
}

Record::Record(Level level, const char* func, const char* file, int line)
    : level_(level), func_(func), file_(file), line_(line) {}

Record::~Record() {
  const el::Level level = level_ == Level::kInfo ? el::Level::Info : el::Level::Error;
  el::base::Writer(level, file_, line_, func_).construct(1, kLoggerId) << message_;
}

Record& Record::operator<<(const char* text) {
  message_ += text ? text : "nullptr";
  return *this;
}

Record& Record::operator<<(const std::string& text) {
  message_ += text;
  return *this;
}

Record& Record::operator<<(const wchar_t* text) {
  if (!text) {
    message_ += "nullptr";
    return *this;
  }
  return *this << std::wstring(text);
}

Record& Record::operator<<(const std::wstring& text) {
  message_ += WideToAnsi(text);
  return *this;
}

Record& Record::operator<<(long long value) {
  message_ += std::to_string(value);
  return *this;
}

Record& Record::operator<<(unsigned long long value) {
  message_ += std::to_string(value);
  return *this;
}

}  // namespace logging
