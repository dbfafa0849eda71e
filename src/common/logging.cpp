#include "common/logging.h"

#include <windows.h>
#include <shlobj.h>

#include <easylogging++.h>

INITIALIZE_EASYLOGGINGPP

namespace logging {
namespace {

constexpr char kLoggerId[] = "trivial";

std::string ComputeLogFilePath() {
  char folder[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_DOCUMENTS, FALSE)) folder[0] = '\0';
  return std::string(folder) + "\\Orvanta\\ovlog.log";
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
  conf.setGlobally(el::ConfigurationType::Filename, LogFilePath());
  conf.setGlobally(el::ConfigurationType::ToFile, "true");
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
// programs' entry functions run.
struct RegistrySetup {
  RegistrySetup() {
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
  }
};
const RegistrySetup registry_setup;

}  // namespace

const std::string& LogFilePath() {
  static const std::string path = ComputeLogFilePath();
  return path;
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
