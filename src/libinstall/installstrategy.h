#pragma once
// The setup rules of "setup.xml": the variable table, the rule interface, the
// loader that turns one section of the file into rule objects, and small
// readers shared with the drivers.
//
//   SetupVariables::Set(SetupVariables::kInstDir, installFolder);
//   SetupVariables::Set(SetupVariables::kVersion, version);
//   CInstallStrategy rules(SetupSection::kInstall);
//   if (rules.LoadStrategyCfg(folder + L"setup.xml")) rules.Install();

#include <boost/property_tree/ptree.hpp>

#include <memory>
#include <string>
#include <vector>

// Process-wide table of the variables that rule texts may use. Created empty
// on first use; the drivers fill it before any rule is loaded.
class SetupVariables {
 public:
  static constexpr const wchar_t* kInstDir = L"$INSTDIR";  // install folder, no trailing backslash
  static constexpr const wchar_t* kVersion = L"$VERSION";  // installed version = version folder name

  static void Set(const std::wstring& name, const std::wstring& value);
  // Stores the value and returns true when the variable is set.
  static bool Get(const std::wstring& name, std::wstring* value);
  // Replaces "$INSTDIR", then "$VERSION" (each only when set, case-sensitive,
  // without rescanning inserted text), then every apostrophe by a double quote.
  static std::wstring Expand(const std::wstring& text);
};

// One rule kind of a setup section with its ordered list of items.
class ISetupStrategy {
 public:
  virtual ~ISetupStrategy() = default;
  // Appends the items of the rule-kind element `node` and returns 1. An item
  // without attributes throws boost::property_tree::ptree_error.
  virtual int LoadCfg(const boost::property_tree::ptree& node) = 0;
  // Carry out every item in list order; failures are skipped silently.
  virtual void Install() = 0;
  virtual void UnInstall() = 0;
};

// The rule object for a rule-kind element name ("reg", "process",
// "desktopicon", "startmenu"; exact), or null for any other name.
std::unique_ptr<ISetupStrategy> CreateSetupStrategy(const std::string& elementName);

// Which section of the rule file a program reads: the installer reads
// "setup.install" and logs a failed load; the uninstaller reads
// "setup.uninstall" and fails silently.
enum class SetupSection { kInstall, kUninstall };

// Loads one section of a rule file and owns the rule objects.
class CInstallStrategy {
 public:
  explicit CInstallStrategy(SetupSection section);
  ~CInstallStrategy();
  CInstallStrategy(const CInstallStrategy&) = delete;
  CInstallStrategy& operator=(const CInstallStrategy&) = delete;

  // 1 when the whole section was loaded; 0 when the file cannot be read or is
  // malformed, the section is missing or an item has no attributes. Rules
  // loaded before an error stay in the list but must not be carried out.
  int LoadStrategyCfg(const std::wstring& path);

  // Install() or UnInstall() of every loaded rule object, in list order;
  // nothing at all after a failed load.
  void Install();
  void UnInstall();

  const std::vector<std::unique_ptr<ISetupStrategy>>& Strategies() const { return strategies_; }

 private:
  SetupSection section_;
  std::vector<std::unique_ptr<ISetupStrategy>> strategies_;
  bool loaded_ = false;  // every load so far succeeded
  bool failed_ = false;
};

// Reads an XML file named by a wide path into `tree` the way read_xml does
// with no flags (attributes under "<xmlattr>", comments as "<xmlcomment>").
// Throws boost::property_tree::ptree_error when the file cannot be read or
// is malformed.
void ReadSetupFile(const std::wstring& path, boost::property_tree::ptree& tree);

// UTF-8 text of the rule file as a wide string.
std::wstring Utf8ToWide(const std::string& text);
