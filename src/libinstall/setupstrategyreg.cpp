#include "libinstall/setupitem.h"
#include "libinstall/setupstrategies.h"

namespace {

class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_) ::RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY* receive() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

HKEY RootKey(const std::string& name) {
  if (name == "HKEY_LOCAL_MACHINE") return HKEY_LOCAL_MACHINE;
  if (name == "HKEY_CURRENT_USER") return HKEY_CURRENT_USER;
  if (name == "HKEY_USERS") return HKEY_USERS;
  if (name == "HKEY_CLASSES_ROOT") return HKEY_CLASSES_ROOT;
  if (name == "HKEY_CURRENT_CONFIG") return HKEY_CURRENT_CONFIG;
  return nullptr;
}

DWORD ValueType(const std::string& name) {
  if (name == "REG_SZ") return REG_SZ;
  if (name == "REG_DWORD") return REG_DWORD;
  return 0;
}

}  // namespace

int CSetupStrategyForReg::LoadCfg(const boost::property_tree::ptree& node) {
  for (const auto& child : node) {
    const auto& attributes = setupitem::Attributes(child);
    Item item;
    item.root = RootKey(setupitem::Text(attributes, "key"));
    item.subKey = setupitem::WideText(attributes, "subkey");
    item.subKeyName = setupitem::WideText(attributes, "subkeyname");
    item.valueName = setupitem::WideText(attributes, "name");
    item.valueType = ValueType(setupitem::Text(attributes, "type"));
    if (item.valueType == REG_SZ)
      item.stringValue = SetupVariables::Expand(setupitem::WideText(attributes, "value"));
    else if (item.valueType == REG_DWORD)
      item.dwordValue = static_cast<DWORD>(setupitem::Number(attributes, "value"));
    items_.push_back(std::move(item));
  }
  return 1;
}

void CSetupStrategyForReg::Install() {
  for (const Item& item : items_) {
    if (!item.root) continue;
    ScopedKey key;
    if (::RegCreateKeyExW(item.root, item.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                          nullptr, key.receive(), nullptr) != ERROR_SUCCESS)
      continue;
    if (item.valueType == REG_SZ) {
      const DWORD bytes = static_cast<DWORD>((item.stringValue.size() + 1) * sizeof(wchar_t));
      ::RegSetValueExW(key.get(), item.valueName.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(item.stringValue.c_str()), bytes);
    } else if (item.valueType == REG_DWORD) {
      ::RegSetValueExW(key.get(), item.valueName.c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&item.dwordValue), sizeof item.dwordValue);
    }
  }
}

void CSetupStrategyForReg::UnInstall() {
  for (const Item& item : items_) {
    if (!item.root) continue;
    ScopedKey key;
    if (::RegOpenKeyExW(item.root, item.subKey.c_str(), 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS) continue;
    if (!item.subKeyName.empty())
      ::RegDeleteTreeW(key.get(), item.subKeyName.c_str());
    else if (!item.valueName.empty())
      ::RegDeleteValueW(key.get(), item.valueName.c_str());
  }
}
