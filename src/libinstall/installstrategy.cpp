#include "libinstall/installstrategy.h"

#include <windows.h>

#include <boost/property_tree/xml_parser.hpp>

#include <cstdlib>
#include <map>
#include <sstream>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "libinstall/setupitem.h"
#include "libinstall/setupstrategies.h"

namespace {

std::map<std::wstring, std::wstring>& VariableTable() {
  static std::map<std::wstring, std::wstring> table;
  return table;
}

void ReplaceAll(std::wstring& text, const std::wstring& name, const std::wstring& value) {
  for (size_t at = text.find(name); at != std::wstring::npos; at = text.find(name, at + value.size()))
    text.replace(at, name.size(), value);
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7FFFFFFF) return false;
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  return bytes.empty() ||
         (::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
          read == bytes.size());
}

}  // namespace

void SetupVariables::Set(const std::wstring& name, const std::wstring& value) { VariableTable()[name] = value; }

bool SetupVariables::Get(const std::wstring& name, std::wstring* value) {
  const auto& table = VariableTable();
  const auto found = table.find(name);
  if (found == table.end()) return false;
  if (value) *value = found->second;
  return true;
}

std::wstring SetupVariables::Expand(const std::wstring& text) {
  std::wstring result = text;
  std::wstring value;
  if (Get(kInstDir, &value)) ReplaceAll(result, kInstDir, value);
  if (Get(kVersion, &value)) ReplaceAll(result, kVersion, value);
  for (wchar_t& c : result)
    if (c == L'\'') c = L'"';
  return result;
}

std::unique_ptr<ISetupStrategy> CreateSetupStrategy(const std::string& elementName) {
  if (elementName == "reg") return std::make_unique<CSetupStrategyForReg>();
  if (elementName == "process") return std::make_unique<CSetupStrategyForProcess>();
  if (elementName == "desktopicon") return std::make_unique<CSetupStrategyForDesktopIcon>();
  if (elementName == "startmenu") return std::make_unique<CSetupStrategyForStartMenu>();
  return nullptr;
}

CInstallStrategy::CInstallStrategy(SetupSection section) : section_(section) {}

CInstallStrategy::~CInstallStrategy() = default;

int CInstallStrategy::LoadStrategyCfg(const std::wstring& path) {
  try {
    boost::property_tree::ptree tree;
    ReadSetupFile(path, tree);
    const char* sectionPath = section_ == SetupSection::kInstall ? "setup.install" : "setup.uninstall";
    for (const auto& child : tree.get_child(sectionPath)) {
      std::unique_ptr<ISetupStrategy> rule = CreateSetupStrategy(child.first);
      if (!rule) continue;
      rule->LoadCfg(child.second);
      strategies_.push_back(std::move(rule));
    }
    loaded_ = !failed_;
    return 1;
  } catch (const std::exception&) {
    // Property-tree errors; memory exhaustion ends the load the same way.
    failed_ = true;
    loaded_ = false;
    if (section_ == SetupSection::kInstall) LOG_ERROR << "读取安装配置失败";
    return 0;
  }
}

void CInstallStrategy::Install() {
  if (!loaded_) return;
  for (const auto& rule : strategies_) rule->Install();
}

void CInstallStrategy::UnInstall() {
  if (!loaded_) return;
  for (const auto& rule : strategies_) rule->UnInstall();
}

void ReadSetupFile(const std::wstring& path, boost::property_tree::ptree& tree) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes))
    throw boost::property_tree::xml_parser_error("cannot open file", logging::WideToAnsi(path), 0);
  std::istringstream stream(bytes);
  boost::property_tree::read_xml(stream, tree, 0);
}

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
  return wide;
}

namespace setupitem {

const boost::property_tree::ptree& Attributes(const boost::property_tree::ptree::value_type& item) {
  return item.second.get_child("<xmlattr>");
}

bool Has(const boost::property_tree::ptree& attributes, const char* name) {
  return attributes.find(name) != attributes.not_found();
}

std::string Text(const boost::property_tree::ptree& attributes, const char* name) {
  const auto found = attributes.find(name);
  return found == attributes.not_found() ? std::string() : found->second.data();
}

std::wstring WideText(const boost::property_tree::ptree& attributes, const char* name) {
  return Utf8ToWide(Text(attributes, name));
}

long Number(const boost::property_tree::ptree& attributes, const char* name) {
  return std::strtol(Text(attributes, name).c_str(), nullptr, 10);
}

}  // namespace setupitem
