#pragma once
// The four rule kinds of a setup section. Each keeps its items in document
// order, carries every item out even when others fail, and reports nothing.

#include <windows.h>

#include <string>
#include <vector>

#include "libinstall/installstrategy.h"

// "reg": registry values and keys, in the process's default registry view.
class CSetupStrategyForReg : public ISetupStrategy {
 public:
  struct Item {
    HKEY root = nullptr;  // null for an unknown root name: the item does nothing
    std::wstring subKey;
    std::wstring subKeyName;  // uninstall: key below subKey deleted with its tree
    std::wstring valueName;   // empty: the key's default value
    DWORD valueType = 0;      // REG_SZ, REG_DWORD or 0 (create the key only)
    std::wstring stringValue;
    DWORD dwordValue = 0;
  };

  int LoadCfg(const boost::property_tree::ptree& node) override;
  void Install() override;
  void UnInstall() override;
  const std::vector<Item>& Items() const { return items_; }

 private:
  std::vector<Item> items_;
};

// "process": programs started on either side, alike.
class CSetupStrategyForProcess : public ISetupStrategy {
 public:
  struct Item {
    std::wstring path;
    std::wstring param;
    int wait = 0;  // milliseconds; 0 does not wait, negative values wait without limit
    bool show = false;
  };

  int LoadCfg(const boost::property_tree::ptree& node) override;
  void Install() override;
  void UnInstall() override;
  const std::vector<Item>& Items() const { return items_; }

 private:
  void Run();
  std::vector<Item> items_;
};

// "desktopicon": shortcuts on the common desktop.
class CSetupStrategyForDesktopIcon : public ISetupStrategy {
 public:
  struct Item {
    std::wstring file;  // target
    std::wstring link;  // relative to the common desktop folder
    std::wstring cmd;   // arguments
    std::wstring icon;  // icon file, index 0; empty: the target's own icon
  };

  int LoadCfg(const boost::property_tree::ptree& node) override;
  void Install() override;
  void UnInstall() override;
  const std::vector<Item>& Items() const { return items_; }

 private:
  std::vector<Item> items_;
};

// "startmenu": shortcuts and folders in the common programs folder.
class CSetupStrategyForStartMenu : public ISetupStrategy {
 public:
  struct Item {
    std::wstring file;  // target
    std::wstring link;  // relative to the common programs folder; may hold sub-folders
    std::wstring cmd;   // arguments
  };

  int LoadCfg(const boost::property_tree::ptree& node) override;
  void Install() override;
  void UnInstall() override;
  const std::vector<Item>& Items() const { return items_; }

 private:
  std::vector<Item> items_;
};

// Saves a shortcut at `linkPath` (creating its folder) to `target`, started in
// the target's folder. Empty arguments or icon path are not stored. COM must
// be initialised on the calling thread. Non-zero when the shortcut was saved.
int CreateShortcut(const std::wstring& target, const std::wstring& arguments,
                   const std::wstring& linkPath, const std::wstring& iconPath);
