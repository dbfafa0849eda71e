#pragma once
// The shared diagnostic log. Every record goes to the logger "trivial" at
// level INFO or ERROR; the message is the streamed parts in order: narrow
// text as it is (GBK), wide strings converted with the ANSI code page,
// integers in decimal.
//
//   LOG_INFO << "开始安装...";
//   LOG_ERROR << "创建文件失败：" << path << "，错误码：" << ::GetLastError();

#include <string>
#include <type_traits>

namespace logging {

enum class Level { kInfo, kError };

class Record {
 public:
  Record(Level level, const char* func, const char* file, int line);
  ~Record();
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  Record& operator<<(const char* text);
  Record& operator<<(const std::string& text);
  Record& operator<<(const wchar_t* text);
  Record& operator<<(const std::wstring& text);
  Record& operator<<(long long value);
  Record& operator<<(unsigned long long value);

  template <typename T, typename = std::enable_if_t<std::is_integral_v<T> &&
                                                    !std::is_same_v<T, char> &&
                                                    !std::is_same_v<T, wchar_t> &&
                                                    !std::is_same_v<T, bool>>>
  Record& operator<<(T value) {
    if constexpr (std::is_signed_v<T>)
      return *this << static_cast<long long>(value);
    else
      return *this << static_cast<unsigned long long>(value);
  }

 private:
  Level level_;
  const char* func_;
  const char* file_;
  int line_;
  std::string message_;
};

// Wide text in the process's ANSI code page; characters it cannot represent
// become '?' and never end the conversion.
std::string WideToAnsi(const std::wstring& text);

// Common documents folder + "\Orvanta\ovlog.log", computed once at start-up.
const std::string& LogFilePath();

// The file the records go to: LogFilePath(), or, when a link or a file with
// more than one name stands there, a fresh file of a name of its own beside
// it; empty when the log's folder is a link or cannot be opened (the records
// then go nowhere). Each is opened without following a link, and the logger
// is handed the name only while that handle holds it.
const std::string& LogFileInUse();

// The rights of the log's folder (`folder`) and file when a program creates
// them, as security-descriptor text: every user may read them (and list the
// folder), only SYSTEM, the Administrators and their owner (who created them)
// may change them, and nothing is inherited from the documents folder above,
// where every user may create files.
const wchar_t* LogSecurityDescriptor(bool folder);

}  // namespace logging

#define LOG_INFO ::logging::Record(::logging::Level::kInfo, __PRETTY_FUNCTION__, __FILE__, __LINE__)
#define LOG_ERROR ::logging::Record(::logging::Level::kError, __PRETTY_FUNCTION__, __FILE__, __LINE__)
